package com.tolvane.cli;

import com.tolvane.diff.DiffModel;
import com.tolvane.diff.DiffPage;
import com.tolvane.diff.DiffText;
import com.tolvane.report.Metric;
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
import java.util.Locale;
import picocli.CommandLine.Command;
import picocli.CommandLine.Mixin;
import picocli.CommandLine.Option;
import picocli.CommandLine.Parameters;

/**
 * {@code tolvane diff BEFORE AFTER}: compares two snapshots, as a table of the
 * methods whose own time changed most or as a differential flame graph page.
 */
@Command(name = "diff", header = "compare two snapshots: what got slower or faster, as text or an HTML page",
        customSynopsis = "tolvane diff BEFORE AFTER [--format text|html] [-o OUT] [options]",
        description = "Compares the own time of every method between two snapshots, by default as shares of each"
                + " recording's total per state, so recordings of different lengths compare, beside the times in"
                + " milliseconds and their change. Threads are matched"
                + " by name with digits ignored (pool-1-thread-3 meets pool-2-thread-5).")
final class DiffCommand implements ToolCommand {
    static final int DEFAULT_LIMIT = 20;

    @Parameters(paramLabel = "BEFORE AFTER", arity = "0..*", hideParamSyntax = true,
            description = "the two snapshots to compare")
    List<String> files = new ArrayList<>();

    @Option(names = {"-f", "--format"}, paramLabel = "F", converter = Format.class, description = {
        "text  the methods whose own time changed most (default)",
        "html  one self-contained page: a differential flame graph sized by AFTER (or BEFORE) and coloured by"
                + " the change of each frame's own time, and the same table (default when OUT ends in .html)"})
    String format;

    @Option(names = {"-o", "--output"}, paramLabel = "OUT", converter = ReportFiles.Output.class,
            parameterConsumer = VerbatimValue.class,
            description = "write to OUT (a new or a regular file) instead of standard output")
    String output;

    @Option(names = "--absolute", description = "compare times in milliseconds instead of shares of the totals")
    boolean absolute;

    @Option(names = "--limit", paramLabel = "N", converter = Limit.class, defaultValue = "" + DEFAULT_LIMIT,
            description = "methods in the text table per state (default ${DEFAULT-VALUE})")
    int limit;

    @Mixin
    SelectionOptionsMixin selection;

    @Override
    public int run(PrintStream out, PrintStream err) throws ToolException {
        if (files.size() != 2) {
            throw ToolException.usage("expected two snapshot files, BEFORE and AFTER, got " + files.size()
                    + (files.isEmpty() ? "" : ": " + String.join(" ", files)));
        }
        String name = output == null ? "" : output.toLowerCase(Locale.ROOT);
        boolean html = format != null ? format.equals("html") : name.endsWith(".html") || name.endsWith(".htm");

        Path beforeFile = Path.of(files.get(0));
        Path afterFile = Path.of(files.get(1));
        Snapshot before = ReportFiles.read(beforeFile);
        Snapshot after = ReportFiles.read(afterFile);
        Metric state = selection.metric(List.of(beforeFile, afterFile), List.of(before, after));
        DiffModel model = new DiffModel(before, after, beforeFile.getFileName().toString(),
                afterFile.getFileName().toString(), selection.thread, selection.rawNames);
        if (selection.thread != null
                && model.threadCount(DiffModel.BEFORE) + model.threadCount(DiffModel.AFTER) == 0) {
            throw new ToolException("no thread name matches \"" + selection.thread.pattern()
                    + "\" in either snapshot");
        }
        ReportFiles.Content content = w -> {
            if (html) {
                DiffPage.write(model, state, absolute, w);
            } else {
                DiffText.write(model, state, absolute, limit, w);
            }
        };
        if (output == null) {
            Writer w = new BufferedWriter(new OutputStreamWriter(out, StandardCharsets.UTF_8), 1 << 16);
            try {
                content.write(w);
                w.flush();
            } catch (IOException e) {
                throw new ToolException("cannot write the comparison: " + e.getMessage());
            }
        } else {
            ReportFiles.writeFile(Path.of(output), content);
            err.println("wrote " + (html ? "html" : "text") + " comparison to " + output);
        }
        return 0;
    }

    static final class Format extends CheckedConverter<String> {
        @Override
        String check(String value) throws ToolException {
            String format = value.toLowerCase(Locale.ROOT);
            if (!format.equals("text") && !format.equals("html")) {
                throw ToolException.usage("unknown diff format \"" + value + "\" (text or html)");
            }
            return format;
        }
    }

    static final class Limit extends CheckedConverter<Integer> {
        @Override
        Integer check(String value) throws ToolException {
            int limit;
            try {
                limit = Integer.parseInt(value);
            } catch (NumberFormatException e) {
                limit = 0;
            }
            if (limit < 1) {
                throw ToolException.usage("--limit needs a whole number above 0, not \"" + value + "\"");
            }
            return limit;
        }
    }
}
