package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.tolvane.snapshot.CallNode;
import com.tolvane.snapshot.ClassRecord;
import com.tolvane.snapshot.Header;
import com.tolvane.snapshot.MethodRecord;
import com.tolvane.snapshot.Section;
import com.tolvane.snapshot.Snapshot;
import com.tolvane.snapshot.SnapshotReader;
import com.tolvane.snapshot.StatusPoint;
import com.tolvane.snapshot.ThreadRecord;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.function.Predicate;
import java.util.function.ToLongFunction;
import java.util.stream.Collectors;
import java.util.stream.Stream;
import java.util.zip.CRC32;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * JvmtiCallee.record end to end: each scenario runs in its own child JVM
 * under -Xcheck:jni (see {@link RecordingProbe}), and the snapshot it leaves
 * is read back with the snapshot reader and checked byte by byte where the
 * reader does not already insist.
 */
class RecordingTest {

    private static final long MS = 1000;

    @TempDir
    Path dir;

    @Test
    void knownWorkloadShowsEveryKindOfTimeWhereItHappened() throws Exception {
        Path file = dir.resolve("workload.snapshot");
        ChildJvm.Result result = run("workload", file.toString());
        Snapshot s = read(file);

        Header header = s.header();
        assertEquals(10001, header.version());
        assertEquals(8, header.idWidth());
        assertEquals(fact(result, "vm"), header.vmName());
        assertEquals(fact(result, "version"), header.javaVersion());
        assertEquals(32 + utf8Length(header.vmName()) + utf8Length(header.javaVersion()), header.length());
        assertTrue(header.durationMicros() >= 2000 * MS, () -> "duration " + header.durationMicros());

        // The registry's fixed entries come first.
        assertEquals("com.tolvane.agent.Unknown", s.classes().get(0).name());
        assertEquals(0, s.classes().get(0).kind());
        assertEquals("_druvax_annotation_class", s.classes().get(1).name());
        assertEquals(ClassRecord.KIND_INTERCEPTION, s.classes().get(1).kind());
        MethodRecord unknown = s.methods().get(0);
        assertEquals("unknown", unknown.name());
        assertEquals("()V", unknown.signature());
        assertEquals(s.classes().get(0), unknown.owner());
        assertEquals(List.of(RecordingWorkload.FILTER), s.filters());
        assertFalse(s.filterInverted());
        everyTreeMethodHasARecord(s);

        // Busy: the chain with the call-site lines of the source; its running time dominates.
        ThreadRecord busy = thread(s, "busy");
        CallNode busyA = only(nodes(busy, "busyA"));
        CallNode busyB = busyA.child("busyB");
        assertNotNull(busyB, () -> tree(busy));
        assertEquals(sourceLine("call-site:busyB"), busyB.line());
        CallNode busyC = busyB.child("busyC");
        assertNotNull(busyC, () -> tree(busy));
        assertEquals(sourceLine("call-site:busyC"), busyC.line());
        assertTrue(busy.root().value() >= 1000 * MS, () -> tree(busy));
        assertTrue(2 * busyC.value() >= busy.root().value(), () -> tree(busy));
        for (String other : List.of("blocked", "waiting", "sleeping", "netio")) {
            assertTrue(busy.root().value() > 3 * thread(s, other).root().value(), other);
        }

        // Blocked on the monitor the holder keeps: blocking time on the node where it waits.
        ThreadRecord blocked = thread(s, "blocked");
        assertTrue(only(nodes(blocked, "blockedEnter")).blockingMicros() >= 1000 * MS, () -> tree(blocked));
        // Object.wait and Thread.sleep: waiting time below the method that waits.
        ThreadRecord waiting = thread(s, "waiting");
        assertTrue(subtreeSum(only(nodes(waiting, "waitOn")), CallNode::waitingMicros) >= 1000 * MS,
                () -> tree(waiting));
        ThreadRecord sleeping = thread(s, "sleeping");
        assertTrue(subtreeSum(only(nodes(sleeping, "sleepIn")), CallNode::waitingMicros) >= 1000 * MS,
                () -> tree(sleeping));
        // A socket read inside a net I/O class: net I/O time and status 66.
        ThreadRecord netio = thread(s, "netio");
        CallNode readOnce = only(nodes(netio, "readOnce"));
        assertEquals(RecordingWorkload.NETIO_CLASS, readOnce.method().className());
        assertTrue(subtreeSum(readOnce, CallNode::netIOMicros) >= 1000 * MS, () -> tree(netio));
        assertTrue(netio.timeline().stream().anyMatch(p -> p.status() == StatusPoint.NET_IO),
                () -> netio.timeline().toString());
        for (StatusPoint p : netio.timeline()) {
            assertEquals(0, p.micros() % 10_000, () -> "status point " + p);
        }

        // Two transaction labels: root, then the labels outermost first, then the frames.
        ThreadRecord tx = thread(s, "tx");
        assertEquals(1, s.threads().stream().filter(t -> t.name().equals("tx")).count());
        assertEquals(1, tx.root().children().size(), () -> tree(tx));
        CallNode outer = tx.root().children().get(0);
        assertEquals("outer-tx", outer.method().name());
        assertTrue(outer.method().isInterception());
        assertEquals(1, outer.children().size(), () -> tree(tx));
        CallNode inner = outer.children().get(0);
        assertEquals("inner-tx", inner.method().name());
        assertTrue(find(inner, n -> n.method() != null && n.method().name().equals("txWork")).size() > 0,
                () -> tree(tx));

        // Filters collapse the second filtered class into the first; ignored classes never appear.
        ThreadRecord filtered = thread(s, "filtered");
        CallNode enter = only(nodes(filtered, "enter"));
        assertEquals(RecordingWorkload.FILTER, enter.method().className());
        for (ThreadRecord t : s.threads()) {
            assertTrue(find(t.root(), n -> n.method() != null
                    && (n.method().className().endsWith("$FilteredDeep")
                        || n.method().className().startsWith(RecordingWorkload.IGNORED))).isEmpty(), () -> tree(t));
        }
    }

