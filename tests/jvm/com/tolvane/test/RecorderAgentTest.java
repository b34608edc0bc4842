package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.tolvane.agent.recorder.RecorderAgent;
import com.tolvane.snapshot.SnapshotReader;

import java.io.InputStream;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.Permission;
import java.util.Properties;
import java.util.PropertyPermission;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * The recorder agent that the tolvane command loads into a target JVM: its
 * status reports, and that no failure leaves the JVM unable to record again.
 */
class RecorderAgentTest {

    @TempDir
    Path dir;

    private static Path request(Path dir, String name, Path status, long millis) throws Exception {
        Properties p = new Properties();
        p.setProperty("output", dir.resolve(name + ".tsnap").toString());
        p.setProperty("status", status.toString());
        p.setProperty("durationMillis", Long.toString(millis));
        Path file = dir.resolve(name + ".request");
        try (OutputStream out = Files.newOutputStream(file)) {
            p.store(out, null);
        }
        return file;
    }

    private static Properties status(Path file) throws Exception {
        Properties p = new Properties();
        try (InputStream in = Files.newInputStream(file)) {
            p.load(in);
        }
        return p;
    }

    @Test
    void theStatusIsNeverWrittenThroughAFileBesideIt() throws Exception {
        // This JVM has no library: every request fails, and each says so.
        Path victim = Files.write(dir.resolve("victim"), "keep".getBytes(StandardCharsets.UTF_8));
        Path status = dir.resolve("run.status");
        Files.createSymbolicLink(dir.resolve("run.status.tmp"), victim);
        for (int i = 0; i < 2; i++) {
            RecorderAgent.agentmain(request(dir, "run", status, 100).toString());
            Properties p = status(status);
            assertEquals("failed", p.getProperty("state"), p.toString());
            assertTrue(p.getProperty("message").contains("not loaded"), p.toString());
        }
        assertEquals("keep", new String(Files.readAllBytes(victim), StandardCharsets.UTF_8));
        assertTrue(Files.isRegularFile(status, java.nio.file.LinkOption.NOFOLLOW_LINKS));
    }

    @Test
    void aRefusedPropertyFailsTheRequestWithoutLeavingTheJvmBusy() throws Exception {
        Path first = dir.resolve("first.status");
        Path second = dir.resolve("second.status");
        ChildJvm.main(SecuredProbe.class, request(dir, "first", first, 100).toString(),
                request(dir, "second", second, 100).toString())
                .jvmArg("-Djava.security.manager=allow").run().assertSuccess();
        for (Path file : new Path[] {first, second}) {
            Properties p = status(file);
            assertEquals("failed", p.getProperty("state"), file + ": " + p);
            assertTrue(p.getProperty("message").contains("SecurityException"), file + ": " + p);
        }
    }

    @Test
    void unfollowableAndInterruptedRecordingsEndAndTheNextOneRuns() throws Exception {
        Path nowhere = dir.resolve("no-such-dir").resolve("lost.status");
        Path interrupted = dir.resolve("interrupted.status");
        Path last = dir.resolve("last.status");
        ChildJvm.Result r = ChildJvm.main(AttachedProbe.class,
                request(dir, "lost", nowhere, 30_000).toString(),
                request(dir, "interrupted", interrupted, 30_000).toString(),
                request(dir, "last", last, 0).toString()).run().assertSuccess();
        assertTrue(r.stdout.contains("lost: threw"), r.describe());

        // An interrupt ends the recording early, but the JVM lives on: not an exit.
        assertEquals("done", status(interrupted).getProperty("state"), r.describe());
        SnapshotReader.read(dir.resolve("interrupted.tsnap"));
        assertEquals("done", status(last).getProperty("state"), r.describe());
        SnapshotReader.read(dir.resolve("last.tsnap"));
    }

    /** Child-JVM program: the library's natives are bound, but the JVM refuses the recorder's properties. */
    @SuppressWarnings("removal")
    public static final class SecuredProbe {
        public static void main(String[] args) throws Exception {
            SelfAttach.loadWithoutAttach();
            System.setSecurityManager(new SecurityManager() {
                @Override
                public void checkPermission(Permission p) {
                    if (p instanceof PropertyPermission && p.getName().startsWith("tolvane.")
                            && p.getActions().contains("write")) {
                        throw new SecurityException("no " + p.getName());
                    }
                }

                @Override
                public void checkPermission(Permission p, Object context) {
                    checkPermission(p);
                }
            });
            for (String request : args) {
                RecorderAgent.agentmain(request);
            }
        }
    }

    /**
     * Child-JVM program with the library attached: runs each request in turn,
     * waiting for its recording to end; the request named "interrupted" has
     * its recorder thread interrupted after a moment.
     */
    public static final class AttachedProbe {
        public static void main(String[] args) throws Exception {
            SelfAttach.attach(null);
            for (String request : args) {
                String name = Path.of(request).getFileName().toString().replace(".request", "");
                try {
                    RecorderAgent.agentmain(request);
                } catch (Exception e) {
                    System.out.println(name + ": threw " + e);
                }
                Thread recorder = recorderThread();
                if (recorder != null) {
                    if (name.equals("interrupted")) {
                        Thread.sleep(300);
                        recorder.interrupt();
                    }
                    recorder.join(20_000);
                }
                // The recorder releases the JVM just after its final status.
                long deadline = System.nanoTime() + 5_000_000_000L;
                while ("recording".equals(System.getProperty(RecorderAgent.STATE_PROPERTY))
                        && System.nanoTime() < deadline) {
                    Thread.sleep(10);
                }
            }
        }

        private static Thread recorderThread() {
            for (Thread t : Thread.getAllStackTraces().keySet()) {
                if (t.getName().equals("_tolvane recorder")) {
                    return t;
                }
            }
            return null;
        }
    }
}
