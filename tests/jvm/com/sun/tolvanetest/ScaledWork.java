package com.sun.tolvanetest;

/**
 * A recorded application whose main class lives in a package the default
 * filters collapse (javac's does too). A thread named after the process id
 * runs, through a lambda, three steady methods of 20 ms each and one of
 * 60 ms times the factor given as argument, until killed. Each spins for its
 * span of wall-clock time, so a busy machine changes the spans' lengths
 * alike; the tests run it interpreted (-Xint), where equal loops stay equal.
 * Beside it, as many threads as the factor are blocked, through a method
 * reference (a second lambda of this class), on a monitor that a holder
 * thread keeps for as long as the program runs: blocked time is the factor
 * times the recording's length.
 */
public final class ScaledWork {
    /** Long against the sampling interval, so that every part gets its fair number of samples. */
    private static final long UNIT_NANOS = 20_000_000;
    private static volatile long sink;
    private static final Object MONITOR = new Object();

    private ScaledWork() {
    }

    public static void main(String[] args) throws InterruptedException {
        long factor = Long.parseLong(args[0]);
        Runnable work = () -> {
            while (true) {
                sink += steadyOne(sink) + steadyTwo(sink) + steadyThree(sink) + scaled(sink, factor);
            }
        };
        Thread worker = new Thread(work, "calc-" + ProcessHandle.current().pid());
        worker.setDaemon(true);
        worker.start();
        java.util.concurrent.CountDownLatch held = new java.util.concurrent.CountDownLatch(1);
        Thread holder = new Thread(() -> holdMonitor(held), "holder");
        holder.setDaemon(true);
        holder.start();
        held.await();
        for (int i = 0; i < factor; i++) {
            Thread blocked = new Thread(ScaledWork::blockedOnMonitor, "blocked-" + i);
            blocked.setDaemon(true);
            blocked.start();
        }
        while (true) {
            boolean all = true;
            for (Thread t : Thread.getAllStackTraces().keySet()) {
                all &= !t.getName().startsWith("blocked-") || t.getState() == Thread.State.BLOCKED;
            }
            if (all) {
                break;
            }
            Thread.sleep(1);
        }
        System.out.println("ScaledWork ready");
        System.out.flush();
        worker.join();
    }

    static void holdMonitor(java.util.concurrent.CountDownLatch held) {
        synchronized (MONITOR) {
            held.countDown();
            while (true) {
                try {
                    Thread.sleep(60_000);
                } catch (InterruptedException e) {
                    return;
                }
            }
        }
    }

    static void blockedOnMonitor() {
        synchronized (MONITOR) {
            sink++;
        }
    }

    static long steadyOne(long seed) {
        long h = seed;
        for (long end = System.nanoTime() + UNIT_NANOS; System.nanoTime() < end; ) {
            for (int i = 0; i < 1000; i++) {
                h = h * 31 + i;
            }
        }
        return h;
    }

    static long steadyTwo(long seed) {
        long h = seed;
        for (long end = System.nanoTime() + UNIT_NANOS; System.nanoTime() < end; ) {
            for (int i = 0; i < 1000; i++) {
                h = h * 31 + i;
            }
        }
        return h;
    }

    static long steadyThree(long seed) {
        long h = seed;
        for (long end = System.nanoTime() + UNIT_NANOS; System.nanoTime() < end; ) {
            for (int i = 0; i < 1000; i++) {
                h = h * 31 + i;
            }
        }
        return h;
    }

    static long scaled(long seed, long factor) {
        long h = seed;
        for (long end = System.nanoTime() + 3 * UNIT_NANOS * factor; System.nanoTime() < end; ) {
            for (int i = 0; i < 1000; i++) {
                h = h * 31 + i;
            }
        }
        return h;
    }
}
