package com.tolvane.report;

import com.tolvane.snapshot.CallNode;
import com.tolvane.snapshot.Snapshot;
import com.tolvane.snapshot.StatusPoint;
import com.tolvane.snapshot.ThreadRecord;

import java.util.ArrayList;
import java.util.List;

/** A snapshot with the report options applied: the chosen threads, metric and folding threshold. */
public final class ReportContext {
    private final Snapshot snapshot;
    private final String source;
    private final List<ThreadRecord> threads;
    private final Metric metric;
    private final double minPercent;
    private final Naming names;
    private final boolean threadFrames;
    private long recordingEnd = Long.MIN_VALUE;

    /**
     * @param source  the file name shown in headings
     * @param options the threads, metric and folding of the report
     */
    public ReportContext(Snapshot snapshot, String source, ReportOptions options) {
        this.snapshot = Naming.shown(snapshot, options.rawNames());
        this.names = new Naming(this.snapshot, options.rawNames());
        this.source = source;
        this.metric = options.metric();
        this.minPercent = options.minPercent();
        this.threadFrames = options.threadFrames();
        List<ThreadRecord> chosen = new ArrayList<>();
        for (ThreadRecord t : this.snapshot.threads()) {
            if (options.threadName() == null || options.threadName().matcher(t.name()).find()) {
                chosen.add(t);
            }
        }
        this.threads = chosen;
    }

    /** The snapshot as the reports show it ({@link Naming#shown}). */
    public Snapshot snapshot() {
        return snapshot;
    }

    public String source() {
        return source;
    }

    /** The threads the report covers, in file order. */
    public List<ThreadRecord> threads() {
        return threads;
    }

    public Metric metric() {
        return metric;
    }

    public double minPercent() {
        return minPercent;
    }

    /** Whether folded stacks start with a frame that names the thread. */
    public boolean threadFrames() {
        return threadFrames;
    }

    /** How methods are named in this report. */
    public Naming names() {
        return names;
    }

    /** The merged call tree of the chosen threads. */
    public Frame mergedTree() {
        List<CallNode> roots = new ArrayList<>();
        for (ThreadRecord t : threads) {
            roots.add(t.root());
        }
        return Frame.merge(roots, names);
    }

    /**
     * The end of the recording's time axis. The snapshot is written right
     * after sampling stops, so its write time closes the axis; a later thread
     * end or status point (only in a hand-made file) extends it.
     */
    public long recordingEnd() {
        if (recordingEnd == Long.MIN_VALUE) {
            recordingEnd = computeRecordingEnd();
        }
        return recordingEnd;
    }

    private long computeRecordingEnd() {
        long end = Math.max(snapshot.header().writeTimeMicros(), snapshot.header().recordStartMicros());
        for (ThreadRecord t : snapshot.threads()) {
            end = Math.max(end, t.endMicros());
            for (StatusPoint p : t.timeline()) {
                end = Math.max(end, p.micros());
            }
        }
        return end;
    }

    /**
     * The time a thread spent in each state according to its call tree,
     * indexed like {@link Metric#STATES}: running is the root's value,
     * waiting, blocked and net I/O the sums over the tree. The trees are
     * booked at every sampling tick, so these are exact to the tick, while
     * the timeline keeps only a point now and then and serves to draw it.
     */
    public static long[] stateTimes(ThreadRecord t) {
        long[] times = {t.root().value(), 0, 0, 0};
        t.root().walk(n -> {
            times[1] += n.waitingMicros();
            times[2] += n.blockingMicros();
            times[3] += n.netIOMicros();
        });
        return times;
    }

    /** Whether the file holds CPU time, so that reports show it beside running time. */
    public boolean hasCpuTime() {
        return snapshot.hasCpuTime();
    }
}
