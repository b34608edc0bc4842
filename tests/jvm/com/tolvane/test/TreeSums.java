package com.tolvane.test;

import com.tolvane.snapshot.CallNode;
import java.util.function.ToLongFunction;

/** Sums over the nodes of one method in a call tree, for tests that check where time went. */
final class TreeSums {
    private TreeSums() {
    }

    /** CPU time of the nodes of this method, with their callees (outermost node of each path only). */
    static long totalCpu(CallNode root, String method) {
        return sum(root, method, CallNode::cpuMicros, true);
    }

    /** CPU time of the nodes of this method themselves. */
    static long selfCpu(CallNode root, String method) {
        return sum(root, method, CallNode::selfCpuMicros, false);
    }

    /** Waiting time of the nodes of this method. */
    static long totalWaiting(CallNode root, String method) {
        return sum(root, method, CallNode::waitingMicros, false);
    }

    private static long sum(CallNode root, String method, ToLongFunction<CallNode> figure, boolean outermost) {
        long[] sum = {0};
        root.walk(n -> {
            if (!n.isRoot() && n.method().name().equals(method) && !(outermost && hasAncestor(n, method))) {
                sum[0] += figure.applyAsLong(n);
            }
        });
        return sum[0];
    }

    private static boolean hasAncestor(CallNode node, String method) {
        for (CallNode p = node.parent(); p != null && !p.isRoot(); p = p.parent()) {
            if (p.method().name().equals(method)) {
                return true;
            }
        }
        return false;
    }
}
