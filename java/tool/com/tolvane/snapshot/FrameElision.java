package com.tolvane.snapshot;

import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.Deque;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.function.Predicate;

/**
 * A snapshot with some frames taken out of its call trees, as the reports
 * show it when generated plumbing (method-handle adapters and the like) would
 * only stand between a caller and the method it reaches. A removed frame's
 * callees move up to its caller, keeping the line of the caller that made the
 * call; its own running, CPU, waiting, blocked and net I/O time becomes the
 * caller's own; callees that then meet an equal sibling (same method, same
 * line) are merged. Inclusive times stay as they were, so every total of a
 * thread is unchanged.
 */
public final class FrameElision {
    private FrameElision() {
    }

    /** The snapshot with every frame whose method {@code elide} accepts removed; the same object when none is. */
    public static Snapshot apply(Snapshot snapshot, Predicate<MethodRecord> elide) {
        List<ThreadRecord> threads = new ArrayList<>(snapshot.threads().size());
        boolean changed = false;
        for (ThreadRecord t : snapshot.threads()) {
            CallNode root = elide(t.root(), elide);
            if (root == t.root()) {
                threads.add(t);
                continue;
            }
            changed = true;
            ThreadRecord copy = new ThreadRecord(t.id(), t.name(), t.group(), t.startMicros(), t.endMicros(),
                    t.ignored(), t.timeline(), root);
            copy.setCpuMicros(t.cpuMicros());
            threads.add(copy);
        }
        return changed ? snapshot.withThreads(threads) : snapshot;
    }

    /** A node under construction: times add up as equal frames are merged into it. */
    private static final class Draft {
        final MethodRecord method;
        final int line;
        long value;
        long cpu;
        long blocking;
        long waiting;
        long netIO;
        boolean hasMonitorTimes;
        final List<LockTime> locks = new ArrayList<>();
        final Map<Key, Draft> children = new LinkedHashMap<>();

        Draft(MethodRecord method, int line) {
            this.method = method;
            this.line = line;
        }

        Draft child(MethodRecord m, int atLine) {
            return children.computeIfAbsent(new Key(m, atLine), k -> new Draft(m, atLine));
        }

        List<Draft> kids() {
            return new ArrayList<>(children.values());
        }
    }

    private record Key(MethodRecord method, int line) {
    }

    /** The tree without the elided frames; the same root when it holds none. */
    private static CallNode elide(CallNode root, Predicate<MethodRecord> elide) {
        boolean[] any = {false};
        root.walk(n -> any[0] |= n.method() != null && elide.test(n.method()));
        if (!any[0]) {
            return root;
        }
        Draft top = new Draft(null, 0);
        add(top, root);
        // Each pending item: a source node, the draft that receives it, and the line it is called
        // from there (the line of the outermost removed frame when it moved up).
        Deque<Object[]> pending = new ArrayDeque<>();
        for (CallNode c : root.children()) {
            pending.push(new Object[] {c, top, c.line()});
        }
        while (!pending.isEmpty()) {
            Object[] item = pending.pop();
            CallNode node = (CallNode) item[0];
            Draft into = (Draft) item[1];
            int line = (Integer) item[2];
            if (elide.test(node.method())) {
                // The caller already holds the removed frame's inclusive running and CPU time;
                // its own waiting, blocked and net I/O time is the caller's now.
                into.blocking += node.blockingMicros();
                into.waiting += node.waitingMicros();
                into.netIO += node.netIOMicros();
                into.hasMonitorTimes |= node.hasMonitorTimes();
                into.locks.addAll(node.locks());
                for (CallNode c : node.children()) {
                    pending.push(new Object[] {c, into, line});
                }
                continue;
            }
            Draft d = into.child(node.method(), line);
            add(d, node);
            for (CallNode c : node.children()) {
                pending.push(new Object[] {c, d, c.line()});
            }
        }
        return build(top);
    }

    private static void add(Draft d, CallNode node) {
        d.value += node.value();
        d.cpu += node.cpuMicros();
        d.blocking += node.blockingMicros();
        d.waiting += node.waitingMicros();
        d.netIO += node.netIOMicros();
        d.hasMonitorTimes |= node.hasMonitorTimes();
        d.locks.addAll(node.locks());
    }

    /** Turns the drafts into call nodes, children before their parents. */
    private static CallNode build(Draft top) {
        Map<Draft, CallNode> built = new java.util.IdentityHashMap<>();
        TreeWalk.bottomUp(top, Draft::kids, d -> {
            List<CallNode> kids = new ArrayList<>(d.children.size());
            for (Draft c : d.children.values()) {
                kids.add(built.remove(c));
            }
            CallNode n = new CallNode(d.method, d.line, d.value, d.hasMonitorTimes, d.blocking, d.waiting, d.netIO,
                    kids);
            n.setCpuMicros(d.cpu);
            for (LockTime lock : d.locks) {
                n.addLock(lock);
            }
            built.put(d, n);
        });
        return built.get(top);
    }
}
