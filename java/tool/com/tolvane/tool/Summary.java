package com.tolvane.tool;

import com.tolvane.snapshot.CallNode;
import com.tolvane.snapshot.MethodRecord;
import com.tolvane.snapshot.Printable;
import com.tolvane.snapshot.Snapshot;
import com.tolvane.snapshot.ThreadRecord;
import java.io.PrintStream;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.Deque;
import java.util.HashMap;
import java.util.List;
import java.util.Map;

/** The short text shown after a recording: threads, duration, hottest methods, snapshot path. */
public final class Summary {
    private Summary() {
    }

    /** Running (or CPU) time of one method over all recorded threads. */
    public record MethodTime(MethodRecord method, long selfMicros, long totalMicros) {
    }

    /**
     * A thread counts as runnable far longer than it used a CPU when its CPU
     * time is at most half its running time and at least this much below it.
     */
    static final long RUNNABLE_GAP_MICROS = 100_000;

    /**
     * Self and inclusive running time per method over all threads that were
     * sampled. Inclusive time counts a recursive method once per path (only
     * its outermost node), so it never exceeds the thread's total. Transaction
     * labels are left out: they are not code.
     */
    public static List<MethodTime> methodTimes(Snapshot snapshot) {
        return methodTimes(snapshot, false);
    }

    /** Like {@link #methodTimes(Snapshot)}, of CPU time instead of running time when {@code cpu} is set. */
    public static List<MethodTime> methodTimes(Snapshot snapshot, boolean cpu) {
        Map<MethodRecord, long[]> times = new HashMap<>();
        for (ThreadRecord thread : snapshot.threads()) {
            if (thread.ignored()) {
                continue;
            }
            Map<MethodRecord, Integer> onPath = new HashMap<>();
            Deque<Object[]> stack = new ArrayDeque<>();
            stack.push(new Object[] {thread.root(), Boolean.FALSE});
            while (!stack.isEmpty()) {
                Object[] item = stack.pop();
                CallNode node = (CallNode) item[0];
                MethodRecord m = node.method();
                if ((Boolean) item[1]) {
                    onPath.merge(m, -1, Integer::sum);
                    continue;
                }
                if (m != null && !m.isInterception()) {
                    long[] t = times.computeIfAbsent(m, k -> new long[2]);
                    t[0] += cpu ? node.selfCpuMicros() : node.selfRunningMicros();
                    if (onPath.getOrDefault(m, 0) == 0) {
                        t[1] += cpu ? node.cpuMicros() : node.value();
                    }
                    onPath.merge(m, 1, Integer::sum);
                    stack.push(new Object[] {node, Boolean.TRUE});
                }
                for (CallNode child : node.children()) {
                    stack.push(new Object[] {child, Boolean.FALSE});
                }
            }
        }
        List<MethodTime> result = new ArrayList<>();
        times.forEach((m, t) -> result.add(new MethodTime(m, t[0], t[1])));
        result.sort(Comparator.comparingLong(MethodTime::selfMicros).reversed()
                .thenComparing(Comparator.comparingLong(MethodTime::totalMicros).reversed())
                .thenComparing(t -> t.method().qualifiedName()));
        return result;
    }

    /** Prints the summary of a finished recording. */
    public static void print(Recording.Result result, PrintStream out) {
        Snapshot s = result.snapshot();
        int ignored = 0;
        for (ThreadRecord t : s.threads()) {
            ignored += t.ignored() ? 1 : 0;
        }
        long millis = result.targetExited() ? s.header().durationMicros() / 1000 : result.durationMillis();
        out.println("Recorded " + result.target().describe() + " for " + Recording.seconds(millis)
                + (result.targetExited() ? " until it exited" : "") + ": "
                + Printable.of(s.header().vmName() + " " + s.header().javaVersion()));
        out.println("Threads: " + (s.threads().size() - ignored) + " recorded"
                + (ignored > 0 ? ", " + ignored + " registered but not sampled (JVM service threads"
                + " and the profiler's own, which run no application code)" : ""));
        if (s.nodeLimit() != null) {
            out.println("Note: " + s.nodeLimit().describe());
        }
        printThreads(s, out, 8);
        String runnable = runnableNote(s);
        if (runnable != null) {
            out.println(runnable);
        }
        printHotMethods(s, out, 10);
        String hint = filteredHint(s);
        if (hint != null) {
            out.println();
            out.println(hint);
        }
        out.println();
        out.println("Snapshot: " + result.snapshotPath());
    }

    /**
     * The busiest threads by running time, with their CPU time where the
     * recording measured it ("-" where it could not be read), and their
     * blocked, waiting and net I/O time.
     */
    public static void printThreads(Snapshot s, PrintStream out, int limit) {
        boolean cpu = s.hasCpuTime();
        List<ThreadRecord> threads = new ArrayList<>();
        for (ThreadRecord t : s.threads()) {
            if (!t.ignored()) {
                threads.add(t);
            }
        }
        threads.sort(Comparator.comparingLong((ThreadRecord t) -> t.root().value()).reversed()
                .thenComparing(ThreadRecord::name));
        out.println();
        out.println(String.format("  %10s%s %10s %10s %10s  %s", "running",
                cpu ? String.format(" %10s", "CPU") : "", "blocked", "waiting", "net I/O", "thread"));
        for (ThreadRecord t : threads.subList(0, Math.min(limit, threads.size()))) {
            long[] m = monitorTotals(t.root());
            String cpuColumn = !cpu ? "" : String.format(" %10s", t.cpuMicros() < 0 ? "-" : ms(t.cpuMicros()));
            out.println(String.format("  %10s%s %10s %10s %10s  %s%s", ms(t.root().value()), cpuColumn, ms(m[0]),
                    ms(m[1]), ms(m[2]), Printable.of(t.name()), t.isAlive() ? "" : " (ended)"));
        }
        if (threads.size() > limit) {
            out.println("  ... and " + (threads.size() - limit) + " more threads");
        }
    }

