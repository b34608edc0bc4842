package com.tolvane.test;

import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.ThreadLocalRandom;

/**
 * Child-JVM program for {@link NodeLimitTest}: threads that recurse 600 deep
 * along random paths, so that nearly every sample is a call path never seen
 * before. Arguments: the snapshot path and the attach option string; with a
 * third argument "late", a thread named "late" starts spinning once the
 * recording runs (and the random paths have used up the limit) and spins
 * until it ends.
 */
public final class NodeLimitProbe {

    private static volatile boolean running = true;
    private static volatile long sink;

    private NodeLimitProbe() {
    }

    public static void main(String[] args) throws Exception {
        SelfAttach.attach(args[1]);
        List<Thread> threads = new ArrayList<>();
        for (int i = 0; i < 4; i++) {
            Thread t = new Thread(null, () -> {
                while (running) {
                    step(600);
                }
            }, "random-" + i, 16 * 1024 * 1024);
            t.start();
            threads.add(t);
        }
        Thread.sleep(200);
        if (args.length > 2 && args[2].equals("late")) {
            Thread recording = new Thread(() -> RecordingProbe.record(1500, args[0]), "recording");
            recording.start();
            Thread.sleep(400);
            Thread late = new Thread(() -> {
                while (running) {
                    spin();
                }
            }, "late");
            late.start();
            recording.join();
            running = false;
            late.join();
        } else {
            RecordingProbe.record(2000, args[0]);
            running = false;
        }
        for (Thread t : threads) {
            t.join();
        }
        System.out.println("done");
    }

    private static void spin() {
        for (int i = 0; i < 100_000; i++) {
            sink += i;
        }
    }

    private static void step(int depth) {
        if (depth == 0) {
            for (int i = 0; i < 2000; i++) {
                sink += i;
            }
            return;
        }
        switch (ThreadLocalRandom.current().nextInt(4)) {
            case 0: a(depth - 1); break;
            case 1: b(depth - 1); break;
            case 2: c(depth - 1); break;
            default: d(depth - 1); break;
        }
    }

    private static void a(int depth) {
        step(depth);
    }

    private static void b(int depth) {
        step(depth);
    }

    private static void c(int depth) {
        step(depth);
    }

    private static void d(int depth) {
        step(depth);
    }
}
