package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.tolvane.snapshot.CallNode;
import com.tolvane.snapshot.Snapshot;
import com.tolvane.snapshot.SnapshotReader;
import com.tolvane.snapshot.ThreadRecord;

import java.nio.file.Path;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** Transaction labels set through JvmtiCallee reach the recorded call trees. */
class TransactionLabelTest {

    @TempDir
    Path temp;

    @Test
    void aLabelSurvivesFromOneRecordingToTheNext() throws Exception {
        // The library forgets every association after a recording; the second
        // recording only sees the label if setThreadReporting re-associates it.
        Path first = temp.resolve("first.snapshot");
        Path second = temp.resolve("second.snapshot");
        ChildJvm.main(TransactionLabelProbe.class, first.toString(), second.toString()).run().assertSuccess();
        for (Path file : new Path[] {first, second}) {
            Snapshot snapshot = SnapshotReader.read(file);
            ThreadRecord worker = snapshot.findThread("labelled-worker");
            assertNotNull(worker, file + ": worker thread not recorded");
            CallNode label = worker.root().child("checkout");
            assertNotNull(label, file + ": no checkout node under the root: " + worker.root().children());
            assertTrue(label.method().isInterception(), file.toString());
            assertTrue(label.value() > 0, file + ": no time under the label");
        }
    }

    @Test
    void labelsCreatedOnceTheLibraryIsThereCountFromTheFirstRecording() throws Exception {
        // The application asked before the attach and was told no; the
        // library's first recording must not be taken for its absence.
        Path file = temp.resolve("lazy.snapshot");
        ChildJvm.main(LazyLabelProbe.class, file.toString()).run().assertSuccess().assertNoJniWarnings();
        ThreadRecord worker = SnapshotReader.read(file).findThread("labelled-worker");
        assertNotNull(worker);
        CallNode label = worker.root().child("checkout");
        assertNotNull(label, "no checkout node: " + worker.root().children());
        long all = worker.root().value();
        assertTrue(label.value() >= all * 95 / 100, "labelled " + label.value() + " of " + all + " us");
    }
}
