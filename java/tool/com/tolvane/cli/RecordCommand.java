package com.tolvane.cli;

import com.tolvane.tool.LoopOptions;
import com.tolvane.tool.RecordOptions;
import com.tolvane.tool.Recording;
import com.tolvane.tool.Summary;
import com.tolvane.tool.Targets;
import com.tolvane.tool.ToolException;
import java.io.PrintStream;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import picocli.CommandLine.Command;
import picocli.CommandLine.Mixin;
import picocli.CommandLine.Parameters;

/** tolvane record: attach to a running JVM, record it for a while, summarise the snapshot. */
@Command(name = "record",
        header = "record a running JVM, given by process id or main class name, into a snapshot file",
        customSynopsis = "tolvane record [options] <pid | main class name>",
        description = "Attaches to the JVM, samples all its threads for the given time, writes the snapshot and"
                + " prints the threads and the hottest methods. Ctrl-C or SIGTERM ends the recording early; the"
                + " snapshot is still written and shown.",
        footer = "Exit codes: 0 recorded, 1 failed, 2 bad arguments, 3 the JVM exited during the recording.")
public final class RecordCommand implements ToolCommand {
    @Parameters(paramLabel = "<pid | main class name>", arity = "0..*", hideParamSyntax = true,
            description = "the JVM to record: its process id, or its main class or jar name as tolvane list shows"
                    + " it (with or without package, module or directory)")
    List<String> target = new ArrayList<>();

    @Mixin
    RecordOptionsMixin recording;

    @Mixin
    LoopOptionsMixin loop;

    /** The target as given: a process id or a main class name. */
    public String target() throws ToolException {
        return Positionals.single(target, "target: a process id or a main class name");
    }

    /** The recording options as given. */
    public RecordOptions options() throws ToolException {
        return recording.toRecordOptions();
    }

    @Override
    public int run(PrintStream out, PrintStream err) throws ToolException {
        RecordOptions options = options();
        LoopOptions loop = this.loop.toLoopOptions(options.outputPattern);
        if (loop.isLoop() && options.htmlOutput != null) {
            throw ToolException.usage("--html applies to single recordings, not to --loop");
        }
        Targets.Jvm jvm = Targets.resolve(target());
        options.exemptApplication(jvm.mainClass());
        if (loop.isLoop()) {
            String pattern = LoopOptions.pattern(options.outputPattern, jvm.pid());
            new Recording(jvm, options, Path.of(pattern), err, false)
                    .continuous(loop, recording.durationGiven() ? options.durationMillis : 0).startContinuous(out);
            return 0;
        }
        Path output = options.outputFor(jvm.pid());
        Recording.Result result = new Recording(jvm, options, output, err, System.console() != null).run();
        Summary.print(result, out);
        ReportFiles.writeHtml(result.snapshot(), result.snapshotPath(), options.htmlOutput, out);
        if (result.targetExited()) {
            throw result.exitedError();
        }
        return 0;
    }
}
