package com.tolvane.test;

import com.tolvane.agent.callee.JvmtiCallee;

import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/**
 * Child-JVM program for {@link RecordingTest}: attaches the library, sets up
 * one scenario and records with JvmtiCallee.record into the snapshot paths
 * given as arguments. Prints facts the test compares with the snapshot
 * ("name=value" lines) and "done" at the end.
 *
 * <p>Arguments: the scenario, then its paths; a last argument starting with
 * "options=" is the attach option string.
 */
public final class RecordingProbe {

    private static volatile boolean running = true;
    private static volatile long sink;

    private RecordingProbe() {
    }

    public static void main(String[] args) throws Exception {
        List<String> rest = new ArrayList<>(Arrays.asList(args).subList(1, args.length));
        String options = null;
        if (!rest.isEmpty() && rest.get(rest.size() - 1).startsWith("options=")) {
            options = rest.remove(rest.size() - 1).substring("options=".length());
        }
        String scenario = args[0];
        if (scenario.equals("unattached")) {
            SelfAttach.loadWithoutAttach();
        } else {
            SelfAttach.attach(options);
        }
        switch (scenario) {
            case "workload":
                workload(rest.get(0));
                break;
            case "durations":
                durations(rest.get(0), rest.get(1));
                break;
            case "agentThreads":
                agentThreads(rest.get(0), rest.get(1));
                break;
            case "twoRuns":
                twoRuns(rest.get(0), rest.get(1));
                break;
            case "lifecycle":
                lifecycle(rest.get(0));
                break;
            case "paths":
                paths(rest.get(0));
                break;
            case "exit":
                exitDuringRecording(rest.get(0));
                break;
            case "interrupt":
                interruptAndOverlap(rest.get(0), rest.get(1));
                break;
            case "unattached":
                record(50, rest.get(0));
                System.out.println("returned");
                break;
            default:
                throw new IllegalArgumentException("unknown scenario " + scenario);
        }
        System.out.println("done");
    }

    /** The path as the agent passes it: its bytes and a terminating zero. */
    static byte[] pathBytes(String path) {
        byte[] bytes = path.getBytes(StandardCharsets.UTF_8);
        return Arrays.copyOf(bytes, bytes.length + 1);
    }

    static void record(long millis, String path) {
        JvmtiCallee.record(millis, false, false, pathBytes(path));
    }

    private static void workload(String path) throws Exception {
        RecordingWorkload.configure();
        long outer = JvmtiCallee.createInterceptionMethodId("outer-tx");
        long inner = JvmtiCallee.createInterceptionMethodId("inner-tx");
        RecordingWorkload workload = new RecordingWorkload();
        workload.start(outer, inner);
        JvmtiCallee.record(2000, true, false, pathBytes(path));
        workload.stop();
        System.out.println("vm=" + System.getProperty("java.vm.name"));
        System.out.println("version=" + System.getProperty("java.version"));
    }

    private static void durations(String zeroPath, String shortPath) throws Exception {
        Thread spinner = spinner("spinner");
        JvmtiCallee.record(0, false, false, pathBytes(zeroPath));
        System.out.println("reportingAfterZero=" + JvmtiCallee.isThreadReporting());
        JvmtiCallee.record(12, false, false, pathBytes(shortPath));
        stop(spinner);
    }

    private static void agentThreads(String withoutPath, String withPath) throws Exception {
        Thread agent = spinner("_TOLVANE worker");
        Thread notAgent = spinner("x_tolvane");
        Thread shortName = spinner("_tolvan");
        JvmtiCallee.record(150, false, false, pathBytes(withoutPath));
        JvmtiCallee.record(150, false, true, pathBytes(withPath));
        stop(agent, notAgent, shortName);
    }

    private static void twoRuns(String firstPath, String secondPath) throws Exception {
        Thread first = new Thread(() -> {
            while (running) {
                firstRunOnly();
            }
        }, "first-only");
        first.start();
        record(300, firstPath);
        stop(first);
        running = true;
        Thread second = spinner("second-only");
        record(300, secondPath);
        stop(second);
    }

