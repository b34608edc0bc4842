package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import com.tolvane.snapshot.CallNode;
import com.tolvane.snapshot.MethodRecord;
import com.tolvane.snapshot.Section;
import com.tolvane.snapshot.Snapshot;
import com.tolvane.snapshot.SnapshotFormatException;
import com.tolvane.snapshot.SnapshotReader;
import com.tolvane.snapshot.StatusPoint;
import com.tolvane.snapshot.ThreadRecord;
import java.io.IOException;
import java.io.RandomAccessFile;
import java.io.UncheckedIOException;
import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.List;
import java.util.Random;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

class SnapshotReaderTest {

    /** A small but complete snapshot: two threads, filters, timelines, monitor times. */
    private static final class Sample {
        final SnapshotBuilder b = new SnapshotBuilder()
                .vm("Test VM", "17.0.9").times(5_000_000, 6_200_000)
                .filters(true, "java.", "-java.util.");
        final long shopClass = b.addClass("com.acme.Shop");
        final long run = b.addMethod(shopClass, "run", "()V");
        final long price = b.addMethod(shopClass, "price", "(I)J");
        final long label = b.addMethod(b.interceptionClass, "checkout", "()V");
        final SnapshotBuilder.ThreadSpec main = b.addThread("main", "main")
                .status(StatusPoint.RUNNING, 5_000_000).status(StatusPoint.NET_IO, 5_010_000);
        final SnapshotBuilder.ThreadSpec worker = b.addThread("_tolvane recorder", "main")
                .lifetime(5_100_000, 5_900_000).ignored(true);

        Sample() {
            SnapshotBuilder.Node root = main.root().value(900).cpu(700);
            SnapshotBuilder.Node tx = root.child(label, 0).value(900).cpu(700);
            SnapshotBuilder.Node r = tx.child(run, 0).value(900).monitorTimes(10, 20, 30).cpu(650);
            r.child(price, 41).value(300).cpu(250);
            // CPU is booked wherever the stack ends, net I/O included.
            r.child(price, 17).value(500).monitorTimes(0, 0, 7).cpu(380);
        }

        /** With the CPU-time section: main used 700 us, the recorder's CPU time is not known. */
        Sample withCpu() {
            b.cpuTime();
            worker.cpu(-1);
            return this;
        }
    }

    private static String rejection(SnapshotBuilder b) {
        return SnapshotBuilder.rejection(b.build());
    }

    private static String rejection(byte[] file) {
        return SnapshotBuilder.rejection(file);
    }

    @Test
    void readsBackEveryPartOfAHandMadeSnapshot() throws Exception {
        Sample s = new Sample();
        Snapshot snap = SnapshotReader.read(s.b.build());

        assertEquals("Test VM", snap.header().vmName());
        assertEquals("17.0.9", snap.header().javaVersion());
        assertEquals(5_000_000, snap.header().recordStartMicros());
        assertEquals(6_200_000, snap.header().writeTimeMicros());
        assertEquals(8, snap.header().idWidth());
        assertEquals(32 + 7 + 6, snap.header().length());

        assertEquals(List.of("com.tolvane.agent.Unknown", "_druvax_annotation_class", "com.acme.Shop"),
                snap.classes().stream().map(c -> c.name()).toList());
        assertTrue(snap.classes().get(1).isInterception());
        assertEquals(4, snap.methods().size());
        MethodRecord unknown = snap.methods().get(0);
        assertEquals("unknown", unknown.name());
        assertSame(snap.classes().get(0), unknown.owner());
        MethodRecord price = snap.findMethod(s.price);
        assertEquals("com.acme.Shop.price", price.qualifiedName());
        assertEquals("(I)J", price.signature());
        assertSame(snap.findClass(s.shopClass), price.owner());
        assertNull(snap.findMethod(12345));
        assertEquals(List.of("java.", "-java.util."), snap.filters());
        assertTrue(snap.filterInverted());

        assertEquals(2, snap.threads().size());
        ThreadRecord main = snap.findThread("main");
        assertEquals(s.main.id, main.id());
        assertEquals("main", main.group());
        assertTrue(main.isAlive());
        assertFalse(main.ignored());
        assertEquals(List.of(new StatusPoint(63, 5_000_000), new StatusPoint(66, 5_010_000)), main.timeline());
        ThreadRecord worker = snap.findThread("_tolvane recorder");
        assertTrue(worker.ignored());
        assertEquals(5_100_000, worker.startMicros());
        assertEquals(5_900_000, worker.endMicros());
        assertEquals(0, worker.root().children().size());

        CallNode root = main.root();
        assertTrue(root.isRoot());
        assertEquals(900, root.value());
        CallNode tx = root.children().get(0);
        assertEquals("checkout", tx.method().qualifiedName());
        CallNode run = tx.child("run");
        assertSame(tx, run.parent());
        assertTrue(run.hasMonitorTimes());
        assertEquals(10, run.blockingMicros());
        assertEquals(20, run.waitingMicros());
        assertEquals(30, run.netIOMicros());
        assertEquals(100, run.selfRunningMicros());
        // Children keep file order; the same method called from two lines gives two nodes.
        assertEquals(List.of(41, 17), run.children().stream().map(CallNode::line).toList());
        assertFalse(run.children().get(0).hasMonitorTimes());
        assertEquals(7, run.children().get(1).netIOMicros());
        assertEquals(List.of(tx, run, run.children().get(1)), run.children().get(1).path());
        assertEquals(3, run.children().get(1).depth());
        assertEquals(5, root.size());
    }

