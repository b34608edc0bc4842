package com.tolvane.snapshot;

/**
 * A snapshot file that cannot be read: truncated, corrupt, incomplete or not a
 * snapshot at all. The message says what is wrong and, where it is known, the
 * byte offset in the file at which the problem was found. Names quoted from
 * the file are the profiled program's, so the message is made printable.
 */
public final class SnapshotFormatException extends Exception {
    private static final long serialVersionUID = 1L;

    private final long offset;

    /** A problem found at a byte offset of the file. */
    public SnapshotFormatException(String problem, long offset) {
        super(Printable.of(problem) + " (at offset " + offset + ")");
        this.offset = offset;
    }

    /** A problem that concerns the file as a whole. */
    public SnapshotFormatException(String problem) {
        super(Printable.of(problem));
        this.offset = -1;
    }

    /** The byte offset of the problem, or -1 when it concerns the whole file. */
    public long offset() {
        return offset;
    }
}
