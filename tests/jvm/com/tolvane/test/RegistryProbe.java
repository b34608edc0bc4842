package com.tolvane.test;

import com.tolvane.agent.callee.JvmtiCallee;

import java.nio.charset.StandardCharsets;

/**
 * Child-JVM program: attaches the library, drives the configuration natives
 * with awkward arguments (null arrays, null elements, short arrays, null
 * names), creates interception methods, then records a worker thread that
 * spends its time in a profiled, an ignored and a net I/O method, into the
 * file named by the first argument. Prints what the natives returned.
 */
public final class RegistryProbe {

    static volatile boolean stop;
    static volatile long sink;

    static void spin(long millis) {
        long end = System.nanoTime() + millis * 1_000_000L;
        while (System.nanoTime() < end) {
            sink += System.nanoTime() % 7;
        }
    }

    static void spinProfiled() {
        spin(4);
    }

    static final class Ignored {
        static void spinIgnored() {
            spin(4);
        }
    }

    static final class Net {
        static void spinNetio() {
            spin(4);
        }
    }

    public static void main(String[] args) throws Exception {
        SelfAttach.attach(null);

        // Declared before the first recording, so before the classes are met.
        JvmtiCallee.addNetioClass(Net.class.getName(), null, null);
        JvmtiCallee.addNetioClass("com.example.Partial", new String[] {"read", null, "write"}, new String[] {"()I"});
        JvmtiCallee.addNetioClass("com.example.None", new String[0], new String[0]);
        JvmtiCallee.addNetioClass("com.example.NoSignatures", new String[] {"a"}, null);
        JvmtiCallee.addNetioClass(null, null, null);

        JvmtiCallee.setFilters(null, true, null, true);
        String[] many = new String[500];
        for (int i = 0; i < many.length; i++) {
            many[i] = i % 3 == 0 ? null : "pkg" + i + ".";
        }
        JvmtiCallee.setFilters(many, false, many, false);
        JvmtiCallee.setFilters(new String[] {null, "java.", null, "-java.util.concurrent."}, false,
                new String[] {null, Ignored.class.getName(), null}, false);

        System.out.println("null-id=" + JvmtiCallee.createInterceptionMethodId(null));
        long a = JvmtiCallee.createInterceptionMethodId("checkout");
        long b = JvmtiCallee.createInterceptionMethodId("checkout");
        System.out.println("ids=" + a + "," + b);

        Thread worker = new Thread(() -> {
            while (!stop) {
                spinProfiled();
                Ignored.spinIgnored();
                Net.spinNetio();
            }
        }, "registry-worker");
        worker.start();
        JvmtiCallee.record(400, false, false, args[0].getBytes(StandardCharsets.UTF_8));
        stop = true;
        worker.join();
        System.out.println("done");
    }
}
