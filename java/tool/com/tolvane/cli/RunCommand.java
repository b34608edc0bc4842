package com.tolvane.cli;

import com.tolvane.snapshot.Snapshot;
import com.tolvane.tool.LoopOptions;
import com.tolvane.tool.OutputFiles;
import com.tolvane.tool.RecordOptions;
import com.tolvane.tool.Recording;
import com.tolvane.tool.StopSignals;
import com.tolvane.tool.Summary;
import com.tolvane.tool.Targets;
import com.tolvane.tool.ToolException;
import com.tolvane.tool.ToolPaths;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.time.LocalDateTime;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import picocli.CommandLine.Command;
import picocli.CommandLine.Mixin;
import picocli.CommandLine.Model.CommandSpec;
import picocli.CommandLine.Parameters;
import picocli.CommandLine.Spec;

/**
 * tolvane run: starts a java command with the profiler on its command line,
 * so the recording covers the JVM from its start, and shows the snapshot once
 * the JVM has exited.
 */
@Command(name = "run", header = "run a java command recorded from its start: tolvane run [options] -- java ...",
        customSynopsis = "tolvane run [options] -- java [java options] MAIN-CLASS | -jar JAR ...",
        description = "Starts the java command with the profiler loaded from its first moment"
                + " (-agentpath:libtolvane.so=record=...) and records it for the given time or until it exits,"
                + " whichever comes first; a JVM that exits earlier writes its snapshot as it exits. Afterwards"
                + " prints the threads and the hottest methods. tolvane record and tolvane stop work on the JVM"
                + " while it runs.",
        footer = "Exit codes: the java command's; 1 failed, 2 bad arguments.")
final class RunCommand implements ToolCommand {
    @Spec
    CommandSpec model;

    @Parameters(paramLabel = "java ...", arity = "0..*", hideParamSyntax = true,
            description = "after --: the java command to run, as it would be typed; its own options stay its own")
    List<String> words = new ArrayList<>();

    @Mixin
    RecordOptionsMixin recording;

    @Mixin
    LoopOptionsMixin loop;

    @Override
    public int run(PrintStream out, PrintStream err) throws ToolException {
        // Options stop at "--" or at the first word that is not one; the java command follows "--".
        int dashes = words.indexOf("--");
        List<String> before = dashes < 0 ? List.of() : words.subList(0, dashes);
        List<String> command = new ArrayList<>(dashes < 0 ? words : words.subList(dashes + 1, words.size()));
        if (dashes < 0 && !model.commandLine().getParseResult().originalArgs().contains("--") || command.isEmpty()) {
            throw ToolException.usage("give the java command after --, as in: tolvane run -d 30s -- java -jar app.jar");
        }
        if (!before.isEmpty()) {
            throw ToolException.usage("unexpected " + String.join(" ", before)
                    + " before --; the java command follows --");
        }
        RecordOptions options = recording.toRecordOptions();
        LoopOptions loop = this.loop.toLoopOptions(options.outputPattern);
        if (loop.isLoop() && options.htmlOutput != null) {
            throw ToolException.usage("--html applies to single recordings, not to --loop");
        }
        Path launcher = Path.of(command.get(0)).getFileName();
        if (launcher == null || !launcher.toString().equals("java")) {
            throw ToolException.usage("the command after -- must start with a java launcher, not " + command.get(0)
                    + launcherHint(launcher == null ? "" : launcher.toString()));
        }

        // %t is the start of the command, set here so that the file can be found afterwards;
        // %p is the JVM's process id, known to the JVM itself.
        String timestamp = RecordOptions.expandOutput("%t", 0, LocalDateTime.now());
        String pattern = LoopOptions.absolute(loop.isLoop() ? options.outputPattern
                : LoopOptions.replace(options.outputPattern, 't', timestamp));
        LocalDateTime now = LocalDateTime.now();
        String named = RecordOptions.expandOutput(pattern, 1, now);
        if (!loop.isLoop() && named.equals(RecordOptions.expandOutput(pattern, 2, now))) {
            // Without %p the name is known before the JVM starts: refused as record refuses it.
            OutputFiles.checkReplaceable(Path.of(named), "output");
        }
        command.add(1, "-agentpath:" + ToolPaths.library() + "=" + agentOptions(options, loop, pattern));

        StopSignals signals = StopSignals.install(() -> {
            // Ctrl-C reaches the JVM too; wait for it to write its snapshot.
        });
        int code;
        long pid;
        try {
            Process process = new ProcessBuilder(command).inheritIO().start();
            pid = process.pid();
            code = process.waitFor();
        } catch (IOException e) {
            throw new ToolException("cannot start " + command.get(0) + ": " + e.getMessage());
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new ToolException("interrupted while " + command.get(0) + " ran");
        } finally {
            signals.restore();
        }
        if (!loop.isLoop()) {
            summarise(Path.of(RecordOptions.expandOutput(pattern, pid, LocalDateTime.now())), pid, options, out, err);
        }
        return code;
    }

