package com.tolvane.report;

import com.tolvane.snapshot.Snapshot;
import com.tolvane.snapshot.SnapshotFormatException;
import com.tolvane.snapshot.SnapshotReader;
import com.tolvane.tool.Args;
import com.tolvane.tool.Command;
import com.tolvane.tool.ToolException;

import java.io.BufferedWriter;
import java.io.IOException;
import java.io.OutputStreamWriter;
import java.io.PrintStream;
import java.io.Writer;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import java.util.regex.Pattern;
import java.util.regex.PatternSyntaxException;

/**
 * {@code tolvane report FILE}: reads a snapshot and writes one of the
 * report formats to standard output or a file.
 */
public final class ReportCommand implements Command {
    /** Share of a tree below which nodes are folded, unless --min-percent says otherwise. */
    public static final double DEFAULT_MIN_PERCENT = 0.5;

    /** The report formats. */
    public enum Format {
        TREE, HOTSPOTS, THREADS, COLLAPSED, JSON, HTML, PPROF;

        String option() {
            return name().toLowerCase(Locale.ROOT);
        }

        static Format parse(String text) {
            for (Format f : values()) {
                if (f.option().equals(text.toLowerCase(Locale.ROOT))) {
                    return f;
                }
            }
            return null;
        }
    }

    @Override
    public String name() {
        return "report";
    }

    @Override
    public String summary() {
        return "show a snapshot as call tree, hot spots, threads, folded stacks, JSON, an HTML page or pprof";
    }

    @Override
    public String usage() {
        return "usage: tolvane report FILE [--format F] [-o OUT] [options]\n"
                + "  -f, --format F     tree       call tree of all threads merged, then of each thread\n"
                + "                     hotspots   methods by own time, with the call paths leading there\n"
                + "                     threads    threads with lifetime and time per state\n"
                + "                     collapsed  folded stacks for flamegraph.pl and speedscope\n"
                + "                     json       everything the snapshot holds\n"
                + "                     html       one self-contained page: flame graph, call tree,\n"
                + "                                hot spots and thread timeline\n"
                + "                     pprof      gzip'd profile.proto for go tool pprof, Pyroscope, Grafana\n"
                + "                     Default: from the extension of OUT (.html, .json, .collapsed,\n"
                + "                     .folded, .pb.gz, .pprof), else tree on a terminal and collapsed\n"
                + "                     when the output is piped or redirected.\n"
                + "  -o, --output OUT   write to OUT instead of standard output\n"
                + "  --min-percent P    fold call-tree children below P% of their caller's time and hot\n"
                + "                     spots below P% of all (default " + Names.number(DEFAULT_MIN_PERCENT) + ")\n"
                + "  --threads          folded stacks: each thread as a first frame \"[thread NAME]\"\n"
                + "  --state S          time to rank, fold and draw: cpu, running, waiting, blocked, netio or\n"
                + "                     all (default cpu when the snapshot has CPU time, else running);\n"
                + "                     running is the JVM's RUNNABLE state, which includes native code and\n"
                + "                     waiting for I/O\n"
                + SHARED_USAGE;
    }

    /** Usage of --state for diff, which compares the four states. */
    public static final String STATE_USAGE =
            "  --state S          time to rank, fold and draw: running, waiting, blocked, netio or all\n"
            + "                     (default running)\n";

    /** Usage of the options that report and diff share. */
    public static final String SHARED_USAGE =
            "  --thread REGEX     only threads whose name contains a match of REGEX\n"
            + "  --raw-names        keep the run-time addresses and counters of lambda, hidden and proxy\n"
            + "                     classes (by default dropped, so recordings compare)\n";

    /** Declares the options that report and diff share. */
    public static Args declareShared(Args args) {
        return args.valued("thread", null).valued("state", null).flag("raw-names", null);
    }

    /** The --state option of diff, which compares states; running when it is not given. */
    public static Metric metric(Args args) throws ToolException {
        Metric metric = stateOption(args, "running, waiting, blocked, netio or all");
        if (metric == Metric.CPU) {
            throw ToolException.usage("diff compares the states running, waiting, blocked, netio or all;"
                    + " --state cpu works with report");
        }
        return metric == null ? Metric.RUNNING : metric;
    }

    /** The metric --state names; null when it is not given. */
    private static Metric stateOption(Args args, String choices) throws ToolException {
        if (!args.has("state")) {
            return null;
        }
        Metric metric = Metric.parse(args.value("state", ""));
        if (metric == null) {
            throw ToolException.usage("unknown state \"" + args.value("state", "") + "\" (" + choices + ")");
        }
        return metric;
    }

