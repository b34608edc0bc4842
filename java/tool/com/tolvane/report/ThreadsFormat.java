package com.tolvane.report;

import com.tolvane.snapshot.ThreadRecord;

import java.io.IOException;

/**
 * One line per thread: when it started and ended relative to the start of
 * the recording, the time it spent in each state according to its status
 * timeline, whether the recorder ignored it, and its name and group.
 */
public final class ThreadsFormat {
    private ThreadsFormat() {
    }

    public static void write(ReportContext ctx, Appendable out) throws IOException {
        long origin = ctx.snapshot().header().recordStartMicros();
        out.append("Threads of ").append(Names.printable(ctx.source())).append(": recording of ")
                .append(Names.seconds(ctx.recordingEnd() - origin)).append(" s, ")
                .append(String.valueOf(ctx.threads().size())).append(ctx.threads().size() == 1 ? " thread" : " threads")
                .append("; start and end in seconds from the start of the recording, \"-\" while alive\n");
        out.append("   start s     end s   running ms   waiting ms   blocked ms   net I/O ms  ignored  thread [group]\n");
        for (ThreadRecord t : ctx.threads()) {
            long[] times = ctx.statusTimes(t);
            out.append(Names.pad(Names.seconds(t.startMicros() - origin), 10))
                    .append(Names.pad(t.isAlive() ? "-" : Names.seconds(t.endMicros() - origin), 10));
            for (long time : times) {
                out.append(Names.pad(Names.ms(time), 13));
            }
            out.append(t.ignored() ? "  yes    " : "  no     ")
                    .append("\"").append(Names.printable(t.name())).append("\" [")
                    .append(Names.printable(t.group())).append("]\n");
        }
    }
}
