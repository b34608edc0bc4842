package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.tolvane.agent.recorder.Recorder;
import com.tolvane.agent.recorder.RecorderAgent;
import com.tolvane.snapshot.SnapshotReader;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * The recorder inside a JVM: one however often it is asked for, one
 * recorder thread for every recording, stop ends a recording
 * early with a complete snapshot, and no request leaves the JVM unable to
 * record again.
 */
class RecorderAgentTest {

    @TempDir
    Path dir;

    @Test
    void withoutTheLibraryARecordingIsRefusedAndNothingIsLeftRunning() throws Exception {
        Recorder recorder = RecorderAgent.recorder();
        Path out = dir.resolve("x.tsnap");
        IllegalStateException e = assertThrows(IllegalStateException.class,
                () -> recorder.startRecording(out.toString(), 100));
        assertTrue(e.getMessage().contains("not loaded"), e.getMessage());
        assertTrue(!recorder.isRecording() && !Files.exists(out));
        assertThrows(IllegalArgumentException.class, () -> recorder.start("durationMillis=5\n"));
        assertThrows(IllegalArgumentException.class, () -> recorder.startRecording("relative.tsnap", 5));
    }

    @Test
    void oneRecorderAndOneThreadServeEveryRecording() throws Exception {
        Path victim = Files.writeString(dir.resolve("victim"), "keep");
        Files.createSymbolicLink(dir.resolve("link.tsnap"), victim);
        ChildJvm.Result r = ChildJvm.main(Probe.class, dir.toString()).run().assertSuccess();
        List<String> lines = r.stdoutLines();
        assertEquals(List.of("one recorder: true", "second start: already being recorded",
                "stopped: stopped true", "after stop: done", "same thread: true, recorder threads: 1",
                "link refused: true", "after a stray interrupt: done", "recordings 3"), lines, r.describe());
        SnapshotReader.read(dir.resolve("stopped.tsnap"));
        SnapshotReader.read(dir.resolve("after.tsnap"));
        SnapshotReader.read(dir.resolve("stray.tsnap"));
        assertEquals("keep", Files.readString(victim));
        assertTrue(Files.isSymbolicLink(dir.resolve("link.tsnap")));
    }

    /** Child-JVM program with the library attached; prints what it saw, line by line. */
    public static final class Probe {
        public static void main(String[] args) throws Exception {
            Path dir = Path.of(args[0]);
            SelfAttach.attach(null);
            Recorder recorder = RecorderAgent.recorder();
            System.out.println("one recorder: " + (recorder == RecorderAgent.recorder()));

            long stopped = recorder.startRecording(dir.resolve("stopped.tsnap").toString(), 60_000);
            try {
                recorder.startRecording(dir.resolve("second.tsnap").toString(), 100);
                System.out.println("second start: accepted");
            } catch (IllegalStateException e) {
                System.out.println("second start: " + (e.getMessage().contains("already being recorded")
                        ? "already being recorded" : e.getMessage()));
            }
            Thread.sleep(500);
            Thread thread = recorderThreads().get(0);
            boolean wasRunning = recorder.stop(stopped);
            System.out.println("stopped: " + recorder.await(stopped, 20_000) + " " + wasRunning);

            long after = recorder.startRecording(dir.resolve("after.tsnap").toString(), 200);
            System.out.println("after stop: " + recorder.await(after, 20_000));
            List<Thread> threads = recorderThreads();
            System.out.println("same thread: " + (threads.get(0) == thread) + ", recorder threads: " + threads.size());

            try {
                recorder.startRecording(dir.resolve("link.tsnap").toString(), 100);
                System.out.println("link accepted");
            } catch (IllegalArgumentException e) {
                System.out.println("link refused: " + e.getMessage().contains("not a regular file"));
            }

            // An interrupt while the recorder waits for work must not end it or the next recording.
            thread.interrupt();
            Thread.sleep(100);
            long stray = recorder.startRecording(dir.resolve("stray.tsnap").toString(), 200);
            System.out.println("after a stray interrupt: " + recorder.await(stray, 20_000));
            System.out.println("recordings " + recorder.getRecordings());
        }

        private static List<Thread> recorderThreads() {
            return Thread.getAllStackTraces().keySet().stream()
                    .filter(t -> t.getName().equals(Recorder.THREAD_NAME)).toList();
        }
    }
}
