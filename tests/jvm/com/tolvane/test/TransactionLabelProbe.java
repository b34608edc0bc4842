package com.tolvane.test;

import com.tolvane.agent.callee.JvmtiCallee;

import java.nio.charset.StandardCharsets;
import java.util.concurrent.CountDownLatch;

/**
 * Child-JVM program: a worker thread labels its work with a transaction
 * before the library is attached, then the library is attached and records
 * twice, into the two files named by the arguments.
 */
public final class TransactionLabelProbe {

    static volatile boolean stop;
    static volatile long sink;

    public static void main(String[] args) throws Exception {
        CountDownLatch labelled = new CountDownLatch(1);
        CountDownLatch attached = new CountDownLatch(1);
        long[] id = new long[1];
        Thread worker = new Thread(() -> {
            try {
                attached.await();
                try (JvmtiCallee.Transaction t = JvmtiCallee.enterTransaction(id[0])) {
                    labelled.countDown();
                    while (!stop) {
                        sink += System.nanoTime() % 7;
                    }
                }
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }, "labelled-worker");
        worker.start();

        SelfAttach.attach(null);
        id[0] = JvmtiCallee.createInterceptionMethodId("checkout");
        attached.countDown();
        labelled.await();

        for (String path : args) {
            JvmtiCallee.record(300, true, false, path.getBytes(StandardCharsets.UTF_8));
        }
        stop = true;
        worker.join();
        System.out.println("done");
    }
}
