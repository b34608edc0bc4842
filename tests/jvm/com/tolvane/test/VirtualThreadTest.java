package com.tolvane.test;

import static com.tolvane.test.TreeSums.totalCpu;
import static com.tolvane.test.TreeSums.totalWaiting;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.tolvane.snapshot.CallNode;
import com.tolvane.snapshot.Snapshot;
import com.tolvane.snapshot.SnapshotReader;
import com.tolvane.snapshot.ThreadRecord;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * Virtual threads on a real JDK 25, recorded by attach: what they run, where
 * they wait, their labels, and a pinned one blocked on its carrier, all in
 * the one "Virtual threads" record; and no such record where no virtual
 * thread ran.
 */
class VirtualThreadTest {
    private static final String JAVA = System.getProperty("tolvane.java", "java");
    private static final Path NEWER_JDK = Path.of("/usr/lib/jvm/temurin-25-jdk-amd64/bin/java");
    private static final long RECORD_MICROS = 2_500_000;
    private static final Pattern PROGRESS = Pattern.compile("progress (\\d+) (\\d+)");
    private static final Pattern STARTED = Pattern.compile("Virtual threads \\(about (\\d+) started\\)");

    @TempDir
    Path dir;

    private final StringBuilder targetOutput = new StringBuilder();

    /**
     * Requests in virtual threads: their CPU is theirs, not their carriers',
     * with the hashing among the hottest methods; their sleeps are waiting
     * time on the sleep; the carriers are not booked waiting while they run
     * them; the unblocker is a service thread.
     */
    @Test
    void requestsAreBookedAsTheVirtualThreadsThatRunThem() throws Exception {
        Process target = start("");
        try {
            long[] before = progress();
            Snapshot s = record(target.pid(), "requests");
            long[] after = progress();
            ThreadRecord virtual = virtualThreads(s);
            long started = started(virtual);
            assertTrue(started > 0, virtual::toString);

            // The carriers' CPU, theirs and that of what they ran.
            long carriers = 0;
            long carriersWaiting = 0;
            for (ThreadRecord t : s.threads()) {
                if (t.name().startsWith("ForkJoinPool-1-worker")) {
                    carriers += Math.max(0, t.cpuMicros());
                    long[] waiting = {0};
                    t.root().walk(n -> waiting[0] += n.waitingMicros() + n.blockingMicros());
                    carriersWaiting += waiting[0];
                }
            }
            long all = carriers + virtual.cpuMicros();
            long inHandle = totalCpu(virtual.root(), "handle");
            assertTrue(inHandle >= all / 2, () -> "handle " + inHandle + " of " + all + "\n" + virtual);

            // A carrier that runs a virtual thread is running it, not waiting:
            // a carrier's tick goes to one of the two, never to both.
            long carriersRunningVirtual = virtual.root().value();
            long carrierCount = s.threads().stream().filter(t -> t.name().startsWith("ForkJoinPool-1-worker")).count();
            long bound = carrierCount * RECORD_MICROS * 13 / 10;
            long booked = carriersWaiting + carriersRunningVirtual;
            assertTrue(booked <= bound, () -> "carriers waiting " + booked + " > " + bound);

            // The hashing is among the three methods with the most own CPU.
            List<String> top = topSelfCpu(s, 3);
            assertTrue(top.stream().anyMatch(m -> m.contains("MessageDigest") || m.contains("sun.security")
                    || m.contains(".hash")), top::toString);

            // The sleeps: at least most of the 20 ms each request sleeps at
            // the least, and no more than the sleeps really took (with room
            // for sampling).
            long slept = totalWaiting(virtual.root(), "sleep");
            long least = started * 20_000 * 6 / 10;
            assertTrue(slept >= least, () -> "slept " + slept + " < " + least + " for " + started + " requests");
            long measured = after[1] - before[1];
            assertTrue(slept <= measured * 2 + 1_000_000, () -> "slept " + slept + ", measured " + measured);

            ThreadRecord unblocker = s.findThread("VirtualThread-unblocker");
            if (unblocker != null) {
                assertTrue(unblocker.ignored(), unblocker::toString);
            }
        } finally {
            stop(target);
        }
    }

    /** Labels set inside virtual threads are the top levels of their tree. */
    @Test
    void labelsInsideVirtualThreadsAreTheTopOfTheirTree() throws Exception {
        Process target = start("labels");
        try {
            record(target.pid(), "warm", "--transactions");  // the label exists from the first recording on
            Snapshot s = record(target.pid(), "labels", "--transactions");
            ThreadRecord virtual = virtualThreads(s);
            CallNode label = null;
            for (CallNode child : virtual.root().children()) {
                if (child.method().isInterception() && child.method().name().equals("request")) {
                    label = child;
                }
            }
            assertNotNull(label, virtual::toString);
            long underLabel = totalCpu(label, "handle");
            long inHandle = totalCpu(virtual.root(), "handle");
            assertTrue(underLabel >= inHandle * 6 / 10, "labelled " + underLabel + " of " + inHandle);
            // Their waits too: the labels are read while they wait.
            long sleptLabelled = totalWaiting(label, "sleep");
            long slept = totalWaiting(virtual.root(), "sleep");
            assertTrue(sleptLabelled >= slept * 6 / 10, "labelled sleep " + sleptLabelled + " of " + slept);
        } finally {
            stop(target);
        }
    }

