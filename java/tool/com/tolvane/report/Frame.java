package com.tolvane.report;

import com.tolvane.snapshot.CallNode;
import com.tolvane.snapshot.LockTime;
import com.tolvane.snapshot.MethodRecord;
import com.tolvane.snapshot.TreeWalk;

import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.Deque;
import java.util.HashMap;
import java.util.List;
import java.util.Map;

/**
 * A node of a call tree as the reports show it: one or more threads' trees
 * merged by (method name as the report shows it, call-site line), so that
 * generated classes of one piece of code make one node, with the running and CPU times inclusive
 * and the waiting, blocked and net I/O times both as the node's own and summed
 * over its subtree. Trees may be as deep as the recorder's stack limit and beyond
 * in a hand-made file, so nothing here recurses.
 */
public final class Frame {
    private final Frame parent;
    private final MethodRecord method;
    private final int line;
    private final List<Frame> children = new ArrayList<>();
    private Map<Key, Frame> childIndex;

    private long running;
    private long cpu;
    private final long[] own = new long[4];
    private final long[] inclusive = new long[4];
    /** What the merged nodes waited for while blocked or parked in this frame itself. */
    private List<LockTime> locks = List.of();

    private Frame(Frame parent, MethodRecord method, int line) {
        this.parent = parent;
        this.method = method;
        this.line = line;
    }

    /**
     * Merges the call trees below the given roots into one tree. Children with
     * the same name and call-site line add up; a single root gives its own
     * tree with such siblings merged.
     */
    public static Frame merge(List<CallNode> roots, Naming names) {
        Frame top = new Frame(null, null, 0);
        Deque<Object[]> pending = new ArrayDeque<>();
        for (CallNode root : roots) {
            pending.push(new Object[] {root, top});
        }
        while (!pending.isEmpty()) {
            Object[] item = pending.pop();
            CallNode node = (CallNode) item[0];
            Frame target = (Frame) item[1];
            target.running += node.value();
            target.cpu += node.cpuMicros();
            for (int s = 1; s < 4; s++) {
                target.own[s] += Metric.STATES[s].self(node);
            }
            if (!node.locks().isEmpty()) {
                if (target.locks.isEmpty()) {
                    target.locks = new ArrayList<>();
                }
                target.locks.addAll(node.locks());
            }
            for (CallNode child : node.children()) {
                pending.push(new Object[] {child, target.child(child.method(), names.frame(child.method()), child.line())});
            }
        }
        top.computeTotals();
        top.dropIndexes();
        return top;
    }

    private Frame child(MethodRecord m, String name, int atLine) {
        if (childIndex == null) {
            childIndex = new HashMap<>();
        }
        Key key = new Key(name, atLine);
        Frame found = childIndex.get(key);
        if (found == null) {
            found = new Frame(this, m, atLine);
            children.add(found);
            childIndex.put(key, found);
        }
        return found;
    }

    /** A child by the name its method is shown with and the line it was called from. */
    private record Key(String name, int line) {
    }

    /** Fills the inclusive figures bottom-up: every node after its descendants. */
    private void computeTotals() {
        TreeWalk.bottomUp(this, Frame::children, f -> {
            f.inclusive[0] = f.running;
            for (int s = 1; s < 4; s++) {
                f.inclusive[s] += f.own[s];
                if (f.parent != null) {
                    f.parent.inclusive[s] += f.inclusive[s];
                }
            }
        });
    }

    private void dropIndexes() {
        TreeWalk.preOrder(this, Frame::children, f -> f.childIndex = null);
    }

    public Frame parent() {
        return parent;
    }

    /** The method, null for the root. */
    public MethodRecord method() {
        return method;
    }

    public boolean isRoot() {
        return method == null;
    }

    /** Line in the caller from which this method was called; 0 when unknown. */
    public int line() {
        return line;
    }

    public List<Frame> children() {
        return children;
    }

    /** The lock section's entries of the merged nodes; empty when the file has none. */
    public List<LockTime> locks() {
        return locks;
    }

    /** Inclusive running time in microseconds. */
    public long running() {
        return running;
    }

    /**
     * Running time spent in this node itself: its running time minus its
     * children's. A tree whose children add up to more than their parent
     * (possible only in a damaged or hand-made file) gives 0, not a negative
     * time.
     */
    public long selfRunning() {
        long self = running;
        for (Frame c : children) {
            self -= c.running;
        }
        return Math.max(0, self);
    }

    /** CPU time spent in this node itself: its CPU time minus its children's, never below 0. */
    public long selfCpu() {
        long self = cpu;
        for (Frame c : children) {
            self -= c.cpu;
        }
        return Math.max(0, self);
    }

    /** The node's own time of a metric: self running or CPU time, or its own waiting, blocked, net I/O time. */
    public long self(Metric m) {
        switch (m) {
            case RUNNING: return selfRunning();
            case CPU: return selfCpu();
            case ALL: return selfRunning() + own[1] + own[2] + own[3];
            default: return own[m.ordinal()];
        }
    }

    /** The time of a metric including all descendants. */
    public long total(Metric m) {
        if (m == Metric.ALL) {
            return inclusive[0] + inclusive[1] + inclusive[2] + inclusive[3];
        }
        if (m == Metric.CPU) {
            return cpu;
        }
        return inclusive[m.ordinal()];
    }

    /** Orders children by a metric's total, largest first; ties by name, then line, for a stable output. */
    public static Comparator<Frame> byTotal(Metric m) {
        return Comparator.comparingLong((Frame f) -> f.total(m)).reversed()
                .thenComparing(f -> Names.frame(f.method))
                .thenComparingInt(f -> f.line);
    }
}