    @Test
    void zeroDurationRegistersThreadsAndAShortOneTakesATick() throws Exception {
        Path zero = dir.resolve("zero.snapshot");
        Path shortRun = dir.resolve("short.snapshot");
        ChildJvm.Result result = run("durations", zero.toString(), shortRun.toString());
        assertEquals("false", fact(result, "reportingAfterZero"));

        Snapshot s = read(zero);
        thread(s, "spinner");
        thread(s, "main");
        for (ThreadRecord t : s.threads()) {
            assertEquals(0, t.root().value(), t::toString);
            assertTrue(t.root().children().isEmpty(), t::toString);
            assertTrue(t.timeline().isEmpty(), t::toString);
            assertRegisteredAtTheStart(s, t);
        }

        Snapshot sh = read(shortRun);
        assertTrue(thread(sh, "spinner").root().value() > 0, () -> tree(thread(sh, "spinner")));
    }

    @Test
    void agentThreadsAreIgnoredUnlessRecordedAndOnlyByTheirPrefix() throws Exception {
        Path without = dir.resolve("without.snapshot");
        Path with = dir.resolve("with.snapshot");
        run("agentThreads", without.toString(), with.toString());

        Snapshot off = read(without);
        ThreadRecord agent = thread(off, "_TOLVANE worker");
        assertTrue(agent.ignored());
        assertEquals(0, agent.root().value());
        for (String name : List.of("x_tolvane", "_tolvan")) {
            assertFalse(thread(off, name).ignored(), name);
            assertTrue(thread(off, name).root().value() > 0, name);
        }

        Snapshot on = read(with);
        assertFalse(thread(on, "_TOLVANE worker").ignored());
        assertTrue(thread(on, "_TOLVANE worker").root().value() > 0);
    }

    @Test
    void secondRunKeepsTheClassesButOnlyItsOwnThreads() throws Exception {
        Path first = dir.resolve("first.snapshot");
        Path second = dir.resolve("second.snapshot");
        run("twoRuns", first.toString(), second.toString());

        Snapshot a = read(first);
        Snapshot b = read(second);
        MethodRecord firstOnly = only(nodes(thread(a, "first-only"), "firstRunOnly")).method();
        assertNull(b.findThread("first-only"));
        thread(b, "second-only");
        assertEquals(1, b.threads().stream().filter(t -> t.name().equals("main")).count());
        // Descriptors live on: the second file lists the first one's classes and methods with the same IDs.
        assertEquals(a.classes(), b.classes().subList(0, a.classes().size()));
        assertEquals(a.methods(), b.methods().subList(0, a.methods().size()));
        assertEquals(firstOnly, b.findMethod(firstOnly.id()));
    }

    @Test
    void threadsStartingAndEndingDuringTheRunGetTheirTimes() throws Exception {
        checkLifecycle(run("lifecycle", dir.resolve("life.snapshot").toString()));
    }

    @Test
    void threadStartEventsLeftOnForGoodWork() throws Exception {
        ChildJvm.Result result = run("lifecycle", dir.resolve("life.snapshot").toString(),
                "options=save-thread-start");
        assertTrue(result.tolvaneLines().contains("tolvane> Save thread start mode"), result::describe);
        checkLifecycle(result);
    }

