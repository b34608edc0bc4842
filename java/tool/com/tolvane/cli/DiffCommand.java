package com.tolvane.diff;

import com.tolvane.report.Metric;
import com.tolvane.report.ReportCommand;
import com.tolvane.snapshot.Snapshot;
import com.tolvane.tool.Args;
import com.tolvane.tool.Command;
import com.tolvane.tool.ToolException;

import java.io.BufferedWriter;
import java.io.IOException;
import java.io.OutputStreamWriter;
import java.io.PrintStream;
import java.io.Writer;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.util.List;
import java.util.Locale;
import java.util.regex.Pattern;

/**
 * {@code tolvane diff BEFORE AFTER}: compares two snapshots, as a table of the
 * methods whose own time changed most or as a differential flame graph page.
 */
public final class DiffCommand implements Command {
    static final int DEFAULT_LIMIT = 20;

    @Override
    public String name() {
        return "diff";
    }

    @Override
    public String summary() {
        return "compare two snapshots: what got slower or faster, as text or an HTML page";
    }

    @Override
    public String usage() {
        return "usage: tolvane diff BEFORE AFTER [--format text|html] [-o OUT] [options]\n\n"
                + "Compares the own time of every method between two snapshots, by default as shares of each\n"
                + "recording's total per state, so recordings of different lengths compare. Threads are\n"
                + "matched by name with digits ignored (pool-1-thread-3 meets pool-2-thread-5).\n\n"
                + "  -f, --format F     text  the methods whose own time changed most (default)\n"
                + "                     html  one self-contained page: a differential flame graph sized by\n"
                + "                           AFTER (or BEFORE) and coloured by the change of each frame's own\n"
                + "                           time, and the same table (default when OUT ends in .html)\n"
                + "  -o, --output OUT   write to OUT instead of standard output\n"
                + "  --absolute         compare times in milliseconds instead of shares of the totals\n"
                + "  --limit N          methods in the text table per state (default " + DEFAULT_LIMIT + ")\n"
                + ReportCommand.STATE_USAGE + ReportCommand.SHARED_USAGE;
    }

    @Override
    public int run(String[] argv, PrintStream out, PrintStream err) throws ToolException {
        Args args = ReportCommand.declareShared(new Args().valued("format", 'f').valued("output", 'o')
                .flag("absolute", null).valued("limit", null)).parse(argv);
        List<String> files = args.positional();
        if (files.size() != 2) {
            throw ToolException.usage("expected two snapshot files, BEFORE and AFTER, got " + files.size()
                    + (files.isEmpty() ? "" : ": " + String.join(" ", files)));
        }
        String output = args.value("output", null);
        boolean html;
        if (args.has("format")) {
            String f = args.value("format", "").toLowerCase(Locale.ROOT);
            if (!f.equals("text") && !f.equals("html")) {
                throw ToolException.usage("unknown diff format \"" + args.value("format", "") + "\" (text or html)");
            }
            html = f.equals("html");
        } else {
            String name = output == null ? "" : output.toLowerCase(Locale.ROOT);
            html = name.endsWith(".html") || name.endsWith(".htm");
        }
        int limit = DEFAULT_LIMIT;
        if (args.has("limit")) {
            try {
                limit = Integer.parseInt(args.value("limit", ""));
            } catch (NumberFormatException e) {
                limit = 0;
            }
            if (limit < 1) {
                throw ToolException.usage("--limit needs a whole number above 0, not \"" + args.value("limit", "")
                        + "\"");
            }
        }
        Metric metric = ReportCommand.metric(args);
        Pattern threads = ReportCommand.threadPattern(args);
        boolean absolute = args.has("absolute");

        Path beforeFile = Path.of(files.get(0));
        Path afterFile = Path.of(files.get(1));
        Snapshot before = ReportCommand.read(beforeFile);
        Snapshot after = ReportCommand.read(afterFile);
        DiffModel model = new DiffModel(before, after, beforeFile.getFileName().toString(),
                afterFile.getFileName().toString(), threads, args.has("raw-names"));
        if (threads != null && model.threadCount(DiffModel.BEFORE) + model.threadCount(DiffModel.AFTER) == 0) {
            throw new ToolException("no thread name matches \"" + threads.pattern() + "\" in either snapshot");
        }
        int shown = limit;
        ReportCommand.Content content = w -> {
            if (html) {
                DiffPage.write(model, metric, absolute, w);
            } else {
                DiffText.write(model, metric, absolute, shown, w);
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
            ReportCommand.writeFile(Path.of(output), content);
            err.println("wrote " + (html ? "html" : "text") + " comparison to " + output);
        }
        return 0;
    }
}