    @Test
    void cpuTimeIsReadIntoThreadsAndNodesAndAbsentWithoutTheSection() throws Exception {
        Snapshot with = SnapshotReader.read(new Sample().withCpu().b.build());
        assertTrue(with.hasCpuTime());
        assertTrue(with.sections().get(Section.CPU_TIME).length() > 0);
        ThreadRecord main = with.findThread("main");
        assertEquals(700, main.cpuMicros());
        assertEquals(-1, with.findThread("_tolvane recorder").cpuMicros());
        CallNode run = main.root().children().get(0).child("run");
        assertEquals(650, run.cpuMicros());
        assertEquals(20, run.selfCpuMicros());
        assertEquals(List.of(250L, 380L), run.children().stream().map(CallNode::cpuMicros).toList());
        assertEquals(380, run.children().get(1).selfCpuMicros());
        assertEquals(700, main.root().cpuMicros());

        // The same recording without the section reads exactly as before: no CPU anywhere.
        Sample plain = new Sample();
        byte[] file = plain.b.build();
        Snapshot without = SnapshotReader.read(file);
        assertFalse(without.hasCpuTime());
        assertEquals(0, without.sections().get(Section.CPU_TIME).length());
        for (ThreadRecord t : without.threads()) {
            assertEquals(-1, t.cpuMicros());
            t.root().walk(n -> assertEquals(0, n.cpuMicros() + n.selfCpuMicros(), n::toString));
        }
        // Adding the section changes no byte of the header, the class and thread sections or their
        // directory entries.
        byte[] withFile = new Sample().withCpu().b.build();
        int end = SnapshotBuilder.sectionPosition(file, 2);
        int entries = SnapshotBuilder.directoryOffset(file) + 2 * 20;
        int bodies = SnapshotBuilder.directoryOffset(file) + 7 * 20;
        assertTrue(Arrays.equals(file, 0, entries, withFile, 0, entries));
        assertTrue(Arrays.equals(file, bodies, end, withFile, bodies, end));
    }

