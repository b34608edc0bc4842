package com.tolvane.report;

import com.tolvane.snapshot.ThreadRecord;

import java.io.IOException;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.Deque;
import java.util.List;

/**
 * The top-down call tree as text: the chosen threads merged, then each
 * thread on its own. Every line shows the share of the tree's time in the
 * chosen metric, that time with descendants, the running time with
 * descendants, the node's own waiting, blocked and net I/O time, and the line
 * of the caller from which the method was called. Children below the
 * threshold share are folded into one line per parent.
 */
public final class TreeFormat {
    private static final String COLUMNS = "      %     total ms   running ms   waiting ms   blocked ms   net I/O ms   line  method";

    /** Levels that are indented; deeper nodes keep this indent and show their depth instead. */
    static final int MAX_INDENT = 60;

    private TreeFormat() {
    }

    public static void write(ReportContext ctx, Appendable out) throws IOException {
        Metric m = ctx.metric();
        out.append("Call tree of ").append(Names.printable(ctx.source())).append(": % and total: ")
                .append(m.label()).append(" time with descendants; nodes below ")
                .append(Names.number(ctx.minPercent())).append("% of their tree folded\n");
        out.append("running includes descendants; waiting, blocked and net I/O are the node's own"
                + " (folded lines: with descendants)\n");
        List<ThreadRecord> threads = ctx.threads();
        if (threads.isEmpty()) {
            out.append("\nno thread matches\n");
            return;
        }
        if (threads.size() > 1) {
            Frame merged = ctx.mergedTree();
            out.append("\n== all threads (").append(String.valueOf(threads.size())).append(") ==\n");
            writeTree(ctx, merged, "(all threads)", out);
        }
        int quiet = 0;
        for (ThreadRecord t : threads) {
            Frame tree = Frame.merge(List.of(t.root()));
            if (tree.total(m) == 0) {
                quiet++;
                continue;
            }
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
        long whole = root.total(m);
        if (whole == 0) {
            out.append("no ").append(m.label()).append(" time recorded\n");
            return;
        }
        out.append(COLUMNS).append('\n');
        // Items are frames to print, or folds (long[] of count and sums) to print as one line.
        Deque<Object[]> pending = new ArrayDeque<>();
        pending.push(new Object[] {root, 0});
        while (!pending.isEmpty()) {
            Object[] item = pending.pop();
            int depth = (Integer) item[1];
            if (item[0] instanceof long[]) {
                long[] fold = (long[]) item[0];
                row(out, fold[1], whole, fold[2], fold[3], fold[4], fold[5], 0,
                        depth, "(" + fold[0] + " more below " + Names.number(ctx.minPercent()) + "%)");
                continue;
            }
            Frame f = (Frame) item[0];
            row(out, f.total(m), whole, f.running(), f.self(Metric.WAITING), f.self(Metric.BLOCKED),
                    f.self(Metric.NETIO), f.line(), depth, f.isRoot() ? rootLabel : Names.frame(f.method()));
            List<Frame> shown = new ArrayList<>();
            long[] fold = new long[6];
            for (Frame c : f.children()) {
                if (100.0 * c.total(m) / whole < ctx.minPercent()) {
                    fold[0]++;
                    fold[1] += c.total(m);
                    fold[2] += c.running();
                    fold[3] += c.total(Metric.WAITING);
                    fold[4] += c.total(Metric.BLOCKED);
                    fold[5] += c.total(Metric.NETIO);
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

    private static void row(Appendable out, long total, long whole, long running, long waiting, long blocked,
                            long netio, int line, int depth, String name) throws IOException {
        out.append(Names.pad(Names.percent(total, whole), 7))
                .append(Names.pad(Names.ms(total), 13))
                .append(Names.pad(Names.ms(running), 13))
                .append(Names.pad(Names.ms(waiting), 13))
                .append(Names.pad(Names.ms(blocked), 13))
                .append(Names.pad(Names.ms(netio), 13))
                .append(Names.pad(line > 0 ? String.valueOf(line) : "", 7))
                .append("  ").append("  ".repeat(Math.min(depth, MAX_INDENT)))
                .append(depth > MAX_INDENT ? "[" + depth + "] " : "").append(name).append('\n');
    }
}