    /** The --thread option; null when it is not given. */
    public static Pattern threadPattern(Args args) throws ToolException {
        if (!args.has("thread")) {
            return null;
        }
        try {
            return Pattern.compile(args.value("thread", ""));
        } catch (PatternSyntaxException e) {
            throw ToolException.usage("invalid --thread pattern: " + e.getDescription()
                    + " in \"" + e.getPattern() + "\"");
        }
    }

    @Override
    public int run(String[] argv, PrintStream out, PrintStream err) throws ToolException {
        Args args = declareShared(new Args()
                .valued("format", 'f')
                .valued("output", 'o')
                .valued("min-percent", null)
                .flag("threads", null))
                .parse(argv);
        Path file = Path.of(args.single("snapshot file"));
        String output = args.value("output", null);

        Format format;
        if (args.has("format")) {
            format = Format.parse(args.value("format", ""));
            if (format == null) {
                throw ToolException.usage("unknown report format \"" + args.value("format", "")
                        + "\" (tree, hotspots, threads, collapsed, json, html or pprof)");
            }
        } else {
            format = defaultFormat(output, System.console() != null);
        }

        Metric chosen = stateOption(args, "cpu, running, waiting, blocked, netio or all");
        double minPercent = DEFAULT_MIN_PERCENT;
        if (args.has("min-percent")) {
            String text = args.value("min-percent", "");
            try {
                minPercent = Double.parseDouble(text);
            } catch (NumberFormatException e) {
                minPercent = Double.NaN;
            }
            if (!(minPercent >= 0 && minPercent <= 100)) {
                throw ToolException.usage("--min-percent needs a number from 0 to 100, not \"" + text + "\"");
            }
        }
        Pattern threadPattern = threadPattern(args);
        if (args.has("threads") && format != Format.COLLAPSED) {
            throw ToolException.usage("--threads applies to folded stacks (--format collapsed) only");
        }

        Snapshot snapshot = read(file);
        if (chosen == Metric.CPU && !snapshot.hasCpuTime()) {
            throw new ToolException(file + " holds no CPU time: it was recorded without measuring CPU time,"
                    + " or the JVM could not read thread CPU times; --state running shows the RUNNABLE time");
        }
        Metric metric = chosen != null ? chosen : Metric.defaultFor(snapshot);
        ReportContext ctx = new ReportContext(snapshot, file.getFileName().toString(), threadPattern, metric,
                minPercent, args.has("raw-names")).threadFrames(args.has("threads"));
        if (threadPattern != null && ctx.threads().isEmpty()) {
            throw new ToolException("no thread name matches \"" + threadPattern.pattern() + "\"; the threads are: "
                    + threadNames(snapshot));
        }

        if (format == Format.PPROF) {
            PprofOutput.write(ctx, file, output, out, err);
            return 0;
        }
        if (output == null) {
            if (!args.has("format") && format == Format.COLLAPSED) {
                // Said on standard error, which the pipe (flamegraph.pl, less) does not carry.
                err.println("tolvane report: folded stacks, since the output is not a terminal;"
                        + " -f tree gives the call tree");
            }
            Writer w = new BufferedWriter(new OutputStreamWriter(out, StandardCharsets.UTF_8), 1 << 16);
            try {
                write(format, ctx, w);
                w.flush();
            } catch (IOException e) {
                throw new ToolException("cannot write the report: " + e.getMessage());
            }
        } else {
            Path target = Path.of(output);
            writeFile(format, ctx, target);
            err.println("wrote " + format.option() + " report to " + target);
        }
        return 0;
    }

    /**
     * The format when none is given: the one the output file's extension
     * names, else the readable tree on a terminal and the folded stacks when
     * the output goes to a pipe or file (flamegraph.pl, speedscope).
     */
    static Format defaultFormat(String output, boolean terminal) {
        if (output != null) {
            String name = output.toLowerCase(Locale.ROOT);
            if (name.endsWith(".html") || name.endsWith(".htm")) {
                return Format.HTML;
            }
            if (name.endsWith(".json")) {
                return Format.JSON;
            }
            if (name.endsWith(".collapsed") || name.endsWith(".folded")) {
                return Format.COLLAPSED;
            }
            if (name.endsWith(".pb.gz") || name.endsWith(".pprof")) {
                return Format.PPROF;
            }
            return Format.TREE;
        }
        return terminal ? Format.TREE : Format.COLLAPSED;
    }

