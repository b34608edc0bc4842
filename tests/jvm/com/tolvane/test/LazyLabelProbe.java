package com.tolvane.test;

import com.tolvane.agent.callee.JvmtiCallee;

/**
 * Child-JVM program: application code that asks whether the library is there
 * before it is attached, and creates its transaction id only once it is, the
 * way the README shows. The library is then attached and records at once
 * into the file named by the argument.
 */
public final class LazyLabelProbe {

    static volatile boolean stop;
    static volatile long sink;
    static volatile long checkout;

    private LazyLabelProbe() {
    }

    static long label() {
        if (checkout == 0 && JvmtiCallee.isNativeAvailable()) {
            checkout = JvmtiCallee.createInterceptionMethodId("checkout");
        }
        return checkout;
    }

    public static void main(String[] args) throws Exception {
        label(); // no library yet: the answer is no
        Thread worker = new Thread(() -> {
            while (!stop) {
                try (JvmtiCallee.Transaction t = JvmtiCallee.enterTransaction(label())) {
                    long end = System.nanoTime() + 1_000_000L;
                    while (System.nanoTime() < end) {
                        sink++;
                    }
                }
            }
        }, "labelled-worker");
        worker.start();
        SelfAttach.attach(null);
        // Long enough that the worker's first unlabelled moments after the attach,
        // stretched on a loaded machine, stay a small share of the recording.
        JvmtiCallee.record(1500, true, false, RecordingProbe.pathBytes(args[0]));
        stop = true;
        worker.join();
        System.out.println("done");
    }
}
