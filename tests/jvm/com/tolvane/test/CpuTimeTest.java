package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.tolvane.snapshot.CallNode;
import com.tolvane.snapshot.Snapshot;
import com.tolvane.snapshot.SnapshotReader;
import com.tolvane.snapshot.ThreadRecord;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;

import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * CPU time beside the thread states, and net I/O declarations that reach a
 * JVM recorded before, on a real JVM recorded by the tool.
 */
class CpuTimeTest {
    private static final String JAVA = System.getProperty("tolvane.java", "java");
    /** A JDK newer than the baseline, where this machine has one. */
    private static final Path NEWER_JDK = Path.of("/usr/lib/jvm/temurin-25-jdk-amd64/bin/java");
    private static final long RECORD_MICROS = 2_000_000;
    /** Most CPU time an idle thread may show in a recording (class loading, a wake-up or two). */
    private static final long IDLE_CPU_MICROS = 50_000;

    @TempDir
    Path dir;

    private final StringBuilder targetOutput = new StringBuilder();
    private long targetPid;

    @Test
    void cpuTimeStandsBesideRunningAndDeclarationsReachMethodsAlreadyMet() throws Exception {
        recordTarget(JAVA);
    }

    @Test
    void theSameOnANewerJdk() throws Exception {
        Assumptions.assumeTrue(Files.isExecutable(NEWER_JDK), "no JDK 25 at " + NEWER_JDK);
        recordTarget(NEWER_JDK.toString(), "-XX:+EnableDynamicAgentLoading");
    }

    private void recordTarget(String java, String... jvmOptions) throws Exception {
        List<String> command = new ArrayList<>(List.of(java, "-Xcheck:jni"));
        command.addAll(List.of(jvmOptions));
        command.addAll(List.of("-cp", System.getProperty("tolvane.testJar"), CpuTimeTarget.class.getName()));
        Process target = new ProcessBuilder(command).redirectErrorStream(true).start();
        try {
            drain(target);

            // Without the default declarations the selector's native wait is
            // "running", with no CPU behind it; the wait's class is now known.
            Snapshot plain = record("plain", "--no-default-netio");
            assertTrue(plain.hasCpuTime());
            ThreadRecord idleSelector = plain.findThread("selector");
            assertTrue(idleSelector.root().value() > RECORD_MICROS / 2, idleSelector::toString);
            assertTrue(idleSelector.cpuMicros() < IDLE_CPU_MICROS, idleSelector::toString);

            // With the defaults, declared after the classes were met: net I/O.
            // The kernel's account of the spinner over the same command:
            // time on a CPU and time runnable but waiting for one.
            long[] schedBefore = schedstat(target.pid(), "spinner");
            Snapshot snapshot = record("defaults");
            long[] schedAfter = schedstat(target.pid(), "spinner");
            for (String name : new String[] {"selector", "reader"}) {
                ThreadRecord t = snapshot.findThread(name);
                long[] states = states(t.root());
                assertTrue(states[3] > RECORD_MICROS * 8 / 10, () -> name + " net I/O " + states[3] + ": " + t);
                assertTrue(states[0] < RECORD_MICROS / 10, () -> name + " running " + states[0] + ": " + t);
                assertTrue(t.cpuMicros() >= 0 && t.cpuMicros() < IDLE_CPU_MICROS, () -> name + " CPU " + t.cpuMicros());
            }
            ThreadRecord sleeper = snapshot.findThread("sleeper");
            assertTrue(states(sleeper.root())[1] > RECORD_MICROS * 8 / 10, sleeper::toString);
            assertTrue(sleeper.cpuMicros() >= 0 && sleeper.cpuMicros() < IDLE_CPU_MICROS, sleeper::toString);

            // The spinner is always runnable: its running time is the
            // recording, and its CPU time the part of that it had a CPU. It
            // cannot use more CPU than it was runnable (one tick of slack);
            // how much less is what the kernel says it waited for a CPU over
            // the same command (a loaded machine keeps it waiting often):
            // the shares agree within 0.15.
            ThreadRecord spinner = snapshot.findThread("spinner");
            long running = spinner.root().value();
            long cpu = spinner.cpuMicros();
            assertTrue(running > RECORD_MICROS * 8 / 10, spinner::toString);
            assertTrue(cpu <= running + 10_000, () -> "CPU " + cpu + " running " + running);
            if (schedBefore != null && schedAfter != null) {
                long onCpu = schedAfter[0] - schedBefore[0];
                long waited = schedAfter[1] - schedBefore[1];
                double kernelShare = (double) onCpu / (onCpu + waited);
                double share = (double) cpu / running;
                assertTrue(Math.abs(share - kernelShare) <= 0.15,
                        () -> "CPU share " + share + " (CPU " + cpu + " running " + running + "), kernel " + kernelShare);
            } else {
                assertTrue(cpu > running / 10, () -> "CPU " + cpu + " running " + running);
            }
            assertEquals(cpu, spinner.root().cpuMicros());
            // Booked where the stack ends: nearly all of it in spin().
            long[] inSpin = {0};
            spinner.root().walk(n -> {
                if (!n.isRoot() && n.method().name().equals("spin")) {
                    inSpin[0] += n.cpuMicros();
                }
            });
            assertTrue(inSpin[0] >= cpu * 9 / 10, () -> "spin() CPU " + inSpin[0] + " of " + cpu);

            // Leaving the defaults out again cannot withdraw them: record says so.
            ToolRun again = ToolRun.of("record", "-d", "300ms", "--no-default-netio", "-o",
                    dir.resolve("again.tsnap").toString(), String.valueOf(target.pid()));
            assertEquals(0, again.code, again::toString);
            assertTrue(again.err.contains("net I/O declarations of earlier recordings stay in force"), again::toString);
            assertTrue(again.err.contains("sun.nio.ch.EPoll#wait"), again::toString);
            // Declaring a class again replaces what it had: its other methods are not in force.
            ToolRun narrower = ToolRun.of("record", "-d", "300ms", "--no-default-netio", "--netio",
                    "sun.nio.ch.NioSocketImpl#read", "-o", dir.resolve("narrower.tsnap").toString(),
                    String.valueOf(target.pid()));
            assertEquals(0, narrower.code, narrower::toString);
            assertTrue(narrower.err.contains("sun.nio.ch.EPoll#wait"), narrower::toString);
            assertFalse(narrower.err.contains("sun.nio.ch.NioSocketImpl"), narrower::toString);
            ToolRun same = ToolRun.of("record", "-d", "300ms", "-o", dir.resolve("same.tsnap").toString(),
                    String.valueOf(target.pid()));
            assertFalse(same.err.contains("stay in force"), same::toString);
        } finally {
            target.destroyForcibly();
            target.waitFor(10, TimeUnit.SECONDS);
        }
        synchronized (targetOutput) {
            assertFalse(targetOutput.toString().contains("WARNING in native method"), targetOutput::toString);
        }
    }

