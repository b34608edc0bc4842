package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.sun.tools.attach.VirtualMachine;
import com.tolvane.agent.recorder.Recorder;
import com.tolvane.snapshot.CallNode;
import com.tolvane.snapshot.MethodRecord;
import com.tolvane.snapshot.Snapshot;
import com.tolvane.snapshot.SnapshotReader;
import com.tolvane.snapshot.StatusPoint;
import com.tolvane.snapshot.ThreadRecord;
import com.tolvane.tool.TargetChannel;
import java.io.BufferedReader;
import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Properties;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import java.util.function.Predicate;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * Runs bin/tolvane as a user would, against real target JVMs running the demo
 * workload, and reads the snapshots back.
 */
class TolvaneCommandTest {
    private static final String JAVA = System.getProperty("tolvane.java", "java");
    private static final String ROOT = System.getProperty("tolvane.root", ".");
    private static final String DEMO = "com.tolvane.demo.DemoApp";
    private static final String PLAIN = "com.tolvane.test.PlainTarget";

    @TempDir
    Path dir;

    private final List<Process> started = new ArrayList<>();
    private final StringBuffer targetOutput = new StringBuffer();

    @AfterEach
    void stopProcesses() throws Exception {
        for (Process p : started) {
            p.destroyForcibly();
            p.waitFor(10, TimeUnit.SECONDS);
        }
    }

    /** What one run of the command produced. */
    record Run(int exit, String out, String err) {
        @Override
        public String toString() {
            return "exit " + exit + "\n--- stdout\n" + out + "--- stderr\n" + err;
        }
    }

    private ProcessBuilder tolvaneCommand(String... args) {
        List<String> command = new ArrayList<>();
        command.add(Path.of(ROOT, "bin", "tolvane").toString());
        command.addAll(Arrays.asList(args));
        ProcessBuilder pb = new ProcessBuilder(command).directory(dir.toFile());
        pb.environment().put("TOLVANE_LIB", System.getProperty("tolvane.lib"));
        pb.environment().put("TOLVANE_AGENT_JAR", System.getProperty("tolvane.agentJar"));
        pb.environment().put("TOLVANE_TOOL_JAR", System.getProperty("tolvane.toolJar"));
        pb.environment().put("JAVA_HOME", Path.of(JAVA).getParent().getParent().toString());
        return pb;
    }

    private Run tolvane(String... args) throws Exception {
        return finish(tolvaneCommand(args).start());
    }

    private static Run finish(Process p) throws Exception {
        p.getOutputStream().close();
        CompletableFuture<String> out = drain(p.getInputStream());
        CompletableFuture<String> err = drain(p.getErrorStream());
        if (!p.waitFor(180, TimeUnit.SECONDS)) {
            p.destroyForcibly();
            throw new AssertionError("tolvane did not finish; stderr so far: " + err.getNow(""));
        }
        return new Run(p.exitValue(), out.get(), err.get());
    }

    private static CompletableFuture<String> drain(InputStream in) {
        return CompletableFuture.supplyAsync(() -> {
            try {
                return new String(in.readAllBytes(), StandardCharsets.UTF_8);
            } catch (IOException e) {
                return "";
            }
        });
    }

    /** Starts the demo workload in a JVM of its own and waits until it runs. */
    private Process startTargetOn(String javaExe, String mainClass, String... jvmOptions) throws Exception {
        String classPath = mainClass.equals(PLAIN) ? System.getProperty("tolvane.testJar")
                : String.join(File.pathSeparator, System.getProperty("tolvane.toolJar"),
                        System.getProperty("tolvane.agentJar"), System.getProperty("tolvane.testJar"));
        List<String> command = new ArrayList<>(List.of(javaExe, "-Xcheck:jni"));
        command.addAll(Arrays.asList(jvmOptions));
        command.addAll(List.of("-cp", classPath, mainClass));
        Process p = new ProcessBuilder(command).redirectErrorStream(true).start();
        started.add(p);
        BufferedReader in = new BufferedReader(new InputStreamReader(p.getInputStream(), StandardCharsets.UTF_8));
        String line = in.readLine();
        assertTrue(line != null && line.endsWith(" ready"), "target did not start: " + line);
        // Keep draining so the target never blocks on a full pipe.
        Thread drainer = new Thread(() -> {
            try {
                String l;
                while ((l = in.readLine()) != null) {
                    targetOutput.append(l).append('\n');
                }
            } catch (IOException ignored) {
                // target ended
            }
        });
        drainer.setDaemon(true);
        drainer.start();
        return p;
    }