    /**
     * Threads that end, start, and start and end during one recording, run
     * by a conductor thread while the main thread records.
     */
    private static void lifecycle(String path) throws Exception {
        Thread earlyEnder = spinner("early-ender");
        Thread[] late = new Thread[2];
        Thread conductor = new Thread(() -> {
            // Registration is over once the library reports threads.
            while (!JvmtiCallee.isThreadReporting()) {
                pause(1);
            }
            pause(150);
            running = false;
            join(earlyEnder);
            running = true;
            late[0] = spinner("late-starter");
            late[1] = new Thread(() -> spinFor(100), "late-ender");
            late[1].start();
            join(late[1]);
        }, "conductor");
        conductor.start();
        record(700, path);
        conductor.join();
        stop(late[0]);
        // Keep the ended threads reachable until the recording has seen them.
        System.out.println("ended=" + earlyEnder.getName() + "," + late[1].getName());
    }

    private static void paths(String dir) throws Exception {
        // A directory that does not exist: nothing is written, the call returns.
        record(20, dir + "/missing/x.snapshot");
        System.out.println("returnedMissing=true");
        // No terminating zero: the whole array is the path.
        JvmtiCallee.record(20, false, false, (dir + "/plain.snapshot").getBytes(StandardCharsets.UTF_8));
        // Bytes after the first zero are not part of the path.
        byte[] withTail = (dir + "/zero.snapshot\0tail").getBytes(StandardCharsets.UTF_8);
        JvmtiCallee.record(20, false, false, withTail);
        // No array, and an empty one: nothing is opened, the run still ends normally.
        JvmtiCallee.record(20, false, false, null);
        JvmtiCallee.record(20, false, false, new byte[0]);
        record(20, dir + "/after.snapshot");
    }

    /** System.exit from another thread while the main thread records for 20 s. */
    private static void exitDuringRecording(String path) throws Exception {
        Thread busy = spinner("busy");
        Thread exiter = new Thread(() -> {
            pause(400);
            System.out.println("exiting");
            System.exit(3);
        }, "exiter");
        exiter.start();
        record(20_000, path);
        System.out.println("recordReturned");
        stop(busy);
    }

    /**
     * A recorder thread records for 10 s and is interrupted about 300 ms into
     * sampling; meanwhile the main thread tries a second, overlapping
     * recording. Before both, a thread labels work and ends.
     */
    private static void interruptAndOverlap(String interruptedPath, String overlapPath) throws Exception {
        Thread gone = new Thread(() -> JvmtiCallee.associateThread(Thread.currentThread(), true,
                new JvmtiCallee.JvmtiThreadManager()), "gone-before-run");
        gone.start();
        join(gone);
        Thread busy = spinner("busy");
        long[] recordMillis = {-1};
        boolean[] interruptedAfter = {false};
        Thread recorder = new Thread(() -> {
            long start = System.nanoTime();
            record(10_000, interruptedPath);
            recordMillis[0] = (System.nanoTime() - start) / 1_000_000;
            interruptedAfter[0] = Thread.currentThread().isInterrupted();
        }, "recorder");
        recorder.start();
        while (!JvmtiCallee.isThreadReporting()) {
            pause(1);
        }
        long overlapStart = System.nanoTime();
        record(10_000, overlapPath);
        System.out.println("overlapMillis=" + (System.nanoTime() - overlapStart) / 1_000_000);
        pause(300);
        recorder.interrupt();
        recorder.join(20_000);
        System.out.println("recordMillis=" + recordMillis[0]);
        System.out.println("interruptedAfter=" + interruptedAfter[0]);
        stop(busy);
        // Reachable until here, so only the thread's end can make it gone.
        System.out.println("ended=" + gone.getName());
    }

    static void firstRunOnly() {
        spinFor(1);
    }

    private static Thread spinner(String name) {
        Thread t = new Thread(() -> {
            while (running) {
                spinFor(1);
            }
        }, name);
        t.setDaemon(true);
        t.start();
        return t;
    }

    static void spinFor(long millis) {
        long end = System.nanoTime() + millis * 1_000_000L;
        long x = sink;
        while (System.nanoTime() < end) {
            x = x * 31 + 7;
        }
        sink = x;
    }

    private static void stop(Thread... threads) {
        running = false;
        for (Thread t : threads) {
            join(t);
        }
    }

    private static void join(Thread t) {
        try {
            t.join(10_000);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    private static void pause(long millis) {
        try {
            Thread.sleep(millis);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }
}
