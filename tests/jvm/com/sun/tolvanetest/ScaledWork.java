package com.sun.tolvanetest;

/**
 * A recorded application whose main class lives in a package the default
 * filters collapse (javac's does too). A thread named after the process id
 * runs, through a lambda, three steady methods of one unit of work each and
 * one of three units times the factor given as argument, until killed. The
 * tests run it interpreted (-Xint), where equal loops cost equal time.
 */
public final class ScaledWork {
    private static final long UNIT = 10_000;
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
        for (long i = 0; i < UNIT; i++) {
            h = h * 31 + i;
        }
        return h;
    }

    static long steadyTwo(long seed) {
        long h = seed;
        for (long i = 0; i < UNIT; i++) {
            h = h * 31 + i;
        }
        return h;
    }

    static long steadyThree(long seed) {
        long h = seed;
        for (long i = 0; i < UNIT; i++) {
            h = h * 31 + i;
        }
        return h;
    }

    static long scaled(long seed, long factor) {
        long h = seed;
        for (long i = 0; i < 3 * UNIT * factor; i++) {
            h = h * 31 + i;
        }
        return h;
    }
}
