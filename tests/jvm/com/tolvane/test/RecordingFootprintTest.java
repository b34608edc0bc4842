package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.tolvane.agent.recorder.Recorder;
import com.tolvane.snapshot.SnapshotReader;
import java.io.BufferedReader;
import java.io.File;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashSet;
import java.util.List;
import java.util.Set;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * What a recording leaves in the target: no listening socket, no thread but
 * the recorder, a bounded number of classes; and the target's end told where
 * it happens (a failed continuous recording, an exit during the attach), and
 * the leftovers of an earlier tool version ignored.
 */
class RecordingFootprintTest {
    private static final Path NEWER_JDK = Path.of("/usr/lib/jvm/temurin-25-jdk-amd64/bin/java");
    /** The bound on the classes a first recording brings into a JVM. */
    private static final int CLASS_BOUND = 100;

    @TempDir
    Path dir;

    private final List<Process> started = new ArrayList<>();

    @AfterEach
    void stopTargets() throws Exception {
        for (Process p : started) {
            p.destroyForcibly();
            p.waitFor(10, TimeUnit.SECONDS);
        }
    }

    /** Starts a program with only the test classes on its class path, logging the classes it loads. */
    private Process start(String java, Class<?> main, Path classLog, String... jvmArgs) throws IOException {
        List<String> command = new ArrayList<>(List.of(java, "-Xcheck:jni"));
        if (!java.equals(ChildJvm.property("tolvane.java"))) {
            command.add("-XX:+EnableDynamicAgentLoading");
        }
        if (classLog != null) {
            command.add("-Xlog:class+load:file=" + classLog);
        }
        command.addAll(List.of(jvmArgs));
        command.addAll(List.of("-cp", ChildJvm.property("tolvane.testJar"), main.getName()));
        Process p = new ProcessBuilder(command).redirectError(dir.resolve("target-" + started.size() + ".err").toFile())
                .redirectInput(ProcessBuilder.Redirect.from(new File("/dev/null"))).start();
        started.add(p);
        BufferedReader out = new BufferedReader(new InputStreamReader(p.getInputStream(), StandardCharsets.UTF_8));
        assertTrue(out.readLine().endsWith("ready"), "the target did not start");
        return p;
    }

    private String stderrOf(Process p) throws IOException {
        return Files.readString(dir.resolve("target-" + started.indexOf(p) + ".err"));
    }

    private static long lines(Path file) throws IOException {
        try (Stream<String> l = Files.lines(file)) {
            return l.count();
        }
    }

    @Test
    void aRecordingLeavesNoSocketNoThreadButTheRecorderAndFewClassesOnJdk17() throws Exception {
        leavesNoTrace(ChildJvm.property("tolvane.java"));
    }

    @Test
    void aRecordingLeavesNoSocketNoThreadButTheRecorderAndFewClassesOnJdk25() throws Exception {
        Assumptions.assumeTrue(Files.isExecutable(NEWER_JDK), "no JDK 25 installed");
        leavesNoTrace(NEWER_JDK.toString());
    }

    private void leavesNoTrace(String java) throws Exception {
        Path classLog = dir.resolve("classes.log");
        Process target = start(java, PlainTarget.class, classLog);
        String pid = Long.toString(target.pid());
        List<String> threadsBefore = TolvaneCommandTest.threadNamesOf(target.pid());
        Set<Long> socketsBefore = listeningSockets(target.pid());

        long before = lines(classLog);
        ToolRun first = ToolRun.of("record", "-d", "1s", "-o", dir.resolve("first.tsnap").toString(), pid);
        assertEquals(0, first.code(), first.toString());
        long afterFirst = lines(classLog);
        ToolRun second = ToolRun.of("record", "-d", "1s", "-o", dir.resolve("second.tsnap").toString(), pid);
        assertEquals(0, second.code(), second.toString());
        long afterSecond = lines(classLog);
        String context = "classes loaded:\n" + String.join("\n", Files.readAllLines(classLog)
                .subList((int) before, (int) afterSecond));
        assertTrue(afterFirst - before <= CLASS_BOUND, (afterFirst - before) + " " + context);
        assertTrue(afterSecond - afterFirst <= 2, (afterSecond - afterFirst) + " " + context);
        assertLeftAlone(target, threadsBefore, socketsBefore);

        ToolRun loop = ToolRun.of("record", "--loop", "1s", "-o", dir.resolve("loop-%n.tsnap").toString(), pid);
        assertEquals(0, loop.code(), loop.toString());
        ToolRun stop = ToolRun.of("stop", pid);
        assertEquals(0, stop.code(), stop.toString());
        SnapshotReader.read(dir.resolve("loop-1.tsnap"));
        assertLeftAlone(target, threadsBefore, socketsBefore);
        assertFalse(stderrOf(target).contains("WARNING"), stderrOf(target));
    }

