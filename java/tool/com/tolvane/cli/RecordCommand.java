package com.tolvane.tool;

import java.io.PrintStream;
import java.nio.file.Path;

/** tolvane record: attach to a running JVM, record it for a while, summarise the snapshot. */
public final class RecordCommand implements Command {
    @Override
    public String name() {
        return "record";
    }

    @Override
    public String summary() {
        return "record a running JVM, given by process id or main class name, into a snapshot file";
    }

    @Override
    public String usage() {
        return "usage: tolvane record [options] <pid | main class name>\n\n"
                + "Attaches to the JVM, samples all its threads for the given time, writes the snapshot\n"
                + "and prints the threads and the hottest methods. Ctrl-C or SIGTERM ends the recording early;\n"
                + "the snapshot is still written and shown.\n\n"
                + RecordOptions.optionsUsage() + "\n"
                + LoopOptions.usage() + "\n\n"
                + "Exit codes: 0 recorded, 1 failed, 2 bad arguments, 3 the JVM exited during the recording.";
    }

    @Override
    public int run(String[] args, PrintStream out, PrintStream err) throws ToolException {
        Args parsed = LoopOptions.declare(RecordOptions.declare(new Args())).parse(args);
        RecordOptions options = RecordOptions.from(parsed);
        LoopOptions loop = LoopOptions.from(parsed);
        if (loop.isLoop() && options.htmlOutput != null) {
            throw ToolException.usage("--html applies to single recordings, not to --loop");
        }
        String target = parsed.single("target: a process id or a main class name");
        Targets.Jvm jvm = Targets.resolve(target);
        options.exemptApplication(jvm.mainClass());
        if (loop.isLoop()) {
            String pattern = LoopOptions.pattern(options.outputPattern, jvm.pid());
            new Recording(jvm, options, Path.of(pattern), err, false)
                    .continuous(loop, parsed.has("duration") ? options.durationMillis : 0).startContinuous(out);
            return 0;
        }
        Path output = options.outputFor(jvm.pid());
        Recording.Result result = new Recording(jvm, options, output, err, System.console() != null).run();
        Summary.print(result, out);
        com.tolvane.report.ReportCommand.writeHtml(result.snapshot(), result.snapshotPath(), options.htmlOutput, out);
        if (result.targetExited()) {
            throw result.exitedError();
        }
        return 0;
    }
}
