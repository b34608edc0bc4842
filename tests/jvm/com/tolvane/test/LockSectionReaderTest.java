package com.tolvane.test;

import static com.tolvane.test.SnapshotBuilder.rejection;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import com.tolvane.report.PprofFormat;
import com.tolvane.report.ReportContext;
import com.tolvane.report.ReportFormat;
import com.tolvane.report.ReportOptions;
import com.tolvane.report.pprof.ProfileProto;
import com.tolvane.snapshot.CallNode;
import com.tolvane.snapshot.FormatConstants;
import com.tolvane.snapshot.LockTime;
import com.tolvane.snapshot.Snapshot;
import com.tolvane.snapshot.SnapshotFormatException;
import com.tolvane.snapshot.SnapshotReader;

import java.io.ByteArrayInputStream;
import java.io.ByteArrayOutputStream;
import java.io.DataOutputStream;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.zip.GZIPInputStream;

import org.junit.jupiter.api.Test;

/** The lock section read back from hand-made files, and refused when its bytes make no sense. */
class LockSectionReaderTest {
    private static final int NO_NAME = FormatConstants.LOCK_NO_NAME;

    /** Two threads: "waiter" blocked in run() and parked in take() under it, "holder" holding. */
    private static final class Sample {
        final SnapshotBuilder b = new SnapshotBuilder();
        final SnapshotBuilder.ThreadSpec waiter = b.addThread("waiter", "main");
        final SnapshotBuilder.ThreadSpec holder = b.addThread("holder", "main");

        Sample() {
            long cls = b.addClass("com.acme.Shop");
            long run = b.addMethod(cls, "run", "()V");
            long take = b.addMethod(cls, "take", "()V");
            SnapshotBuilder.Node runNode = waiter.root().child(run, 0).monitorTimes(900, 0, 0);
            runNode.child(take, 12).monitorTimes(0, 400, 0);
            holder.root().child(run, 0).value(5000);
        }
    }

    /** One entry; node numbers in file order: take 0, run 1, root 2. */
    private static void entry(DataOutputStream out, long thread, int node, int kind, int cls, long owner,
                              int ownerName, long micros) throws IOException {
        out.writeLong(Long.reverseBytes(thread));
        out.writeInt(node);
        out.writeByte(kind);
        out.writeInt(cls);
        out.writeLong(Long.reverseBytes(owner));
        out.writeInt(ownerName);
        out.writeLong(micros);
    }

    private static byte[] body(Sample s, long dropped, EntryWriter entries, int count) throws IOException {
        ByteArrayOutputStream bytes = new ByteArrayOutputStream();
        DataOutputStream out = new DataOutputStream(bytes);
        out.writeLong(dropped);
        out.writeInt(3);
        for (String name : List.of("com.acme.Ledger", "java.util.concurrent.locks.ReentrantLock$NonfairSync",
                "pool-1")) {
            byte[] b = name.getBytes(StandardCharsets.UTF_8);
            out.writeShort(b.length);
            out.write(b);
        }
        out.writeInt(count);
        entries.write(out);
        return bytes.toByteArray();
    }

    private interface EntryWriter {
        void write(DataOutputStream out) throws IOException;
    }

    private static byte[] good(Sample s) throws IOException {
        return body(s, 70, out -> {
            entry(out, s.waiter.id, 1, FormatConstants.LOCK_KIND_MONITOR, 0, s.holder.id, NO_NAME, 900);
            entry(out, s.waiter.id, 0, FormatConstants.LOCK_KIND_PARK, 1, 0, 2, 300);
        }, 2);
    }

