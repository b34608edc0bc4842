package com.tolvane.report;

import com.tolvane.snapshot.LockTime;

import java.io.IOException;
import java.util.List;
import java.util.Map;

/**
 * Methods ranked by the time spent in them: self running time (a node's
 * running time minus its children's), and own waiting, blocked and net I/O
 * time, summed over every place in every chosen thread where the method
 * occurs. When the file holds CPU time, each method also shows its own CPU
 * time (its own running time when it is ranked by CPU), and CPU time can be
 * ranked like the states. Each method lists the call paths that contributed most, written
 * from the method outward: "m <- caller:line <- ...", where the line is the
 * caller's line that made the call. The ranking is {@link Rankings#hotspots},
 * which the summary after a recording and the page share.
 */
public final class HotspotsFormat {
    /** How many call paths each method shows. */
    static final int PATHS = 3;
    /** How many callers a call path shows before it is cut. */
    static final int PATH_DEPTH = 8;

    private HotspotsFormat() {
    }

    public static void write(ReportContext ctx, Appendable out) throws IOException {
        Metric[] sections = ctx.metric() == Metric.ALL ? Metric.STATES : new Metric[] {ctx.metric()};
        out.append("Hot spots of ").append(Names.printable(ctx.source())).append(", ")
                .append(String.valueOf(ctx.threads().size())).append(ctx.threads().size() == 1 ? " thread" : " threads")
                .append("; own time per method in ms, methods below ").append(Names.number(ctx.minPercent()))
                .append("% folded (--min-percent)\n");
        out.append("Own running time is the method's running time minus the running time of the methods it"
                + " called.\n");
        if (ctx.hasCpuTime()) {
            out.append("Own CPU time likewise: the CPU time used with the method on top of the stack. Running"
                    + " (RUNNABLE)\ntime includes native code and waiting for I/O; CPU time is what the thread"
                    + " really used.\n");
        }
        out.append("Below each method, the call paths that contributed most, from the method outward;"
                + "\n\"caller:53\" is line 53 of the caller, where it made the call.\n");
        for (Metric m : sections) {
            writeSection(ctx, m, out);
        }
    }

    private static void writeSection(ReportContext ctx, Metric m, Appendable out) throws IOException {
        String what = m == Metric.RUNNING ? "own running" : "own " + m.label();
        boolean cpu = ctx.hasCpuTime();
        List<Rankings.Hotspot> list = Rankings.hotspots(ctx.threads(), m, ctx.names(), PATH_DEPTH);
        long whole = 0;
        for (Rankings.Hotspot h : list) {
            whole += h.micros();
        }
        out.append("\n== by ").append(what).append(" time: ").append(Names.ms(whole)).append(" ms ==\n");
        if (whole == 0) {
            out.append("no ").append(m.label()).append(" time recorded\n");
            return;
        }
        out.append("      %").append(Names.pad("own ms", 13));
        if (cpu) {
            out.append(Names.pad(m == Metric.CPU ? "own run ms" : "own CPU ms", 13));
        }
        out.append("  method  (%: share of all ").append(what).append(" time)\n");
        int folded = 0;
        long foldedMicros = 0;
        for (Rankings.Hotspot h : list) {
            if (100.0 * h.micros() / whole < ctx.minPercent()) {
                folded++;
                foldedMicros += h.micros();
                continue;
            }
            out.append(Names.pad(Names.percent(h.micros(), whole), 7)).append(Names.pad(Names.ms(h.micros()), 13));
            if (cpu) {
                out.append(Names.pad(Names.ms(h.besideMicros()), 13));
            }
            out.append("  ").append(h.name()).append(LockReport.suffix(h.locks(), m)).append('\n');
            for (Map.Entry<String, Long> p : h.topPaths(PATHS)) {
                out.append(" ".repeat(22)).append(Names.pad(Names.ms(p.getValue()), 11)).append(" ms  ")
                        .append(p.getKey()).append('\n');
            }
        }
        if (folded > 0) {
            out.append(Names.pad(Names.percent(foldedMicros, whole), 7)).append(Names.pad(Names.ms(foldedMicros), 13))
                    .append("  (").append(String.valueOf(folded)).append(folded == 1 ? " more method" : " more methods")
                    .append(" below ").append(Names.number(ctx.minPercent())).append("%)\n");
        }
    }
}
