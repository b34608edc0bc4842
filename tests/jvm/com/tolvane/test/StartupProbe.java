package com.tolvane.test;

/**
 * A short program for recordings from the JVM's start: spins in
 * {@link #firstMethod} for its first 500 ms, then sleeps in {@link #rest}
 * until the given milliseconds have passed (sparing the CPU for the tests
 * that run alongside), and returns, or with "exit" calls System.exit.
 */
public final class StartupProbe {
    /** Long beside a tick a loaded machine delays, so most of it is booked where it ran. */
    static final long FIRST_METHOD_NANOS = 500_000_000L;
    private static volatile long sink;

    private StartupProbe() {
    }

    public static void main(String[] args) throws InterruptedException {
        long start = System.nanoTime();
        firstMethod(start + FIRST_METHOD_NANOS);
        rest(start + Long.parseLong(args[0]) * 1_000_000L);
        if (args.length > 1 && args[1].equals("exit")) {
            System.exit(0);
        }
    }

    static void firstMethod(long until) {
        spin(until);
    }

    static void rest(long until) throws InterruptedException {
        for (long left = until - System.nanoTime(); left > 0; left = until - System.nanoTime()) {
            Thread.sleep(Math.max(1, Math.min(50, left / 1_000_000L)));
        }
    }

    private static void spin(long until) {
        while (System.nanoTime() < until) {
            sink += System.nanoTime() % 7;
        }
    }
}