    private Process startTarget(String mainClass, String... jvmOptions) throws Exception {
        return startTargetOn(JAVA, mainClass, jvmOptions);
    }

    private Snapshot record(Process target, String... options) throws Exception {
        Path out = dir.resolve("rec-" + System.nanoTime() + ".tsnap");
        List<String> args = new ArrayList<>(List.of("record", "-d", "1s", "-o", out.toString()));
        args.addAll(Arrays.asList(options));
        args.add(Long.toString(target.pid()));
        Run run = tolvane(args.toArray(new String[0]));
        assertEquals(0, run.exit(), run.toString());
        assertTrue(run.out().contains("Snapshot: " + out), run.toString());
        assertTrue(run.out().contains("Hottest methods"), run.toString());
        return SnapshotReader.read(out);
    }

    private static List<CallNode> nodes(ThreadRecord thread, Predicate<CallNode> test) {
        List<CallNode> found = new ArrayList<>();
        thread.root().walk(n -> {
            if (!n.isRoot() && test.test(n)) {
                found.add(n);
            }
        });
        return found;
    }

    private static boolean isMethod(CallNode n, String name) {
        return n != null && n.method() != null && n.method().name().equals(name)
                && n.method().className().equals(DEMO);
    }

    private static ThreadRecord thread(Snapshot s, String name) {
        ThreadRecord t = s.findThread(name);
        assertNotNull(t, "thread " + name + " missing");
        return t;
    }

    private static long sum(ThreadRecord t, java.util.function.ToLongFunction<CallNode> f) {
        long[] total = {0};
        t.root().walk(n -> total[0] += f.applyAsLong(n));
        return total[0];
    }

    @Test
    void recordsTheDemoWithReadableDefaults() throws Exception {
        Process target = startTarget(DEMO);
        Snapshot s = record(target);

        // The known chain, with its running time dominating the CPU thread.
        ThreadRecord cpu = thread(s, "demo-cpu");
        List<CallNode> checksums = nodes(cpu, n -> isMethod(n, "checksum") && isMethod(n.parent(), "priceOrder")
                && isMethod(n.parent().parent(), "runCpuWorker"));
        assertFalse(checksums.isEmpty(), "chain runCpuWorker > priceOrder > checksum missing");
        long chain = checksums.stream().mapToLong(CallNode::value).sum();
        assertTrue(chain * 2 > cpu.root().value(), "chain " + chain + " of " + cpu.root().value());
        assertTrue(checksums.get(0).line() > 0, "call-site line missing");

        assertTrue(sum(thread(s, "demo-contender-1"), CallNode::blockingMicros)
                + sum(thread(s, "demo-contender-2"), CallNode::blockingMicros) > 0, "no blocking time");
        assertTrue(sum(thread(s, "demo-waiter"), CallNode::waitingMicros) > 0, "no waiting time in Object.wait");
        assertTrue(sum(thread(s, "demo-sleeper"), CallNode::waitingMicros) > 0, "no waiting time in sleep");

        // Loopback socket waits count as net I/O without any option.
        ThreadRecord client = thread(s, "demo-client");
        assertTrue(sum(client, CallNode::netIOMicros) > 0, "no net I/O time on the client");
        assertTrue(client.timeline().stream().anyMatch(p -> p.status() == StatusPoint.NET_IO)
                || sum(thread(s, "demo-server-conn"), CallNode::netIOMicros) > 0);

        // JDK packages are filters: a JDK frame never calls another JDK frame in the tree.
        assertTrue(s.filters().containsAll(List.of("java.", "javax.", "jdk.", "sun.", "com.sun.")));
        for (ThreadRecord t : s.threads()) {
            assertTrue(nodes(t, n -> isJdk(n) && isJdk(n.parent())).isEmpty(), "uncollapsed JDK frames in " + t);
        }

        // The recorder does not record itself.
        List<ThreadRecord> agents = s.threads().stream().filter(t -> t.name().startsWith("_tolvane")).toList();
        assertFalse(agents.isEmpty(), "recorder thread not registered");
        for (ThreadRecord t : agents) {
            assertTrue(t.ignored() && t.root().children().isEmpty(), t + " was sampled");
        }
        assertTrue(s.header().vmName().contains("VM"), s.header().vmName());

        // A second recording of the same JVM, now with the recorder's threads and transaction labels.
        Snapshot second = record(target, "--agent-threads", "--transactions", "--no-default-filters");
        assertTrue(second.threads().stream().anyMatch(t -> t.name().startsWith("_tolvane") && !t.ignored()));
        assertTrue(second.filters().isEmpty());
        List<String> labels = thread(second, "demo-client").root().children().stream()
                .map(CallNode::method).filter(MethodRecord::isInterception).map(MethodRecord::name).toList();
        assertTrue(labels.contains("checkout") || labels.contains("browse"), "no transaction labels: " + labels);
        assertTrue(target.isAlive(), "the target did not survive");
        assertFalse(targetOutput.toString().contains("WARNING in native method"), targetOutput.toString());
    }

