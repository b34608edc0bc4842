package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.tolvane.snapshot.Snapshot;
import com.tolvane.snapshot.SnapshotReader;
import java.io.BufferedReader;
import java.io.File;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.stream.Collectors;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * Continuous recordings: one attach, the recorder in the target loops, one
 * snapshot per interval, the newest N kept; tolvane stop ends it after the
 * snapshot in progress and the target keeps running.
 */
class ContinuousRecordingTest {
    @TempDir
    Path dir;

    private Process target;
    private Path targetErr;
    private List<String> command;

    @AfterEach
    void killTarget() throws Exception {
        if (target != null) {
            target.destroyForcibly();
            target.waitFor(10, TimeUnit.SECONDS);
        }
    }

    /** Starts LoopTarget with these JVM options and waits until its main runs. */
    private String startTarget(String... jvmArgs) throws IOException {
        ChildJvm child = ChildJvm.main(LoopTarget.class);
        for (String arg : jvmArgs) {
            child.jvmArg(arg);
        }
        command = child.command();
        targetErr = dir.resolve("target.err");
        target = new ProcessBuilder(command).redirectError(targetErr.toFile())
                .redirectInput(ProcessBuilder.Redirect.from(new File("/dev/null"))).start();
        BufferedReader out = new BufferedReader(new InputStreamReader(target.getInputStream(), StandardCharsets.UTF_8));
        assertEquals("ready", out.readLine());
        return Long.toString(target.pid());
    }

    /** Kills the target and fails on anything the JNI checker said. */
    private void endTarget() throws Exception {
        assertTrue(target.isAlive(), "the target died");
        target.destroy();
        target.waitFor(10, TimeUnit.SECONDS);
        new ChildJvm.Result(0, "", Files.readString(targetErr), command).assertNoJniWarnings();
    }

    private List<Path> snapshots(String prefix) throws IOException {
        try (Stream<Path> files = Files.list(dir)) {
            return files.filter(f -> f.getFileName().toString().startsWith(prefix)).sorted()
                    .collect(Collectors.toList());
        }
    }

    /** Each snapshot complete and about one interval long. */
    private static void assertIntervalSnapshots(List<Path> files, int count) throws Exception {
        assertEquals(count, files.size(), files.toString());
        for (Path f : files) {
            Snapshot s = SnapshotReader.read(f);
            long millis = s.header().durationMicros() / 1000;
            assertTrue(millis >= 900 && millis <= 1600, f + ": " + millis + " ms");
            assertNotNull(s.findThread("main"), f.toString());
            assertEquals(0, ToolRun.of("verify", f.toString()).code(), f.toString());
        }
    }

    @Test
    void loopKeepsNewestThreeUntilStopAndTargetRunsOn() throws Exception {
        String pid = startTarget();
        ToolRun start = ToolRun.of("record", "--loop", "1s", "--keep", "3", "-o", dir + "/loop-%n.tsnap", pid);
        assertEquals(0, start.code(), start.toString());
        assertTrue(start.out().contains("tolvane stop " + pid), start.toString());
        Thread.sleep(5000);

        ToolRun second = ToolRun.of("record", "-d", "1s", "-o", dir + "/other.tsnap", pid);
        assertEquals(1, second.code(), second.toString());
        assertTrue(second.err().contains("is already being recorded continuously into " + dir + "/loop-%n.tsnap"),
                second.toString());

        ToolRun stop = ToolRun.of("stop", pid);
        assertEquals(0, stop.code(), stop.toString());
        List<Path> files = snapshots("loop-");
        assertIntervalSnapshots(files, 3);
        // The newest three, numbered in a row, and the ones listed by stop.
        List<Integer> numbers = new ArrayList<>();
        for (Path f : files) {
            numbers.add(Integer.parseInt(f.getFileName().toString().replaceAll("\\D", "")));
            assertTrue(stop.out().contains(f.toString()), stop.toString());
        }
        numbers.sort(null);
        assertTrue(numbers.get(0) >= 3 && numbers.get(2) - numbers.get(0) == 2, numbers.toString());

        Thread.sleep(1500);
        assertEquals(files, snapshots("loop-"), "a snapshot was written after the stop");
        ToolRun again = ToolRun.of("stop", pid);
        assertEquals(1, again.code());
        assertTrue(again.err().contains("is not being recorded"), again.toString());
        endTarget();
    }

