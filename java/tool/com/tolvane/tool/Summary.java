package com.tolvane.tool;

import com.tolvane.report.Metric;
import com.tolvane.report.Naming;
import com.tolvane.report.Rankings;
import com.tolvane.snapshot.Printable;
import com.tolvane.snapshot.Snapshot;
import com.tolvane.snapshot.ThreadRecord;
import java.io.PrintStream;
import java.util.List;

/** The short text shown after a recording: threads, duration, hottest methods, snapshot path. */
public final class Summary {
    private Summary() {
    }

    /**
     * A thread counts as runnable far longer than it used a CPU when its CPU
     * time is at most half its running time and at least this much below it.
     */
    static final long RUNNABLE_GAP_MICROS = 100_000;

    /** Prints the summary of a finished recording. */
    public static void print(Recording.Result result, PrintStream out) {
        Snapshot s = Naming.shown(result.snapshot(), false);
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
        for (ThreadRecord t : s.threads()) {
            if (t.isVirtualThreads()) {
                out.println("Virtual threads: booked together as the thread \"" + Printable.of(t.name())
                        + "\" (started during the recording); their carriers show only the time they carried none");
            }
        }
        if (s.nodeLimit() != null) {
            out.println("Note: " + s.nodeLimit().describe());
        }
        if (s.lostSamples() != null) {
            out.println("Note: " + s.lostSamples().describe()
                    + "; the CPU a lost sample stood for is booked on the thread's next sample");
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
     * The threads ranked as the page's thread list ranks them ({@link Rankings#threads}):
     * by the largest share they hold of CPU (running without CPU time),
     * blocked or net I/O time. The first {@code limit} are shown, and beyond
     * them every thread that holds a large share of any of those states, so a
     * program's most blocked thread is never behind "... and N more". Each
     * line gives the thread's running time, its CPU time where the recording
     * measured it ("-" where it could not be read), its blocked, waiting and
     * net I/O time, and the share that ranked it.
     */
    public static void printThreads(Snapshot s, PrintStream out, int limit) {
        boolean cpu = s.hasCpuTime();
        List<Rankings.ThreadRank> ranks = Rankings.threads(s.threads(), cpu);
        out.println();
        out.println("Threads by their largest share of " + (cpu ? "CPU" : "running") + ", blocked or net I/O time:");
        out.println(String.format("  %10s%s %10s %10s %10s %12s  %s", "running",
                cpu ? String.format(" %10s", "CPU") : "", "blocked", "waiting", "net I/O", "share", "thread"));
        int shown = 0;
        for (int i = 0; i < ranks.size(); i++) {
            Rankings.ThreadRank r = ranks.get(i);
            if (i >= limit && r.share() < Rankings.LARGE_SHARE) {
                continue;
            }
            ThreadRecord t = r.thread();
            long[] m = r.times();
            String cpuColumn = !cpu ? "" : String.format(" %10s", t.cpuMicros() < 0 ? "-" : ms(t.cpuMicros()));
            String share = r.dominant() == null ? "" : String.format(java.util.Locale.ROOT, "%.0f%% %s",
                    100 * r.share(), r.dominant() == Metric.NETIO ? "net" : r.dominant().label());
            out.println(String.format("  %10s%s %10s %10s %10s %12s  %s%s", ms(m[0]), cpuColumn,
                    ms(m[Metric.BLOCKED.ordinal()]), ms(m[Metric.WAITING.ordinal()]), ms(m[Metric.NETIO.ordinal()]),
                    share, Printable.of(t.name()), t.isAlive() ? "" : " (ended)"));
            shown++;
        }
        if (ranks.size() > shown) {
            out.println("  ... and " + (ranks.size() - shown) + " more threads");
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

    /**
     * The methods with the most own time: CPU time where the recording
     * measured it, else running time, ranked as {@code report -f hotspots}
     * ranks them.
     */
    public static void printHotMethods(Snapshot s, PrintStream out, int limit) {
        Snapshot shown = Naming.shown(s, false);
        Metric metric = Metric.defaultFor(shown);
        List<Rankings.Hotspot> hot = Rankings.hotspots(shown.threads(), metric, new Naming(shown, false), 0);
        out.println();
        out.println("Hottest methods by " + metric.label() + " time:");
        out.println(String.format("  %10s %10s  %s", "self", "total", "method"));
        for (Rankings.Hotspot h : hot.subList(0, Math.min(limit, hot.size()))) {
            out.println(String.format("  %10s %10s  %s", ms(h.micros()), ms(h.totalMicros()), h.name()));
        }
        if (hot.isEmpty()) {
            out.println("  (no " + metric.label() + " time was sampled)");
        }
    }

    /**
     * A note when most running time lands in one frame of a filtered class:
     * that frame stands for everything it called in the collapsed classes, so
     * the summary says which option opens it. Null when there is nothing to
     * say.
     */
    public static String filteredHint(Snapshot s) {
        List<Rankings.Hotspot> times = Rankings.hotspots(s.threads(), Metric.RUNNING, new Naming(s, true), 0);
        long total = 0;
        for (Rankings.Hotspot t : times) {
            total += t.micros();
        }
        if (times.isEmpty() || total == 0) {
            return null;
        }
        Rankings.Hotspot top = times.get(0);
        String cls = top.method().className();
        if (2 * top.micros() < total || !isFiltered(cls, s.filters(), s.filterInverted())) {
            return null;
        }
        String pkg = cls.lastIndexOf('.') > 0 ? cls.substring(0, cls.lastIndexOf('.') + 1) : cls;
        return String.format("Note: %d%% of the running time is in %s, a filtered class that stands for the"
                + " filtered calls below it;%n  record with --filter -%s (or --no-default-filters) to see inside it.",
                Math.round(100.0 * top.micros() / total), Printable.of(top.method().qualifiedName()),
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

    public static String ms(long micros) {
        return String.format("%.1f ms", micros / 1000.0);
    }
}
