package com.tolvane.cli;

import com.tolvane.report.Metric;
import com.tolvane.report.Names;
import com.tolvane.report.ReportContext;
import com.tolvane.report.ReportFormat;
import com.tolvane.report.ReportOptions;
import com.tolvane.snapshot.Snapshot;
import com.tolvane.snapshot.SnapshotFormatException;
import com.tolvane.snapshot.SnapshotReader;
import com.tolvane.tool.OutputFiles;
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

/** The files the commands read and write: snapshots in, reports out, failures as one-line errors. */
final class ReportFiles {
    private ReportFiles() {
    }

    /** Reads a snapshot, turning the reader's complaints into one-line errors. */
    static Snapshot read(Path file) throws ToolException {
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

    /** Writes the text of a report. */
    interface Content {
        void write(Writer out) throws IOException;
    }

    /** Writes a report file as UTF-8 text, by the rules of {@link OutputFiles#write}. */
    static void writeFile(Path target, Content content) throws ToolException {
        OutputFiles.write(target, out -> {
            Writer w = new BufferedWriter(new OutputStreamWriter(out, StandardCharsets.UTF_8), 1 << 16);
            content.write(w);
            w.flush();
        });
    }

    /**
     * Checks the name of a file a command is to write before any work is done:
     * a name that can be written as given, and no device, FIFO, socket,
     * directory or symbolic link under it. Returns the name unchanged.
     */
    static String checkOutput(String target, String what) throws ToolException {
        if (target.isEmpty()) {
            throw ToolException.usage("empty " + what + " file name");
        }
        OutputFiles.checkName(target, what);
        OutputFiles.checkReplaceable(Path.of(target), what);
        return target;
    }

    /** The check of the -o option of the commands that write reports. */
    static final class Output extends CheckedConverter<String> {
        @Override
        String check(String value) throws ToolException {
            return checkOutput(value, "output");
        }
    }

    /**
     * Writes the HTML page of a fresh recording and names it on {@code out};
     * nothing when {@code target} is null. For commands that record and then
     * show the result.
     */
    static void writeHtml(Snapshot snapshot, Path snapshotPath, String target, PrintStream out)
            throws ToolException {
        if (target == null) {
            return;
        }
        Path html = Path.of(target);
        ReportContext ctx = new ReportContext(snapshot, snapshotPath.getFileName().toString(),
                ReportOptions.defaults(Metric.defaultFor(snapshot)));
        writeFile(html, w -> ReportFormat.HTML.write(ctx, w));
        out.println("HTML report: " + html.toAbsolutePath().normalize());
    }

    /** The HTML file beside a snapshot: its name with ".html" in place of ".tsnap". */
    static Path htmlNextTo(Path snapshot) {
        String name = snapshot.getFileName().toString();
        String base = name.endsWith(".tsnap") ? name.substring(0, name.length() - ".tsnap".length()) : name;
        return snapshot.resolveSibling(base + ".html");
    }

    /**
     * Checks an HTML report target before anything is recorded, so that a
     * typo costs no recording; returns it unchanged.
     */
    static String checkHtmlTarget(String target) throws ToolException {
        if (target.isEmpty()) {
            throw ToolException.usage("empty --html file name");
        }
        OutputFiles.checkName(target, "HTML report");
        Path dir = Path.of(target).toAbsolutePath().getParent();
        if (dir == null || !Files.isDirectory(dir)) {
            throw ToolException.usage("cannot write the HTML report " + target + ": directory " + dir
                    + " does not exist");
        }
        if (Files.isDirectory(Path.of(target))) {
            throw ToolException.usage("cannot write the HTML report " + target + ": it is a directory");
        }
        OutputFiles.checkReplaceable(Path.of(target), "HTML report");
        return target;
    }

    /** The snapshot's thread names for a message, the first 20 of them. */
    static String threadNames(Snapshot snapshot) {
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
