package com.tolvane.report;

import com.tolvane.snapshot.ThreadRecord;

import java.io.IOException;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.Deque;
import java.util.List;

/**
 * The top-down call tree as text: the chosen threads merged (when more than
 * one of them has time), then each thread on its own. Every column measures the chosen time: its share of
 * the tree, the node with everything below it, and the node alone; with all
 * states, the time with descendants is also split by state. When the file
 * holds CPU time, one more column gives the CPU time with descendants (the
 * running time when CPU is the chosen time). The line is the
 * caller's line that made the call. A child below the threshold share of its
 * caller's total is folded, with its siblings below it, into one line.
 */
public final class TreeFormat {
    /** Levels that are indented; deeper nodes keep this indent and show their depth instead. */
    static final int MAX_INDENT = 60;

    private TreeFormat() {
    }

    public static void write(ReportContext ctx, Appendable out) throws IOException {
        Metric m = ctx.metric();
        out.append("Call tree of ").append(Names.printable(ctx.source())).append(", by ").append(m.label())
                .append(" time in ms:\n");
        out.append("  %         share of the tree's ").append(m.label()).append(" time, with descendants\n");
        out.append("  total     ").append(m.label()).append(" time of the node with everything it called\n");
        if (m == Metric.ALL) {
            out.append("  running, waiting, blocked, net I/O   the total split by state, with descendants\n");
        }
        if (ctx.hasCpuTime()) {
            out.append(m == Metric.CPU
                    ? "  running   running (RUNNABLE) time with descendants, CPU or not\n"
                    : "  cpu       CPU time with descendants\n");
        }
        out.append("  self      ").append(m.label()).append(" time in the node itself\n");
        out.append("  line      the caller's line that made the call\n");
        out.append("Children below ").append(Names.number(ctx.minPercent()))
                .append("% of their caller's total are folded into one line (--min-percent).\n");
        List<ThreadRecord> threads = ctx.threads();
        if (threads.isEmpty()) {
            out.append("\nno thread matches\n");
            return;
        }
        List<ThreadRecord> busy = new ArrayList<>();
        List<Frame> trees = new ArrayList<>();
        for (ThreadRecord t : threads) {
            Frame tree = Frame.merge(List.of(t.root()), ctx.names());
            if (tree.total(m) > 0) {
                busy.add(t);
                trees.add(tree);
            }
        }
        // With time in one thread only, the merged tree would repeat that thread's tree.
        if (busy.size() > 1 || (busy.isEmpty() && threads.size() > 1)) {
            Frame merged = ctx.mergedTree();
            out.append("\n== all threads (").append(String.valueOf(threads.size())).append(") ==\n");
            writeTree(ctx, merged, "(all threads)", out);
        }
        int quiet = threads.size() - busy.size();
        for (int i = 0; i < busy.size(); i++) {
            ThreadRecord t = busy.get(i);
            Frame tree = trees.get(i);
            out.append("\n== thread \"").append(Names.printable(t.name())).append("\" [")
                    .append(Names.printable(t.group())).append(']').append(t.ignored() ? " ignored" : "")
                    .append(" ==\n");
            writeTree(ctx, tree, "(thread)", out);
        }
        if (quiet > 0) {
            out.append('\n').append(String.valueOf(quiet)).append(quiet == 1 ? " thread" : " threads")
                    .append(" without ").append(m.label()).append(" time not shown\n");
        }
    }

    private static void writeTree(ReportContext ctx, Frame root, String rootLabel, Appendable out)
            throws IOException {
        Metric m = ctx.metric();
        boolean cpu = ctx.hasCpuTime();
        long whole = root.total(m);
        if (whole == 0) {
            out.append("no ").append(m.label()).append(" time recorded\n");
            return;
        }
        out.append("      %     total ms");
        if (m == Metric.ALL) {
            out.append("   running ms   waiting ms   blocked ms   net I/O ms");
        }
        if (cpu) {
            out.append(m == Metric.CPU ? "   running ms" : "       cpu ms");
        }
        out.append("      self ms   line  method\n");
        // Items are frames to print, or folds (long[]: count, then the sums of the printed figures).
        Deque<Object[]> pending = new ArrayDeque<>();
        pending.push(new Object[] {root, 0});
        while (!pending.isEmpty()) {
            Object[] item = pending.pop();
            int depth = (Integer) item[1];
            if (item[0] instanceof long[]) {
                long[] fold = (long[]) item[0];
                fold[6] = -1;
                row(out, m, cpu, whole, fold, 0, depth, "(" + fold[0] + " more, each below "
                        + Names.number(ctx.minPercent()) + "% of the caller)");
                continue;
            }
            Frame f = (Frame) item[0];
            row(out, m, cpu, whole, figures(f, m), f.line(), depth,
                    f.isRoot() ? rootLabel : ctx.names().frame(f.method()) + LockReport.suffix(f.locks(), m));
            long parentTotal = f.total(m);
            List<Frame> shown = new ArrayList<>();
            long[] fold = new long[8];
            for (Frame c : f.children()) {
                long total = c.total(m);
                if (total == 0) {
                    continue;
                }
                if (100.0 * total / parentTotal < ctx.minPercent()) {
                    long[] add = figures(c, m);
                    for (int i = 1; i < add.length; i++) {
                        fold[i] += add[i];
                    }
                    fold[0]++;
                } else {
                    shown.add(c);
                }
            }
            shown.sort(Frame.byTotal(m));
            if (fold[0] > 0) {
                pending.push(new Object[] {fold, depth + 1});
            }
            for (int i = shown.size() - 1; i >= 0; i--) {
                pending.push(new Object[] {shown.get(i), depth + 1});
            }
        }
    }

    /**
     * The printed figures of a node: [unused, total, running, waiting,
     * blocked, net I/O (all with descendants), self, CPU with descendants (or
     * running when CPU is the chosen time)]. A folded line sums the figures
     * with descendants and leaves self empty (-1).
     */
    private static long[] figures(Frame f, Metric m) {
        return new long[] {0, f.total(m), f.total(Metric.RUNNING), f.total(Metric.WAITING),
                f.total(Metric.BLOCKED), f.total(Metric.NETIO), f.self(m),
                f.total(m == Metric.CPU ? Metric.RUNNING : Metric.CPU)};
    }

    private static void row(Appendable out, Metric m, boolean cpu, long whole, long[] v, int line, int depth,
                            String name) throws IOException {
        out.append(Names.pad(Names.percent(v[1], whole), 7)).append(Names.pad(Names.ms(v[1]), 13));
        if (m == Metric.ALL) {
            for (int i = 2; i <= 5; i++) {
                out.append(Names.pad(Names.ms(v[i]), 13));
            }
        }
        if (cpu) {
            out.append(Names.pad(Names.ms(v[7]), 13));
        }
        out.append(Names.pad(v[6] < 0 ? "" : Names.ms(v[6]), 13))
                .append(Names.pad(line > 0 ? String.valueOf(line) : "", 7))
                .append("  ").append("  ".repeat(Math.min(depth, MAX_INDENT)))
                .append(depth > MAX_INDENT ? "[" + depth + "] " : "").append(name).append('\n');
    }
}
