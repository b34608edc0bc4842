package com.tolvane.test;

/** A target that keeps working lightly until it is killed or two minutes have passed: 5 ms of work per 50 ms. */
public final class LoopTarget {
    private static volatile long sink;

    private LoopTarget() {
    }

    public static void main(String[] args) throws InterruptedException {
        System.out.println("ready");
        System.out.flush();
        long end = System.nanoTime() + 120_000_000_000L;
        while (System.nanoTime() < end) {
            work();
            Thread.sleep(45);
        }
    }

    static void work() {
        long until = System.nanoTime() + 5_000_000L;
        while (System.nanoTime() < until) {
            sink += System.nanoTime() % 7;
        }
    }
}