    private void checkLifecycle(ChildJvm.Result result) throws Exception {
        Snapshot s = read(dir.resolve("life.snapshot"));
        long start = s.header().recordStartMicros();
        long written = s.header().writeTimeMicros();

        ThreadRecord main = thread(s, "main");
        assertRegisteredAtTheStart(s, main);
        assertEquals(-1, main.endMicros());

        ThreadRecord earlyEnder = thread(s, "early-ender");
        assertRegisteredAtTheStart(s, earlyEnder);
        assertTrue(earlyEnder.endMicros() > start && earlyEnder.endMicros() < written, earlyEnder::toString);

        ThreadRecord lateStarter = thread(s, "late-starter");
        assertTrue(lateStarter.startMicros() >= start + 100 * MS, lateStarter::toString);
        assertEquals(-1, lateStarter.endMicros());
        assertTrue(lateStarter.root().value() > 0);

        ThreadRecord lateEnder = thread(s, "late-ender");
        assertTrue(lateEnder.startMicros() >= start + 100 * MS, lateEnder::toString);
        assertTrue(lateEnder.endMicros() >= lateEnder.startMicros() && lateEnder.endMicros() < written,
                lateEnder::toString);
        for (String name : List.of("main", "early-ender", "late-starter", "late-ender")) {
            assertEquals(1, s.threads().stream().filter(t -> t.name().equals(name)).count(), name);
        }
    }

    @Test
    void pathBytesAreTakenUpToTheFirstZeroAndAMissingDirectoryWritesNothing() throws Exception {
        ChildJvm.Result result = run("paths", dir.toString());
        assertEquals("true", fact(result, "returnedMissing"));
        assertFalse(Files.exists(dir.resolve("missing")));
        try (Stream<Path> files = Files.list(dir)) {
            assertEquals(List.of("after.snapshot", "plain.snapshot", "zero.snapshot"),
                    files.map(p -> p.getFileName().toString()).sorted().collect(Collectors.toList()));
        }
        for (String name : List.of("plain.snapshot", "zero.snapshot", "after.snapshot")) {
            Snapshot s = read(dir.resolve(name));
            // Each run starts from nothing: the recording thread is listed once.
            assertEquals(1, s.threads().stream().filter(t -> t.name().equals("main")).count(), name);
        }
        // No run printed anything: the missing directory and the absent paths are silent.
        List<String> lines = result.tolvaneLines();
        assertEquals("tolvane> Native library initialized", lines.get(lines.size() - 1), result::describe);
    }

    @Test
    void systemExitDuringSamplingStillLeavesACompleteFile() throws Exception {
        Path file = dir.resolve("exit.snapshot");
        ChildJvm.Result result = ChildJvm.main(RecordingProbe.class, "exit", file.toString()).run();
        result.assertExitCode(3).assertNoJniWarnings();
        assertTrue(result.stdoutLines().contains("exiting"), result::describe);

        Snapshot s = read(file);
        assertTrue(s.header().durationMicros() < 10_000 * MS, () -> "duration " + s.header().durationMicros());
        assertTrue(thread(s, "busy").root().value() >= 200 * MS, () -> tree(thread(s, "busy")));
    }

    @Test
    void interruptEndsTheRunEarlyAndAnOverlappingRunIsRefused() throws Exception {
        Path interrupted = dir.resolve("interrupted.snapshot");
        Path overlap = dir.resolve("overlap.snapshot");
        ChildJvm.Result result = run("interrupt", interrupted.toString(), overlap.toString());

        // The overlapping call returned at once and wrote nothing.
        assertTrue(Long.parseLong(fact(result, "overlapMillis")) < 2000, result::describe);
        assertFalse(Files.exists(overlap));

        // Interrupted: record returns early with the caller's interrupt status
        // intact, and still leaves a complete snapshot.
        assertEquals("true", fact(result, "interruptedAfter"), result::describe);
        long recordMillis = Long.parseLong(fact(result, "recordMillis"));
        assertTrue(recordMillis >= 0 && recordMillis < 5000, result::describe);
        Snapshot s = read(interrupted);
        assertTrue(s.header().durationMicros() < 5000 * MS, () -> "duration " + s.header().durationMicros());
        assertTrue(thread(s, "busy").root().value() > 0, () -> tree(thread(s, "busy")));
        // A thread that labelled work and ended before the run is not part of it.
        assertNull(s.findThread("gone-before-run"), () -> s.threads().toString());
    }

    @Test
    void withoutACompletedAttachRecordDoesNothing() throws Exception {
        Path file = dir.resolve("unattached.snapshot");
        ChildJvm.Result result = run("unattached", file.toString());
        assertTrue(result.stdoutLines().contains("returned"));
        assertFalse(Files.exists(file));
    }

