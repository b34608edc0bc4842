package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.tolvane.snapshot.CallNode;
import com.tolvane.snapshot.ClassRecord;
import com.tolvane.snapshot.MethodRecord;
import com.tolvane.snapshot.Snapshot;
import com.tolvane.snapshot.SnapshotReader;
import com.tolvane.snapshot.ThreadRecord;

import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashSet;
import java.util.List;
import java.util.Set;
import java.util.stream.Collectors;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** The registry's configuration natives on a real JVM under -Xcheck:jni. */
class RegistryNativesTest {

    @TempDir
    Path temp;

    private static String value(ChildJvm.Result result, String key) {
        for (String line : result.stdoutLines()) {
            if (line.startsWith(key + "=")) {
                return line.substring(key.length() + 1);
            }
        }
        throw new AssertionError("no " + key + " line\n" + result.describe());
    }

    private static List<CallNode> nodes(ThreadRecord thread) {
        List<CallNode> all = new ArrayList<>();
        thread.root().walk(all::add);
        return all;
    }

    @Test
    void configurationNativesAcceptAwkwardArgumentsAndShowInTheSnapshot() throws Exception {
        Path file = temp.resolve("registry.snapshot");
        ChildJvm.Result result = ChildJvm.main(RegistryProbe.class, file.toString()).run().assertSuccess();
        assertTrue(result.stdoutLines().contains("done"), result.describe());

        assertEquals("0", value(result, "null-id"));
        String[] ids = value(result, "ids").split(",");
        long a = Long.parseLong(ids[0]);
        long b = Long.parseLong(ids[1]);
        assertNotEquals(0, a);
        assertNotEquals(0, b);
        assertNotEquals(a, b);

        Snapshot snapshot = SnapshotReader.read(file);
        // Null elements are dropped; the exclusion keeps its '-'.
        assertEquals(Arrays.asList("java.", "-java.util.concurrent."), snapshot.filters());
        assertFalse(snapshot.filterInverted());

        List<ClassRecord> classes = snapshot.classes();
        assertEquals("com.tolvane.agent.Unknown", classes.get(0).name());
        assertEquals(0, classes.get(0).kind());
        assertEquals("_druvax_annotation_class", classes.get(1).name());
        assertEquals(ClassRecord.KIND_INTERCEPTION, classes.get(1).kind());
        MethodRecord unknown = snapshot.methods().get(0);
        assertEquals("unknown", unknown.name());
        assertEquals("()V", unknown.signature());
        assertEquals(classes.get(0), unknown.owner());

        // Both interception methods are listed, under their own identifiers.
        Set<Long> labels = snapshot.methods().stream()
                .filter(m -> m.isInterception() && m.name().equals("checkout"))
                .map(MethodRecord::id).collect(Collectors.toSet());
        assertEquals(new HashSet<>(Arrays.asList(a, b)), labels);

        ThreadRecord worker = snapshot.findThread("registry-worker");
        assertNotNull(worker, "worker not recorded");
        List<CallNode> workerNodes = nodes(worker);
        Set<String> names = workerNodes.stream().filter(n -> !n.isRoot())
                .map(n -> n.method().name()).collect(Collectors.toSet());
        assertTrue(names.contains("spinProfiled"), names.toString());
        assertFalse(names.contains("spinIgnored"), "an ignored class got a node: " + names);
        CallNode netio = workerNodes.stream()
                .filter(n -> !n.isRoot() && n.method().name().equals("spinNetio")).findFirst().orElse(null);
        assertNotNull(netio, names.toString());
        long netioMicros = 0;
        for (CallNode n : workerNodes) {
            if (!n.isRoot() && n.path().contains(netio)) {
                netioMicros += n.netIOMicros();
            }
        }
        assertTrue(netioMicros > 0, "no net I/O time below spinNetio");

        // The agent's own classes are hidden while agent classes are not sampled.
        for (ThreadRecord thread : snapshot.threads()) {
            for (CallNode n : nodes(thread)) {
                if (!n.isRoot()) {
                    assertFalse(n.method().className().startsWith("com.tolvane.agent.callee."),
                            thread.name() + ": " + n.method());
                }
            }
        }
    }
}
