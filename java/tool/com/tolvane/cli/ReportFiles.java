package com.tolvane.cli;

import com.tolvane.report.Metric;
import com.tolvane.report.Names;
import com.tolvane.report.ReportContext;
import com.tolvane.report.ReportFormat;
import com.tolvane.report.ReportOptions;
import com.tolvane.snapshot.Snapshot;
import com.tolvane.snapshot.SnapshotFormatException;
import com.tolvane.snapshot.SnapshotReader;
import com.tolvane.tool.ToolException;
import java.io.IOException;
import java.io.PrintStream;
import java.io.Writer;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.nio.file.StandardOpenOption;
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

    /**
     * Writes a file through a temporary file next to it, so a failed write
     * never leaves a truncated file under the final name.
     */
    static void writeFile(Path target, Content content) throws ToolException {
        Path absolute = target.toAbsolutePath();
        Path dir = absolute.getParent();
        if (dir == null || !Files.isDirectory(dir)) {
            throw new ToolException("cannot write " + target + ": directory " + dir + " does not exist");
        }
        Path temp = null;
        try {
            temp = dir.resolve("." + absolute.getFileName() + "." + ProcessHandle.current().pid() + ".tmp");
            try (Writer w = Files.newBufferedWriter(temp, StandardCharsets.UTF_8,
                    StandardOpenOption.CREATE_NEW, StandardOpenOption.WRITE)) {
                content.write(w);
            }
            Files.move(temp, absolute, StandardCopyOption.REPLACE_EXISTING);
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
