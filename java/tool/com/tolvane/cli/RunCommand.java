package com.tolvane.tool;

import com.tolvane.snapshot.Snapshot;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.LocalDateTime;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/**
 * tolvane run: starts a java command with the profiler on its command line,
 * so the recording covers the JVM from its start, and shows the snapshot once
 * the JVM has exited.
 */
public final class RunCommand implements Command {
    @Override
    public String name() {
        return "run";
    }

    @Override
    public String summary() {
        return "run a java command recorded from its start: tolvane run [options] -- java ...";
    }

    @Override
    public String usage() {
        return "usage: tolvane run [options] -- java [java options] MAIN-CLASS | -jar JAR ...\n\n"
                + "Starts the java command with the profiler loaded from its first moment\n"
                + "(-agentpath:libtolvane.so=record=...) and records it for the given time or until it\n"
                + "exits, whichever comes first; a JVM that exits earlier writes its snapshot as it exits.\n"
                + "Afterwards prints the threads and the hottest methods. tolvane record and tolvane stop\n"
                + "work on the JVM while it runs. The exit code is the java command's.\n\n"
                + RecordOptions.optionsUsage() + "\n"
                + LoopOptions.usage();
    }

    @Override
    public int run(String[] argv, PrintStream out, PrintStream err) throws ToolException {
        int dashes = Arrays.asList(argv).indexOf("--");
        if (dashes < 0 || dashes == argv.length - 1) {
            throw ToolException.usage("give the java command after --, as in: tolvane run -d 30s -- java -jar app.jar");
        }
        Args parsed = LoopOptions.declare(RecordOptions.declare(new Args())).parse(Arrays.copyOfRange(argv, 0, dashes));
        if (!parsed.positional().isEmpty()) {
            throw ToolException.usage("unexpected " + String.join(" ", parsed.positional())
                    + " before --; the java command follows --");
        }
        RecordOptions options = RecordOptions.from(parsed);
        LoopOptions loop = LoopOptions.from(parsed);
        if (loop.isLoop() && options.htmlOutput != null) {
            throw ToolException.usage("--html applies to single recordings, not to --loop");
        }
        List<String> command = new ArrayList<>(Arrays.asList(argv).subList(dashes + 1, argv.length));
        Path launcher = Path.of(command.get(0)).getFileName();
        if (launcher == null || !launcher.toString().equals("java")) {
            throw ToolException.usage("the command after -- must start with a java launcher, not " + command.get(0));
        }

        // %t is the start of the command, set here so that the file can be found afterwards;
        // %p is the JVM's process id, known to the JVM itself.
        String timestamp = RecordOptions.expandOutput("%t", 0, LocalDateTime.now());
        String pattern = LoopOptions.absolute(loop.isLoop() ? options.outputPattern
                : LoopOptions.replace(options.outputPattern, 't', timestamp));
        command.add(1, "-agentpath:" + ToolPaths.library() + "=" + agentOptions(parsed, options, loop, pattern));

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
    static String agentOptions(Args parsed, RecordOptions options, LoopOptions loop, String file) throws ToolException {
        List<String> items = new ArrayList<>();
        if (loop.isLoop()) {
            items.add(parsed.has("duration") ? "record=" + options.durationMillis + "ms" : "record");
            items.add("loop=" + loop.intervalMillis + "ms");
            if (loop.keep > 0) {
                items.add("keep=" + loop.keep);
            }
        } else {
            items.add("record=" + options.durationMillis + "ms");
        }
        items.add("file=" + file);
        for (String flag : List.of("transactions", "agent-threads", "agent-classes", "invert", "batched-capture",
                "no-default-filters", "no-default-netio")) {
            if (parsed.has(flag)) {
                items.add(flag);
            }
        }
        for (String key : List.of("filter", "ignore", "netio")) {
            for (String value : parsed.all(key)) {
                items.add(key + "=" + value);
            }
        }
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
        if (!Files.isRegularFile(snapshotPath)) {
            err.println("tolvane run: no snapshot at " + snapshotPath + " (see the JVM's messages above)");
            return;
        }
        Snapshot snapshot = com.tolvane.report.ReportCommand.read(snapshotPath);
        boolean exited = snapshot.header().durationMicros() / 1000 + 500 < options.durationMillis;
        out.println();
        Summary.print(new Recording.Result(new Targets.Jvm(pid, ""), snapshotPath, snapshot, options.durationMillis,
                exited), out);
        com.tolvane.report.ReportCommand.writeHtml(snapshot, snapshotPath, options.htmlOutput, out);
    }
}