    /** On a single recording from the start, stop ends it at once and its snapshot is complete. */
    @Test
    void stopEndsSingleRecordingFromStartAtOnce() throws Exception {
        Path file = dir.resolve("single.tsnap");
        String pid = startTarget("-agentpath:" + ChildJvm.property("tolvane.lib") + "=record=60s,file=" + file);
        Thread.sleep(1000);
        long started = System.nanoTime();
        ToolRun stop = ToolRun.of("stop", pid);
        assertEquals(0, stop.code(), stop.toString());
        assertTrue(System.nanoTime() - started < 20_000_000_000L, "stop waited for the recording's time");
        assertTrue(stop.out().contains("its snapshot:") && stop.out().contains(file.toString()), stop.toString());
        Snapshot s = SnapshotReader.read(file);
        assertTrue(s.header().durationMicros() < 10_000_000L, s.header().toString());
        endTarget();
    }

    /** Bad loop options are refused before any JVM is touched (the target 1 does not exist). */
    @Test
    void loopOptionsAreCheckedFirst() {
        String[][] cases = {
            {"--keep 3 without --loop", "--keep applies to continuous recordings", "record", "--keep", "3", "1"},
            {"interval under a second", "shorter than a second", "record", "--loop", "500ms", "-o", "x-%n.tsnap", "1"},
            {"one name for every snapshot", "needs %n", "record", "--loop", "1s", "-o", "same.tsnap", "1"},
            {"only %% of a placeholder", "needs %n", "record", "--loop", "1s", "-o", "x-%%n.tsnap", "1"},
            {"keep of 0", "--keep takes a number", "record", "--loop", "1s", "--keep", "0", "-o", "a-%t.tsnap", "1"},
            {"html of a loop", "--html applies to single", "record", "--loop", "1s", "--html",
                "a.html", "-o", "a-%t.tsnap", String.valueOf(ProcessHandle.current().pid())},
            {"stop without target", "missing target", "stop"},
        };
        for (String[] c : cases) {
            ToolRun r = ToolRun.of(java.util.Arrays.copyOfRange(c, 2, c.length));
            assertEquals(2, r.code(), c[0] + "\n" + r);
            assertTrue(r.err().contains(c[1]), c[0] + "\n" + r);
        }
    }

    /** loop= on the java command line; tolvane stop and tolvane record work on that JVM as on an attached one. */
    @Test
    void loopFromStartStopsAndLeavesRoomForRecord() throws Exception {
        String pid = startTarget("-agentpath:" + ChildJvm.property("tolvane.lib") + "=loop=1s,keep=2,file=" + dir
                + "/start-%n.tsnap");
        Thread.sleep(3500);
        ToolRun stop = ToolRun.of("stop", pid);
        assertEquals(0, stop.code(), stop.toString());
        assertIntervalSnapshots(snapshots("start-"), 2);

        Path after = dir.resolve("after.tsnap");
        ToolRun record = ToolRun.of("record", "-d", "1s", "-o", after.toString(), pid);
        assertEquals(0, record.code(), record.toString());
        assertTrue(record.out().contains("LoopTarget.work"), record.toString());
        String err = Files.readString(targetErr);
        assertTrue(err.contains("tolvane> Recording from start continuously in snapshots of 1.0 s"), err);
        assertTrue(!err.contains("already initialized"), "the library was loaded a second time:\n" + err);
        endTarget();
    }
}
