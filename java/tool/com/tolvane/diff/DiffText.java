package com.tolvane.diff;

import com.tolvane.report.Metric;
import com.tolvane.report.Names;

import java.io.IOException;
import java.util.List;
import java.util.Locale;

/**
 * The methods whose own time changed most between two recordings, as text:
 * one table per state, each method with its own time before and after in
 * milliseconds and the change (ms and %), next to its share of each
 * recording's total and the change of the share in percentage points. A
 * line above the table names the methods that changed most in milliseconds,
 * whichever way the table is ranked.
 */
public final class DiffText {
    /** How many methods the line of the largest absolute changes names. */
    static final int HEADLINE = 3;

    private DiffText() {
    }

    public static void write(DiffModel model, Metric metric, boolean absolute, int limit, Appendable out)
            throws IOException {
        out.append("Own time per method, ").append(Names.printable(model.source(DiffModel.BEFORE))).append(" -> ")
                .append(Names.printable(model.source(DiffModel.AFTER))).append('\n');
        out.append("ms: own time before and after, change: after minus before (ms and %); before % and after %:"
                + " shares of\neach recording's total of the state, change pp: in percentage points. Ranked by ")
                .append(absolute ? "the change in ms (--absolute).\n"
                        : "the change of share, so recordings of\ndifferent lengths compare (--absolute ranks by"
                        + " the change in ms).\n");
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
                .append(" (").append(relative(before, after)).append(") ==\n");
        List<DiffModel.Method> ranked = model.ranked(m, absolute);
        if (ranked.isEmpty()) {
            out.append("no method's own ").append(m.label()).append(" time changed\n");
            return;
        }
        List<DiffModel.Method> most = absolute ? ranked : model.ranked(m, true);
        out.append("Changed most in ms:");
        for (int i = 0; i < Math.min(HEADLINE, most.size()); i++) {
            DiffModel.Method method = most.get(i);
            long b = method.time(DiffModel.BEFORE, m);
            long a = method.time(DiffModel.AFTER, m);
            out.append(i == 0 ? " " : ", ").append(method.name()).append(' ').append(signedMs(a - b))
                    .append(" ms (").append(relative(b, a)).append(')');
        }
        out.append('\n');
        out.append("   before ms     after ms    change ms  change %  before %  after % change pp  method\n");
        int shown = Math.min(limit, ranked.size());
        for (DiffModel.Method method : ranked.subList(0, shown)) {
            long b = method.time(DiffModel.BEFORE, m);
            long a = method.time(DiffModel.AFTER, m);
            double sb = model.value(method, DiffModel.BEFORE, m, false);
            double sa = model.value(method, DiffModel.AFTER, m, false);
            out.append(Names.pad(Names.ms(b), 12)).append(Names.pad(Names.ms(a), 13))
                    .append(Names.pad(signedMs(a - b), 13)).append(Names.pad(relative(b, a), 10))
                    .append(Names.pad(String.format(Locale.ROOT, "%.1f%%", 100 * sb), 10))
                    .append(Names.pad(String.format(Locale.ROOT, "%.1f%%", 100 * sa), 9))
                    .append(Names.pad(String.format(Locale.ROOT, "%+.1fpp", 100 * (sa - sb)), 10))
                    .append("  ").append(method.name()).append('\n');
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
            return after == 0 ? "+0%" : "new";
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
