package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.tolvane.snapshot.FormatConstants;
import com.tolvane.snapshot.LockTime;
import com.tolvane.snapshot.Section;
import com.tolvane.snapshot.Snapshot;
import com.tolvane.snapshot.SnapshotReader;
import com.tolvane.snapshot.ThreadRecord;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.concurrent.TimeUnit;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * Which lock a blocked or parked thread waits for and who holds it, on a
 * real JVM recorded from its start: a thread blocked on a synchronized
 * monitor and one parked on a ReentrantLock, each held by another thread
 * for a known time.
 */
class LockRecordingTest {
    private static final String HOLD_MILLIS = "1500";

    @TempDir
    Path dir;

    @Test
    void theLocksViewNamesTheLockAndItsHolderWithTheTimeWaited() throws Exception {
        Path file = dir.resolve("locks.tsnap");
        ChildJvm.Result r = record(file, "locks");
        Snapshot s = SnapshotReader.read(file);
        assertNotNull(s.locks(), r.describe());

        ThreadRecord monitorWaiter = s.findThread("monitor-waiter");
        long monitorTruth = waited(r, "monitor-waiter");
        long monitorBooked = 0;
        for (LockTime lt : s.locks().times()) {
            if (lt.thread() == monitorWaiter) {
                assertEquals(FormatConstants.LOCK_KIND_MONITOR, lt.kind(), lt::toString);
                assertEquals(LockTarget.Ledger.class.getName(), lt.lockClass());
                assertEquals("monitor-holder", lt.holder());
                monitorBooked += lt.micros();
            }
        }
        assertWithinTenPercent(monitorTruth, monitorBooked, "blocked");

        ThreadRecord lockWaiter = s.findThread("lock-waiter");
        long lockTruth = waited(r, "lock-waiter");
        long lockBooked = 0;
        for (LockTime lt : s.locks().times()) {
            if (lt.thread() == lockWaiter) {
                assertEquals(FormatConstants.LOCK_KIND_PARK, lt.kind(), lt::toString);
                assertTrue(lt.lockClass().startsWith("java.util.concurrent.locks.ReentrantLock$"), lt::toString);
                assertEquals("lock-holder", lt.holder());
                lockBooked += lt.micros();
            }
        }
        assertWithinTenPercent(lockTruth, lockBooked, "parked");

        // The text view says the same.
        ToolRun view = ToolRun.of("report", "-f", "locks", file.toString());
        assertEquals(0, view.code, view::toString);
        assertTrue(view.out.contains("blocked on monitor " + LockTarget.Ledger.class.getName()), view.out);
        assertTrue(view.out.contains("parked on java.util.concurrent.locks.ReentrantLock$"), view.out);
        assertTrue(view.out.contains("\"monitor-holder\"") && view.out.contains("\"lock-holder\""), view.out);
        assertTrue(view.out.contains("\"monitor-waiter\"") && view.out.contains("\"lock-waiter\""), view.out);
        ToolRun verify = ToolRun.of("verify", file.toString());
        assertEquals(0, verify.code, verify::toString);
        // Two locks; a tick whose holder read was put off adds an entry without a holder.
        assertTrue(verify.out.matches("(?s).*\n  locks:      [2-9] entries, .*"), verify::toString);
    }

    @Test
    void withoutTheOptionTheLockSectionStaysEmpty() throws Exception {
        Path file = dir.resolve("plain.tsnap");
        record(file, null);
        Snapshot s = SnapshotReader.read(file);
        assertNull(s.locks());
        assertEquals(0, s.sections().get(Section.LOCKS).length());
        assertTrue(s.findThread("monitor-waiter").root().size() > 1);
        ToolRun view = ToolRun.of("report", "-f", "locks", file.toString());
        assertEquals(0, view.code, view::toString);
        assertTrue(view.out.contains("did not record locks"), view.out);
    }

    /**
     * Attached by tolvane record to a JVM whose threads already wait: the
     * JVM gives the contended monitor only to agents loaded at its start, so
     * the monitor is read through the platform ThreadMXBean. Each waiting
     * thread's lock time is its blocked or waiting time in the tree.
     */
    @Test
    void recordAttachedToARunningJvmNamesTheLocksToo() throws Exception {
        Process target = new ProcessBuilder(ChildJvm.property("tolvane.java"), "-Xcheck:jni", "-cp",
                ChildJvm.property("tolvane.testJar"), LockTarget.class.getName(), "120000", "ready")
                .redirectErrorStream(true).start();
        StringBuilder output = new StringBuilder();
        try {
            BufferedReader lines = new BufferedReader(new InputStreamReader(target.getInputStream(),
                    StandardCharsets.UTF_8));
            for (String line; (line = lines.readLine()) != null && !line.equals("ready");) {
                output.append(line).append('\n');
            }
            Thread drain = new Thread(() -> {
                try {
                    for (String line; (line = lines.readLine()) != null;) {
                        synchronized (output) {
                            output.append(line).append('\n');
                        }
                    }
                } catch (IOException e) {
                    // the target was ended
                }
            });
            drain.setDaemon(true);
            drain.start();
            Path file = dir.resolve("attached.tsnap");
            ToolRun r = ToolRun.of("record", "-d", "2s", "-o", file.toString(), String.valueOf(target.pid()));
            assertEquals(0, r.code, r::toString);
            Snapshot s = SnapshotReader.read(file);
            assertNotNull(s.locks());
            String[][] expected = {
                {"monitor-waiter", LockTarget.Ledger.class.getName(), "monitor-holder"},
                {"lock-waiter", "java.util.concurrent.locks.ReentrantLock$NonfairSync", "lock-holder"},
            };
            for (String[] e : expected) {
                ThreadRecord waiter = s.findThread(e[0]);
                long[] treeTime = {0};
                waiter.root().walk(n -> treeTime[0] += n.blockingMicros() + n.waitingMicros());
                long booked = 0;
                for (LockTime lt : s.locks().times()) {
                    if (lt.thread() == waiter) {
                        assertEquals(e[1], lt.lockClass(), lt::toString);
                        assertEquals(e[2], lt.holder(), lt::toString);
                        booked += lt.micros();
                    }
                }
                assertTrue(treeTime[0] > 1_000_000, () -> e[0] + " waited " + treeTime[0] + " us in the tree");
                assertWithinTenPercent(treeTime[0], booked, e[0]);
            }
        } finally {
            target.destroyForcibly();
            target.waitFor(10, TimeUnit.SECONDS);
        }
        synchronized (output) {
            assertFalse(output.toString().contains("WARNING in native method"), output::toString);
        }
    }

    private ChildJvm.Result record(Path file, String option) throws Exception {
        String options = "record=20s,file=" + file + (option != null ? "," + option : "");
        ChildJvm.Result r = ChildJvm.main(LockTarget.class, HOLD_MILLIS)
                .jvmArg("-agentpath:" + ChildJvm.property("tolvane.lib") + "=" + options).run().assertSuccess();
        assertTrue(Files.isRegularFile(file), r.describe());
        return r;
    }

    private static long waited(ChildJvm.Result r, String thread) {
        Matcher m = Pattern.compile("waited " + thread + " (\\d+)").matcher(r.stdout);
        assertTrue(m.find(), r.describe());
        long micros = Long.parseLong(m.group(1));
        assertTrue(micros > 500_000, () -> thread + " waited only " + micros + " us\n" + r.describe());
        return micros;
    }

    private static void assertWithinTenPercent(long truth, long booked, String what) {
        assertTrue(Math.abs(booked - truth) <= truth / 10,
                () -> what + " time booked " + booked + " us, measured by the thread " + truth + " us");
    }
}
