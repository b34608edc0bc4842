package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.tolvane.snapshot.CallNode;
import com.tolvane.snapshot.NodeLimit;
import com.tolvane.snapshot.Snapshot;
import com.tolvane.snapshot.SnapshotReader;
import com.tolvane.snapshot.ThreadRecord;

import java.nio.file.Path;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** Call trees of a recording stay within their node limit on endless new paths. */
class NodeLimitTest {

    private static final int LIMIT = 20000;

    @TempDir
    Path dir;

    @Test
    void randomDeepStacksStayWithinTheLimitAndTheFoldedTimeIsReported() throws Exception {
        Path file = dir.resolve("random.tsnap");
        ChildJvm.main(NodeLimitProbe.class, file.toString(), "max-tree-nodes=" + LIMIT)
                .run().assertSuccess().assertNoJniWarnings();
        Snapshot s = SnapshotReader.read(file);
        long nodes = 0;
        for (ThreadRecord t : s.threads()) {
            nodes += t.root().size() - 1;
        }
        assertTrue(nodes <= LIMIT, "nodes " + nodes);
        assertTrue(nodes > LIMIT / 2, "nodes " + nodes);

        NodeLimit limit = s.nodeLimit();
        assertNotNull(limit, "no node-limit section");
        assertEquals(LIMIT, limit.nodeLimit());
        assertEquals(nodes, limit.nodes());
        assertTrue(limit.foldedMicros() > 0, limit::toString);
        long perThread = limit.foldedByThread().values().stream().mapToLong(Long::longValue).sum();
        assertEquals(limit.foldedMicros(), perThread);
        for (ThreadRecord t : s.threads()) {
            if (t.name().startsWith("random-")) {
                assertTrue(limit.foldedByThread().getOrDefault(t.id(), 0L) > 0, t::toString);
            }
        }

        ToolRun verify = ToolRun.of("verify", file.toString());
        String text = verify.out;
        assertEquals(0, verify.code, text);
        assertTrue(text.contains("node limit: the call trees reached the limit of " + LIMIT + " nodes"), text);
    }

    @Test
    void aThreadThatFindsNoNodeBooksItsTimeOnItsRoot() throws Exception {
        Path file = dir.resolve("late.tsnap");
        ChildJvm.main(NodeLimitProbe.class, file.toString(), "max-tree-nodes=300,cpu-time", "late")
                .run().assertSuccess().assertNoJniWarnings();
        Snapshot s = SnapshotReader.read(file);
        NodeLimit limit = s.nodeLimit();
        assertNotNull(limit, "no node-limit section");
        ThreadRecord late = s.findThread("late");
        assertNotNull(late, s.threads()::toString);
        CallNode root = late.root();
        assertTrue(root.children().isEmpty(), late::toString);
        // Started past the limit, it spun for about a second (sharing the CPUs
        // with the random threads): running at least what it spent on a CPU,
        // all of it on the root and all of it folded.
        assertTrue(late.cpuMicros() > 0, () -> "CPU " + late.cpuMicros() + " running " + root.value());
        assertTrue(root.value() >= late.cpuMicros() * 8 / 10 && root.value() > 300_000,
                () -> "running " + root.value() + " CPU " + late.cpuMicros());
        long booked = root.value() + root.blockingMicros() + root.waitingMicros() + root.netIOMicros();
        assertEquals(booked, limit.foldedByThread().getOrDefault(late.id(), 0L), limit::toString);

        ToolRun verify = ToolRun.of("verify", file.toString());
        assertEquals(0, verify.code, verify.out);
        assertTrue(verify.out.contains("late [main]: running "), verify.out);
        assertFalse(verify.out.contains("late [main]: running 0.0 ms"), verify.out);
    }
}
