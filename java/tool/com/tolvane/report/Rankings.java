package com.tolvane.report;

import com.tolvane.snapshot.CallNode;
import com.tolvane.snapshot.LockTime;
import com.tolvane.snapshot.MethodRecord;
import com.tolvane.snapshot.ThreadRecord;

import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.Deque;
import java.util.HashMap;
import java.util.IdentityHashMap;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/**
 * The rankings every report shares: methods by own time (the hot spots of
 * {@code report -f hotspots}, the page and the summary after a recording)
 * and threads by the state they dominate. One computation each, so that no
 * two reports of one snapshot disagree.
 */
public final class Rankings {
    /** A thread holding at least this share of all time of a state is never hidden. */
    public static final double LARGE_SHARE = 0.10;

    private Rankings() {
    }

    /** One method's time, with the time of each distinct call path leading to it. */
    public static final class Hotspot {
        private final String name;
        private final MethodRecord method;
        private long micros;
        private long besideMicros;
        private long totalMicros;
        private final Map<String, Long> paths = new LinkedHashMap<>();
        /** What the method waited for where it was blocked or parked. */
        private final List<LockTime> locks = new ArrayList<>();

        Hotspot(String name, MethodRecord method) {
            this.name = name;
            this.method = method;
        }

        /** The method's name as the reports show it; methods of one name are one hot spot. */
        public String name() {
            return name;
        }

        /** The first method met of that name (generated classes of one piece of code share a name). */
        public MethodRecord method() {
            return method;
        }

        /** Own time of the ranked metric. */
        public long micros() {
            return micros;
        }

        /** The time shown beside: own CPU time, or own running time when ranking by CPU. */
        public long besideMicros() {
            return besideMicros;
        }

        /** Time of the ranked metric with everything called, a recursive method counted once per path. */
        public long totalMicros() {
            return totalMicros;
        }

        /** The locks the method was blocked or parked on, with their time. */
        public List<LockTime> locks() {
            return locks;
        }

        /** The call paths with the most time, most first. */
        public List<Map.Entry<String, Long>> topPaths(int count) {
            List<Map.Entry<String, Long>> list = new ArrayList<>(paths.entrySet());
            list.sort(Map.Entry.<String, Long>comparingByValue().reversed().thenComparing(Map.Entry.comparingByKey()));
            return list.subList(0, Math.min(count, list.size()));
        }
    }

    /**
     * The methods with own time of a metric in the given threads, most first
     * (ties by name), transaction labels among them as "[label]". Threads the
     * recorder ignored are left out. With {@code pathDepth} above 0 each
     * hot spot keeps its call paths, at most that many callers deep.
     */
    public static List<Hotspot> hotspots(List<ThreadRecord> threads, Metric m, Naming names, int pathDepth) {
        Metric beside = m == Metric.CPU ? Metric.RUNNING : Metric.CPU;
        Map<String, Hotspot> byName = new HashMap<>();
        for (ThreadRecord t : threads) {
            if (t.ignored()) {
                continue;
            }
            Map<CallNode, Long> inclusive = inclusive(t.root(), m);
            Map<String, Integer> onPath = new HashMap<>();
            Deque<Object> stack = new ArrayDeque<>();
            stack.push(t.root());
            while (!stack.isEmpty()) {
                Object item = stack.pop();
                if (item instanceof String left) {
                    onPath.merge(left, -1, Integer::sum);
                    continue;
                }
                CallNode node = (CallNode) item;
                MethodRecord method = node.method();
                if (method != null) {
                    String name = names.frame(method);
                    Hotspot h = byName.computeIfAbsent(name, k -> new Hotspot(k, method));
                    long own = m.self(node);
                    h.micros += own;
                    h.besideMicros += beside.self(node);
                    h.locks.addAll(node.locks());
                    if (onPath.getOrDefault(name, 0) == 0) {
                        h.totalMicros += inclusive.get(node);
                    }
                    if (own > 0 && pathDepth > 0) {
                        h.paths.merge(path(node, names, pathDepth), own, Long::sum);
                    }
                    onPath.merge(name, 1, Integer::sum);
                    stack.push(name);
                }
                for (CallNode child : node.children()) {
                    stack.push(child);
                }
            }
        }
        List<Hotspot> list = new ArrayList<>();
        for (Hotspot h : byName.values()) {
            if (h.micros > 0) {
                list.add(h);
            }
        }
        list.sort(Comparator.comparingLong((Hotspot h) -> h.micros).reversed().thenComparing(h -> h.name));
        return list;
    }

