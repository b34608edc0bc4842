package com.tolvane.test;

import java.io.FileInputStream;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.ThreadLocalRandom;

/**
 * Child-JVM program for {@link OutputTest}: records with JvmtiCallee.record
 * while deep threads make a large snapshot, and meanwhile does to the output
 * what the scenario says. Arguments: the scenario and its paths.
 *
 * <ul>
 * <li>{@code link OUTPUT TARGET}: plants a symbolic link OUTPUT to TARGET once
 * the recording runs, before it ends.</li>
 * <li>{@code pipe FIFO COPY}: reads the FIFO the recording writes into, slowly,
 * and copies what comes out into COPY.</li>
 * </ul>
 */
public final class OutputProbe {

    private static volatile boolean running = true;
    private static volatile long sink;

    private OutputProbe() {
    }

    public static void main(String[] args) throws Exception {
        // Without asynchronous sampling no sample can be lost, so the sections
        // after the threads stay empty and the test can find them by position.
        SelfAttach.attach("no-async-sampling");
        List<Thread> threads = new ArrayList<>();
        for (int i = 0; i < 2; i++) {
            Thread t = new Thread(null, () -> {
                while (running) {
                    step(150);
                }
            }, "deep-" + i, 8 * 1024 * 1024);
            t.start();
            threads.add(t);
        }
        Path output = Paths.get(args[1]);
        Thread recording = new Thread(() -> RecordingProbe.record(1200, output.toString()), "recording");
        Thread reader = null;
        if (args[0].equals("pipe")) {
            Path copy = Paths.get(args[2]);
            reader = new Thread(() -> readSlowly(output, copy), "reader");
            reader.start();
        }
        recording.start();
        if (args[0].equals("link")) {
            Thread.sleep(400);
            Files.createSymbolicLink(output, Paths.get(args[2]));
            System.out.println("planted");
        }
        recording.join();
        if (reader != null) {
            reader.join();
        }
        running = false;
        for (Thread t : threads) {
            t.join();
        }
        System.out.println("done");
    }

    /** Opens the FIFO (which waits for the writer) and copies it 4 KB at a time, pausing between reads. */
    private static void readSlowly(Path fifo, Path copy) {
        byte[] chunk = new byte[4096];
        try (InputStream in = new FileInputStream(fifo.toFile()); OutputStream out = Files.newOutputStream(copy)) {
            int n;
            while ((n = in.read(chunk)) > 0) {
                out.write(chunk, 0, n);
                Thread.sleep(1);
            }
        } catch (Exception e) {
            e.printStackTrace();
        }
    }

    private static void step(int depth) {
        if (depth == 0) {
            for (int i = 0; i < 2000; i++) {
                sink += i;
            }
            return;
        }
        if (ThreadLocalRandom.current().nextBoolean()) {
            a(depth - 1);
        } else {
            b(depth - 1);
        }
    }

    private static void a(int depth) {
        step(depth);
    }

    private static void b(int depth) {
        step(depth);
    }
}
