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

    private LoopOptions(long intervalMillis, int keep) {
        this.intervalMillis = intervalMillis;
        this.keep = keep;
    }

    public static Args declare(Args args) {
        return args.valued("loop", null).valued("keep", null);
    }

    public static String usage() {
        return String.join("\n",
                "  --loop TIME            record continuously: one snapshot every TIME (at least 1s) until",
                "                         tolvane stop or the JVM's exit; -o must hold %n (snapshot number) or",
                "                         %t; --duration, when given, ends the loop after that long",
                "  --keep N               with --loop: keep the newest N snapshots, delete older ones (default:",
                "                         keep all)");
    }

    public static LoopOptions from(Args args) throws ToolException {
        if (!args.has("loop")) {
            if (args.has("keep")) {
                throw ToolException.usage("--keep applies to continuous recordings (--loop) only");
            }
            return new LoopOptions(0, 0);
        }
        long interval = RecordOptions.parseDuration(args.value("loop", null));
        if (interval < 1000) {
            throw ToolException.usage("--loop " + args.value("loop", null) + " is shorter than a second");
        }
        int keep = 0;
        if (args.has("keep")) {
            String n = args.value("keep", "");
            if (!n.matches("[0-9]{1,6}") || Integer.parseInt(n) == 0) {
                throw ToolException.usage("--keep takes a number from 1 to 999999, not '" + n + "'");
            }
            keep = Integer.parseInt(n);
        }
        String pattern = args.value("output", RecordOptions.DEFAULT_OUTPUT);
        if (!pattern.replace("%%", "").contains("%n") && !pattern.replace("%%", "").contains("%t")) {
            throw ToolException.usage("the output of a continuous recording needs %n (snapshot number) or %t"
                    + " (timestamp) in its name, such as -o app-%n.tsnap, so that each snapshot gets a file of"
                    + " its own");
        }
        return new LoopOptions(interval, keep);
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
    static String replace(String pattern, char placeholder, String value) {
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
    static String absolute(String pattern) throws ToolException {
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
