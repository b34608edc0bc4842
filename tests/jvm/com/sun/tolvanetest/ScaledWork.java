package com.sun.tolvanetest;

/**
 * A recorded application whose main class lives in a package the default
 * filters collapse (javac's does too). A thread named after the process id
 * runs, through a lambda, three steady methods of 20 ms each and one of
 * 60 ms times the factor given as argument, until killed. Each spins for its
 * span of wall-clock time, so a busy machine changes the spans' lengths
 * alike; the tests run it interpreted (-Xint), where equal loops stay equal.
 */
public final class ScaledWork {
    /** Long against the sampling interval, so that every part gets its fair number of samples. */
    private static final long UNIT_NANOS = 20_000_000;
    private static volatile long sink;

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
        System.out.println("ScaledWork ready");
        System.out.flush();
        worker.join();
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
