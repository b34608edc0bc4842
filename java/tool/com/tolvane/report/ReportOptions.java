package com.tolvane.report;

import java.util.regex.Pattern;

/**
 * What a report shows of a snapshot.
 *
 * @param threadName   threads whose name this pattern finds (anywhere in the name); null for all
 * @param metric       the time to rank, fold and draw
 * @param minPercent   nodes below this share of their tree are folded
 * @param rawNames     keep generated class names with their addresses and counters
 * @param threadFrames folded stacks start with a frame that names the thread
 */
public record ReportOptions(Pattern threadName, Metric metric, double minPercent, boolean rawNames,
                            boolean threadFrames) {
    /** Share of a tree below which nodes are folded unless the options say otherwise. */
    public static final double DEFAULT_MIN_PERCENT = 0.5;

    /** All threads, ranked by {@code metric}, with the default folding. */
    public static ReportOptions defaults(Metric metric) {
        return new ReportOptions(null, metric, DEFAULT_MIN_PERCENT, false, false);
    }
}
