package com.tolvane.demo;

import com.tolvane.agent.callee.JvmtiCallee;
import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.OutputStreamWriter;
import java.io.PrintWriter;
import java.net.InetAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.nio.charset.StandardCharsets;

/**
 * A small workload of known shape to profile:
 * <ul>
 * <li>"demo-cpu" computes prices in the chain runCpuWorker, priceOrder, checksum;</li>
 * <li>"demo-contender-1" and "-2" fight over one monitor (blocked time);</li>
 * <li>"demo-waiter" waits in Object.wait, "demo-sleeper" in Thread.sleep (waiting time);</li>
 * <li>"demo-client" sends requests over a loopback socket to "demo-server-conn", which
 * answers after a short pause (net I/O time on both sides); the client's requests are
 * labelled as transactions "checkout" and "browse" once the profiler is in the JVM.</li>
 * </ul>
 * Prints "DemoApp ready" when everything runs, and exits when the process that
 * started it ends, so it never outlives the command that started it.
 */
public final class DemoApp {
    public static final String READY = "DemoApp ready";

    private static final Object CONTENDED = new Object();
    private static final Object SIGNAL = new Object();
    private static volatile long sink;
    private static volatile long checkoutLabel;
    private static volatile long browseLabel;

    private DemoApp() {
    }

    public static void main(String[] args) throws Exception {
        ServerSocket server = new ServerSocket(0, 50, InetAddress.getLoopbackAddress());
        start("demo-cpu", DemoApp::runCpuWorker);
        start("demo-contender-1", DemoApp::runContender);
        start("demo-contender-2", DemoApp::runContender);
        start("demo-waiter", DemoApp::runWaiter);
        start("demo-sleeper", DemoApp::runSleeper);
        start("demo-server", () -> runServer(server));
        start("demo-client", () -> runClient(server.getLocalPort()));
        System.out.println(READY);
        System.out.flush();
        // Sleeping (rather than blocking on a read) keeps the main thread out of the running time.
        ProcessHandle parent = ProcessHandle.current().parent().orElse(null);
        while (parent == null || parent.isAlive()) {
            Thread.sleep(500);
        }
        System.exit(0);
    }

    private static void start(String name, Runnable body) {
        Thread t = new Thread(() -> {
            try {
                body.run();
            } catch (RuntimeException e) {
                e.printStackTrace();
            }
        }, name);
        t.setDaemon(true);
        t.start();
    }

    // --- CPU work in a known chain ---------------------------------------

    static void runCpuWorker() {
        long[] prices = new long[4096];
        for (int order = 0; ; order++) {
            sink += priceOrder(prices, order);
        }
    }

    static long priceOrder(long[] prices, int order) {
        for (int i = 0; i < prices.length; i++) {
            prices[i] = (order * 31L + i) ^ (i << 7);
        }
        return checksum(prices, order);
    }

    static long checksum(long[] values, int seed) {
        long h = seed;
        for (int round = 0; round < 16; round++) {
            for (long v : values) {
                h = h * 1_000_003L + (v ^ (h >>> 29));
            }
        }
        return h;
    }

    // --- lock contention, waits and sleeps --------------------------------

    static void runContender() {
        while (true) {
            synchronized (CONTENDED) {
                busyFor(20);
            }
        }
    }

    static void busyFor(long millis) {
        long end = System.nanoTime() + millis * 1_000_000;
        long h = 0;
        while (System.nanoTime() < end) {
            h += checksum(new long[] {h, 1, 2, 3}, 7);
        }
        sink += h;
    }

    static void runWaiter() {
        while (true) {
            synchronized (SIGNAL) {
                try {
                    SIGNAL.wait(200);
                } catch (InterruptedException e) {
                    return;
                }
            }
        }
    }

    static void runSleeper() {
        while (true) {
            try {
                Thread.sleep(100);
            } catch (InterruptedException e) {
                return;
            }
        }
    }

    // --- loopback socket traffic ----------------------------------------

    static void runServer(ServerSocket server) {
        while (true) {
            try {
                Socket connection = server.accept();
                start("demo-server-conn", () -> serve(connection));
            } catch (IOException e) {
                return;
            }
        }
    }

    static void serve(Socket connection) {
        try (Socket s = connection;
             BufferedReader in = new BufferedReader(new InputStreamReader(s.getInputStream(), StandardCharsets.UTF_8));
             PrintWriter out = new PrintWriter(new OutputStreamWriter(s.getOutputStream(), StandardCharsets.UTF_8),
                     true)) {
            String request;
            while ((request = in.readLine()) != null) {
                Thread.sleep(15);
                out.println("OK " + request.length() + " " + checksum(new long[] {request.hashCode()}, 3));
            }
        } catch (IOException | InterruptedException e) {
            // the client went away
        }
    }

    static void runClient(int port) {
        try (Socket s = new Socket(InetAddress.getLoopbackAddress(), port);
             BufferedReader in = new BufferedReader(new InputStreamReader(s.getInputStream(), StandardCharsets.UTF_8));
             PrintWriter out = new PrintWriter(new OutputStreamWriter(s.getOutputStream(), StandardCharsets.UTF_8),
                     true)) {
            for (int i = 0; ; i++) {
                boolean checkout = i % 3 == 0;
                try (JvmtiCallee.Transaction tx = JvmtiCallee.enterTransaction(label(checkout))) {
                    sendRequest(in, out, (checkout ? "checkout " : "browse ") + i);
                }
            }
        } catch (IOException e) {
            // the server went away
        }
    }

    static String sendRequest(BufferedReader in, PrintWriter out, String request) throws IOException {
        out.println(request);
        return in.readLine();
    }

    /**
     * The transaction label for a request; 0 (no label) until the profiler's
     * native library is in this JVM, because only the library hands out ids.
     */
    static long label(boolean checkout) {
        if (checkoutLabel == 0 && JvmtiCallee.isNativeAvailable()) {
            synchronized (DemoApp.class) {
                if (checkoutLabel == 0) {
                    browseLabel = JvmtiCallee.createInterceptionMethodId("browse");
                    checkoutLabel = JvmtiCallee.createInterceptionMethodId("checkout");
                }
            }
        }
        return checkout ? checkoutLabel : browseLabel;
    }
}
