package com.tolvane.tool;

import com.sun.tools.attach.VirtualMachine;
import com.sun.tools.attach.VirtualMachineDescriptor;
import com.tolvane.snapshot.Printable;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Optional;

/**
 * Finds the JVM to record: by process id or by main class name, and makes
 * sure a process id really is a JVM before anything is sent to it. (The attach
 * mechanism signals a process to wake its attach listener; a process that is
 * not a JVM would be killed by that signal.)
 */
public final class Targets {
    private Targets() {
    }

    /** A running JVM: its process id and its main class or jar as the JVM reports it. */
    public record Jvm(long pid, String mainClass) {
        /** "JVM 12345 (com.acme.Main)" as messages name it, the main class made printable. */
        public String describe() {
            return "JVM " + pid + (mainClass.isEmpty() ? "" : " (" + Printable.of(mainClass) + ")");
        }
    }

    /** The attachable JVMs of this user, without this tool itself. */
    public static List<Jvm> list() {
        long self = ProcessHandle.current().pid();
        List<Jvm> jvms = new ArrayList<>();
        for (VirtualMachineDescriptor d : VirtualMachine.list()) {
            long pid;
            try {
                pid = Long.parseLong(d.id());
            } catch (NumberFormatException e) {
                continue;
            }
            if (pid != self) {
                jvms.add(new Jvm(pid, mainClassOf(d.displayName())));
            }
        }
        jvms.sort((a, b) -> Long.compare(a.pid(), b.pid()));
        return jvms;
    }

    /** The first word of a JVM's display name: its main class or jar, without arguments. */
    static String mainClassOf(String displayName) {
        String name = displayName == null ? "" : displayName.trim();
        int space = name.indexOf(' ');
        return space < 0 ? name : name.substring(0, space);
    }

    /** The JVM named by a process id or by its main class (full or simple name, or jar file name). */
    public static Jvm resolve(String target) throws ToolException {
        if (target.matches("\\d+")) {
            long pid;
            try {
                pid = Long.parseLong(target);
            } catch (NumberFormatException e) {
                throw ToolException.usage("no process with id " + target);
            }
            return byPid(pid);
        }
        if (target.matches("-?\\d+") || target.isBlank()) {
            throw ToolException.usage("'" + target + "' is neither a process id nor a main class name");
        }
        List<Jvm> matches = new ArrayList<>();
        for (Jvm jvm : list()) {
            if (matchesMainClass(jvm.mainClass(), target)) {
                matches.add(jvm);
            }
        }
        if (matches.isEmpty()) {
            String others = othersJvms(target, ProcessHandle.allProcesses().toList(), System.getProperty("user.name"));
            throw new ToolException(others != null ? others
                    : "no running JVM has the main class " + target + " (see: tolvane list)");
        }
        if (matches.size() > 1) {
            StringBuilder pids = new StringBuilder();
            for (Jvm jvm : matches) {
                pids.append(pids.length() == 0 ? "" : ", ").append(jvm.pid());
            }
            throw new ToolException("several JVMs have the main class " + target + " (process ids " + pids
                    + "); give the process id");
        }
        return matches.get(0);
    }

    /**
     * What to say when no JVM of user {@code me} has the main class but a
     * java process of another user does: what is said when it is named by its
     * process id. Null when there is none, or when {@code me} is root, who may
     * record anyone's.
     */
    public static String othersJvms(String target, List<ProcessHandle> processes, String me) {
        if ("root".equals(me)) {
            return null;
        }
        List<String> found = new ArrayList<>();
        for (ProcessHandle p : processes) {
            ProcessHandle.Info info = p.info();
            String user = info.user().orElse(null);
            String exe = Path.of(info.command().orElse("unknown")).getFileName().toString();
            if (user == null || user.equals(me) || !(exe.equals("java") || exe.equals("javaw"))) {
                continue;
            }
            String main = mainClassOfArguments(List.of(info.arguments().orElse(new String[0])));
            if (matchesMainClass(main, target)) {
                found.add("process " + p.pid() + " (" + main + ") belongs to user " + user);
            }
        }
        if (found.isEmpty()) {
            return null;
        }
        return String.join(", ", found) + "; a JVM can only be recorded by the user that runs it";
    }

    /** Java launcher options whose value is the next argument. */
    private static final java.util.Set<String> WITH_VALUE = java.util.Set.of("-cp", "-classpath", "--class-path",
            "-p", "--module-path", "--upgrade-module-path", "--add-modules", "--limit-modules", "--add-reads",
            "--add-exports", "--add-opens", "--patch-module", "--enable-native-access");

    /**
     * The main class (or "module/class", module, jar) of a java command line
     * as the JVM reports it; empty when the arguments name none.
     */
    public static String mainClassOfArguments(List<String> arguments) {
        for (int i = 0; i < arguments.size(); i++) {
            String a = arguments.get(i);
            if ((a.equals("-jar") || a.equals("-m") || a.equals("--module")) && i + 1 < arguments.size()) {
                return arguments.get(i + 1);
            }
            if (a.startsWith("--module=")) {
                return a.substring("--module=".length());
            }
            if (WITH_VALUE.contains(a)) {
                i++;
            } else if (!a.startsWith("-")) {
                return a;
            }
        }
        return "";
    }

    public static boolean matchesMainClass(String mainClass, String wanted) {
        if (mainClass.isEmpty()) {
            return false;
        }
        if (mainClass.endsWith(".jar")) {
            String file = Path.of(mainClass).getFileName().toString();
            return file.equals(wanted) || file.equals(wanted + ".jar");
        }
        // A main class in a named module comes as "module/class"; either form is accepted.
        String cls = mainClass.substring(mainClass.indexOf('/') + 1);
        return mainClass.equals(wanted) || cls.equals(wanted) || cls.endsWith("." + wanted);
    }

    private static Jvm byPid(long pid) throws ToolException {
        if (pid == ProcessHandle.current().pid()) {
            throw ToolException.usage("process " + pid + " is this tolvane command itself");
        }
        Optional<ProcessHandle> process = ProcessHandle.of(pid);
        if (process.isEmpty() || !process.get().isAlive()) {
            throw new ToolException("no process with id " + pid);
        }
        for (Jvm jvm : list()) {
            if (jvm.pid() == pid) {
                return jvm;
            }
        }
        // Not listed: a JVM started without performance data, another user's
        // process, or not a JVM at all.
        String user = process.get().info().user().orElse(null);
        String me = System.getProperty("user.name");
        String command = process.get().info().command().orElse("");
        String described = "process " + pid + (command.isEmpty() ? "" : " (" + Printable.of(command) + ")");
        Path maps = Path.of("/proc", Long.toString(pid), "maps");
        try {
            for (String line : Files.readAllLines(maps)) {
                if (line.endsWith("/libjvm.so")) {
                    return new Jvm(pid, "");
                }
            }
        } catch (IOException | RuntimeException e) {
            if (user != null && !user.equals(me) && !"root".equals(me)) {
                throw new ToolException("process " + pid + " belongs to user " + user
                        + "; a JVM can only be recorded by the user that runs it");
            }
            // The memory map is hidden from us; go by the executable's name.
            String exe = Path.of(command.isEmpty() ? "unknown" : command).getFileName().toString();
            if (exe.equals("java") || exe.equals("javaw")) {
                return new Jvm(pid, "");
            }
            throw new ToolException(described + " does not look like a Java virtual machine; not attaching to it");
        }
        throw new ToolException(described + " is not a Java virtual machine");
    }
}