    /** The option string of the library: the recording and the settings it needs. */
    /** JDK tools that are Java programs, with the module and main class the java launcher runs them by. */
    private static final Map<String, String> JDK_TOOLS = Map.of(
            "javac", "jdk.compiler/com.sun.tools.javac.Main",
            "javadoc", "jdk.javadoc/jdk.javadoc.internal.tool.Main",
            "jar", "jdk.jartool/sun.tools.jar.Main",
            "jshell", "jdk.jshell/jdk.internal.jshell.tool.JShellToolProvider");

    /** How to run a JDK tool through the java launcher; empty for other commands. */
    static String launcherHint(String command) {
        String main = JDK_TOOLS.get(command);
        return main == null ? "" : "; " + command + " is a Java program: tolvane run ... -- java -m " + main + " ...";
    }

    private String agentOptions(RecordOptions options, LoopOptions loop, String file) throws ToolException {
        List<String> items = new ArrayList<>();
        if (loop.isLoop()) {
            items.add(recording.durationGiven() ? "record=" + options.durationMillis + "ms" : "record");
            items.add("loop=" + loop.intervalMillis + "ms");
            if (loop.keep > 0) {
                items.add("keep=" + loop.keep);
            }
        } else {
            items.add("record=" + options.durationMillis + "ms");
        }
        items.add("file=" + file);
        // The library's settings carry the names of the options that set them.
        Map<String, Boolean> flags = new LinkedHashMap<>();
        flags.put("transactions", recording.transactions);
        flags.put("agent-threads", recording.agentThreads);
        flags.put("agent-classes", recording.agentClasses);
        flags.put("invert", recording.invert);
        flags.put("batched-capture", recording.batchedCapture);
        flags.put("locks", !recording.noLocks);
        flags.put("no-async-sampling", recording.noAsyncSampling);
        flags.put("no-default-filters", recording.noDefaultFilters);
        flags.put("no-default-netio", recording.noDefaultNetio);
        flags.forEach((flag, set) -> {
            if (set) {
                items.add(flag);
            }
        });
        recording.filters.forEach(f -> items.add("filter=" + f));
        recording.ignored.forEach(f -> items.add("ignore=" + f));
        recording.netio.forEach(n -> items.add("netio=" + n));
        if (options.singleCaptureLimit >= 0) {
            items.add("single-capture-limit=" + options.singleCaptureLimit);
        }
        if (options.maxTreeNodes >= 0) {
            items.add("max-tree-nodes=" + options.maxTreeNodes);
        }
        items.add("jar=" + ToolPaths.agentJar());
        for (String item : items) {
            if (item.indexOf(',') >= 0) {
                throw ToolException.usage("'" + item + "' holds a comma, which the java command line's"
                        + " -agentpath options cannot carry");
            }
        }
        return String.join(",", items);
    }

    private static void summarise(Path snapshotPath, long pid, RecordOptions options, PrintStream out,
                                  PrintStream err) throws ToolException {
        if (!Files.isRegularFile(snapshotPath, LinkOption.NOFOLLOW_LINKS)) {
            err.println("tolvane run: no snapshot at " + snapshotPath + " (see the JVM's messages above)");
            return;
        }
        Snapshot snapshot = ReportFiles.read(snapshotPath);
        boolean exited = snapshot.header().durationMicros() / 1000 + 500 < options.durationMillis;
        out.println();
        Summary.print(new Recording.Result(new Targets.Jvm(pid, ""), snapshotPath, snapshot, options.durationMillis,
                exited), out);
        ReportFiles.writeHtml(snapshot, snapshotPath, options.htmlOutput, out);
    }
}
