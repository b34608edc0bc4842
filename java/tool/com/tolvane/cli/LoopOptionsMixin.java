package com.tolvane.cli;

import com.tolvane.tool.LoopOptions;
import com.tolvane.tool.RecordOptions;
import com.tolvane.tool.ToolException;
import picocli.CommandLine.Option;

/**
 * The options of a continuous recording, shared by record and run: one
 * snapshot per interval, inside the target, until tolvane stop; the newest N
 * kept.
 */
final class LoopOptionsMixin {
    @Option(names = "--loop", paramLabel = "TIME", converter = Interval.class,
            description = "record continuously: one snapshot every TIME (at least 1s) until tolvane stop or the"
                    + " JVM's exit; -o must hold %%n (snapshot number) or %%t; --duration, when given, ends the"
                    + " loop after that long")
    Long intervalMillis;

    @Option(names = "--keep", paramLabel = "N", converter = Keep.class,
            description = "with --loop: keep the newest N snapshots, delete older ones (default: keep all)")
    Integer keep;

    /** The loop as the recording takes it, checked against the output name it writes to. */
    LoopOptions toLoopOptions(String outputPattern) throws ToolException {
        if (intervalMillis == null) {
            if (keep != null) {
                throw ToolException.usage("--keep applies to continuous recordings (--loop) only");
            }
            return LoopOptions.NONE;
        }
        String placeholders = outputPattern.replace("%%", "");
        if (!placeholders.contains("%n") && !placeholders.contains("%t")) {
            throw ToolException.usage("the output of a continuous recording needs %n (snapshot number) or %t"
                    + " (timestamp) in its name, such as -o app-%n.tsnap, so that each snapshot gets a file of"
                    + " its own");
        }
        return new LoopOptions(intervalMillis, keep == null ? 0 : keep);
    }

    static final class Interval extends CheckedConverter<Long> {
        @Override
        Long check(String value) throws ToolException {
            long interval = RecordOptions.parseDuration(value);
            if (interval < 1000) {
                throw ToolException.usage("--loop " + value + " is shorter than a second");
            }
            return interval;
        }
    }

    static final class Keep extends CheckedConverter<Integer> {
        @Override
        Integer check(String value) throws ToolException {
            if (!value.matches("[0-9]{1,6}") || Integer.parseInt(value) == 0) {
                throw ToolException.usage("--keep takes a number from 1 to 999999, not '" + value + "'");
            }
            return Integer.parseInt(value);
        }
    }
}