    /** The target has no listening socket of ours and no thread of ours but the recorder's. */
    private static void assertLeftAlone(Process target, List<String> threadsBefore, Set<Long> socketsBefore)
            throws IOException {
        Set<Long> sockets = listeningSockets(target.pid());
        sockets.removeAll(socketsBefore);
        // The JVM's own attach listener (a socket file of this user) is the one way in.
        sockets.removeAll(attachListenerSockets(target.pid()));
        assertEquals(Set.of(), sockets, "listening sockets left in the target");

        List<String> added = new ArrayList<>(TolvaneCommandTest.threadNamesOf(target.pid()));
        for (String t : threadsBefore) {
            added.remove(t);
        }
        // The JVM's own threads that come and go with its work.
        added.removeIf(t -> t.equals("Attach Listener") || t.startsWith("C1 CompilerThre")
                || t.startsWith("C2 CompilerThre") || t.startsWith("GC Thread#") || t.startsWith("G1 Conc#")
                || t.startsWith("G1 Refine#"));
        assertEquals(List.of(Recorder.THREAD_NAME.substring(0, 15)), added, "threads added to the target");
    }

    /** The inodes of the process's sockets that listen (TCP over IPv4 and IPv6, and Unix domain). */
    static Set<Long> listeningSockets(long pid) throws IOException {
        Set<Long> own = socketInodes(pid);
        Set<Long> listening = new HashSet<>();
        for (String table : List.of("tcp", "tcp6")) {
            for (String line : tableLines(pid, table)) {
                String[] f = line.trim().split("\\s+");
                if (f.length > 9 && f[3].equals("0A")) { // TCP_LISTEN
                    listening.add(Long.parseLong(f[9]));
                }
            }
        }
        for (String line : tableLines(pid, "unix")) {
            String[] f = line.trim().split("\\s+");
            // Flags __SO_ACCEPTCON: a socket that accepts connections.
            if (f.length > 6 && (Long.parseLong(f[3], 16) & 0x10000) != 0) {
                listening.add(Long.parseLong(f[6]));
            }
        }
        listening.retainAll(own);
        return listening;
    }

    private static Set<Long> attachListenerSockets(long pid) throws IOException {
        Set<Long> attach = new HashSet<>();
        for (String line : tableLines(pid, "unix")) {
            String[] f = line.trim().split("\\s+");
            // Bound under a temporary name that is then renamed.
            if (f.length > 7 && f[7].matches(".*/\\.java_pid" + pid + "(\\.tmp)?")) {
                attach.add(Long.parseLong(f[6]));
            }
        }
        return attach;
    }

    private static List<String> tableLines(long pid, String table) throws IOException {
        List<String> lines = Files.readAllLines(Path.of("/proc/" + pid + "/net/" + table));
        return lines.subList(1, lines.size());
    }

    private static Set<Long> socketInodes(long pid) throws IOException {
        Set<Long> inodes = new HashSet<>();
        try (Stream<Path> fds = Files.list(Path.of("/proc/" + pid + "/fd"))) {
            for (Path fd : fds.toList()) {
                try {
                    String link = Files.readSymbolicLink(fd).toString();
                    if (link.startsWith("socket:[")) {
                        inodes.add(Long.parseLong(link.substring(8, link.length() - 1)));
                    }
                } catch (IOException e) {
                    // closed meanwhile
                }
            }
        }
        return inodes;
    }

