package com.sun.tolvanetest;

/**
 * A recorded application whose main class lives in a package the default
 * filters collapse (javac's does too). A thread named after the process id
 * runs, through a lambda, three steady methods of 1 ms each and one of
 * 3 ms times the factor given as argument, until killed.
 */
public final class ScaledWork {
    private static final long UNIT_NANOS = 1_000_000;
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
        // Ready once the JIT has had time to compile the loops, so a recording sees steady code.
        Thread.sleep(1500);
        System.out.println("ScaledWork ready");
        System.out.flush();
        worker.join();
    }

    // Each method spins for a span of wall-clock time rather than a count of
    // iterations, so how the JIT compiles each copy of the loop changes nothing.

    static long steadyOne(long seed) {
        long h = seed;
        for (long end = System.nanoTime() + UNIT_NANOS; System.nanoTime() < end; ) {
            h = h * 31 + 7;
        }
        return h;
    }

    static long steadyTwo(long seed) {
        long h = seed;
        for (long end = System.nanoTime() + UNIT_NANOS; System.nanoTime() < end; ) {
            h = h * 31 + 7;
        }
        return h;
    }

    static long steadyThree(long seed) {
        long h = seed;
        for (long end = System.nanoTime() + UNIT_NANOS; System.nanoTime() < end; ) {
            h = h * 31 + 7;
        }
        return h;
    }

    static long scaled(long seed, long factor) {
        long h = seed;
        for (long end = System.nanoTime() + 3 * UNIT_NANOS * factor; System.nanoTime() < end; ) {
            h = h * 31 + 7;
        }
        return h;
    }
}
