package com.tolvane.snapshot;

/**
 * One point of a thread's status timeline: from {@code micros} on, the thread
 * was in {@code status} until the next point.
 */
public record StatusPoint(int status, long micros) {

    public static final int RUNNING = FormatConstants.STATUS_RUNNING;
    public static final int BLOCKED = FormatConstants.STATUS_BLOCKED;
    public static final int WAITING = FormatConstants.STATUS_WAITING;
    public static final int NET_IO = FormatConstants.STATUS_NET_IO;
    public static final int DEAD = FormatConstants.STATUS_DEAD;

    /** A readable name of a status code. */
    public static String statusName(int status) {
        switch (status) {
            case RUNNING: return "running";
            case BLOCKED: return "blocked";
            case WAITING: return "waiting";
            case NET_IO: return "net I/O";
            case DEAD: return "dead";
            default: return "status " + status;
        }
    }

    public String statusName() {
        return statusName(status);
    }
}
