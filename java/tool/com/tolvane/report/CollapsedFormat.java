package com.tolvane.report;

import com.tolvane.snapshot.CallNode;
import com.tolvane.snapshot.ThreadRecord;

import java.io.IOException;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.Deque;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;

/**
 * Folded stacks, the input of flamegraph.pl and speedscope: one line per
 * distinct stack, its frames from the outermost call inward joined by ';',
 * then a space and the microseconds spent with exactly that stack on top.
 * The same stack in several threads (or from different call-site lines)
 * gives one line with the sum, unless each thread starts with a frame of its
 * own ("[thread NAME]"). Lines are sorted by stack.
 */
public final class CollapsedFormat {
    private CollapsedFormat() {
    }

    public static void write(ReportContext ctx, Appendable out) throws IOException {
        Map<String, Long> stacks = stacks(ctx);
        for (Map.Entry<String, Long> e : stacks.entrySet()) {
            out.append(e.getKey()).append(' ').append(String.valueOf(e.getValue())).append('\n');
        }
    }

    static Map<String, Long> stacks(ReportContext ctx) {
        Metric m = ctx.metric();
        Map<String, Long> stacks = new TreeMap<>();
        // The frames of the current path; a stack line is joined only where time was spent,
        // so deep trees cost no more than their output.
        List<String> path = new ArrayList<>();
        Deque<Object[]> pending = new ArrayDeque<>();
        int base = ctx.threadFrames() ? 1 : 0;
        for (ThreadRecord t : ctx.threads()) {
            path.clear();
            if (base == 1) {
                path.add(("[thread " + Names.printable(t.name()) + "]").replace(';', ','));
            }
            for (CallNode child : t.root().children()) {
                pending.push(new Object[] {child, base});
            }
            while (!pending.isEmpty()) {
                Object[] item = pending.pop();
                CallNode node = (CallNode) item[0];
                int depth = (Integer) item[1];
                path.subList(depth, path.size()).clear();
                path.add(ctx.names().folded(node.method()));
                long micros = m.self(node);
                if (micros > 0) {
                    stacks.merge(String.join(";", path), micros, Long::sum);
                }
                for (CallNode child : node.children()) {
                    pending.push(new Object[] {child, depth + 1});
                }
            }
        }
        return stacks;
    }
}