    @Test
    void entriesAreReadOntoTheirNodesAndShownByTheLocksView() throws Exception {
        Sample s = new Sample();
        Snapshot snap = SnapshotReader.read(s.b.locks(good(s)).build());
        assertEquals(70, snap.locks().droppedMicros());
        assertEquals(2, snap.locks().times().size());
        CallNode run = snap.findThread("waiter").root().child("run");
        LockTime blocked = run.locks().get(0);
        assertTrue(blocked.isMonitor());
        assertEquals("com.acme.Ledger", blocked.lockClass());
        assertSame(snap.findThread("holder"), blocked.owner());
        assertEquals("blocked on com.acme.Ledger held by holder", blocked.describe());
        LockTime parked = run.child("take").locks().get(0);
        assertNull(parked.owner());
        assertEquals("pool-1", parked.holder());
        assertEquals(300, parked.micros());

        String view = text(snap, ReportFormat.LOCKS);
        assertTrue(view.contains("blocked on monitor com.acme.Ledger"), view);
        assertTrue(view.contains("parked on java.util.concurrent.locks.ReentrantLock$NonfairSync"), view);
        assertTrue(view.contains("\"pool-1\"") && view.contains("\"holder\"") && view.contains("\"waiter\""), view);
        assertTrue(view.contains("0.070 ms of blocked or parked time is not shown"), view);

        // The call tree and hot spots of blocked time say it beside the method.
        String tree = text(snap, ReportFormat.TREE, com.tolvane.report.Metric.BLOCKED);
        assertTrue(tree.contains("com.acme.Shop.run  [blocked on com.acme.Ledger held by holder]"), tree);
        String hot = text(snap, ReportFormat.HOTSPOTS, com.tolvane.report.Metric.WAITING);
        assertTrue(hot.contains("com.acme.Shop.take  [parked on java.util.concurrent.locks.ReentrantLock$NonfairSync"
                + " held by pool-1]"), hot);

        // pprof: the lock's part of the node's time is a sample of its own, with labels; the
        // totals stay those of the tree (blocked 900, waiting 400).
        ByteArrayOutputStream gz = new ByteArrayOutputStream();
        PprofFormat.write(new ReportContext(snap, "t", ReportOptions.defaults(com.tolvane.report.Metric.RUNNING)),
                0, gz);
        ProfileProto.Profile profile = ProfileProto.Profile.parseFrom(
                new GZIPInputStream(new ByteArrayInputStream(gz.toByteArray())));
        long[] totals = new long[2];
        Map<String, Long> byLock = new HashMap<>();
        for (ProfileProto.Sample sample : profile.getSampleList()) {
            totals[0] += sample.getValue(2);
            totals[1] += sample.getValue(1);
            Map<String, String> labels = new HashMap<>();
            for (ProfileProto.Label l : sample.getLabelList()) {
                labels.put(profile.getStringTable((int) l.getKey()), profile.getStringTable((int) l.getStr()));
            }
            if (labels.containsKey("lock")) {
                byLock.merge(labels.get("lock_kind") + " " + labels.get("lock") + " " + labels.get("lock_holder"),
                        sample.getValue(2) + sample.getValue(1), Long::sum);
            }
        }
        assertEquals(900, totals[0]);
        assertEquals(400, totals[1]);
        assertEquals(Map.of("monitor com.acme.Ledger holder", 900L,
                "park java.util.concurrent.locks.ReentrantLock$NonfairSync pool-1", 300L), byLock);

        // The page: its locks section, and the nodes' locks in its data for the call tree.
        String page = text(snap, ReportFormat.HTML);
        assertTrue(page.contains("<section id=\"locks-section\">"), page);
        assertTrue(page.contains("<td>blocked on monitor com.acme.Ledger</td><td>0.900</td><td>waiter 0.900</td>"
                + "<td>holder 0.900</td>"), page);
        assertTrue(page.contains("\"nodeLocks\":[["), page);
        assertTrue(page.contains(",{\"kind\":\"park\",\"class\":"
                + "\"java.util.concurrent.locks.ReentrantLock$NonfairSync\",\"holder\":\"pool-1\",\"micros\":300}]"),
                page);

        // Without the section: no locks, and the view says why.
        Snapshot plain = SnapshotReader.read(new Sample().b.build());
        assertNull(plain.locks());
        assertTrue(text(plain, ReportFormat.LOCKS).contains("did not record locks"));
        String plainPage = text(plain, ReportFormat.HTML);
        assertTrue(!plainPage.contains("locks-section") && !plainPage.contains("\"locks\"")
                && !plainPage.contains("\"nodeLocks\":"), plainPage);
    }

    @Test
    void entriesThatDoNotFitTheirThreadsAreRefusedWithTheirOffset() throws Exception {
        Sample s = new Sample();
        long w = s.waiter.id;
        long h = s.holder.id;
        int monitor = FormatConstants.LOCK_KIND_MONITOR;
        String[][] cases = {
            {"names thread 0x", "unknown thread"},
            {"names node 3 of thread \"waiter\", whose call tree has 3 nodes", "node"},
            {"unknown lock kind 7", "kind"},
            {"lock class 9 is past the 3 names", "class"},
            {"names holder 0x", "holder"},
            {"names its holder both by thread ID and by name", "both"},
            {"entry time is negative", "time"},
            {"comes after those of a later thread record", "order"},
        };
        EntryWriter[] writers = {
            out -> entry(out, 0x4242, 0, monitor, 0, 0, NO_NAME, 1),
            out -> entry(out, w, 3, monitor, 0, 0, NO_NAME, 1),
            out -> entry(out, w, 0, 7, 0, 0, NO_NAME, 1),
            out -> entry(out, w, 0, monitor, 9, 0, NO_NAME, 1),
            out -> entry(out, w, 0, monitor, 0, 0x4242, NO_NAME, 1),
            out -> entry(out, w, 0, monitor, 0, h, 2, 1),
            out -> entry(out, w, 0, monitor, 0, 0, NO_NAME, -5),
            out -> {
                entry(out, h, 0, monitor, 0, 0, NO_NAME, 1);
                entry(out, w, 0, monitor, 0, 0, NO_NAME, 1);
            },
        };
        for (int i = 0; i < cases.length; i++) {
            int count = i == cases.length - 1 ? 2 : 1;
            String message = rejection(new Sample().b.locks(body(s, 0, writers[i], count)).build());
            // The sample's ids are the same in every Sample.
            assertTrue(message.startsWith("section 4 (locks): "), cases[i][1] + ": " + message);
            assertTrue(message.contains(cases[i][0]), cases[i][1] + ": " + message);
            assertTrue(message.matches(".*\\(at offset \\d+\\)$"), message);
        }

        byte[] full = good(s);
        byte[] cut = java.util.Arrays.copyOf(full, full.length - 3);
        assertTrue(rejection(new Sample().b.locks(cut).build()).contains("lock entry count 2 needs at least 74 bytes"));
        byte[] longer = java.util.Arrays.copyOf(full, full.length + 2);
        assertTrue(rejection(new Sample().b.locks(longer).build()).contains("2 unexpected bytes after the last lock"));
    }

    private static String text(Snapshot snap, ReportFormat format) throws IOException {
        return text(snap, format, com.tolvane.report.Metric.RUNNING);
    }

    private static String text(Snapshot snap, ReportFormat format, com.tolvane.report.Metric metric)
            throws IOException {
        StringBuilder out = new StringBuilder();
        format.write(new ReportContext(snap, "test.tsnap", ReportOptions.defaults(metric)), out);
        return out.toString();
    }

}