    @Test
    void cpuTimeThatDoesNotFitItsThreadsIsRejectedWithItsOffset() {
        byte[] good = new Sample().withCpu().b.build();
        int body = SnapshotBuilder.sectionPosition(good, 2) + 4;
        // Body: thread count, then main (ID, total, node count, five values), then the recorder.
        int mainId = body + 4;
        int mainTotal = mainId + 8;
        int mainNodes = mainTotal + 8;
        int firstValue = mainNodes + 4;

        String count = rejection(new Sample().b.cpuTime(b -> put(b, 0, 4, 1)));
        assertTrue(count.contains("section 2 (CPU time): holds 1 threads, but the thread section holds 2")
                && count.endsWith("(at offset " + body + ")"), count);

        String order = rejection(new Sample().b.cpuTime(b -> put(b, 4, 8, Long.reverseBytes(0x99))));
        assertTrue(order.contains("entry names thread ID 0x99 where the thread section has thread \"main\"")
                && order.endsWith("(at offset " + mainId + ")"), order);

        String nodes = rejection(new Sample().b.cpuTime(b -> put(b, 20, 4, 4)));
        assertTrue(nodes.contains("4 node CPU times for thread \"main\", whose call tree has 5 nodes")
                && nodes.endsWith("(at offset " + mainNodes + ")"), nodes);

        Sample negative = new Sample();
        negative.main.cpu(-2);
        String total = rejection(negative.b.cpuTime());
        assertTrue(total.contains("CPU time of thread \"main\" is -2 us; only -1 (not known) may be negative")
                && total.endsWith("(at offset " + mainTotal + ")"), total);

        String node = rejection(new Sample().b.cpuTime(b -> put(b, 24, 8, -5)));
        assertTrue(node.contains("CPU time of com.acme.Shop.price (node 0 in file order) in thread \"main\" is"
                + " negative: -5 us") && node.endsWith("(at offset " + firstValue + ")"), node);

        // run (650) is stored fourth, after its two callees (250 + 380) and before the label and the root.
        Sample small = new Sample();
        small.b.cpuTime(b -> put(b, 24 + 2 * 8, 8, 600));
        String children = rejection(small.b);
        assertTrue(children.contains("CPU time of com.acme.Shop.run (node 2 in file order) in thread \"main\","
                + " 600 us, is less than the 630 us of its callees")
                && children.endsWith("(at offset " + (firstValue + 16) + ")"), children);

        Sample unknown = new Sample();
        unknown.main.cpu(-1);
        String marked = rejection(unknown.b.cpuTime());
        assertTrue(marked.contains("is 250 us, but the thread's CPU time is marked as not known"), marked);

        Sample mismatch = new Sample();
        mismatch.main.cpu(710);
        String root = rejection(mismatch.b.cpuTime());
        assertTrue(root.contains("CPU time of thread \"main\" is 710 us, but its call tree's root has 700 us")
                && root.endsWith("(at offset " + mainTotal + ")"), root);

        String trailing = rejection(new Sample().withCpu().b.cpuTime(b -> Arrays.copyOf(b, b.length + 3)));
        assertTrue(trailing.contains("section 2 (CPU time): 3 unexpected bytes after the CPU time of the last"
                + " thread"), trailing);

        String cut = rejection(new Sample().withCpu().b.cpuTime(b -> Arrays.copyOf(b, b.length - 8)));
        assertTrue(cut.contains("needs at least 8 bytes, but only 0 remain in section 2 (CPU time)"), cut);
    }

    /** Writes {@code value} big-endian into {@code width} bytes of {@code b} at {@code at}. */
    private static byte[] put(byte[] b, int at, int width, long value) {
        for (int i = width - 1; i >= 0; i--) {
            b[at + i] = (byte) value;
            value >>= 8;
        }
        return b;
    }

    @Test
    void sectionDirectoryMatchesTheLayout() throws Exception {
        // Both header strings empty: the header is 32 bytes, the directory follows it.
        SnapshotBuilder b = new SnapshotBuilder().vm("", "");
        byte[] file = b.build();
        Snapshot snap = SnapshotReader.read(file);
        assertEquals("", snap.header().vmName());
        assertEquals(32, snap.header().length());
        List<Section> sections = snap.sections();
        assertEquals(7, sections.size());
        assertEquals(172, sections.get(0).position());
        assertEquals(1, sections.get(1).length(), "no threads: the body is the end byte alone");
        long p = sections.get(1).end();
        for (int i = 2; i < 7; i++) {
            assertEquals(0, sections.get(i).length());
            assertEquals(p + 4L * (i - 2), sections.get(i).position());
        }
        assertEquals(file.length, sections.get(6).end());
        assertTrue(snap.threads().isEmpty());
        assertTrue(snap.filters().isEmpty());
        assertFalse(snap.filterInverted());
    }

    @Test
    void deepTreesAreReadWithoutRecursion() throws Exception {
        SnapshotBuilder b = new SnapshotBuilder();
        long cls = b.addClass("com.acme.Deep");
        long m = b.addMethod(cls, "recurse", "(I)V");
        int depth = 200_000;
        SnapshotBuilder.Node n = b.addThread("deep", "main").root().value(depth + 1);
        for (int i = 0; i < depth; i++) {
            n = n.child(m, 7).value(depth - i);
        }
        Snapshot snap = SnapshotReader.read(b.build());
        CallNode root = snap.findThread("deep").root();
        assertEquals(depth + 1, root.size());
        CallNode leaf = root;
        while (!leaf.children().isEmpty()) {
            assertEquals(1, leaf.selfRunningMicros());
            leaf = leaf.children().get(0);
        }
        assertEquals(depth, leaf.depth());
        assertEquals(1, leaf.value());
        assertEquals(depth, leaf.path().size());
    }

