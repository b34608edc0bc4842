package com.tolvane.report;

import java.io.IOException;
import java.util.Locale;

/** The report formats: the text formats write to an {@link Appendable}, pprof to a byte stream. */
public enum ReportFormat {
    TREE, HOTSPOTS, THREADS, LOCKS, COLLAPSED, JSON, HTML, PPROF;

    /** The name the format goes by on the command line and in messages. */
    public String option() {
        return name().toLowerCase(Locale.ROOT);
    }

    /** The format with this name, in any case; null for none. */
    public static ReportFormat parse(String text) {
        for (ReportFormat f : values()) {
            if (f.option().equals(text.toLowerCase(Locale.ROOT))) {
                return f;
            }
        }
        return null;
    }

    /**
     * The format a file name calls for by its extension (.html, .json,
     * .collapsed, .folded, .pb.gz, .pprof); the tree for any other name.
     */
    public static ReportFormat forFileName(String fileName) {
        String name = fileName.toLowerCase(Locale.ROOT);
        if (name.endsWith(".html") || name.endsWith(".htm")) {
            return HTML;
        }
        if (name.endsWith(".json")) {
            return JSON;
        }
        if (name.endsWith(".collapsed") || name.endsWith(".folded")) {
            return COLLAPSED;
        }
        if (name.endsWith(".pb.gz") || name.endsWith(".pprof")) {
            return PPROF;
        }
        return TREE;
    }

    /** Whether the format is binary, written by {@link PprofFormat} rather than {@link #write}. */
    public boolean isBinary() {
        return this == PPROF;
    }

    /** Writes the report of a text format. */
    public void write(ReportContext ctx, Appendable out) throws IOException {
        switch (this) {
            case TREE: TreeFormat.write(ctx, out); break;
            case HOTSPOTS: HotspotsFormat.write(ctx, out); break;
            case THREADS: ThreadsFormat.write(ctx, out); break;
            case LOCKS: LocksFormat.write(ctx, out); break;
            case COLLAPSED: CollapsedFormat.write(ctx, out); break;
            case JSON: JsonFormat.write(ctx, out); break;
            case HTML: HtmlFormat.write(ctx, out); break;
            default: throw new IllegalStateException(option() + " is a binary format");
        }
    }
}