    private static boolean isJdk(CallNode n) {
        if (n == null || n.method() == null) {
            return false;
        }
        String c = n.method().className();
        return c.startsWith("java.") || c.startsWith("jdk.") || c.startsWith("sun.");
    }

    @Test
    void recordsAnUnpreparedJvmByMainClassNameAndVerifiesTheResult() throws Exception {
        Process target = startTarget(PLAIN);
        Run list = tolvane("list");
        assertEquals(0, list.exit(), list.toString());
        assertTrue(list.out().lines().anyMatch(l -> l.equals(target.pid() + " " + PLAIN)),
                "list does not show the target: " + list);

        Path out = dir.resolve("named-%p.tsnap");
        Run run = tolvane("record", "--duration=1s", "-o", out.toString(), "PlainTarget");
        assertEquals(0, run.exit(), run.toString());
        Path file = dir.resolve("named-" + target.pid() + ".tsnap");
        ThreadRecord main = thread(SnapshotReader.read(file), "main");
        assertFalse(nodes(main, n -> n.method().qualifiedName().equals(PLAIN + ".spin")).isEmpty(),
                "PlainTarget.spin missing from the main thread");

        Run verify = tolvane("verify", file.toString());
        assertEquals(0, verify.exit(), verify.toString());
        assertTrue(verify.out().contains("valid snapshot") && verify.out().contains("main [main]"),
                verify.toString());
    }

    @Test
    void aConcurrentRecordingIsRefusedAndTheFirstCompletes() throws Exception {
        Process target = startTarget(DEMO);
        Path first = dir.resolve("first.tsnap");
        Process running = tolvaneCommand("record", "-d", "6s", "-o", first.toString(), Long.toString(target.pid()))
                .start();
        CompletableFuture<Run> firstRun = CompletableFuture.supplyAsync(() -> {
            try {
                return finish(running);
            } catch (Exception e) {
                throw new IllegalStateException(e);
            }
        });
        awaitRecordingStart(running, target);
        Run second = tolvane("record", "-d", "1s", "-o", dir.resolve("second.tsnap").toString(),
                Long.toString(target.pid()));
        assertEquals(1, second.exit(), second.toString());
        assertTrue(second.err().contains("already being recorded"), second.toString());
        assertFalse(Files.exists(dir.resolve("second.tsnap")));

        Run done = firstRun.get(120, TimeUnit.SECONDS);
        assertEquals(0, done.exit(), done.toString());
        SnapshotReader.read(first);
    }

