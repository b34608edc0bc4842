package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.tolvane.snapshot.Snapshot;
import com.tolvane.snapshot.SnapshotReader;
import com.tolvane.snapshot.ThreadRecord;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.jar.Attributes;
import java.util.jar.JarOutputStream;
import java.util.jar.Manifest;

import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * Asynchronous sampling under thread churn, class unloading, redefinition
 * of a class on running stacks, deoptimisation and GC pressure
 * (AsyncStressTarget), from the start and by attach, on JDK 17 and 25, with
 * JNI checks: the JVM survives, says nothing about JNI, and every snapshot
 * reads back.
 */
class AsyncStressTest {
    private static final String JAVA = System.getProperty("tolvane.java", "java");
    private static final Path NEWER_JDK = Path.of("/usr/lib/jvm/temurin-25-jdk-amd64/bin/java");

    @TempDir
    Path dir;

    @Test
    void fromTheStart() throws Exception {
        Path file = dir.resolve("start.tsnap");
        ChildJvm.Result run = ChildJvm.main(AsyncStressTarget.class, "2500")
                .jvmArg("-agentpath:" + ChildJvm.property("tolvane.lib") + "=record=2s,file=" + file)
                .jvmArg("-javaagent:" + redefiningAgent())
                .run();
        run.assertSuccess();
        assertTrue(run.stdout.contains("redefining") && !run.stdout.contains("redefinitions: 0"), run.stdout);
        check(SnapshotReader.read(file));
    }

    /**
     * A jar whose manifest alone makes AsyncStressTarget (on the class path)
     * the JVM's Java agent, with redefinition and retransformation allowed.
     */
    private Path redefiningAgent() throws IOException {
        Path jar = dir.resolve("redefining-agent.jar");
        if (!Files.exists(jar)) {
            Manifest manifest = new Manifest();
            Attributes main = manifest.getMainAttributes();
            main.put(Attributes.Name.MANIFEST_VERSION, "1.0");
            main.putValue("Premain-Class", AsyncStressTarget.class.getName());
            main.putValue("Can-Redefine-Classes", "true");
            main.putValue("Can-Retransform-Classes", "true");
            try (JarOutputStream out = new JarOutputStream(Files.newOutputStream(jar), manifest)) {
                out.flush();
            }
        }
        return jar;
    }

    @Test
    void byAttachOnTheBaselineJdk() throws Exception {
        byAttach(JAVA);
    }

    @Test
    void byAttachOnANewerJdk() throws Exception {
        Assumptions.assumeTrue(Files.isExecutable(NEWER_JDK), "no JDK 25 at " + NEWER_JDK);
        byAttach(NEWER_JDK.toString(), "-XX:+EnableDynamicAgentLoading");
    }

    private void byAttach(String java, String... jvmOptions) throws Exception {
        List<String> command = new ArrayList<>(List.of(java, "-Xcheck:jni", "-javaagent:" + redefiningAgent()));
        command.addAll(List.of(jvmOptions));
        command.addAll(List.of("-cp", ChildJvm.property("tolvane.testJar"), AsyncStressTarget.class.getName()));
        Process target = new ProcessBuilder(command).redirectErrorStream(true).start();
        StringBuilder output = new StringBuilder();
        try {
            ChildJvm.followOutput(target, "AsyncStressTarget ready", output);
            // Two recordings: timers armed, disarmed, and armed again.
            for (String name : new String[] {"first", "second"}) {
                Path file = dir.resolve(name + ".tsnap");
                ToolRun r = ToolRun.of("record", "-d", "1500ms", "-o", file.toString(), String.valueOf(target.pid()));
                assertEquals(0, r.code, r::toString);
                check(SnapshotReader.read(file));
            }
            assertTrue(target.isAlive(), output::toString);
            synchronized (output) {
                assertTrue(output.toString().contains("redefining"), output::toString);
            }
        } finally {
            target.destroyForcibly();
            target.waitFor(10, TimeUnit.SECONDS);
        }
        synchronized (output) {
            assertFalse(output.toString().contains("WARNING"), output::toString);
        }
    }

    private static void check(Snapshot snapshot) {
        assertTrue(snapshot.hasCpuTime(), "no CPU-time section");
        // The redefined method is found on the stacks, whichever of its versions ran.
        ThreadRecord redefined = snapshot.findThread("redefined");
        assertTrue(redefined != null && redefined.cpuMicros() > 0, () -> String.valueOf(redefined));
        boolean[] work = {false};
        redefined.root().walk(n -> work[0] |= n.method() != null && n.method().name().equals("work"));
        assertTrue(work[0], redefined::toString);
        assertTrue(snapshot.findThread("shapes").cpuMicros() > 0, () -> snapshot.findThread("shapes").toString());
        // Its walks fail often (allocation runs in the JVM, where they cannot go); its CPU is booked
        // all the same.
        ThreadRecord garbage = snapshot.findThread("garbage");
        assertTrue(garbage.cpuMicros() >= 10_000, () -> garbage + ": CPU " + garbage.cpuMicros() + ", lost samples: "
                + (snapshot.lostSamples() == null ? "none" : snapshot.lostSamples().describe()));
    }
}
