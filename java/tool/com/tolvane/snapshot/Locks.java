package com.tolvane.snapshot;

import java.util.List;

/**
 * What the lock section of a snapshot holds: blocked and parked time per
 * thread, call-tree node, monitor or blocker class and holder.
 *
 * @param droppedMicros blocked or parked time the profiler could not attribute because its table was full
 * @param times         the entries, in the order of the thread records
 */
public record Locks(long droppedMicros, List<LockTime> times) {

    public Locks {
        times = List.copyOf(times);
    }
}