    /** Each node's time of a metric with its descendants. */
    private static Map<CallNode, Long> inclusive(CallNode root, Metric m) {
        Map<CallNode, Long> totals = new IdentityHashMap<>();
        root.walkBottomUp(n -> {
            long sum;
            if (m == Metric.RUNNING) {
                sum = n.value();
            } else if (m == Metric.CPU) {
                sum = n.cpuMicros();
            } else {
                sum = m.self(n);
                for (CallNode c : n.children()) {
                    sum += totals.get(c);
                }
            }
            totals.put(n, sum);
        });
        return totals;
    }

    /** The call path of a node from the node outward, each caller with the line it called from. */
    static String path(CallNode node, Naming names, int depth) {
        StringBuilder sb = new StringBuilder(names.frame(node.method()));
        CallNode callee = node;
        int shown = 0;
        for (CallNode caller = node.parent(); caller != null && !caller.isRoot(); caller = caller.parent()) {
            if (shown++ == depth) {
                sb.append(" <- ...");
                break;
            }
            sb.append(" <- ").append(names.frame(caller.method()));
            if (callee.line() > 0) {
                sb.append(':').append(callee.line());
            }
            callee = caller;
        }
        return sb.toString();
    }

    /**
     * A thread's times from its call tree (running, waiting, blocked, net I/O
     * as in {@link Metric#STATES}; CPU or -1), and the state it holds the
     * largest share of among those that say where time goes: CPU time (running
     * time in a recording without it), blocked and net I/O. Waiting is left
     * out: idle pools wait the whole recording.
     */
    public record ThreadRank(ThreadRecord thread, long[] times, long cpu, Metric dominant, double share) {
    }

    /**
     * The sampled threads by the largest share they hold of any of CPU,
     * blocked and net I/O time over all of them, largest first; threads
     * without any such time after them by running time, then by name.
     */
    public static List<ThreadRank> threads(List<ThreadRecord> threads, boolean hasCpu) {
        Metric[] ranked = {hasCpu ? Metric.CPU : Metric.RUNNING, Metric.BLOCKED, Metric.NETIO};
        List<long[]> times = new ArrayList<>();
        List<ThreadRecord> sampled = new ArrayList<>();
        long[] sums = new long[Metric.values().length];
        for (ThreadRecord t : threads) {
            if (t.ignored()) {
                continue;
            }
            long[] s = ReportContext.stateTimes(t);
            sampled.add(t);
            times.add(s);
            for (int i = 0; i < s.length; i++) {
                sums[i] += s[i];
            }
            sums[Metric.CPU.ordinal()] += Math.max(0, t.cpuMicros());
        }
        List<ThreadRank> ranks = new ArrayList<>();
        for (int i = 0; i < sampled.size(); i++) {
            ThreadRecord t = sampled.get(i);
            Metric dominant = null;
            double best = 0;
            for (Metric m : ranked) {
                long time = m == Metric.CPU ? Math.max(0, t.cpuMicros()) : times.get(i)[m.ordinal()];
                long all = sums[m.ordinal()];
                double share = all == 0 ? 0 : (double) time / all;
                if (share > best) {
                    best = share;
                    dominant = m;
                }
            }
            ranks.add(new ThreadRank(t, times.get(i), t.cpuMicros(), dominant, best));
        }
        ranks.sort(Comparator.comparingDouble(ThreadRank::share).reversed()
                .thenComparing(Comparator.comparingLong((ThreadRank r) -> r.times()[0]).reversed())
                .thenComparing(r -> r.thread().name()));
        return ranks;
    }
}
