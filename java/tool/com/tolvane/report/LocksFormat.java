package com.tolvane.report;

import java.io.IOException;
import java.util.List;
import java.util.Map;

/**
 * The locks view: per monitor class (threads blocked entering a
 * {@code synchronized} block) and per park blocker class (threads parked in
 * {@code java.util.concurrent} locks, queues and futures), the time the
 * chosen threads waited, the threads that waited, the threads that held it
 * when they were sampled, and the call paths where they waited.
 */
public final class LocksFormat {
    /** How many threads, holders and call paths each lock shows. */
    static final int SHOWN = 5;

    private LocksFormat() {
    }

    public static void write(ReportContext ctx, Appendable out) throws IOException {
        out.append("Locks of ").append(Names.printable(ctx.source())).append(", ")
                .append(String.valueOf(ctx.threads().size())).append(ctx.threads().size() == 1 ? " thread" : " threads")
                .append("; time blocked entering a monitor or parked on a blocker, in ms\n");
        if (ctx.snapshot().locks() == null) {
            out.append("The recording did not record locks (record without --no-locks, or the agent option"
                    + " \"locks\").\n");
            return;
        }
        out.append("Holders are the threads that held the lock when a waiting thread was sampled;"
                + " call paths run from the\nwaiting method outward, with the waiting thread in brackets.\n");
        long dropped = ctx.snapshot().locks().droppedMicros();
        if (dropped > 0) {
            out.append(Names.ms(dropped)).append(" ms of blocked or parked time is not shown: the profiler's"
                    + " lock table was full.\n");
        }
        List<LockReport.Lock> locks = LockReport.locks(ctx);
        if (locks.isEmpty()) {
            out.append("\nno thread was seen blocked on a monitor or parked on a blocker\n");
            return;
        }
        for (LockReport.Lock lock : locks) {
            out.append("\n").append(Names.pad(Names.ms(lock.micros), 11)).append(" ms  ")
                    .append(lock.monitor ? "blocked on " : "parked on ").append(Names.printable(lock.title()))
                    .append('\n');
            section(out, "waiting", lock.waiting, true);
            section(out, "held by", lock.holders, true);
            section(out, "where", lock.paths, false);
        }
    }

    private static void section(Appendable out, String heading, Map<String, Long> times, boolean quote)
            throws IOException {
        out.append("    ").append(heading).append(":\n");
        int shown = 0;
        long rest = 0;
        int more = 0;
        for (Map.Entry<String, Long> e : times.entrySet()) {
            if (shown == SHOWN) {
                rest += e.getValue();
                more++;
                continue;
            }
            shown++;
            String name = Names.printable(e.getKey());
            boolean plain = !quote || e.getKey().equals(LockReport.NO_HOLDER);
            out.append(Names.pad(Names.ms(e.getValue()), 17)).append(" ms  ")
                    .append(plain ? name : "\"" + name + "\"").append('\n');
        }
        if (more > 0) {
            out.append(Names.pad(Names.ms(rest), 17)).append(" ms  (").append(String.valueOf(more))
                    .append(" more)\n");
        }
    }
}