    @Test
    void aTargetThatExitsDuringTheRecordingIsReported() throws Exception {
        Process target = startTarget(DEMO);
        Path out = dir.resolve("exits.tsnap");
        Process recording = tolvaneCommand("record", "-d", "30s", "-o", out.toString(), Long.toString(target.pid()))
                .start();
        CompletableFuture<Run> run = CompletableFuture.supplyAsync(() -> {
            try {
                return finish(recording);
            } catch (Exception e) {
                throw new IllegalStateException(e);
            }
        });
        awaitRecordingStart(recording, target);
        target.destroy(); // an orderly JVM shutdown while the recording runs
        Run result = run.get(120, TimeUnit.SECONDS);
        assertEquals(3, result.exit(), result.toString());
        assertTrue(result.err().contains("JVM " + target.pid() + " exited during the recording"), result.toString());
        // Standard error is a pipe: the line that says the recording started, then the error.
        List<String> lines = result.err().lines().toList();
        assertEquals(2, lines.size(), result.toString());
        assertTrue(lines.get(0).startsWith("tolvane: recording JVM " + target.pid() + " (" + DEMO + ") for 30.0 s"),
                result.toString());
    }

    /** The recorder MBean of a target, reached the way the tool reaches it. */
    /** The recorder of a target, asked through the tool's own channel, which changes nothing there. */
    static final class TargetRecorder implements AutoCloseable {
        final long pid;
        final TargetChannel channel;

        TargetRecorder(long pid) throws Exception {
            this.pid = pid;
            channel = TargetChannel.open(pid, Path.of(System.getProperty("tolvane.lib")), null, null, () -> { });
            assertNotNull(channel, "the target has no recorder");
        }

        /** Whether the target has a recorder that runs a recording; false also before the recorder is there. */
        static boolean recording(long pid) throws Exception {
            try (TargetChannel c = TargetChannel.open(pid, Path.of(System.getProperty("tolvane.lib")), null, null,
                    () -> { })) {
                if (c == null) {
                    return false;
                }
                Properties command = new Properties();
                command.setProperty("command", "status");
                return c.send(command).id() != 0;
            }
        }

        private TargetChannel.Reply status() throws Exception {
            Properties command = new Properties();
            command.setProperty("command", "status");
            return channel.send(command);
        }

        long recordings() throws Exception {
            return Long.parseLong(status().get("recordings"));
        }

        /** Names of the target's live threads, as the kernel has them (at most 15 characters). */
        List<String> threadNames() throws Exception {
            return threadNamesOf(pid);
        }

        @Override
        public void close() {
            channel.close();
        }
    }

    static List<String> threadNamesOf(long pid) throws IOException {
        List<String> names = new ArrayList<>();
        try (var tasks = Files.list(Path.of("/proc/" + pid + "/task"))) {
            for (Path task : tasks.toList()) {
                try {
                    names.add(Files.readString(task.resolve("comm")).strip());
                } catch (IOException e) {
                    // the thread ended meanwhile
                }
            }
        }
        return names;
    }

    /** Waits until the recorder in the target reports that a recording runs. */
    private void awaitRecordingStart(Process tolvane, Process target) throws Exception {
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(60);
        while (!TargetRecorder.recording(target.pid()) && tolvane.isAlive() && System.nanoTime() < deadline) {
            Thread.sleep(50);
        }
        assertTrue(TargetRecorder.recording(target.pid()), "the recording never started");
    }

