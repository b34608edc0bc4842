package com.tolvane.snapshot;

/**
 * Time one thread spent, in one call-tree node, blocked entering a monitor or
 * parked on a blocker, as the lock section of a snapshot records it.
 *
 * @param thread    the waiting thread
 * @param node      the node of that thread's call tree where its stack ended
 * @param kind      {@link FormatConstants#LOCK_KIND_MONITOR} or {@link FormatConstants#LOCK_KIND_PARK}
 * @param lockClass the class of the monitor or blocker; empty when it could not be read
 * @param owner     the thread that held it, when it is a thread of this file; else null
 * @param ownerName the holder's name when it is not a thread of this file; else null
 * @param micros    the time in microseconds
 */
public record LockTime(ThreadRecord thread, CallNode node, int kind, String lockClass, ThreadRecord owner,
                       String ownerName, long micros) {

    public boolean isMonitor() {
        return kind == FormatConstants.LOCK_KIND_MONITOR;
    }

    /** The holder's name; null when no holder was seen. */
    public String holder() {
        return owner != null ? owner.name() : ownerName;
    }

    /** "blocked on X held by T" or "parked on X held by T", for call trees and hot spots. */
    public String describe() {
        String holder = holder();
        return (isMonitor() ? "blocked on " : "parked on ") + (lockClass.isEmpty() ? "?" : lockClass)
                + (holder != null ? " held by " + holder : "");
    }
}
