package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
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
import java.util.regex.Matcher;
import java.util.regex.Pattern;

import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * The sampler walks only threads that ran since their last capture, one
 * handshake each, instead of stopping the JVM for all of them on every tick.
 * The same workload recorded that way and with the "batched-capture" option
 * must give the same trees and states.
 */
class StackCaptureTest {

    private static final int RECORD_MILLIS = 2500;
    private static final int STATUS_WAITING = 65;
    /** Largest difference between the two modes in the busy thread's share of heavy(). */
    private static final double SHARE_TOLERANCE = 0.10;
    private static final Pattern SAMPLING_SAFEPOINT = Pattern.compile("Safepoint \"GetThreadListStackTraces\"");

    @TempDir
    Path dir;

    /** A JDK newer than the baseline, where this machine has one. */
    private static final Path NEWER_JDK = Path.of("/usr/lib/jvm/temurin-25-jdk-amd64/bin/java");

    @Test
    void threadsThatDidNotRunAreBookedAsBeforeWithoutStoppingTheJvm() throws Exception {
        compareCaptures(null);
    }

    @Test
    void theSameOnANewerJdk() throws Exception {
        Assumptions.assumeTrue(Files.isExecutable(NEWER_JDK), "no JDK 25 at " + NEWER_JDK);
        compareCaptures(NEWER_JDK.toString());
    }

    private void compareCaptures(String java) throws Exception {
        Recorded selective = record("selective", "-", java);
        Recorded batched = record("batched", "batched-capture", java);

        // Parked threads: one path each, all of it waiting, the same in both modes.
        for (int i = 0; i < StackCaptureProbe.PARKED_THREADS; i++) {
            String name = "parked-" + i;
            List<String> path = parkedPath(selective.snapshot, name);
            assertEquals(path, parkedPath(batched.snapshot, name), name);
            assertTrue(path.size() >= StackCaptureProbe.PARKED_DEPTH, path::toString);
        }

        // The busy thread: heavy() holds about three quarters of its time in both.
        double selectiveShare = heavyShare(selective.snapshot);
        double batchedShare = heavyShare(batched.snapshot);
        assertTrue(Math.abs(selectiveShare - batchedShare) <= SHARE_TOLERANCE,
                () -> "heavy() share " + selectiveShare + " vs " + batchedShare);
        assertTrue(selectiveShare > 0.6 && selectiveShare < 0.9, () -> "heavy() share " + selectiveShare);

        // The mover parks in two places in turn; each place gets its part of
        // the waiting time, so the thread was found wherever it parked.
        for (Recorded r : List.of(selective, batched)) {
            ThreadRecord mover = r.snapshot.findThread("mover");
            long here = waitingIn(mover, "parkHere");
            long there = waitingIn(mover, "parkThere");
            long all = here + there;
            assertTrue(all > RECORD_MILLIS * 1000L / 2, () -> r.mode + ": mover waited " + all + " us");
            assertTrue(here > all / 4 && there > all / 4, () -> r.mode + ": here " + here + " us, there " + there);
        }

        // Without the cpu-time option the CPU-time section stays empty, as in
        // every file written before it existed.
        assertEquals(0, selective.snapshot.sections().get(2).length());

        // Batched capture stops the JVM on every tick; the selective one only
        // when many threads ran at once (the first tick, where all are new).
        assertTrue(batched.samplingSafepoints >= 100, () -> "batched: " + batched.samplingSafepoints);
        assertTrue(selective.samplingSafepoints <= 5, () -> "selective: " + selective.samplingSafepoints);
    }

    private record Recorded(String mode, Snapshot snapshot, int samplingSafepoints) {
    }

    private Recorded record(String mode, String options, String java) throws Exception {
        Path file = dir.resolve(mode + ".tsnap");
        Path log = dir.resolve(mode + "-safepoints.log");
        ChildJvm child = ChildJvm.main(StackCaptureProbe.class, options, file.toString(), String.valueOf(RECORD_MILLIS))
                .jvmArg("-Xlog:safepoint=info:file=" + log);
        if (java != null) {
            child.javaExecutable(java);
        }
        child.run().assertSuccess().assertNoJniWarnings();
        int safepoints = 0;
        Matcher m = SAMPLING_SAFEPOINT.matcher(Files.readString(log));
        while (m.find()) {
            safepoints++;
        }
        return new Recorded(mode, SnapshotReader.read(file), safepoints);
    }

    /** The parked thread's single path as "method:line", checking it is all waiting. */
    private static List<String> parkedPath(Snapshot s, String name) {
        ThreadRecord t = s.findThread(name);
        List<String> path = new ArrayList<>();
        CallNode node = t.root();
        long waiting = 0;
        while (!node.children().isEmpty()) {
            assertEquals(1, node.children().size(), () -> name + " branches: " + t);
            node = node.children().get(0);
            path.add(node.method().name() + ":" + node.line());
            assertEquals(0, node.value(), () -> name + " ran");
            waiting += node.waitingMicros();
        }
        assertTrue(waiting > RECORD_MILLIS * 1000L * 8 / 10, name + " waited " + waiting + " us");
        for (StatusPoint p : t.timeline()) {
            assertEquals(STATUS_WAITING, p.status(), name);
        }
        return path;
    }

    private static double heavyShare(Snapshot s) {
        ThreadRecord busy = s.findThread("busy");
        long[] heavyLight = new long[2];
        busy.root().walk(n -> {
            if (!n.isRoot() && n.method().name().equals("heavy")) {
                heavyLight[0] += n.value();
            } else if (!n.isRoot() && n.method().name().equals("light")) {
                heavyLight[1] += n.value();
            }
        });
        assertTrue(heavyLight[0] + heavyLight[1] > RECORD_MILLIS * 1000L / 2, busy::toString);
        return (double) heavyLight[0] / (heavyLight[0] + heavyLight[1]);
    }

    private static long waitingIn(ThreadRecord t, String method) {
        long[] sum = {0};
        t.root().walk(n -> {
            if (!n.isRoot() && n.method().name().equals(method)) {
                n.walk(d -> sum[0] += d.waitingMicros());
            }
        });
        return sum[0];
    }
}