    @Test
    void badInputGetsOneLineAndAnExitCode() throws Exception {
        Process target = startTarget(DEMO);
        String pid = Long.toString(target.pid());
        Process gone = new ProcessBuilder("true").start();
        gone.waitFor();
        Process notJava = new ProcessBuilder("sleep", "600").start(); // outlives the cases on a busy machine
        started.add(notJava);
        Process closed = startTarget(PLAIN, "-XX:+DisableAttachMechanism");

        Path missing = dir.resolve("no/such/dir/x.tsnap");
        Object[][] cases = {
            {new String[] {"record", Long.toString(gone.pid())}, 1, "no process with id " + gone.pid()},
            {new String[] {"record", Long.toString(notJava.pid())}, 1, "is not a Java virtual machine"},
            {new String[] {"record", Long.toString(closed.pid())}, 1, "JVM " + closed.pid() + " refuses attach"},
            {new String[] {"record", "-d", "ten", pid}, 2, "unparsable duration 'ten'"},
            {new String[] {"record", "-d", "5h", pid}, 2, "unparsable duration '5h'"},
            {new String[] {"record", "--filter", "com.acme.(", pid}, 2, "unparsable pattern 'com.acme.('"},
            {new String[] {"record", "--netio", "Foo#", pid}, 2, "unparsable --netio 'Foo#'"},
            {new String[] {"record", "-o", missing.toString(), pid}, 2, "output directory " + missing.getParent()
                    + " does not exist"},
            {new String[] {"record", "-o", "x-%q.tsnap", pid}, 2, "unknown placeholder"},
            {new String[] {"record", "--bogus", pid}, 2, "unknown option --bogus"},
            {new String[] {"record"}, 2, "missing target"},
            {new String[] {"record", "NoSuchMainClassAnywhere"}, 1, "no running JVM has the main class"},
            {new String[] {"verify", dir.resolve("absent.tsnap").toString()}, 1, "no such file"},
            {new String[] {"frobnicate"}, 2, "unknown command 'frobnicate'"},
        };
        for (Object[] c : cases) {
            Run run = tolvane((String[]) c[0]);
            String what = String.join(" ", (String[]) c[0]) + "\n" + run;
            assertEquals(c[1], run.exit(), what);
            assertTrue(run.err().contains((String) c[2]), what);
            assertEquals(1, run.err().lines().count(), "not one line: " + what);
            assertEquals("", run.out(), what);
        }
        assertTrue(notJava.isAlive(), "the non-Java process was harmed");
        assertTrue(target.isAlive() && closed.isAlive(), "a target was harmed");
        try (var files = Files.list(dir)) {
            assertEquals(List.of(), files.filter(f -> f.toString().endsWith("tsnap")).toList(),
                    "a refused recording left a file");
        }
    }

    @Test
    void anUnwritableOutputDirectoryIsRefusedBeforeAttaching() throws Exception {
        Path readOnly = Files.createDirectory(dir.resolve("ro"));
        Files.setPosixFilePermissions(readOnly, PosixFilePermissions.fromString("r-xr-xr-x"));
        Assumptions.assumeFalse(Files.isWritable(readOnly), "running as a user who can write anywhere");
        Process target = startTarget(DEMO);
        Run run = tolvane("record", "-o", readOnly.resolve("x.tsnap").toString(), Long.toString(target.pid()));
        assertEquals(2, run.exit(), run.toString());
        assertTrue(run.err().contains("is not writable"), run.toString());
    }

    @Test
    void aNewerJdkTargetIsToldHowToSilenceTheAgentWarning() throws Exception {
        Path newer = Path.of("/usr/lib/jvm/temurin-25-jdk-amd64/bin/java");
        Assumptions.assumeTrue(Files.isExecutable(newer), "no JDK 21 or later installed");
        Process target = startTargetOn(newer.toString(), DEMO);
        Path out = dir.resolve("newer.tsnap");
        Run run = tolvane("record", "-d", "1s", "-o", out.toString(), Long.toString(target.pid()));
        assertTrue(run.err().contains("-XX:+EnableDynamicAgentLoading"), run.toString());
        assertEquals(0, run.exit(), run.toString());
        assertNotNull(SnapshotReader.read(out).findThread("demo-cpu"));
    }

    @Test
    void verifyTellsGoodTruncatedCorruptAndForeignFilesApart() throws Exception {
        SnapshotBuilder b = new SnapshotBuilder();
        long m = b.addMethod(b.addClass("com.acme.Shop"), "run", "()V");
        b.addThread("main", "main").root().value(40).child(m, 9).value(40);
        byte[] bytes = b.build();
        Path good = Files.write(dir.resolve("good.tsnap"), bytes);
        Path truncated = Files.write(dir.resolve("truncated.tsnap"), Arrays.copyOf(bytes, bytes.length - 20));
        byte[] flipped = bytes.clone();
        flipped[SnapshotBuilder.sectionPosition(bytes, 1) + 12] ^= 1;
        Path corrupt = Files.write(dir.resolve("corrupt.tsnap"), flipped);
        Path foreign = Files.writeString(dir.resolve("notes.txt"), "just some text\n");

        Run ok = tolvane("verify", good.toString());
        assertEquals(0, ok.exit(), ok.toString());
        assertTrue(ok.out().contains("valid snapshot") && ok.out().contains("threads:    1"), ok.toString());

        String[][] bad = {
            {truncated.toString(), "truncated snapshot"},
            {corrupt.toString(), "section 1 (threads) is corrupt: CRC-32 mismatch"},
            {foreign.toString(), "not a snapshot file"},
        };
        for (String[] c : bad) {
            Run run = tolvane("verify", c[0]);
            assertEquals(1, run.exit(), run.toString());
            assertTrue(run.err().startsWith("tolvane verify: " + c[0] + ": ") && run.err().contains(c[1]),
                    run.toString());
            assertEquals("", run.out());
        }
    }