    /** A virtual thread pinned to its carrier and blocked on a monitor is blocked on its own frames. */
    @Test
    void aPinnedVirtualThreadIsBlockedWhereItWaitsForTheMonitor() throws Exception {
        Process target = start("pinned");
        try {
            Snapshot s = record(target.pid(), "pinned");
            ThreadRecord virtual = virtualThreads(s);
            long[] blockedOnHold = {0};
            long[] blockedElsewhere = {0};
            virtual.root().walk(n -> {
                if (n.isRoot()) {
                    return;
                }
                if (n.method().name().equals("pinnedHold")) {
                    blockedOnHold[0] += n.blockingMicros();
                } else {
                    blockedElsewhere[0] += n.blockingMicros();
                }
            });
            assertTrue(blockedOnHold[0] >= 50_000, virtual::toString);
            // A request may be caught for a moment entering a monitor of the
            // JDK's (the security providers') before it unmounts.
            assertTrue(blockedElsewhere[0] <= blockedOnHold[0] / 10, virtual::toString);
        } finally {
            stop(target);
        }
    }

    /** Without virtual threads a recording has no record for them, on JDK 17 and on JDK 25. */
    @Test
    void noVirtualThreadsNoRecordForThem() throws Exception {
        for (String java : List.of(JAVA, NEWER_JDK.toString())) {
            if (!Files.isExecutable(Path.of(java)) && !java.equals(JAVA)) {
                continue;
            }
            List<String> command = new ArrayList<>(List.of(java, "-Xcheck:jni"));
            if (!java.equals(JAVA)) {
                command.add("-XX:+EnableDynamicAgentLoading");
            }
            command.addAll(List.of("-cp", ChildJvm.property("tolvane.testJar"), CpuSharesTarget.class.getName()));
            Process target = new ProcessBuilder(command).redirectErrorStream(true).start();
            try {
                ChildJvm.followOutput(target, "CpuSharesTarget ready", targetOutput);
                Snapshot s = record(target.pid(), "plain" + (java.equals(JAVA) ? "17" : "25"));
                assertFalse(s.threads().stream().anyMatch(ThreadRecord::isVirtualThreads), s.threads()::toString);
            } finally {
                stop(target);
            }
        }
    }

    private Process start(String mode) throws Exception {
        Assumptions.assumeTrue(Files.isExecutable(NEWER_JDK), "no JDK 25 at " + NEWER_JDK);
        Process target = new ProcessBuilder(NEWER_JDK.toString(), "-Xcheck:jni", "-XX:+EnableDynamicAgentLoading",
                "-cp", ChildJvm.property("tolvane.testJar"), VirtualThreadTarget.class.getName(), "0", mode)
                .redirectErrorStream(true).start();
        ChildJvm.followOutput(target, "VirtualThreadTarget ready", targetOutput);
        return target;
    }

    private void stop(Process target) throws InterruptedException {
        target.destroyForcibly();
        target.waitFor(10, TimeUnit.SECONDS);
        synchronized (targetOutput) {
            assertFalse(targetOutput.toString().contains("WARNING"), targetOutput::toString);
        }
    }

    private Snapshot record(long pid, String name, String... options) throws Exception {
        Path file = dir.resolve(name + ".tsnap");
        List<String> args = new ArrayList<>(List.of("record", "-d", (RECORD_MICROS / 1000) + "ms"));
        args.addAll(List.of(options));
        args.addAll(List.of("-o", file.toString(), String.valueOf(pid)));
        ToolRun r = ToolRun.of(args.toArray(new String[0]));
        assertEquals(0, r.code, r::toString);
        return SnapshotReader.read(file);
    }

    /** The target's latest progress line: requests completed and microseconds slept so far. */
    private long[] progress() {
        synchronized (targetOutput) {
            Matcher m = PROGRESS.matcher(targetOutput);
            long[] last = {0, 0};
            while (m.find()) {
                last = new long[] {Long.parseLong(m.group(1)), Long.parseLong(m.group(2))};
            }
            return last;
        }
    }

    private static ThreadRecord virtualThreads(Snapshot s) {
        for (ThreadRecord t : s.threads()) {
            if (t.isVirtualThreads()) {
                return t;
            }
        }
        throw new AssertionError("no virtual threads record: " + s.threads());
    }

    private static long started(ThreadRecord virtual) {
        Matcher m = STARTED.matcher(virtual.name());
        assertTrue(m.matches(), virtual.name());
        return Long.parseLong(m.group(1));
    }

    /** The qualified names of the methods with the most own CPU over all threads. */
    private static List<String> topSelfCpu(Snapshot s, int count) {
        Map<String, Long> self = new HashMap<>();
        for (ThreadRecord t : s.threads()) {
            t.root().walk(n -> {
                if (!n.isRoot()) {
                    self.merge(n.method().qualifiedName(), n.selfCpuMicros(), Long::sum);
                }
            });
        }
        return self.entrySet().stream().sorted(Map.Entry.<String, Long>comparingByValue(Comparator.reverseOrder()))
                .limit(count).map(Map.Entry::getKey).toList();
    }


}