    // ---- helpers ----

    private static ChildJvm.Result run(String... args) throws Exception {
        return ChildJvm.main(RecordingProbe.class, args).run().assertSuccess();
    }

    private static String fact(ChildJvm.Result result, String name) {
        for (String line : result.stdoutLines()) {
            if (line.startsWith(name + "=")) {
                return line.substring(name.length() + 1);
            }
        }
        throw new AssertionError("no " + name + "= line\n" + result.describe());
    }

    /**
     * Reads a snapshot and checks the directory against the bytes: markers,
     * gap-free sections, CRC-32 of each body, empty optional sections and
     * nothing after the last one.
     */
    private static Snapshot read(Path file) throws Exception {
        byte[] bytes = Files.readAllBytes(file);
        Snapshot s = SnapshotReader.read(file);
        ByteBuffer buffer = ByteBuffer.wrap(bytes);
        long expected = s.header().length() + 140;
        for (Section section : s.sections()) {
            assertEquals(expected, section.position(), section::toString);
            assertEquals(0xCAFED00D, buffer.getInt((int) section.position()), section::toString);
            CRC32 crc = new CRC32();
            crc.update(bytes, (int) section.bodyStart(), (int) section.length());
            if (section.index() < 2) {
                assertTrue(section.length() > 0, section::toString);
                assertEquals((int) crc.getValue(), section.crc(), section::toString);
            } else if (section.index() == Section.LOST_SAMPLES) {
                // Written when a CPU sample was lost, which no recording can rule out.
                assertEquals((int) crc.getValue(), section.crc(), section::toString);
            } else {
                assertEquals(0, section.length(), section::toString);
                assertEquals(0, section.crc(), section::toString);
            }
            expected = section.end();
        }
        assertEquals(bytes.length, expected);
        return s;
    }

    /** A thread that was alive when the run began: registered by the run itself, right at its start. */
    private static void assertRegisteredAtTheStart(Snapshot s, ThreadRecord t) {
        long start = s.header().recordStartMicros();
        assertTrue(t.startMicros() >= start && t.startMicros() < start + 100 * MS, t::toString);
    }

    private static void everyTreeMethodHasARecord(Snapshot s) {
        for (ThreadRecord t : s.threads()) {
            t.root().walk(n -> {
                if (!n.isRoot()) {
                    assertNotNull(s.findMethod(n.method().id()), n::toString);
                    assertNotNull(s.findClass(n.method().owner().id()), n::toString);
                }
            });
        }
    }

    private static ThreadRecord thread(Snapshot s, String name) {
        ThreadRecord t = s.findThread(name);
        assertNotNull(t, () -> "no thread " + name + " in " + s.threads());
        return t;
    }

    private static List<CallNode> find(CallNode from, Predicate<CallNode> test) {
        List<CallNode> found = new ArrayList<>();
        from.walk(n -> {
            if (test.test(n)) {
                found.add(n);
            }
        });
        return found;
    }

    private static List<CallNode> nodes(ThreadRecord t, String methodName) {
        List<CallNode> found = find(t.root(), n -> n.method() != null && n.method().name().equals(methodName));
        assertFalse(found.isEmpty(), () -> "no node " + methodName + "\n" + tree(t));
        return found;
    }

    private static CallNode only(List<CallNode> nodes) {
        assertEquals(1, nodes.size(), nodes::toString);
        return nodes.get(0);
    }

    private static long subtreeSum(CallNode node, ToLongFunction<CallNode> value) {
        long[] sum = {0};
        node.walk(n -> sum[0] += value.applyAsLong(n));
        return sum[0];
    }

    private static String tree(ThreadRecord t) {
        StringBuilder out = new StringBuilder(t.toString()).append('\n');
        t.root().walk(n -> out.append("  ".repeat(n.depth())).append(n).append('\n'));
        return out.toString();
    }

    private static int utf8Length(String s) {
        return s.getBytes(StandardCharsets.UTF_8).length;
    }

    /** The line of the workload source that carries this marker comment. */
    private static int sourceLine(String marker) throws IOException {
        Path source = Paths.get(ChildJvm.property("tolvane.root"),
                "tests/jvm/com/tolvane/test/RecordingWorkload.java");
        List<String> lines = Files.readAllLines(source);
        int found = -1;
        for (int i = 0; i < lines.size(); i++) {
            if (lines.get(i).contains("// " + marker)) {
                assertEquals(-1, found, "marker " + marker + " twice");
                found = i + 1;
            }
        }
        assertNotEquals(-1, found, "marker " + marker);
        return found;
    }
}
