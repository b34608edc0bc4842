package com.tolvane.test;

import com.tolvane.agent.callee.JvmtiCallee;

import java.io.IOException;
import java.io.InputStream;
import java.net.InetAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CountDownLatch;

/**
 * Threads of known shape for the recording tests, run inside a child JVM.
 * Each thread has a fixed name and stays in one kind of activity until
 * {@link #stop()}: busy in a call chain, blocked on a monitor, waiting in
 * Object.wait, sleeping, reading a loopback socket, working under two
 * transaction labels, and calling filtered and ignored classes. Only the
 * busy thread spins without pause, so the sampling thread keeps its pace on
 * a loaded machine.
 *
 * <p>The "call-site:" comments mark the lines that the test expects as the
 * call-site lines of the nodes below them; keep each on its call.
 */
public final class RecordingWorkload {

    /** Class filter that collapses {@link Filtered} and {@link FilteredDeep}. */
    public static final String FILTER = "com.tolvane.test.RecordingWorkload$Filtered";
    /** Ignored-class pattern that removes {@link Ignored} from the trees. */
    public static final String IGNORED = "com.tolvane.test.RecordingWorkload$Ignored";
    public static final String NETIO_CLASS = "com.tolvane.test.RecordingWorkload$NetReader";

    private static volatile boolean running = true;
    private static volatile long sink;

    private final Object lock = new Object();
    private final Object waitMonitor = new Object();
    private final List<Thread> threads = new ArrayList<>();
    private final CountDownLatch ready = new CountDownLatch(6);
    private ServerSocket server;
    private Socket serverSide;
    private Socket clientSide;

    /** Declares the net I/O class and the filters; call before the first recording. */
    public static void configure() {
        JvmtiCallee.addNetioClass(NETIO_CLASS, null, null);
        JvmtiCallee.setFilters(new String[] {FILTER}, false, new String[] {IGNORED}, false);
    }

    /** Starts every thread and returns once each is in its activity. */
    public void start(long outerTransaction, long innerTransaction) throws Exception {
        server = new ServerSocket(0, 1, InetAddress.getLoopbackAddress());
        clientSide = new Socket(InetAddress.getLoopbackAddress(), server.getLocalPort());
        serverSide = server.accept();

        CountDownLatch held = new CountDownLatch(1);
        thread("holder", () -> {
            synchronized (lock) {
                held.countDown();
                while (running) {
                    pause(5);
                }
            }
        }).start();
        held.await();
        thread("busy", () -> {
            ready.countDown();
            busyA();
        }).start();
        thread("blocked", () -> {
            ready.countDown();
            blockedEnter();
        }).start();
        thread("waiting", () -> {
            ready.countDown();
            waitOn();
        }).start();
        thread("sleeping", () -> {
            ready.countDown();
            sleepIn();
        }).start();
        thread("netio", () -> {
            ready.countDown();
            try {
                new NetReader().readOnce(clientSide);
            } catch (IOException e) {
                // closed by stop()
            }
        }).start();
        thread("tx", () -> {
            try (JvmtiCallee.Transaction outer = JvmtiCallee.enterTransaction(outerTransaction);
                 JvmtiCallee.Transaction inner = JvmtiCallee.enterTransaction(innerTransaction)) {
                ready.countDown();
                txWork();
            }
        }).start();
        thread("filtered", () -> {
            while (running) {
                Filtered.enter();
                Ignored.spin();
                pause(3);
            }
        }).start();
        ready.await();
        // Give the blocked thread time to reach the monitor.
        pause(50);
    }

    public void stop() throws Exception {
        running = false;
        synchronized (waitMonitor) {
            waitMonitor.notifyAll();
        }
        serverSide.close();
        clientSide.close();
        server.close();
        for (Thread t : threads) {
            t.join(10_000);
        }
    }

    private Thread thread(String name, Runnable body) {
        Thread t = new Thread(body, name);
        t.setDaemon(true);
        threads.add(t);
        return t;
    }

    static void busyA() {
        while (running) {
            busyB(); // call-site:busyB
        }
    }

    static void busyB() {
        busyC(); // call-site:busyC
    }

    static void busyC() {
        spin(200_000);
    }

    void blockedEnter() {
        synchronized (lock) {
            sink++;
        }
    }

    void waitOn() {
        synchronized (waitMonitor) {
            while (running) {
                try {
                    waitMonitor.wait();
                } catch (InterruptedException e) {
                    return;
                }
            }
        }
    }

    static void sleepIn() {
        while (running) {
            pause(50);
        }
    }

    static void txWork() {
        while (running) {
            pause(20);
        }
    }

    static void spin(int rounds) {
        long x = sink;
        for (int i = 0; i < rounds; i++) {
            x = x * 31 + i;
        }
        sink = x;
    }

    static void spinFor(long millis) {
        long end = System.nanoTime() + millis * 1_000_000L;
        while (System.nanoTime() < end) {
            spin(1_000);
        }
    }

    static void pause(long millis) {
        try {
            Thread.sleep(millis);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    /** Every method of this class counts as net I/O. */
    static final class NetReader {
        int readOnce(Socket socket) throws IOException {
            InputStream in = socket.getInputStream();
            return in.read();
        }
    }

    /** Matches the class filter: the first call from unfiltered code gets a node. */
    static final class Filtered {
        static void enter() {
            FilteredDeep.work();
        }
    }

    /** Also matches the filter; called from filtered code, so it folds into {@link Filtered}. */
    static final class FilteredDeep {
        static void work() {
            spinFor(2);
        }
    }

    /** Ignored: never gets a node. */
    static final class Ignored {
        static void spin() {
            spinFor(1);
        }
    }
}
