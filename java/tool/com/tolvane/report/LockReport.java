package com.tolvane.report;

import com.tolvane.snapshot.LockTime;
import com.tolvane.snapshot.ThreadRecord;

import java.util.ArrayList;
import java.util.Comparator;
import java.util.HashMap;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/**
 * The blocked and parked time of a snapshot's lock section per monitor or
 * blocker class: how long, which threads waited, which held it, and the call
 * paths where the waiting happened. The one computation behind the text
 * view, the page and the labels of other formats.
 */
public final class LockReport {
    /** Holder shown when none was seen (free at the moment, or not readable). */
    public static final String NO_HOLDER = "(no holder seen)";

    private LockReport() {
    }

    /** One monitor or blocker class. */
    public static final class Lock {
        public final boolean monitor;
        public final String lockClass;
        public long micros;
        /** Thread name to time, most first once {@link #sorted} ran. */
        public final Map<String, Long> waiting = new LinkedHashMap<>();
        public final Map<String, Long> holders = new LinkedHashMap<>();
        /** Call path (from the waiting method outward) to time. */
        public final Map<String, Long> paths = new LinkedHashMap<>();

        Lock(boolean monitor, String lockClass) {
            this.monitor = monitor;
            this.lockClass = lockClass;
        }

        /** "monitor com.acme.Ledger", or for a park blocker its class alone. */
        public String title() {
            return (monitor ? "monitor " : "") + (lockClass.isEmpty() ? "(class not read)" : lockClass);
        }
    }

    /** The locks the chosen threads waited for, most time first; empty when the file has no lock section. */
    public static List<Lock> locks(ReportContext ctx) {
        if (ctx.snapshot().locks() == null) {
            return List.of();
        }
        Map<String, Lock> byKey = new HashMap<>();
        for (ThreadRecord t : ctx.threads()) {
            t.root().walk(node -> {
                for (LockTime lt : node.locks()) {
                    Lock lock = byKey.computeIfAbsent((lt.isMonitor() ? "m" : "p") + lt.lockClass(),
                            k -> new Lock(lt.isMonitor(), lt.lockClass()));
                    lock.micros += lt.micros();
                    lock.waiting.merge(t.name(), lt.micros(), Long::sum);
                    lock.holders.merge(lt.holder() != null ? lt.holder() : NO_HOLDER, lt.micros(), Long::sum);
                    lock.paths.merge(Rankings.path(node, ctx.names(), HotspotsFormat.PATH_DEPTH) + "  [" + t.name() + "]", lt.micros(),
                            Long::sum);
                }
            });
        }
        List<Lock> list = new ArrayList<>(byKey.values());
        for (Lock lock : list) {
            sortByTime(lock.waiting);
            sortByTime(lock.holders);
            sortByTime(lock.paths);
        }
        list.sort(Comparator.comparingLong((Lock l) -> l.micros).reversed().thenComparing(Lock::title));
        return list;
    }

    /**
     * "blocked on X held by T" for the lock that took most of a node's own
     * lock time, with "and N more" when there were others; null when the
     * node has no lock time.
     */
    public static String label(List<LockTime> times) {
        if (times.isEmpty()) {
            return null;
        }
        Map<String, Long> byText = new HashMap<>();
        for (LockTime lt : times) {
            byText.merge(lt.describe(), lt.micros(), Long::sum);
        }
        String top = null;
        long most = -1;
        for (Map.Entry<String, Long> e : byText.entrySet()) {
            if (e.getValue() > most || (e.getValue() == most && e.getKey().compareTo(top) < 0)) {
                top = e.getKey();
                most = e.getValue();
            }
        }
        int others = byText.size() - 1;
        return others == 0 ? top : top + " (and " + others + " more)";
    }

    /**
     * The label of the lock times that belong to a metric's time: monitors
     * for blocked time, park blockers for waiting time, both for the others.
     */
    public static String label(List<LockTime> times, Metric m) {
        if (m != Metric.BLOCKED && m != Metric.WAITING) {
            return label(times);
        }
        List<LockTime> kept = new ArrayList<>();
        for (LockTime lt : times) {
            if (lt.isMonitor() == (m == Metric.BLOCKED)) {
                kept.add(lt);
            }
        }
        return label(kept);
    }

    /**
     * "  [label]" to put after a method's name where blocked or waiting time
     * is shown; "" without lock times and for running, CPU and net I/O time.
     */
    public static String suffix(List<LockTime> times, Metric m) {
        boolean shown = m == Metric.BLOCKED || m == Metric.WAITING || m == Metric.ALL;
        String label = !shown || times.isEmpty() ? null : label(times, m);
        return label == null ? "" : "  [" + label + "]";
    }

    private static void sortByTime(Map<String, Long> map) {
        List<Map.Entry<String, Long>> entries = new ArrayList<>(map.entrySet());
        entries.sort(Map.Entry.<String, Long>comparingByValue().reversed().thenComparing(Map.Entry.comparingByKey()));
        map.clear();
        for (Map.Entry<String, Long> e : entries) {
            map.put(e.getKey(), e.getValue());
        }
    }
}
