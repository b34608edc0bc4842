package com.tolvane.tool;

import java.nio.file.Files;
import java.nio.file.Path;

/**
 * The options of a continuous recording: one snapshot per interval, inside
 * the target, until tolvane stop; the newest N kept. Shared by record and run.
 */
public final class LoopOptions {
    /** Length of each snapshot; 0 for a single recording. */
    public final long intervalMillis;
    /** How many of the newest snapshots remain; 0 for all. */
    public final int keep;

    /** A single recording. */
    public static final LoopOptions NONE = new LoopOptions(0, 0);

    /** Snapshots of {@code intervalMillis} each, the newest {@code keep} of them kept (0: all). */
    public LoopOptions(long intervalMillis, int keep) {
        this.intervalMillis = intervalMillis;
        this.keep = keep;
    }

    public boolean isLoop() {
        return intervalMillis > 0;
    }

    /**
     * The absolute file name pattern the recorder expands per snapshot: %p
     * replaced here, %n, %t and %% left for the recorder.
     */
    public static String pattern(String outputPattern, long pid) throws ToolException {
        return absolute(replace(outputPattern, 'p', Long.toString(pid)));
    }

    /** A pattern with one placeholder replaced and every other one, %% included, left as it is. */
    public static String replace(String pattern, char placeholder, String value) {
        StringBuilder sb = new StringBuilder();
        for (int i = 0; i < pattern.length(); i++) {
            char c = pattern.charAt(i);
            char next = i + 1 < pattern.length() ? pattern.charAt(i + 1) : 0;
            if (c == '%' && next == placeholder) {
                sb.append(value);
                i++;
            } else if (c == '%' && next != 0) {
                sb.append(c).append(next);
                i++;
            } else {
                sb.append(c);
            }
        }
        return sb.toString();
    }

    /** The pattern as an absolute path, after checking that its directory can be written. */
    public static String absolute(String pattern) throws ToolException {
        Path out = Path.of(pattern).toAbsolutePath().normalize();
        Path dir = out.getParent();
        if (dir == null || !Files.isDirectory(dir)) {
            throw ToolException.usage("output directory " + dir + " does not exist");
        }
        if (!Files.isWritable(dir)) {
            throw ToolException.usage("output directory " + dir + " is not writable");
        }
        return out.toString();
    }
}
