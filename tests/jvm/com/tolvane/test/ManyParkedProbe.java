package com.tolvane.test;

import com.tolvane.agent.callee.JvmtiCallee;

import java.util.concurrent.CountDownLatch;
import java.util.concurrent.locks.LockSupport;

/**
 * Child-JVM program for {@link ManyParkedThreadsTest}: 2000 threads parked
 * at depth 20 for the whole recording, a "mover" that wakes during it, works
 * a little and parks elsewhere, a thread started during the recording and
 * one that ends during it. Arguments: the snapshot path.
 */
public final class ManyParkedProbe {
    static final int PARKED = 2000;
    static final long RECORD_MILLIS = 2500;
    private static volatile long sink;

    private ManyParkedProbe() {
    }

    public static void main(String[] args) throws Exception {
        SelfAttach.attach("cpu-time");
        CountDownLatch ready = new CountDownLatch(PARKED + 2);
        for (int i = 0; i < PARKED; i++) {
            start("parked-" + i, () -> deepPark(20, ready));
        }
        CountDownLatch wake = new CountDownLatch(1);
        start("mover", () -> {
            waitHere(ready, wake);
            work();
            parkThere();
        });
        CountDownLatch end = new CountDownLatch(1);
        start("ending", () -> {
            ready.countDown();
            await(end);
        });
        ready.await();
        Thread controller = new Thread(() -> {
            while (!JvmtiCallee.isThreadReporting()) {
                ThreadLifeProbe.pause(1);
            }
            // The first tick walks every thread; the mover moves well after it.
            ThreadLifeProbe.pause(800);
            start("late", () -> parkThere());
            ThreadLifeProbe.pause(400);
            wake.countDown();
            end.countDown();
        }, "controller");
        controller.start();
        RecordingProbe.record(RECORD_MILLIS, args[0]);
        controller.join();
        System.out.println("done");
    }

    private static void start(String name, Runnable body) {
        Thread t = new Thread(null, body, name, 256 * 1024);
        t.setDaemon(true);
        t.start();
    }

    private static void deepPark(int depth, CountDownLatch ready) {
        if (depth > 0) {
            deepPark(depth - 1, ready);
            return;
        }
        ready.countDown();
        while (true) {
            LockSupport.park();
        }
    }

    private static void waitHere(CountDownLatch ready, CountDownLatch wake) {
        ready.countDown();
        await(wake);
    }

    private static void work() {
        long end = System.nanoTime() + 20_000_000L;
        while (System.nanoTime() < end) {
            sink++;
        }
    }

    private static void parkThere() {
        while (true) {
            LockSupport.park();
        }
    }

    private static void await(CountDownLatch latch) {
        try {
            latch.await();
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }
}