    /**
     * A note when sampled threads were runnable far longer than they used a
     * CPU, with their summed running and CPU time; null when none were or the
     * recording did not measure CPU time.
     */
    public static String runnableNote(Snapshot s) {
        if (!s.hasCpuTime()) {
            return null;
        }
        int count = 0;
        long running = 0;
        long cpu = 0;
        for (ThreadRecord t : s.threads()) {
            long run = t.root().value();
            if (t.ignored() || t.cpuMicros() < 0 || 2 * t.cpuMicros() > run
                    || run - t.cpuMicros() < RUNNABLE_GAP_MICROS) {
                continue;
            }
            count++;
            running += run;
            cpu += t.cpuMicros();
        }
        if (count == 0) {
            return null;
        }
        return String.format("Note: %d %s runnable far longer than %s on a CPU (running %.1f s, CPU %.1f s):"
                        + " RUNNABLE includes time in native code and waiting for I/O.",
                count, count == 1 ? "thread was" : "threads were", count == 1 ? "it ran" : "they ran",
                running / 1e6, cpu / 1e6);
    }

    /** The methods with the most own time: CPU time where the recording measured it, else running time. */
    public static void printHotMethods(Snapshot s, PrintStream out, int limit) {
        boolean cpu = s.hasCpuTime();
        List<MethodTime> times = methodTimes(s, cpu);
        out.println();
        out.println("Hottest methods by " + (cpu ? "CPU" : "running") + " time:");
        out.println(String.format("  %10s %10s  %s", "self", "total", "method"));
        com.tolvane.report.Naming names = new com.tolvane.report.Naming(s, false);
        int shown = 0;
        for (MethodTime t : times) {
            if (shown == limit || t.selfMicros() <= 0) {
                break;
            }
            out.println(String.format("  %10s %10s  %s", ms(t.selfMicros()), ms(t.totalMicros()),
                    names.frame(t.method())));
            shown++;
        }
        if (shown == 0) {
            out.println(cpu ? "  (no CPU time was sampled)" : "  (no running time was sampled)");
        }
    }

    /**
     * A note when most running time lands in one frame of a filtered class:
     * that frame stands for everything it called in the collapsed classes, so
     * the summary says which option opens it. Null when there is nothing to
     * say.
     */
    public static String filteredHint(Snapshot s) {
        List<MethodTime> times = methodTimes(s);
        long total = 0;
        for (MethodTime t : times) {
            total += t.selfMicros();
        }
        if (times.isEmpty() || total == 0) {
            return null;
        }
        MethodTime top = times.get(0);
        String cls = top.method().className();
        if (2 * top.selfMicros() < total || !isFiltered(cls, s.filters(), s.filterInverted())) {
            return null;
        }
        String pkg = cls.lastIndexOf('.') > 0 ? cls.substring(0, cls.lastIndexOf('.') + 1) : cls;
        return String.format("Note: %d%% of the running time is in %s, a filtered class that stands for the"
                + " filtered calls below it;%n  record with --filter -%s (or --no-default-filters) to see inside it.",
                Math.round(100.0 * top.selfMicros() / total), Printable.of(top.method().qualifiedName()),
                Printable.of(pkg));
    }

    /**
     * Whether the recorder collapsed a class: the last pattern that matches
     * decides, a leading '-' exempts, a list that opens with an exemption
     * collapses what nothing exempts. Patterns without wildcards are prefixes;
     * '*' stands for any run of characters and '?' for one.
     */
    static boolean isFiltered(String className, List<String> filters, boolean inverted) {
        boolean result = false;
        for (int i = 0; i < filters.size(); i++) {
            String pattern = filters.get(i);
            boolean exemption = pattern.startsWith("-");
            if (exemption) {
                pattern = pattern.substring(1);
                result |= i == 0;
            }
            if (!pattern.isEmpty() && matches(pattern.replace('/', '.'), className)) {
                result = !exemption;
            }
        }
        return inverted != result;
    }

    private static boolean matches(String pattern, String name) {
        if (pattern.indexOf('*') < 0 && pattern.indexOf('?') < 0) {
            return name.startsWith(pattern);
        }
        StringBuilder regex = new StringBuilder();
        for (char c : pattern.toCharArray()) {
            regex.append(c == '*' ? ".*" : c == '?' ? "." : java.util.regex.Pattern.quote(String.valueOf(c)));
        }
        return name.matches(regex + ".*");
    }

    /** Blocking, waiting and net I/O time of a whole tree. */
    static long[] monitorTotals(CallNode root) {
        long[] totals = new long[3];
        root.walk(n -> {
            totals[0] += n.blockingMicros();
            totals[1] += n.waitingMicros();
            totals[2] += n.netIOMicros();
        });
        return totals;
    }

    public static String ms(long micros) {
        return String.format("%.1f ms", micros / 1000.0);
    }
}
