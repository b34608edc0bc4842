package com.tolvane.test;

import com.tolvane.agent.callee.JvmtiCallee;

import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.ThreadLocalRandom;
import java.util.concurrent.locks.LockSupport;

/**
 * Child-JVM program for {@link StackCaptureTest}: attaches the library with
 * the given option string ("-" for none), starts a workload of known shape
 * and records it into the given path.
 *
 * <p>The workload: a busy thread that spends about three quarters of its
 * loop in heavy() and a quarter in light(); parked threads at a fixed depth
 * that never wake; and a mover that parks in one place, wakes, and parks in
 * another, every 100 ms.
 */
public final class StackCaptureProbe {

    static final int PARKED_THREADS = 12;
    static final int PARKED_DEPTH = 20;

    private static volatile boolean running = true;
    private static volatile long sink;
    private static final Object FOREVER = new Object();

    private StackCaptureProbe() {
    }

    public static void main(String[] args) throws Exception {
        SelfAttach.attach(args[0].equals("-") ? null : args[0]);
        String path = args[1];
        long millis = Long.parseLong(args[2]);

        List<Thread> threads = new ArrayList<>();
        CountDownLatch parked = new CountDownLatch(PARKED_THREADS);
        for (int i = 0; i < PARKED_THREADS; i++) {
            threads.add(start("parked-" + i, () -> descend(PARKED_DEPTH, parked)));
        }
        threads.add(start("busy", StackCaptureProbe::busy));
        threads.add(start("mover", StackCaptureProbe::mover));
        parked.await();
        Thread.sleep(100);

        RecordingProbe.record(millis, path);

        running = false;
        for (Thread t : threads) {
            if (t.getName().startsWith("parked-")) {
                t.interrupt();
            }
            t.join();
        }
        System.out.println("done");
    }

    private static Thread start(String name, Runnable body) {
        Thread t = new Thread(body, name);
        t.setDaemon(true);
        t.start();
        return t;
    }

    private static void descend(int depth, CountDownLatch parked) {
        if (depth > 0) {
            descend(depth - 1, parked);
            return;
        }
        synchronized (FOREVER) {
            parked.countDown();
            try {
                FOREVER.wait();
            } catch (InterruptedException e) {
                // the end of the run
            }
        }
    }

    private static void busy() {
        while (running) {
            heavy();
            light();
        }
    }

    // Random lengths (mean 3:1) so that the loop has no period the 5 ms tick
    // could alias with: a fixed 4 ms loop sampled every 5 ms under a loaded
    // machine can land on the same phase tick after tick.
    private static void heavy() {
        sink += spin(ThreadLocalRandom.current().nextInt(1_500_000, 4_500_000));
    }

    private static void light() {
        sink += spin(ThreadLocalRandom.current().nextInt(500_000, 1_500_000));
    }

    private static long spin(int rounds) {
        long x = sink;
        for (int i = 0; i < rounds; i++) {
            x = x * 6364136223846793005L + 1442695040888963407L;
        }
        return x;
    }

    private static void mover() {
        while (running) {
            parkHere();
            parkThere();
        }
    }

    private static void parkHere() {
        LockSupport.parkNanos(100_000_000L);
    }

    private static void parkThere() {
        LockSupport.parkNanos(100_000_000L);
    }
}
