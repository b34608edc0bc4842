package com.tolvane.report;

import com.tolvane.snapshot.ThreadRecord;

import java.io.IOException;

/**
 * One line per thread: when it started and ended relative to the start of
 * the recording, the time it spent in each state according to its call tree
 * (booked at every sampling tick, unlike the sparse status timeline), its CPU
 * time when the file holds it, whether the recorder ignored it, and its name
 * and group.
 */
public final class ThreadsFormat {
    private ThreadsFormat() {
    }

    public static void write(ReportContext ctx, Appendable out) throws IOException {
        long origin = ctx.snapshot().header().recordStartMicros();
        boolean cpu = ctx.hasCpuTime();
        out.append("Threads of ").append(Names.printable(ctx.source())).append(": recording of ")
                .append(Names.seconds(ctx.recordingEnd() - origin)).append(" s, ")
                .append(String.valueOf(ctx.threads().size())).append(ctx.threads().size() == 1 ? " thread" : " threads")
                .append("; start and end in seconds from the start of the recording, \"-\" while alive;"
                        + " times as sampled into each thread's call tree\n");
        if (cpu) {
            out.append("Running is the RUNNABLE state, which includes native code and waiting for I/O;"
                    + " cpu is the CPU time the thread used (\"-\" where it could not be read)\n");
        }
        out.append("   start s     end s   running ms").append(cpu ? "       cpu ms" : "")
                .append("   waiting ms   blocked ms   net I/O ms  ignored  thread [group]\n");
        for (ThreadRecord t : ctx.threads()) {
            long[] times = ReportContext.stateTimes(t);
            out.append(Names.pad(Names.seconds(t.startMicros() - origin), 10))
                    .append(Names.pad(t.isAlive() ? "-" : Names.seconds(t.endMicros() - origin), 10));
            for (int i = 0; i < times.length; i++) {
                out.append(Names.pad(Names.ms(times[i]), 13));
                if (i == 0 && cpu) {
                    out.append(Names.pad(t.cpuMicros() < 0 ? "-" : Names.ms(t.cpuMicros()), 13));
                }
            }
            out.append(t.ignored() ? "  yes    " : "  no     ")
                    .append("\"").append(Names.printable(t.name())).append("\" [")
                    .append(Names.printable(t.group())).append("]\n");
        }
    }
}