    private Snapshot record(String name, String... options) throws Exception {
        Path file = dir.resolve(name + ".tsnap");
        String[] args = new String[options.length + 6];
        args[0] = "record";
        args[1] = "-d";
        args[2] = (RECORD_MICROS / 1000) + "ms";
        System.arraycopy(options, 0, args, 3, options.length);
        args[options.length + 3] = "-o";
        args[options.length + 4] = file.toString();
        args[options.length + 5] = String.valueOf(targetPid);
        ToolRun r = ToolRun.of(args);
        assertEquals(0, r.code, r::toString);
        return SnapshotReader.read(file);
    }

    private void drain(Process target) throws IOException {
        targetPid = target.pid();
        ChildJvm.followOutput(target, "CpuTimeTarget ready", targetOutput);
    }

    /**
     * The kernel's nanoseconds on a CPU and waiting on a run queue of the
     * target's thread with this name (HotSpot gives Java threads their names
     * as task names), or null where /proc does not tell.
     */
    private static long[] schedstat(long pid, String name) {
        try (Stream<Path> tasks = Files.list(Path.of("/proc", String.valueOf(pid), "task"))) {
            for (Path task : (Iterable<Path>) tasks::iterator) {
                if (Files.readString(task.resolve("comm")).trim().equals(name)) {
                    String[] f = Files.readString(task.resolve("schedstat")).trim().split("\\s+");
                    return new long[] {Long.parseLong(f[0]), Long.parseLong(f[1])};
                }
            }
        } catch (IOException | RuntimeException e) {
            return null;
        }
        return null;
    }

    /** Running (inclusive at the root), waiting, blocked and net I/O time of a whole tree. */
    private static long[] states(CallNode root) {
        long[] t = {root.value(), 0, 0, 0};
        root.walk(n -> {
            t[1] += n.waitingMicros();
            t[2] += n.blockingMicros();
            t[3] += n.netIOMicros();
        });
        return t;
    }
}