    @Test
    void namesInModifiedUtf8AreDecoded() throws Exception {
        SnapshotBuilder b = new SnapshotBuilder();
        b.addClass("com.acme.Caf\u00e9\u4e2d");
        b.addThread("w\u00fcrker", "grp");
        Snapshot snap = SnapshotReader.read(b.build());
        assertEquals("com.acme.Caf\u00e9\u4e2d", snap.classes().get(2).name());
        assertEquals("w\u00fcrker", snap.threads().get(0).name());
    }

    // --- rejection ---------------------------------------------------------

    @Test
    void everyTruncationIsRejectedAsTruncated() {
        byte[] file = new Sample().b.build();
        int directory = SnapshotBuilder.directoryOffset(file);
        for (int cut = 0; cut < file.length; cut++) {
            String message = rejection(Arrays.copyOf(file, cut));
            if (cut >= 4) {
                assertTrue(message.contains("truncated snapshot"), cut + ": " + message);
            }
        }
        String inThreads = rejection(Arrays.copyOf(file, SnapshotBuilder.sectionPosition(file, 1) + 10));
        assertTrue(inThreads.contains("section 1 (threads)"), inThreads);
        assertTrue(inThreads.contains("file ends at offset " + (SnapshotBuilder.sectionPosition(file, 1) + 10)),
                inThreads);
        String inHeader = rejection(Arrays.copyOf(file, 12));
        assertTrue(inHeader.contains("while reading VM name"), inHeader);
        assertTrue(rejection(Arrays.copyOf(file, directory + 30)).contains("section directory"));
    }

    @Test
    void aFlippedByteInsideASectionIsACrcMismatch() {
        byte[] file = new Sample().b.build();
        for (int section = 0; section < 2; section++) {
            int body = SnapshotBuilder.sectionPosition(file, section) + 4;
            int end = SnapshotBuilder.sectionPosition(file, section + 1);
            for (int at = body; at < end; at++) {
                byte[] bad = file.clone();
                bad[at] ^= 0x10;
                String message = rejection(bad);
                assertTrue(message.contains("section " + section) && message.contains("CRC-32 mismatch"),
                        at + ": " + message);
                assertTrue(message.contains("(at offset " + body + ")"), message);
            }
        }
    }

    @Test
    void incompleteForeignAndMisversionedFilesEachGetTheirOwnMessage() {
        byte[] file = new Sample().b.build();
        int directory = SnapshotBuilder.directoryOffset(file);

        byte[] zeroDirectory = file.clone();
        Arrays.fill(zeroDirectory, directory, directory + 140, (byte) 0);
        String incomplete = rejection(zeroDirectory);
        assertTrue(incomplete.contains("incomplete snapshot") && incomplete.contains("all zeros"), incomplete);
        assertTrue(incomplete.endsWith("(at offset " + directory + ")"), incomplete);

        String foreign = rejection("#!/bin/sh\necho hello\n".getBytes(StandardCharsets.US_ASCII));
        assertTrue(foreign.contains("not a snapshot file"), foreign);
        assertTrue(rejection(new byte[0]).contains("not a snapshot file"));
        assertTrue(rejection(new byte[] {(byte) 0xCA, (byte) 0xFE}).contains("not a snapshot file"));

        byte[] version = file.clone();
        version[7] = 0x12;
        assertTrue(rejection(version).contains("unsupported snapshot format version 10002"));

        byte[] width = file.clone();
        width[directory - 1] = 4;
        assertTrue(rejection(width).contains("unsupported ID width 4"));

        byte[] trailing = Arrays.copyOf(file, file.length + 3);
        String extra = rejection(trailing);
        assertTrue(extra.contains("trailing data: 3 bytes"), extra);

        byte[] marker = file.clone();
        marker[SnapshotBuilder.sectionPosition(file, 4) + 2] = 0;
        String noMarker = rejection(marker);
        assertTrue(noMarker.contains("section 4 (locks): section marker missing"), noMarker);

        byte[] moved = file.clone();
        ByteBuffer.wrap(moved).putLong(directory + 20 + 8, SnapshotBuilder.sectionPosition(file, 1) + 1);
        assertTrue(rejection(moved).contains("section 1 (threads): directory gives position"));

        byte[] longer = file.clone();
        ByteBuffer.wrap(longer).putLong(directory + 20, 1L << 40);
        assertTrue(rejection(longer).contains("truncated snapshot: section 1 (threads)"));
    }

