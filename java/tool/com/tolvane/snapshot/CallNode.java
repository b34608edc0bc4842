package com.tolvane.snapshot;

import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.function.Consumer;

/**
 * A node of a thread's call tree. Times are microseconds: {@link #value()} is
 * running time including all descendants; blocking, waiting and net I/O times
 * are the node's own (the thread stood in this node while blocked, waiting or
 * in net I/O). When the file holds CPU time, {@link #cpuMicros()} is the CPU
 * time the thread used with this node on top of its stack, descendants
 * included, whatever the thread's state was. Trees can be deep, so everything
 * here walks them without recursion.
 */
public final class CallNode {
    private final MethodRecord method;
    private final int line;
    private final long value;
    private final boolean hasMonitorTimes;
    private final long blockingMicros;
    private final long waitingMicros;
    private final long netIOMicros;
    private final List<CallNode> children;
    private CallNode parent;
    /** Set once by the reader when the file holds CPU time; 0 otherwise. */
    private long cpuMicros;
    /** The lock section's entries of this node; empty when the file has none. */
    private List<LockTime> locks = List.of();

    /**
     * Creates a node over children that have no parent yet. {@code method} is
     * null for a thread's root.
     */
    public CallNode(MethodRecord method, int line, long value, boolean hasMonitorTimes,
                    long blockingMicros, long waitingMicros, long netIOMicros, List<CallNode> children) {
        this.method = method;
        this.line = line;
        this.value = value;
        this.hasMonitorTimes = hasMonitorTimes;
        this.blockingMicros = blockingMicros;
        this.waitingMicros = waitingMicros;
        this.netIOMicros = netIOMicros;
        this.children = Collections.unmodifiableList(new ArrayList<>(children));
        for (CallNode child : this.children) {
            if (child.parent != null) {
                throw new IllegalArgumentException("node already has a parent");
            }
            child.parent = this;
        }
    }

    /** The method of this node; null for the root. */
    public MethodRecord method() {
        return method;
    }

    public boolean isRoot() {
        return method == null;
    }

    /** Line in the caller from which this method was called; 0 when unknown and for the root. */
    public int line() {
        return line;
    }

    /** Running time in microseconds, descendants included. */
    public long value() {
        return value;
    }

    /** True when the file carried blocking, waiting and net I/O times for this node. */
    public boolean hasMonitorTimes() {
        return hasMonitorTimes;
    }

    public long blockingMicros() {
        return blockingMicros;
    }

    public long waitingMicros() {
        return waitingMicros;
    }

    public long netIOMicros() {
        return netIOMicros;
    }

    /** CPU time in microseconds, descendants included; 0 when the file holds no CPU time. */
    public long cpuMicros() {
        return cpuMicros;
    }

    /** CPU time used in this node itself: its CPU time minus its children's, never below 0. */
    public long selfCpuMicros() {
        long self = cpuMicros;
        for (CallNode child : children) {
            self -= child.cpuMicros;
        }
        return Math.max(0, self);
    }

    void setCpuMicros(long micros) {
        cpuMicros = micros;
    }

    /** What the thread waited for while blocked or parked in this node itself, when the file says. */
    public List<LockTime> locks() {
        return locks;
    }

    void addLock(LockTime lock) {
        if (locks.isEmpty()) {
            locks = new ArrayList<>();
        }
        locks.add(lock);
    }

    /** Children in file order (the most recently created call first). */
    public List<CallNode> children() {
        return children;
    }

    /** The calling node; null for the root. */
    public CallNode parent() {
        return parent;
    }

    /** Running time spent in this node itself: its value minus its children's values. */
    public long selfRunningMicros() {
        long self = value;
        for (CallNode child : children) {
            self -= child.value;
        }
        return self;
    }

    /** Number of ancestors; 0 for the root. */
    public int depth() {
        int depth = 0;
        for (CallNode n = parent; n != null; n = n.parent) {
            depth++;
        }
        return depth;
    }

    /** The nodes from the first below the root down to this one. */
    public List<CallNode> path() {
        List<CallNode> path = new ArrayList<>();
        for (CallNode n = this; n != null && !n.isRoot(); n = n.parent) {
            path.add(n);
        }
        Collections.reverse(path);
        return path;
    }

    /** The first child whose method has this name (or "class.name"), or null. */
    public CallNode child(String methodName) {
        for (CallNode child : children) {
            if (child.method != null && (child.method.name().equals(methodName)
                    || child.method.qualifiedName().equals(methodName))) {
                return child;
            }
        }
        return null;
    }

    /** Visits this node and all descendants in pre-order (children in file order). */
    public void walk(Consumer<CallNode> visitor) {
        TreeWalk.preOrder(this, CallNode::children, visitor);
    }

    /** Visits this node and all descendants, every node after all of its descendants. */
    public void walkBottomUp(Consumer<CallNode> visitor) {
        TreeWalk.bottomUp(this, CallNode::children, visitor);
    }

    /** Number of nodes in this subtree, this one included. */
    public int size() {
        int[] count = {0};
        walk(n -> count[0]++);
        return count[0];
    }

    @Override
    public String toString() {
        return (method == null ? "<root>" : method.qualifiedName()) + (line > 0 ? ":" + line : "")
                + " value=" + value + (cpuMicros != 0 ? " cpu=" + cpuMicros : "") + (hasMonitorTimes
                ? " blocking=" + blockingMicros + " waiting=" + waitingMicros + " netIO=" + netIOMicros : "");
    }
}