    @Test
    void aFailedContinuousRecordingIsToldOnTheTargetsErrorAndToTheNextCommand() throws Exception {
        Process target = start(ChildJvm.property("tolvane.java"), PlainTarget.class, null);
        String pid = Long.toString(target.pid());
        for (String next : List.of("stop", "record")) {
            Path folder = Files.createDirectory(dir.resolve("loop-" + next));
            ToolRun loop = ToolRun.of("record", "--loop", "1s", "-o", folder.resolve("%n.tsnap").toString(), pid);
            assertEquals(0, loop.code(), loop.toString());
            // The folder goes away under the loop: its next snapshot cannot be written.
            try (Stream<Path> files = Files.list(folder)) {
                for (Path f : files.toList()) {
                    Files.delete(f);
                }
            }
            Files.delete(folder);
            String told = "tolvane> Continuous recording into " + folder.resolve("%n.tsnap") + " failed: ";
            long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(60);
            while (!stderrOf(target).contains(told) && System.nanoTime() < deadline) {
                Thread.sleep(100);
            }
            assertTrue(stderrOf(target).contains(told), stderrOf(target));

            ToolRun after = next.equals("stop") ? ToolRun.of("stop", pid)
                    : ToolRun.of("record", "-d", "500ms", "-o", dir.resolve("after.tsnap").toString(), pid);
            String why = "the continuous recording into " + folder.resolve("%n.tsnap") + " failed after ";
            assertTrue(after.err().contains(why), after.toString());
            if (next.equals("stop")) {
                assertEquals(1, after.code(), after.toString());
                assertTrue(after.err().contains("is not being recorded"), after.toString());
                // Told once: the next stop only finds nothing to stop.
                ToolRun again = ToolRun.of("stop", pid);
                assertEquals(1, again.code(), again.toString());
                assertFalse(again.err().contains("failed"), again.toString());
            } else {
                assertEquals(0, after.code(), after.toString());
            }
        }
    }

    @Test
    void aTargetThatExitsDuringTheAttachEndsTheCommandWithExitCode3() throws Exception {
        Process target = start(ChildJvm.property("tolvane.java"), ExitOnAttach.class, null);
        ToolRun run = ToolRun.of("record", "-d", "1s", "-o", dir.resolve("x.tsnap").toString(),
                Long.toString(target.pid()));
        assertEquals(3, run.code(), run.toString());
        assertEquals("tolvane record: JVM " + target.pid() + " exited before the recording started\n", run.err(),
                run.toString());
    }

    @Test
    void leftoversOfAnEarlierVersionDoNotStopARecording() throws Exception {
        Process target = start(ChildJvm.property("tolvane.java"), LeftoverTarget.class, null);
        String pid = Long.toString(target.pid());
        // What an earlier tolvane left: the library loaded by itself, a running management
        // agent and an MBean registered under the recorder's old name (by the target here).
        jcmd(pid, "JVMTI.agent_load", ChildJvm.property("tolvane.lib"), "cpu-time");
        jcmd(pid, "ManagementAgent.start_local");
        // Settings long enough to need a command in several pieces.
        List<String> args = new ArrayList<>(List.of("record", "-d", "1s", "-o", dir.resolve("left.tsnap").toString()));
        for (int i = 0; i < 40; i++) {
            args.addAll(List.of("--ignore", "com.example.a.rather.long.package.name.that.is.ignored.number" + i + "."));
        }
        args.add(pid);
        ToolRun run = ToolRun.of(args.toArray(new String[0]));
        assertEquals(0, run.code(), run.toString());
        SnapshotReader.read(dir.resolve("left.tsnap"));
        String err = stderrOf(target);
        assertEquals(1, err.lines().filter(l -> l.equals("tolvane> Native library initialized")).count(), err);
        assertFalse(err.contains("already initialized"), err);
    }

    private static void jcmd(String pid, String... command) throws Exception {
        List<String> args = new ArrayList<>(List.of(Path.of(ChildJvm.property("tolvane.java"))
                .resolveSibling("jcmd").toString(), pid));
        args.addAll(List.of(command));
        Process p = new ProcessBuilder(args).redirectErrorStream(true).start();
        String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        assertEquals(0, p.waitFor(), out);
    }

    /** The MBean an earlier tolvane registered in every JVM it recorded. */
    public interface OldRecorderMBean {
        long getRecordings();
    }

    public static final class OldRecorder implements OldRecorderMBean {
        @Override
        public long getRecordings() {
            return 1;
        }
    }

    /** A program that carries the old recorder's MBean, then spins. */
    public static final class LeftoverTarget {
        public static void main(String[] args) throws Exception {
            java.lang.management.ManagementFactory.getPlatformMBeanServer().registerMBean(new OldRecorder(),
                    new javax.management.ObjectName("com.tolvane:type=Recorder"));
            System.out.println("ready");
            System.out.flush();
            PlainTarget.main(args);
        }
    }

    /**
     * A program that ends as soon as a tool attaches to it: its attach
     * listener thread appearing is the sign.
     */
    public static final class ExitOnAttach {
        public static void main(String[] args) throws Exception {
            System.out.println("ready");
            System.out.flush();
            while (true) {
                for (Thread t : Thread.getAllStackTraces().keySet()) {
                    if (t.getName().equals("Attach Listener")) {
                        Runtime.getRuntime().halt(0);
                    }
                }
                Thread.sleep(1);
            }
        }
    }
}