    @Test
    void outputsThatAreNotRegularFilesAreLeftAlone() throws Exception {
        Process target = startTarget(PLAIN);
        Path victim = Files.writeString(dir.resolve("victim.txt"), "keep");
        Path link = Files.createSymbolicLink(dir.resolve("link.tsnap"), victim);
        Path dangling = Files.createSymbolicLink(dir.resolve("dangling.tsnap"), dir.resolve("nowhere.tsnap"));
        Path fifo = dir.resolve("fifo.tsnap");
        assertEquals(0, new ProcessBuilder("mkfifo", fifo.toString()).start().waitFor());
        List<Path> outputs = new ArrayList<>(List.of(link, dangling, fifo));
        Path device = dir.resolve("null.tsnap");
        // A character device of our own (the null device's numbers), where mknod is allowed.
        if (new ProcessBuilder("mknod", device.toString(), "c", "1", "3").start().waitFor() == 0) {
            outputs.add(device);
        }
        for (Path output : outputs) {
            Object before = Files.getAttribute(output, "unix:mode", java.nio.file.LinkOption.NOFOLLOW_LINKS);
            Run run = tolvane("record", "-d", "200ms", "-o", output.toString(), Long.toString(target.pid()));
            assertEquals(2, run.exit(), run.toString());
            assertTrue(run.err().contains("is not a regular file"), run.toString());
            assertEquals(1, run.err().lines().count(), run.toString());
            assertEquals(before, Files.getAttribute(output, "unix:mode", java.nio.file.LinkOption.NOFOLLOW_LINKS),
                    output + " was replaced");
        }
        assertEquals("keep", Files.readString(victim));
        assertFalse(Files.exists(dir.resolve("nowhere.tsnap")));
    }

    @Test
    void verifyRefusesEndlessAndHugeInputsInOneLine() throws Exception {
        Run zero = tolvane("verify", "/dev/zero");
        assertEquals(1, zero.exit(), zero.toString());
        assertTrue(zero.err().contains("not a snapshot file"), zero.toString());
        assertEquals(1, zero.err().lines().count(), zero.toString());

        // A pipe that holds a whole snapshot and then never ends, read by a tool with a small heap.
        Path good = Files.write(dir.resolve("good.tsnap"), new SnapshotBuilder().build());
        ProcessBuilder endless = tolvaneCommand();
        endless.command(List.of("bash", "-c", "\"$0\" verify <(cat \"$1\" /dev/zero)",
                Path.of(ROOT, "bin", "tolvane").toString(), good.toString()));
        endless.environment().put("TOLVANE_JAVA_OPTS", "-Xmx64m");
        Run run = finish(endless.start());
        assertEquals(1, run.exit(), run.toString());
        assertTrue(run.err().contains("too large to be read"), run.toString());
        assertEquals(1, run.err().lines().count(), run.toString());
    }