    @Test
    void recordsThatPassTheCrcButMakeNoSenseAreRejected() {
        SnapshotBuilder b = new SnapshotBuilder();
        long m = b.addMethod(b.unknownClass, "m", "()V");
        b.addThread("t", "g").root().child(m, 3).child(0x1234_5678L, 4);
        String unknownMethod = rejection(b.build());
        assertTrue(unknownMethod.contains("thread \"t\" refers to method ID 0x12345678, which has no method record"),
                unknownMethod);

        SnapshotBuilder c = new SnapshotBuilder();
        c.addMethod(0xdeadL, "orphan", "()V");
        assertTrue(rejection(c.build()).contains("method orphan refers to class ID 0xdead"));

        // An unknown tag where the first thread record should start.
        byte[] file = new SnapshotBuilder().build();
        int threads = SnapshotBuilder.sectionPosition(file, 1) + 4;
        file[threads] = 7;
        String tag = rejection(SnapshotBuilder.fixCrcs(file));
        assertTrue(tag.contains("unknown thread record tag 0x07") && tag.contains("(at offset " + threads + ")"),
                tag);
    }

    @Test
    void randomDamageBehindAValidCrcNeverEscapesAsAnotherException() {
        byte[] file = new Sample().withCpu().b.build();
        int start = SnapshotBuilder.sectionPosition(file, 0) + 4;
        int end = SnapshotBuilder.sectionPosition(file, 3);
        Random random = new Random(42);
        for (int round = 0; round < 3000; round++) {
            byte[] bad = file.clone();
            for (int k = 0; k <= round % 3; k++) {
                int at = start + random.nextInt(end - start);
                bad[at] = (byte) random.nextInt(256);
            }
            try {
                SnapshotReader.read(SnapshotBuilder.fixCrcs(bad));
            } catch (SnapshotFormatException expected) {
                assertTrue(expected.offset() >= 0 && expected.offset() <= bad.length, expected.getMessage());
            } catch (RuntimeException e) {
                fail("round " + round + ": " + e, e);
            }
        }
    }

    @Test
    void aFileIsReadOnlyAsFarAsItsSectionsGo(@TempDir Path dir) throws Exception {
        // Larger than the header and directory, which are read first, so that the sections take a second read.
        SnapshotBuilder b = new SnapshotBuilder();
        long run = b.addMethod(b.addClass("com.acme.Worker"), "run", "()V");
        for (int i = 0; i < 3000; i++) {
            b.addThread("worker-" + i + "-" + "x".repeat(60), "main").root().value(i + 1).child(run, 1).value(i + 1);
        }
        byte[] file = b.build();
        assertTrue(file.length > 300_000, "size " + file.length);
        Path path = Files.write(dir.resolve("big.tsnap"), file);
        assertEquals(3000, SnapshotReader.read(path).threads().size());

        // Followed by 64 GiB of zeros (a sparse file): refused by the directory's word, the tail unread.
        long length = 1L << 36;
        try (RandomAccessFile grow = new RandomAccessFile(path.toFile(), "rw")) {
            grow.setLength(length);
        }
        SnapshotFormatException tail = assertThrows(SnapshotFormatException.class, () -> SnapshotReader.read(path));
        assertTrue(tail.getMessage().startsWith("trailing data: " + (length - file.length)
                + " bytes after the last section (at offset " + file.length + ")"), tail.getMessage());

        Files.write(path, Arrays.copyOf(file, file.length - 10_000));
        String cut = assertThrows(SnapshotFormatException.class, () -> SnapshotReader.read(path)).getMessage();
        assertTrue(cut.startsWith("truncated snapshot: section 1 (threads)")
                && cut.contains("the file ends at offset " + (file.length - 10_000)), cut);

        // A pipe has no length to ask for: what follows the sections is counted.
        Path fifo = dir.resolve("fifo.tsnap");
        assertEquals(0, new ProcessBuilder("mkfifo", fifo.toString()).start().waitFor());
        CompletableFuture<Void> writer = CompletableFuture.runAsync(() -> {
            try {
                Files.write(fifo, Arrays.copyOf(file, file.length + 5));
            } catch (IOException e) {
                throw new UncheckedIOException(e);
            }
        });
        String piped = assertThrows(SnapshotFormatException.class, () -> SnapshotReader.read(fifo)).getMessage();
        writer.get(60, TimeUnit.SECONDS);
        assertTrue(piped.startsWith("trailing data: 5 bytes after the last section"), piped);
    }
}
