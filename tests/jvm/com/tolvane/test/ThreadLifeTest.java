package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.tolvane.snapshot.CallNode;
import com.tolvane.snapshot.Snapshot;
import com.tolvane.snapshot.SnapshotReader;
import com.tolvane.snapshot.ThreadRecord;

import java.nio.file.Path;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.stream.Collectors;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** When threads live and how much time they are booked, on a real JVM. */
class ThreadLifeTest {

    private static final long SECOND = 1_000_000L;

    @TempDir
    Path dir;

    @Test
    void wallClockStepsDoNotChangeBookedTimeOrTheRecordingsTimes() throws Exception {
        for (long step : new long[] {-3600, 3600}) {
            Path file = dir.resolve("step" + step + ".tsnap");
            ChildJvm.main(ThreadLifeProbe.class, "clockStep", file.toString(), "-")
                    .env("LD_PRELOAD", ChildJvm.property("tolvane.clockShim"))
                    .env("TOLVANE_TEST_CLOCK_STEP", String.valueOf(step))
                    .env("TOLVANE_TEST_CLOCK_STEP_FILE", dir.resolve("stepped" + step).toString())
                    .run().assertSuccess();
            Snapshot s = SnapshotReader.read(file);
            long running = s.findThread("spinner").root().value();
            assertTrue(running > SECOND && running < 3 * SECOND, "step " + step + ": spinner ran " + running + " us");
            long duration = s.header().durationMicros();
            assertTrue(duration > 1900_000 && duration < 3 * SECOND, "step " + step + ": duration " + duration);
            for (ThreadRecord t : s.threads()) {
                assertTrue(t.startMicros() >= 0, t::toString);
            }
        }
    }

    @Test
    void shortLivedThreadsEndAndAreBookedNoMoreThanTheyLived() throws Exception {
        shortLived("shortLived", "batched-capture");
    }

    private void shortLived(String scenario, String options) throws Exception {
        Path file = dir.resolve(scenario + ".tsnap");
        ChildJvm.Result r = ChildJvm.main(ThreadLifeProbe.class, scenario, file.toString(), options)
                .run().assertSuccess().assertNoJniWarnings();
        Map<String, Long> lives = new HashMap<>();
        for (String line : r.stdoutLines()) {
            if (line.startsWith("life ")) {
                String[] f = line.split(" ");
                lives.put(f[1], Long.parseLong(f[2]));
            }
        }
        assertTrue(lives.size() >= 10, () -> "short threads: " + lives.size());
        Snapshot s = SnapshotReader.read(file);
        List<ThreadRecord> shortThreads =
                s.threads().stream().filter(t -> t.name().startsWith("short-")).collect(Collectors.toList());
        assertFalse(shortThreads.isEmpty());
        for (ThreadRecord t : shortThreads) {
            // Ended, whether the sampler saw the thread end or found its object collected.
            assertFalse(t.isAlive(), () -> t + " is written as never ending");
            long booked = total(t.root());
            long lived = lives.getOrDefault(t.name(), 0L);
            assertTrue(booked <= lived, () -> t.name() + " booked " + booked + " us, lived " + lived + " us");
            // Nor more than the snapshot says it lived: the end is taken at a
            // tick after the last one that saw the thread.
            assertTrue(booked <= t.endMicros() - t.startMicros(), () -> t + " booked " + booked + " us");
        }
    }

    @Test
    void threadAssociatedBeforeItStartsIsListedOnce() throws Exception {
        Path file = dir.resolve("early.tsnap");
        ChildJvm.Result r = ChildJvm.main(ThreadLifeProbe.class, "associatedBeforeStart", file.toString(), "-")
                .run().assertSuccess().assertNoJniWarnings();
        assertFalse(r.stderr.contains("Could not set thread local storage."), r::describe);
        Snapshot s = SnapshotReader.read(file);
        List<ThreadRecord> early =
                s.threads().stream().filter(t -> t.name().equals("associated-early")).collect(Collectors.toList());
        assertEquals(1, early.size(), () -> early.toString());
        assertTrue(early.get(0).root().value() > 200_000, () -> early.get(0) + " ran " + early.get(0).root().value());
    }

    private static long total(CallNode root) {
        long[] sum = {root.value()};
        root.walk(n -> sum[0] += n.waitingMicros() + n.blockingMicros() + n.netIOMicros());
        return sum[0];
    }
}
