package com.tolvane.snapshot;

import java.util.Collections;
import java.util.List;

/** One recorded thread with its names, lifetime, status timeline and call tree. */
public final class ThreadRecord {
    private final long id;
    private final String name;
    private final String group;
    private final long startMicros;
    private final long endMicros;
    private final boolean ignored;
    private final List<StatusPoint> timeline;
    private final CallNode root;
    /** Set by the reader when the file holds CPU time; -1 otherwise. */
    private long cpuMicros = -1;

    public ThreadRecord(long id, String name, String group, long startMicros, long endMicros,
                        boolean ignored, List<StatusPoint> timeline, CallNode root) {
        this.id = id;
        this.name = name;
        this.group = group;
        this.startMicros = startMicros;
        this.endMicros = endMicros;
        this.ignored = ignored;
        this.timeline = Collections.unmodifiableList(timeline);
        this.root = root;
    }

    /** Identity of the thread within this file. */
    public long id() {
        return id;
    }

    public String name() {
        return name;
    }

    public String group() {
        return group;
    }

    /**
     * Whether this record holds every virtual thread of the recording in one
     * tree (group "VirtualThreads", name "Virtual threads (about N started)")
     * rather than one thread.
     */
    public boolean isVirtualThreads() {
        return "VirtualThreads".equals(group) && name != null && name.startsWith("Virtual threads");
    }

    /** When the thread started, or the recording start for threads that were already running. */
    public long startMicros() {
        return startMicros;
    }

    /** When the thread ended, or -1 when it was still alive at the end of the recording. */
    public long endMicros() {
        return endMicros;
    }

    public boolean isAlive() {
        return endMicros == -1;
    }

    /** True for a thread that was registered but deliberately not sampled (the recorder's own threads). */
    public boolean ignored() {
        return ignored;
    }

    /** Status changes in time order. */
    public List<StatusPoint> timeline() {
        return timeline;
    }

    /** The root of the call tree; its method is null and its value is the thread's total running time. */
    public CallNode root() {
        return root;
    }

    /**
     * The CPU time the thread used during the recording in microseconds; -1
     * when the file holds no CPU time or the thread's could not be read. When
     * known it equals the CPU time of the call tree's root.
     */
    public long cpuMicros() {
        return cpuMicros;
    }

    void setCpuMicros(long micros) {
        cpuMicros = micros;
    }

    @Override
    public String toString() {
        return "thread \"" + name + "\" (group " + group + ")";
    }
}
