package com.tolvane.diff;

import com.tolvane.report.Metric;
import com.tolvane.report.Names;

import java.io.IOException;
import java.util.List;
import java.util.Locale;

/**
 * The methods whose own time changed most between two recordings, as text:
 * one table per state, each method with its change, its time before and
 * after, and the relative change.
 */
public final class DiffText {
    private DiffText() {
    }

    public static void write(DiffModel model, Metric metric, boolean absolute, int limit, Appendable out)
            throws IOException {
        out.append("Own time per method, ").append(Names.printable(model.source(DiffModel.BEFORE))).append(" -> ")
                .append(Names.printable(model.source(DiffModel.AFTER))).append('\n');
        if (absolute) {
            out.append("change: after minus before, in ms; relative: after / before - 1\n");
        } else {
            out.append("Times are shares of each recording's total of the state, so recordings of different"
                    + " lengths compare\n(--absolute compares milliseconds). change: after minus before, in"
                    + " percentage points (pp);\nrelative: after share / before share - 1.\n");
        }
        Metric[] sections = metric == Metric.ALL ? Metric.STATES : new Metric[] {metric};
        for (Metric m : sections) {
            section(model, m, absolute, limit, out);
        }
    }

    private static void section(DiffModel model, Metric m, boolean absolute, int limit, Appendable out)
            throws IOException {
        long before = model.total(DiffModel.BEFORE, m);
        long after = model.total(DiffModel.AFTER, m);
        out.append("\n== own ").append(m.label()).append(" time: before ").append(Names.ms(before))
                .append(" ms in ").append(threads(model.threadCount(DiffModel.BEFORE))).append(", after ")
                .append(Names.ms(after)).append(" ms in ").append(threads(model.threadCount(DiffModel.AFTER)))
                .append(" ==\n");
        List<DiffModel.Method> ranked = model.ranked(m, absolute);
        if (ranked.isEmpty()) {
            out.append("no method's own ").append(m.label()).append(" time changed\n");
            return;
        }
        out.append(absolute ? "   change ms    before ms     after ms" : "   change    before     after")
                .append("  relative  method\n");
        int shown = Math.min(limit, ranked.size());
        for (DiffModel.Method method : ranked.subList(0, shown)) {
            double b = model.value(method, DiffModel.BEFORE, m, absolute);
            double a = model.value(method, DiffModel.AFTER, m, absolute);
            if (absolute) {
                out.append(Names.pad(signedMs((long) (a - b)), 12)).append(Names.pad(Names.ms((long) b), 13))
                        .append(Names.pad(Names.ms((long) a), 13));
            } else {
                out.append(Names.pad(String.format(Locale.ROOT, "%+.1fpp", 100 * (a - b)), 9))
                        .append(Names.pad(String.format(Locale.ROOT, "%.1f%%", 100 * b), 10))
                        .append(Names.pad(String.format(Locale.ROOT, "%.1f%%", 100 * a), 10));
            }
            out.append(Names.pad(relative(b, a), 10)).append("  ").append(method.name()).append('\n');
        }
        if (ranked.size() > shown) {
            int more = ranked.size() - shown;
            out.append("(").append(String.valueOf(more)).append(more == 1 ? " more method" : " more methods")
                    .append(" changed less; --limit shows more)\n");
        }
    }

    /** after / before - 1 as a signed percentage; "new" and "gone" where one side is 0. */
    public static String relative(double before, double after) {
        if (before == 0) {
            return "new";
        }
        if (after == 0) {
            return "gone";
        }
        return String.format(Locale.ROOT, "%+.0f%%", 100 * (after / before - 1));
    }

    private static String signedMs(long micros) {
        return (micros > 0 ? "+" : "") + Names.ms(micros);
    }

    private static String threads(int n) {
        return n + (n == 1 ? " thread" : " threads");
    }
}
