package com.tolvane.cli;

import com.tolvane.report.Metric;
import com.tolvane.report.ReportContext;
import com.tolvane.report.ReportFormat;
import com.tolvane.report.ReportOptions;
import com.tolvane.snapshot.Snapshot;
import com.tolvane.tool.ToolException;
import java.io.BufferedWriter;
import java.io.IOException;
import java.io.OutputStreamWriter;
import java.io.PrintStream;
import java.io.Writer;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import picocli.CommandLine.Command;
import picocli.CommandLine.Mixin;
import picocli.CommandLine.Option;
import picocli.CommandLine.Parameters;

/**
 * {@code tolvane report FILE}: reads a snapshot and writes one of the
 * report formats to standard output or a file.
 */
@Command(name = "report",
        header = "show a snapshot as call tree, hot spots, threads, folded stacks, JSON, an HTML page or pprof",
        customSynopsis = "tolvane report FILE [--format F] [-o OUT] [options]",
        description = "Reads the snapshot and writes the report to standard output, or to OUT.")
final class ReportCommand implements ToolCommand {
    @Parameters(paramLabel = "FILE", arity = "0..*", hideParamSyntax = true, description = "the snapshot to show")
    List<String> file = new ArrayList<>();

    @Option(names = {"-f", "--format"}, paramLabel = "F", converter = Format.class, description = {
        "tree       call tree of all threads merged, then of each thread",
        "hotspots   methods by own time, with the call paths leading there",
        "threads    threads with lifetime and time per state",
        "locks      blocked and parked time per monitor and blocker class, with waiting and holding threads",
        "collapsed  folded stacks for flamegraph.pl and speedscope",
        "json       everything the snapshot holds",
        "html       one self-contained page: flame graph, call tree, hot spots and thread timeline",
        "pprof      gzip'd profile.proto for go tool pprof, Pyroscope, Grafana",
        "Default: from the extension of OUT (.html, .json, .collapsed, .folded, .pb.gz, .pprof), else tree on a"
                + " terminal and collapsed when the output is piped or redirected."})
    ReportFormat format;

    @Option(names = {"-o", "--output"}, paramLabel = "OUT", converter = ReportFiles.Output.class,
            parameterConsumer = VerbatimValue.class,
            description = "write to OUT (a new or a regular file) instead of standard output")
    String output;

    @Option(names = "--min-percent", paramLabel = "P", converter = MinPercent.class,
            defaultValue = "" + ReportOptions.DEFAULT_MIN_PERCENT,
            description = "fold call-tree children below P%% of their caller's time and hot spots below P%% of all"
                    + " (default ${DEFAULT-VALUE})")
    double minPercent;

    @Option(names = "--threads", description = "folded stacks: each thread as a first frame \"[thread NAME]\"")
    boolean threadFrames;

    @Mixin
    SelectionOptionsMixin selection;

    @Override
    public int run(PrintStream out, PrintStream err) throws ToolException {
        Path file = Path.of(Positionals.single(this.file, "snapshot file"));
        ReportFormat format = this.format != null ? this.format
                : output != null ? ReportFormat.forFileName(output)
                : System.console() != null ? ReportFormat.TREE : ReportFormat.COLLAPSED;
        if (threadFrames && format != ReportFormat.COLLAPSED) {
            throw ToolException.usage("--threads applies to folded stacks (--format collapsed) only");
        }

        Snapshot snapshot = ReportFiles.read(file);
        ReportOptions options = new ReportOptions(selection.thread, selection.metric(List.of(file), List.of(snapshot)),
                minPercent, selection.rawNames, threadFrames);
        ReportContext ctx = new ReportContext(snapshot, file.getFileName().toString(), options);
        if (selection.thread != null && ctx.threads().isEmpty()) {
            throw new ToolException("no thread name matches \"" + selection.thread.pattern()
                    + "\"; the threads are: " + ReportFiles.threadNames(snapshot));
        }

        if (format == ReportFormat.PPROF) {
            PprofOutput.write(ctx, file, output, out, err);
            return 0;
        }
        if (output == null) {
            if (this.format == null && format == ReportFormat.COLLAPSED) {
                // Said on standard error, which the pipe (flamegraph.pl, less) does not carry.
                err.println("tolvane report: folded stacks, since the output is not a terminal;"
                        + " -f tree gives the call tree");
            }
            Writer w = new BufferedWriter(new OutputStreamWriter(out, StandardCharsets.UTF_8), 1 << 16);
            try {
                format.write(ctx, w);
                w.flush();
            } catch (IOException e) {
                throw new ToolException("cannot write the report: " + e.getMessage());
            }
        } else {
            Path target = Path.of(output);
            ReportFiles.writeFile(target, w -> format.write(ctx, w));
            err.println("wrote " + format.option() + " report to " + target);
        }
        return 0;
    }

    static final class Format extends CheckedConverter<ReportFormat> {
        @Override
        ReportFormat check(String value) throws ToolException {
            ReportFormat format = ReportFormat.parse(value);
            if (format == null) {
                throw ToolException.usage("unknown report format \"" + value
                        + "\" (tree, hotspots, threads, collapsed, json, html or pprof)");
            }
            return format;
        }
    }

    static final class MinPercent extends CheckedConverter<Double> {
        @Override
        Double check(String value) throws ToolException {
            double percent;
            try {
                percent = Double.parseDouble(value);
            } catch (NumberFormatException e) {
                percent = Double.NaN;
            }
            if (!(percent >= 0 && percent <= 100)) {
                throw ToolException.usage("--min-percent needs a number from 0 to 100, not \"" + value + "\"");
            }
            return percent;
        }
    }
}
