package com.tolvane.test;

import com.tolvane.agent.callee.JvmtiCallee;

import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CountDownLatch;

/**
 * Child-JVM program for {@link ThreadLifeTest}: scenarios about when threads
 * live and how much time they are booked. Arguments: the scenario, the
 * snapshot path, and the attach option string ("-" for none).
 */
public final class ThreadLifeProbe {

    private static volatile boolean running = true;
    private static volatile long sink;

    private ThreadLifeProbe() {
    }

    public static void main(String[] args) throws Exception {
        SelfAttach.attach(args[2].equals("-") ? null : args[2]);
        String path = args[1];
        switch (args[0]) {
            case "clockStep":
                clockStep(path);
                break;
            case "shortLived":
                shortLived(path);
                break;
            case "associatedBeforeStart":
                associatedBeforeStart(path);
                break;
            default:
                throw new IllegalArgumentException(args[0]);
        }
        System.out.println("done");
    }

    /** A spinner recorded for 2 s while the wall clock is stepped after 0.7 s. */
    private static void clockStep(String path) throws Exception {
        Thread spinner = spin("spinner");
        Path trigger = Paths.get(System.getenv("TOLVANE_TEST_CLOCK_STEP_FILE"));
        Thread stepper = new Thread(() -> {
            pause(700);
            try {
                Files.createFile(trigger);
            } catch (java.io.IOException e) {
                throw new RuntimeException(e);
            }
        });
        stepper.start();
        RecordingProbe.record(2000, path);
        running = false;
        spinner.join();
        stepper.join();
    }

    /**
     * Threads that live a few milliseconds, started while every tick is slow
     * (many deep parked threads, all walked each tick), each dropped and
     * collected right after it ends. Prints each one's life, from before its
     * start() to after its join(), as "life NAME us".
     */
    private static void shortLived(String path) throws Exception {
        CountDownLatch parked = new CountDownLatch(1500);
        for (int i = 0; i < 1500; i++) {
            Thread t = new Thread(null, () -> deepPark(60, parked), "parked-" + i, 256 * 1024);
            t.setDaemon(true);
            t.start();
        }
        parked.await();
        Thread churn = new Thread(() -> {
            while (!JvmtiCallee.isThreadReporting()) {
                pause(1);
            }
            // The churn stops a second before the 3 s recording does, so that
            // no short thread is still alive, rightly without an end, when
            // the recording ends on a slow machine.
            long stopAt = System.nanoTime() + 2_000_000_000L;
            for (int i = 0; i < 60 && running && System.nanoTime() < stopAt; i++) {
                String name = "short-" + i;
                Thread t = new Thread(() -> {
                    long start = System.nanoTime();
                    while (System.nanoTime() - start < 4_000_000L) {
                        sink++;
                    }
                }, name);
                long born = System.nanoTime();
                t.start();
                try {
                    t.join();
                } catch (InterruptedException e) {
                    return;
                }
                System.out.println("life " + name + " " + (System.nanoTime() - born) / 1000);
                t = null;
                System.gc();
                pause(15);
            }
        }, "churn");
        churn.start();
        RecordingProbe.record(3000, path);
        running = false;
        churn.join();
    }

    /** A thread associated before it starts, started during the recording. */
    private static void associatedBeforeStart(String path) throws Exception {
        Thread late = new Thread(() -> {
            long end = System.nanoTime() + 600_000_000L;
            while (System.nanoTime() < end) {
                sink++;
            }
        }, "associated-early");
        JvmtiCallee.associateThread(late, false, new JvmtiCallee.JvmtiThreadManager());
        Thread starter = new Thread(() -> {
            while (!JvmtiCallee.isThreadReporting()) {
                pause(1);
            }
            pause(200);
            late.start();
        }, "starter");
        starter.start();
        RecordingProbe.record(1500, path);
        starter.join();
        late.join();
    }

    private static void deepPark(int depth, CountDownLatch parked) {
        if (depth > 0) {
            deepPark(depth - 1, parked);
            return;
        }
        parked.countDown();
        Object lock = new Object();
        synchronized (lock) {
            try {
                lock.wait();
            } catch (InterruptedException e) {
                // the end of the program
            }
        }
    }

    private static Thread spin(String name) {
        Thread t = new Thread(() -> {
            while (running) {
                sink++;
            }
        }, name);
        t.start();
        return t;
    }

    static void pause(long millis) {
        try {
            Thread.sleep(millis);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }
}
