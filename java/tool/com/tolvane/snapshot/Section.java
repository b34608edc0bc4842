package com.tolvane.snapshot;

/**
 * One entry of the section directory.
 *
 * @param index    0 for the class section, 1 for the thread section, 2 for CPU time (empty unless
 *                 the recording measured it), 3 for the node limit (empty unless it was reached),
 *                 4 for locks (empty unless the recording booked them), 5 for lost samples (empty
 *                 unless asynchronous samples were lost); 6 is empty
 * @param length   byte length of the section body, without its 4-byte marker
 * @param position file offset of the section's marker; the body starts 4 bytes later
 * @param crc      CRC-32 of the body
 */
public record Section(int index, long length, long position, int crc) {

    public static final int CLASSES = FormatConstants.SECTION_CLASSES;
    public static final int THREADS = FormatConstants.SECTION_THREADS;
    /** Present only when the recording measured each thread's CPU time; see {@link ThreadRecord#cpuMicros()}. */
    public static final int CPU_TIME = FormatConstants.SECTION_CPU_TIME;
    /** Present only when the recording's call trees reached the node limit; see {@link NodeLimit}. */
    public static final int NODE_LIMIT = FormatConstants.SECTION_NODE_LIMIT;
    /** Present only when the recording booked blocked and parked time per lock; see {@link Locks}. */
    public static final int LOCKS = FormatConstants.SECTION_LOCKS;
    /** Present only when asynchronous CPU samples were lost; see {@link LostSamples}. */
    public static final int LOST_SAMPLES = FormatConstants.SECTION_LOST_SAMPLES;
    public static final int COUNT = FormatConstants.SECTION_COUNT;

    /** Offset of the first body byte. */
    public long bodyStart() {
        return position + 4;
    }

    /** Offset just past the last body byte. */
    public long end() {
        return position + 4 + length;
    }

    /** A short name for messages: "classes", "threads", "CPU time", "node limit", "locks", "lost samples" or "reserved". */
    public static String name(int index) {
        switch (index) {
            case CLASSES: return "classes";
            case THREADS: return "threads";
            case CPU_TIME: return "CPU time";
            case NODE_LIMIT: return "node limit";
            case LOCKS: return "locks";
            case LOST_SAMPLES: return "lost samples";
            default: return "reserved";
        }
    }

    @Override
    public String toString() {
        return "section " + index + " (" + name(index) + "): " + length + " bytes at offset " + position
                + ", CRC-32 " + String.format("%08x", crc);
    }
}