    /** Reads a snapshot, turning the reader's complaints into one-line errors. */
    public static Snapshot read(Path file) throws ToolException {
        if (!Files.exists(file)) {
            throw new ToolException(file + ": no such file");
        }
        if (!Files.isRegularFile(file)) {
            throw new ToolException(file + ": not a regular file");
        }
        try {
            return SnapshotReader.read(file);
        } catch (SnapshotFormatException e) {
            throw new ToolException(file + ": " + e.getMessage());
        } catch (IOException e) {
            throw new ToolException(file + ": cannot be read: " + e.getMessage());
        }
    }

    /**
     * Writes the HTML page of a fresh recording and names it on {@code out};
     * nothing when {@code target} is null. For commands that record and then
     * show the result.
     */
    public static void writeHtml(Snapshot snapshot, Path snapshotPath, String target, PrintStream out)
            throws ToolException {
        if (target == null) {
            return;
        }
        Path html = Path.of(target);
        writeFile(Format.HTML, new ReportContext(snapshot, snapshotPath.getFileName().toString(), null,
                Metric.defaultFor(snapshot), DEFAULT_MIN_PERCENT), html);
        out.println("HTML report: " + html.toAbsolutePath().normalize());
    }

    /** The HTML file beside a snapshot: its name with ".html" in place of ".tsnap". */
    public static Path htmlNextTo(Path snapshot) {
        String name = snapshot.getFileName().toString();
        String base = name.endsWith(".tsnap") ? name.substring(0, name.length() - ".tsnap".length()) : name;
        return snapshot.resolveSibling(base + ".html");
    }

    /**
     * Checks an HTML report target before anything is recorded, so that a
     * typo costs no recording; returns it unchanged (null stays null).
     */
    public static String checkHtmlTarget(String target) throws ToolException {
        if (target == null) {
            return null;
        }
        if (target.isEmpty()) {
            throw ToolException.usage("empty --html file name");
        }
        Path dir = Path.of(target).toAbsolutePath().getParent();
        if (dir == null || !Files.isDirectory(dir)) {
            throw ToolException.usage("cannot write the HTML report " + target + ": directory " + dir
                    + " does not exist");
        }
        if (Files.isDirectory(Path.of(target))) {
            throw ToolException.usage("cannot write the HTML report " + target + ": it is a directory");
        }
        return target;
    }

    static void write(Format format, ReportContext ctx, Appendable out) throws IOException {
        switch (format) {
            case TREE: TreeFormat.write(ctx, out); break;
            case HOTSPOTS: HotspotsFormat.write(ctx, out); break;
            case THREADS: ThreadsFormat.write(ctx, out); break;
            case COLLAPSED: CollapsedFormat.write(ctx, out); break;
            case JSON: JsonFormat.write(ctx, out); break;
            default: HtmlFormat.write(ctx, out); break;
        }
    }

    /**
     * Writes a report into a file through a temporary file next to it, so a
     * failed write never leaves a truncated report under the final name.
     */
    private static void writeFile(Format format, ReportContext ctx, Path target) throws ToolException {
        writeFile(target, w -> write(format, ctx, w));
    }

    /** Writes the text of a report. */
    public interface Content {
        void write(Writer out) throws IOException;
    }

    /**
     * Writes a file through a temporary file next to it, so a failed write
     * never leaves a truncated file under the final name.
     */
    public static void writeFile(Path target, Content content) throws ToolException {
        Path absolute = target.toAbsolutePath();
        Path dir = absolute.getParent();
        if (dir == null || !Files.isDirectory(dir)) {
            throw new ToolException("cannot write " + target + ": directory " + dir + " does not exist");
        }
        Path temp = null;
        try {
            temp = dir.resolve("." + absolute.getFileName() + "." + ProcessHandle.current().pid() + ".tmp");
            try (Writer w = Files.newBufferedWriter(temp, StandardCharsets.UTF_8,
                    java.nio.file.StandardOpenOption.CREATE_NEW, java.nio.file.StandardOpenOption.WRITE)) {
                content.write(w);
            }
            Files.move(temp, absolute, java.nio.file.StandardCopyOption.REPLACE_EXISTING);
            temp = null;
        } catch (IOException e) {
            throw new ToolException("cannot write " + target + ": " + e.getMessage());
        } finally {
            if (temp != null) {
                try {
                    Files.deleteIfExists(temp);
                } catch (IOException ignored) {
                    // the original failure is the one to report
                }
            }
        }
    }

    public static String threadNames(Snapshot snapshot) {
        List<String> names = new ArrayList<>();
        snapshot.threads().forEach(t -> names.add("\"" + Names.printable(t.name()) + "\""));
        if (names.size() > 20) {
            int more = names.size() - 20;
            names.subList(20, names.size()).clear();
            names.add("and " + more + " more");
        }
        return names.isEmpty() ? "(none)" : String.join(", ", names);
    }
}
