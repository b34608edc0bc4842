package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.tolvane.snapshot.CallNode;
import com.tolvane.snapshot.Snapshot;
import com.tolvane.snapshot.SnapshotReader;
import com.tolvane.snapshot.StatusPoint;
import com.tolvane.snapshot.ThreadRecord;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.stream.Collectors;

import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * Thousands of parked threads, checked on their CPU clocks by native thread
 * id, on a real JVM: threads that do not run keep their place and state,
 * the one that moves is seen at its new place, threads that start or end
 * during the recording are recorded as before.
 */
class ManyParkedThreadsTest {
    private static final Path NEWER_JDK = Path.of("/usr/lib/jvm/temurin-25-jdk-amd64/bin/java");

    @TempDir
    Path dir;

    @Test
    void parkedThreadsKeepTheirPlaceAndTheMoverIsSeenAtItsNewOne() throws Exception {
        recordAndCheck(ChildJvm.main(ManyParkedProbe.class, dir.resolve("17.tsnap").toString()),
                dir.resolve("17.tsnap"));
    }

    @Test
    void theSameOnANewerJdk() throws Exception {
        Assumptions.assumeTrue(Files.isExecutable(NEWER_JDK), "no JDK 25 at " + NEWER_JDK);
        recordAndCheck(ChildJvm.main(ManyParkedProbe.class, dir.resolve("25.tsnap").toString())
                .javaExecutable(NEWER_JDK.toString()), dir.resolve("25.tsnap"));
    }

    private static void recordAndCheck(ChildJvm child, Path file) throws Exception {
        child.run().assertSuccess().assertNoJniWarnings();
        ToolRun verify = ToolRun.of("verify", file.toString());
        assertEquals(0, verify.code(), verify::toString);
        Snapshot s = SnapshotReader.read(file);

        List<ThreadRecord> parked =
                s.threads().stream().filter(t -> t.name().startsWith("parked-")).collect(Collectors.toList());
        assertEquals(ManyParkedProbe.PARKED, parked.size());
        List<String> shape = shape(parked.get(0).root());
        assertEquals(21, shape.stream().filter(m -> m.startsWith("deepPark:")).count(), shape::toString);
        long recorded = ManyParkedProbe.RECORD_MILLIS * 1000;
        for (ThreadRecord t : parked) {
            assertEquals(shape, shape(t.root()), t::toString);
            for (StatusPoint p : t.timeline()) {
                assertEquals(StatusPoint.WAITING, p.status(), t::toString);
            }
            long waiting = waiting(t.root());
            assertTrue(waiting > recorded * 8 / 10 && t.root().value() == 0,
                    () -> t + " waited " + waiting + " ran " + t.root().value() + " of " + recorded);
        }

        // Seen waiting where it was, then where it went.
        ThreadRecord mover = s.findThread("mover");
        String moves = "mover waited " + waitingIn(mover.root(), "waitHere") + " here, "
                + waitingIn(mover.root(), "parkThere") + " there, CPU " + mover.cpuMicros() + ": " + mover.root();
        assertTrue(waitingIn(mover.root(), "waitHere") > 100_000, moves);
        assertTrue(waitingIn(mover.root(), "parkThere") > 100_000, moves);
        // Its CPU (well under one sampling period) waits for a sample on its own CPU clock,
        // which such a short run may never get, so none need be booked; it is never unreadable.
        assertTrue(mover.cpuMicros() >= 0, moves);

        ThreadRecord late = s.findThread("late");
        assertTrue(waitingIn(late.root(), "parkThere") > 100_000, late::toString);
        ThreadRecord ending = s.findThread("ending");
        assertFalse(ending.isAlive(), ending::toString);
    }

    /** Method names along the one path of a tree whose threads never moved, outermost first. */
    private static List<String> shape(CallNode root) {
        List<String> names = new ArrayList<>();
        CallNode node = root;
        while (node.children().size() == 1) {
            node = node.children().get(0);
            names.add(node.method().name() + ":" + node.line());
        }
        assertTrue(node.children().isEmpty(), root::toString);
        return names;
    }

    private static long waiting(CallNode root) {
        long[] total = {0};
        root.walk(n -> total[0] += n.waitingMicros());
        return total[0];
    }

    /** Waiting time at and below the nodes of this method. */
    private static long waitingIn(CallNode root, String method) {
        long[] total = {0};
        root.walk(n -> {
            if (!n.isRoot() && n.method().name().equals(method)) {
                total[0] += waiting(n);
            }
        });
        return total[0];
    }
}
