package com.tolvane.snapshot;

import java.util.Collections;
import java.util.LinkedHashMap;
import java.util.Locale;
import java.util.Map;

/**
 * What the lost-samples section says: running threads were sampled on their
 * own CPU clocks, and some of those samples were lost (the stack walk failed,
 * or the thread's buffer was full). The CPU a lost sample stood for is booked
 * on the thread's next sample instead.
 *
 * @param samples the samples that gave a stack
 * @param byCause the samples lost per cause, in file order; every count above zero
 */
public record LostSamples(long samples, Map<String, Long> byCause) {

    public LostSamples {
        byCause = Collections.unmodifiableMap(new LinkedHashMap<>(byCause));
    }

    /** The samples lost, all causes. */
    public long lost() {
        long sum = 0;
        for (long n : byCause.values()) {
            sum = sum + n < 0 ? Long.MAX_VALUE : sum + n;
        }
        return sum;
    }

    /** One line for summaries: "12 of 3400 CPU samples lost (0.4 %): GC active 10, deoptimizing 2". */
    public String describe() {
        long lost = lost();
        long taken = samples + lost < 0 ? Long.MAX_VALUE : samples + lost;
        StringBuilder line = new StringBuilder();
        line.append(lost).append(" of ").append(taken).append(" CPU samples lost (")
                .append(String.format(Locale.ROOT, "%.1f", taken > 0 ? 100.0 * lost / taken : 0.0))
                .append(" %)");
        String separator = ": ";
        for (Map.Entry<String, Long> cause : byCause.entrySet()) {
            line.append(separator).append(Printable.of(cause.getKey())).append(' ').append(cause.getValue());
            separator = ", ";
        }
        return line.toString();
    }
}
