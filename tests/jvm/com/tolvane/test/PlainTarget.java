package com.tolvane.test;

/**
 * An application that knows nothing of the profiler: started with only the
 * test classes on its class path, it shows that a recording brings everything
 * it needs into the target. Spins in {@link #spin} until killed.
 */
public final class PlainTarget {
    private static volatile long sink;

    private PlainTarget() {
    }

    public static void main(String[] args) {
        System.out.println("PlainTarget ready");
        System.out.flush();
        while (true) {
            sink += spin(sink);
        }
    }

    static long spin(long seed) {
        long h = seed;
        for (int i = 0; i < 1_000_000; i++) {
            h = h * 31 + i;
        }
        return h;
    }
}
