package com.tolvane.report;

import com.tolvane.snapshot.CallNode;
import com.tolvane.snapshot.Snapshot;

import java.util.Locale;

/**
 * The kind of time a report ranks by. Running time is stored inclusively in
 * the call tree; waiting, blocked and net I/O time are stored on the node where
 * the thread stood, so their inclusive figures are sums over the subtree.
 * {@link #ALL} adds the four together: the wall-clock time the thread spent
 * below a node while it was sampled. {@link #CPU} is not a state: it is the
 * CPU time the thread used, stored inclusively like running time, and only
 * files recorded with CPU time measurement have it. Running (RUNNABLE) time
 * also counts time in native code and waiting for I/O, so CPU time is the
 * truer measure of what code costs.
 */
public enum Metric {
    RUNNING("running", "running"),
    WAITING("waiting", "waiting"),
    BLOCKED("blocked", "blocked"),
    NETIO("netio", "net I/O"),
    ALL("all", "all states"),
    CPU("cpu", "CPU");

    /** The four states that times are booked in, in display order. */
    public static final Metric[] STATES = {RUNNING, WAITING, BLOCKED, NETIO};

    private final String option;
    private final String label;

    Metric(String option, String label) {
        this.option = option;
        this.label = label;
    }

    /** The name used on the command line and in the HTML page. */
    public String option() {
        return option;
    }

    /** A readable name for headings. */
    public String label() {
        return label;
    }

    /**
     * A call-tree node's own time of this metric. Self running time is the
     * node's running time minus its children's; children that add up to
     * more than their parent (only in a damaged or hand-made file) give 0
     * rather than a negative time.
     */
    public long self(CallNode node) {
        switch (this) {
            case RUNNING: return selfRunning(node);
            case WAITING: return node.waitingMicros();
            case BLOCKED: return node.blockingMicros();
            case NETIO: return node.netIOMicros();
            case CPU: return node.selfCpuMicros();
            default: return selfRunning(node) + node.waitingMicros() + node.blockingMicros() + node.netIOMicros();
        }
    }

    /** Only running and all need the children's times, so only they pay for adding them up. */
    private static long selfRunning(CallNode node) {
        return Math.max(0, node.selfRunningMicros());
    }

    /** The time shown when none is chosen: CPU time where the file has it, else running time. */
    public static Metric defaultFor(Snapshot snapshot) {
        return snapshot.hasCpuTime() ? CPU : RUNNING;
    }

    /** Parses a --state value; null when it names no metric. */
    public static Metric parse(String text) {
        String t = text.toLowerCase(Locale.ROOT);
        for (Metric m : values()) {
            if (m.option.equals(t)) {
                return m;
            }
        }
        if (t.equals("net-io") || t.equals("net_io") || t.equals("net i/o")) {
            return NETIO;
        }
        return null;
    }
}
