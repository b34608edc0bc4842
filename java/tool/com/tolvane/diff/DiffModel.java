package com.tolvane.diff;

import com.tolvane.report.Metric;
import com.tolvane.report.Naming;
import com.tolvane.snapshot.CallNode;
import com.tolvane.snapshot.Snapshot;
import com.tolvane.snapshot.ThreadRecord;

import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.Deque;
import java.util.HashMap;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.regex.Pattern;

/**
 * Two recordings side by side: each one's call trees merged by frame name
 * (call-site lines are left out, since a changed program moves them), once
 * for all threads and once per thread group. A group holds the threads whose
 * names are equal once every run of digits is replaced by '#', so
 * "pool-3-thread-7" of one run meets "pool-1-thread-2" of the other.
 * Threads the recorder ignored are left out. When both recordings hold CPU
 * time, each frame also carries its own CPU time, compared like a state.
 */
public final class DiffModel {
    /** Index of the recording before the change. */
    public static final int BEFORE = 0;
    /** Index of the recording after the change. */
    public static final int AFTER = 1;
    /** The name of the group of all threads. */
    public static final String ALL_THREADS = "all threads";

    /** How many own times a frame carries: the four states, then CPU time. */
    static final int SLOTS = 5;

    /** A frame of a merged tree with its own time per state in each recording. */
    public static final class Node {
        final String name;
        final Map<String, Node> children = new LinkedHashMap<>();
        /** [recording][slot]: own time, states as in {@link Metric#STATES}, then CPU time. */
        final long[][] own = new long[2][SLOTS];

        Node(String name) {
            this.name = name;
        }

        Node child(String childName) {
            return children.computeIfAbsent(childName, Node::new);
        }
    }

    /** One method's own time per state and CPU time in each recording, summed over every place it occurs. */
    public record Method(String name, long[][] own) {
        /** The own time of a metric in one recording. */
        public long time(int recording, Metric m) {
            return m == Metric.ALL ? own[recording][0] + own[recording][1] + own[recording][2] + own[recording][3]
                    : own[recording][slot(m)];
        }
    }

    /** Where a metric's time is kept in a frame's own times; not for {@link Metric#ALL}. */
    static int slot(Metric m) {
        return m == Metric.CPU ? 4 : m.ordinal();
    }

    private final Snapshot[] snapshots;
    private final String[] sources;
    private final Naming names;
    private final Map<String, Node> groups = new LinkedHashMap<>();
    private final int[] threadCounts = new int[2];
    /** [recording][slot]: the time of each state, and CPU time, over all compared threads. */
    private final long[][] totals = new long[2][SLOTS];

    public DiffModel(Snapshot before, Snapshot after, String beforeSource, String afterSource, Pattern threadName,
                     boolean rawNames) {
        this.snapshots = new Snapshot[] {Naming.shown(before, rawNames), Naming.shown(after, rawNames)};
        this.sources = new String[] {beforeSource, afterSource};
        this.names = new Naming(List.of(snapshots), rawNames);
        Node all = new Node("(" + ALL_THREADS + ")");
        groups.put(ALL_THREADS, all);
        Map<String, Node> byGroup = new java.util.TreeMap<>();
        for (int r = 0; r < 2; r++) {
            for (ThreadRecord t : snapshots[r].threads()) {
                if (t.ignored() || (threadName != null && !threadName.matcher(t.name()).find())) {
                    continue;
                }
                threadCounts[r]++;
                add(all, t.root(), r);
                String group = threadGroup(t.name());
                add(byGroup.computeIfAbsent(group, g -> new Node(g)), t.root(), r);
            }
        }
        groups.putAll(byGroup);
        walk(all, n -> {
            for (int r = 0; r < 2; r++) {
                for (int s = 0; s < SLOTS; s++) {
                    totals[r][s] += n.own[r][s];
                }
            }
        });
    }

    /** A thread's name with every run of digits replaced by '#'. */
    public static String threadGroup(String threadName) {
        return threadName.replaceAll("\\d+", "#");
    }

