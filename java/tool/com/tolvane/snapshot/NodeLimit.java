package com.tolvane.snapshot;

import java.util.Map;

/**
 * What section 3 says when the call trees of a recording reached the
 * profiler's node limit: past it, a new call path's time was booked on the
 * deepest node of that path that already existed, the thread's root when
 * not even the path's first frame had a node.
 *
 * @param nodeLimit      the most nodes the recording's trees could hold
 * @param nodes          the nodes they hold
 * @param foldedMicros   time booked on an existing caller instead of a new node, all threads
 * @param foldedByThread that time per thread ID, for the threads that had any
 */
public record NodeLimit(long nodeLimit, long nodes, long foldedMicros, Map<Long, Long> foldedByThread) {

    public NodeLimit {
        foldedByThread = Map.copyOf(foldedByThread);
    }

    /** One line for summaries: what happened and which option raises the limit. */
    public String describe() {
        return "the call trees reached the limit of " + nodeLimit + " nodes; " + foldedMicros / 1000
                + " ms of new call paths were booked on their deepest existing caller"
                + " (on the thread's root where not even the first frame had a node)"
                + " (record --max-tree-nodes N raises the limit when the profiler is first loaded)";
    }
}
