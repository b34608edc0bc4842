package com.tolvane.test;

/**
 * A JVM whose threads spend their CPU in known places. "burner" burns about
 * 3 ms of CPU in burn() and then sleeps 3 ms, forever; "mixer" spends a
 * quarter of its CPU in quarter() and three quarters in threeQuarters(), two
 * small methods of the same body that the JIT inlines into its loop;
 * "late-mixer" does the same in a loop of its own that starts only once the
 * process has its first POSIX timer (the profiler's sampling timers), so
 * that it is compiled after a profiler attached; "arithmetic" only computes;
 * "sleeper" only sleeps. Prints its ready line
 * once every thread runs, then runs until killed, or for as many
 * milliseconds as its argument says.
 */
public final class CpuSharesTarget {
    private static volatile long sink;

    private CpuSharesTarget() {
    }

    public static void main(String[] args) throws Exception {
        start("burner", () -> {
            while (true) {
                burn(3_000_000L);
                try {
                    Thread.sleep(3);
                } catch (InterruptedException e) {
                    return;
                }
            }
        });
        start("mixer", CpuSharesTarget::mix);
        start("late-mixer", () -> {
            try {
                while (!hasTimers()) {
                    Thread.sleep(20);
                }
            } catch (InterruptedException e) {
                return;
            }
            Late.mix();
        });
        start("arithmetic", () -> {
            long x = 7;
            while (true) {
                x = arithmetic(x);
                sink = x;
            }
        });
        start("sleeper", () -> {
            while (true) {
                try {
                    Thread.sleep(10_000);
                } catch (InterruptedException e) {
                    return;
                }
            }
        });
        System.out.println("CpuSharesTarget ready");
        System.out.flush();
        Thread.sleep(args.length > 0 ? Long.parseLong(args[0]) : Long.MAX_VALUE);
    }

    /** Computes for about nanos of this thread's CPU time. */
    static void burn(long nanos) {
        java.lang.management.ThreadMXBean mx = java.lang.management.ManagementFactory.getThreadMXBean();
        long end = mx.getCurrentThreadCpuTime() + nanos;
        long x = sink;
        do {
            for (int i = 0; i < 10_000; i++) {
                x = x * 6364136223846793005L + 1442695040888963407L;
            }
        } while (mx.getCurrentThreadCpuTime() < end);
        sink = x;
    }

    private static void mix() {
        long x = 1;
        while (true) {
            for (int i = 0; i < 1000; i++) {
                x = quarter(x);
                x = threeQuarters(x);
                x = threeQuarters(x);
                x = threeQuarters(x);
            }
            sink = x;
        }
    }

    /**
     * The mixer again, as code of its own, callees included: compiled when
     * it first runs, and leaving the mixer's code and profiles as they were.
     */
    static final class Late {
        static void mix() {
            long x = 3;
            while (true) {
                for (int i = 0; i < 1000; i++) {
                    x = quarter(x);
                    x = threeQuarters(x);
                    x = threeQuarters(x);
                    x = threeQuarters(x);
                }
                sink = x;
            }
        }

        static long quarter(long x) {
            for (int i = 0; i < 64; i++) {
                x = (x * 6364136223846793005L + 1442695040888963407L) ^ (x >>> 29);
            }
            return x;
        }

        static long threeQuarters(long x) {
            for (int i = 0; i < 64; i++) {
                x = (x * 6364136223846793005L + 1442695040888963407L) ^ (x >>> 29);
            }
            return x;
        }
    }

    /** Whether the process has a POSIX timer (the kernel lists them in /proc/self/timers). */
    private static boolean hasTimers() {
        try {
            return java.nio.file.Files.readString(java.nio.file.Path.of("/proc/self/timers")).contains("ID:");
        } catch (java.io.IOException e) {
            return true;  // no such listing: start at once
        }
    }

    static long quarter(long x) {
        for (int i = 0; i < 64; i++) {
            x = (x * 6364136223846793005L + 1442695040888963407L) ^ (x >>> 29);
        }
        return x;
    }

    static long threeQuarters(long x) {
        for (int i = 0; i < 64; i++) {
            x = (x * 6364136223846793005L + 1442695040888963407L) ^ (x >>> 29);
        }
        return x;
    }

    static long arithmetic(long x) {
        for (int i = 0; i < 1_000_000; i++) {
            x = x * 31 + (x >>> 7) + i;
        }
        return x;
    }

    private static void start(String name, Runnable body) {
        Thread t = new Thread(body, name);
        t.setDaemon(true);
        t.start();
    }
}