    /** Adds a thread's call tree into a merged tree, without recursing. */
    private void add(Node top, CallNode root, int recording) {
        Deque<Object[]> pending = new ArrayDeque<>();
        pending.push(new Object[] {root, top});
        while (!pending.isEmpty()) {
            Object[] item = pending.pop();
            CallNode node = (CallNode) item[0];
            Node target = (Node) item[1];
            for (int s = 0; s < 4; s++) {
                target.own[recording][s] += Metric.STATES[s].self(node);
            }
            target.own[recording][4] += node.selfCpuMicros();
            for (CallNode child : node.children()) {
                pending.push(new Object[] {child, target.child(names.frame(child.method()))});
            }
        }
    }

    public Snapshot snapshot(int recording) {
        return snapshots[recording];
    }

    public String source(int recording) {
        return sources[recording];
    }

    /** Whether both recordings hold CPU time, so that it can be compared. */
    public boolean hasCpuTime() {
        return snapshots[BEFORE].hasCpuTime() && snapshots[AFTER].hasCpuTime();
    }

    /** How many threads of a recording were compared. */
    public int threadCount(int recording) {
        return threadCounts[recording];
    }

    /** The merged trees: all threads first, then the thread groups by name. */
    public Map<String, Node> groups() {
        return groups;
    }

    /** The time of a metric a recording spent in the compared threads. */
    public long total(int recording, Metric m) {
        long[] sum = totals[recording];
        return m == Metric.ALL ? sum[0] + sum[1] + sum[2] + sum[3] : sum[slot(m)];
    }

    /** Every method of either recording with its own times over all compared threads. */
    public List<Method> methods() {
        Map<String, long[][]> byName = new HashMap<>();
        Node all = groups.get(ALL_THREADS);
        walk(all, n -> {
            if (n == all) {
                return;
            }
            long[][] sums = byName.computeIfAbsent(n.name, k -> new long[2][SLOTS]);
            for (int r = 0; r < 2; r++) {
                for (int s = 0; s < SLOTS; s++) {
                    sums[r][s] += n.own[r][s];
                }
            }
        });
        List<Method> list = new ArrayList<>();
        byName.forEach((name, own) -> list.add(new Method(name, own)));
        return list;
    }

    /**
     * The change of a method's own time of a metric: after minus before, as a
     * fraction of each recording's total of that metric, or in microseconds
     * when {@code absolute}.
     */
    public double change(Method m, Metric metric, boolean absolute) {
        return value(m, AFTER, metric, absolute) - value(m, BEFORE, metric, absolute);
    }

    /** A method's own time in one recording: a share of the recording's total, or microseconds. */
    public double value(Method m, int recording, Metric metric, boolean absolute) {
        long time = m.time(recording, metric);
        if (absolute) {
            return time;
        }
        long total = total(recording, metric);
        return total == 0 ? 0 : (double) time / total;
    }

    /**
     * The methods whose own time of a metric changed, in milliseconds or in
     * share, ranked by the change of share or, when {@code absolute}, in
     * microseconds: largest change first, then by the change in microseconds
     * (a method whose share stayed while its time doubled is still listed).
     */
    public List<Method> ranked(Metric metric, boolean absolute) {
        Map<Method, double[]> changes = new HashMap<>();
        for (Method m : methods()) {
            double micros = change(m, metric, true);
            double change = absolute ? micros : change(m, metric, false);
            if (micros != 0 || change != 0) {
                changes.put(m, new double[] {change, micros});
            }
        }
        List<Method> list = new ArrayList<>(changes.keySet());
        list.sort(Comparator.comparingDouble((Method m) -> -Math.abs(changes.get(m)[0]))
                .thenComparingDouble(m -> -Math.abs(changes.get(m)[1])).thenComparing(Method::name));
        return list;
    }

    /** Visits a tree's nodes, each before its children, without recursing. */
    static void walk(Node root, java.util.function.Consumer<Node> visitor) {
        Deque<Node> pending = new ArrayDeque<>();
        pending.push(root);
        while (!pending.isEmpty()) {
            Node n = pending.pop();
            visitor.accept(n);
            for (Node c : n.children.values()) {
                pending.push(c);
            }
        }
    }
}
