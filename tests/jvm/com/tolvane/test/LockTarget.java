package com.tolvane.test;

import java.util.concurrent.CountDownLatch;
import java.util.concurrent.locks.ReentrantLock;

/**
 * One thread holds a monitor and another a ReentrantLock for a given time
 * while a second thread waits for each; the waiters print how long they
 * waited, measured around the wait itself: "waited NAME MICROS". With a
 * second argument "ready" it prints "ready" once both waiters have started.
 */
public final class LockTarget {
    /** The monitor the waiter blocks on; its class names it in the locks view. */
    static final class Ledger {
    }

    private LockTarget() {
    }

    public static void main(String[] args) throws Exception {
        long holdMillis = Long.parseLong(args[0]);
        Ledger ledger = new Ledger();
        ReentrantLock lock = new ReentrantLock();
        CountDownLatch held = new CountDownLatch(2);
        Thread monitorHolder = new Thread(() -> {
            synchronized (ledger) {
                held.countDown();
                sleep(holdMillis);
            }
        }, "monitor-holder");
        Thread lockHolder = new Thread(() -> {
            lock.lock();
            try {
                held.countDown();
                sleep(holdMillis);
            } finally {
                lock.unlock();
            }
        }, "lock-holder");
        monitorHolder.start();
        lockHolder.start();
        held.await();

        long[] waited = new long[2];
        Thread monitorWaiter = new Thread(() -> {
            long start = System.nanoTime();
            synchronized (ledger) {
                waited[0] = (System.nanoTime() - start) / 1000;
            }
        }, "monitor-waiter");
        Thread lockWaiter = new Thread(() -> {
            long start = System.nanoTime();
            lock.lock();
            try {
                waited[1] = (System.nanoTime() - start) / 1000;
            } finally {
                lock.unlock();
            }
        }, "lock-waiter");
        monitorWaiter.start();
        lockWaiter.start();
        if (args.length > 1 && args[1].equals("ready")) {
            System.out.println("ready");
            System.out.flush();
        }
        for (Thread t : new Thread[] {monitorHolder, lockHolder, monitorWaiter, lockWaiter}) {
            t.join();
        }
        System.out.println("waited monitor-waiter " + waited[0]);
        System.out.println("waited lock-waiter " + waited[1]);
    }

    private static void sleep(long millis) {
        try {
            Thread.sleep(millis);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }
}
