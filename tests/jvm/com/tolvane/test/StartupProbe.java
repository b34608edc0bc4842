package com.tolvane.test;

/**
 * A short program for recordings from the JVM's start: spins in
 * {@link #firstMethod} for its first 300 ms, then in {@link #rest} until
 * the given milliseconds have passed, and returns, or with "exit" calls
 * System.exit.
 */
public final class StartupProbe {
    private static volatile long sink;

    private StartupProbe() {
    }

    public static void main(String[] args) {
        long start = System.nanoTime();
        firstMethod(start + 300_000_000L);
        rest(start + Long.parseLong(args[0]) * 1_000_000L);
        if (args.length > 1 && args[1].equals("exit")) {
            System.exit(0);
        }
    }

    static void firstMethod(long until) {
        spin(until);
    }

    static void rest(long until) {
        spin(until);
    }

    private static void spin(long until) {
        while (System.nanoTime() < until) {
            sink += System.nanoTime() % 7;
        }
    }
}