    @Test
    void repeatedRecordingsLoadTheRecorderOnceAndReuseItsThread() throws Exception {
        Process target = startTarget(PLAIN);
        for (int i = 0; i < 3; i++) {
            record(target);
        }
        try (TargetRecorder r = new TargetRecorder(target.pid())) {
            assertEquals(3, r.recordings());
            String kernelName = Recorder.THREAD_NAME.substring(0, 15);
            assertEquals(1, r.threadNames().stream().filter(kernelName::equals).count(), r.threadNames()
                    .toString());
        }
        // The library was set up once; every later load was a command, which prints nothing.
        String output = targetOutput.toString();
        assertEquals(1, output.lines().filter(l -> l.equals("tolvane> Native library initialized")).count(), output);
        assertFalse(output.contains("already initialized"), output);
        // No agent jar is loaded as a Java agent: no instrumentation object, no JVMTI environment of its own.
        Process histogram = new ProcessBuilder(Path.of(JAVA).resolveSibling("jcmd").toString(),
                Long.toString(target.pid()), "GC.class_histogram").redirectErrorStream(true).start();
        String classes = new String(histogram.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        assertEquals(0, histogram.waitFor());
        assertFalse(classes.contains(" sun.instrument.InstrumentationImpl "), classes);
    }

    @Test
    void aSignalToTheCommandEndsTheRecordingEarlyWithItsSnapshot() throws Exception {
        Process target = startTarget(DEMO);
        for (String signal : List.of("INT", "TERM")) {
            Path out = dir.resolve("signal-" + signal + ".tsnap");
            Process recording = tolvaneCommand("record", "-d", "10m", "-o", out.toString(),
                    Long.toString(target.pid())).start();
            CompletableFuture<Run> run = CompletableFuture.supplyAsync(() -> {
                try {
                    return finish(recording);
                } catch (Exception e) {
                    throw new IllegalStateException(e);
                }
            });
            awaitRecordingStart(recording, target);
            Thread.sleep(500);
            long sent = System.nanoTime();
            assertEquals(0, new ProcessBuilder("kill", "-" + signal, Long.toString(recording.pid())).start().waitFor());
            Run result = run.get(60, TimeUnit.SECONDS);
            assertTrue(System.nanoTime() - sent < TimeUnit.SECONDS.toNanos(30), "took too long to stop");
            assertEquals(0, result.exit(), result.toString());
            assertTrue(result.err().contains("stopped after") && result.err().contains(out.toString()),
                    result.toString());
            assertTrue(result.out().contains("Snapshot: " + out), result.toString());
            Snapshot s = SnapshotReader.read(out);
            assertTrue(s.header().durationMicros() < 60_000_000L, "recorded " + s.header().durationMicros() + " us");
        }
        try (var files = Files.list(dir)) {
            assertEquals(2, files.count(), "files besides the snapshots were left");
        }
        record(target); // the target is free for the next recording
        assertFalse(targetOutput.toString().contains("WARNING in native method"), targetOutput.toString());
    }

    @Test
    void aFullDiskFailsTheRecordingAtOnceAndLeavesNoPartialFile() throws Exception {
        Path disk = Files.createDirectory(dir.resolve("disk"));
        Process mount = new ProcessBuilder("mount", "-t", "tmpfs", "-o", "size=256k", "tolvane-test", disk.toString())
                .redirectErrorStream(true).start();
        String why = new String(mount.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        Assumptions.assumeTrue(mount.waitFor() == 0, "cannot mount a small tmpfs here: " + why);
        try {
            // Full: the snapshot file can be created, not written (a recording no longer drags
            // management classes and threads into the target, so its snapshot fits into a few pages).
            Path spare = Files.write(disk.resolve("spare"), new byte[0]);
            try (var filler = Files.newOutputStream(disk.resolve("filler"))) {
                byte[] block = new byte[4096];
                while (true) {
                    filler.write(block);
                    filler.flush();
                }
            } catch (IOException expected) {
                // the disk is full
            }
            Files.delete(spare);
            Process target = startTarget(DEMO);
            Path out = disk.resolve("full.tsnap");
            long start = System.nanoTime();
            Run run = tolvane("record", "-d", "1s", "-o", out.toString(), Long.toString(target.pid()));
            assertEquals(1, run.exit(), run.toString());
            assertTrue(System.nanoTime() - start < TimeUnit.SECONDS.toNanos(60), "the failure came late: " + run);
            assertTrue(run.err().contains("the disk or partition might be full"), run.toString());
            // One line for the failure, after the line that the recording started.
            assertEquals(1, run.err().lines().filter(l -> !l.startsWith("tolvane: recording JVM")).count(),
                    run.toString());
            try (var files = Files.list(disk)) {
                assertEquals(List.of(disk.resolve("filler")), files.toList(), "a partial file was left");
            }
            assertTrue(targetOutput.toString().contains("might be full"), targetOutput.toString());
        } finally {
            new ProcessBuilder("umount", disk.toString()).start().waitFor();
        }
    }
}
