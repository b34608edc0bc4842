package com.tolvane.test;

import java.lang.reflect.Method;
import java.security.MessageDigest;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Semaphore;
import java.util.concurrent.atomic.AtomicLong;

/**
 * A server of virtual-thread requests (JDK 21 and later; found by
 * reflection so that it compiles for 17): "requests" keeps up to 200
 * requests at once, each in a virtual thread of its own that hashes with
 * SHA-256 (hashFirst), sleeps 20 ms as if waiting for I/O and hashes again
 * (hashSecond); a platform thread "spinner" only computes. With the argument
 * "pinned", a platform thread "holder" keeps a lock most of the time and one
 * more virtual thread, pinned to its carrier (it runs a class initialiser),
 * waits for it in pinnedHold, blocked entering the monitor. With
 * "labels", every request runs inside the transaction label "request".
 * Prints its ready line once requests run, then every 100 ms a progress
 * line "progress COMPLETED SLEPT_MICROS" (requests completed so far, and the
 * time their sleeps really took, which a loaded machine stretches), and runs
 * until killed, or for as many milliseconds as its first argument says (0:
 * until killed).
 */
public final class VirtualThreadTarget {
    private static volatile long sink;
    static final AtomicLong COMPLETED = new AtomicLong();
    static final AtomicLong SLEPT_NANOS = new AtomicLong();
    private static final Object LOCK = new Object();

    private VirtualThreadTarget() {
    }

    public static void main(String[] args) throws Exception {
        long millis = args.length > 0 ? Long.parseLong(args[0]) : 0;
        boolean pinned = args.length > 1 && args[1].contains("pinned");
        boolean labels = args.length > 1 && args[1].contains("labels");
        Thread spinner = new Thread(() -> {
            long x = 3;
            while (true) {
                x = spin(x);
                sink = x;
            }
        }, "spinner");
        spinner.setDaemon(true);
        spinner.start();

        ExecutorService executor = (ExecutorService) Class.forName("java.util.concurrent.Executors")
                .getMethod("newVirtualThreadPerTaskExecutor").invoke(null);
        if (pinned) {
            Thread holder = new Thread(() -> {
                while (true) {
                    holdLock();
                    try {
                        Thread.sleep(1);
                    } catch (InterruptedException e) {
                        return;
                    }
                }
            }, "holder");
            holder.setDaemon(true);
            holder.start();
            executor.submit(() -> PinnedInit.touch());
        }
        Semaphore inFlight = new Semaphore(200);
        Thread dispatcher = new Thread(() -> {
            try {
                while (true) {
                    inFlight.acquire();
                    executor.submit(() -> {
                        try {
                            long label = labels ? LabelSupport.id() : 0;
                            if (label != 0) {
                                LabelSupport.run(label, VirtualThreadTarget::handle);
                            } else {
                                handle();
                            }
                        } finally {
                            inFlight.release();
                        }
                    });
                }
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }, "requests");
        dispatcher.setDaemon(true);
        dispatcher.start();
        while (COMPLETED.get() < 200) {
            Thread.sleep(10);
        }
        System.out.println("VirtualThreadTarget ready");
        System.out.flush();
        long end = millis > 0 ? System.nanoTime() + millis * 1_000_000L : Long.MAX_VALUE;
        while (System.nanoTime() < end) {
            Thread.sleep(100);
            System.out.println("progress " + COMPLETED.get() + " " + SLEPT_NANOS.get() / 1000);
            System.out.flush();
        }
        System.exit(0);
    }

    /** One request: hash, wait 20 ms, hash again. */
    static void handle() {
        try {
            byte[] data = new byte[4096];
            data[0] = (byte) COMPLETED.get();
            byte[] first = hashFirst(data);
            long before = System.nanoTime();
            Thread.sleep(20);
            SLEPT_NANOS.addAndGet(System.nanoTime() - before);
            sink += hashSecond(first)[0];
            COMPLETED.incrementAndGet();
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    static byte[] hashFirst(byte[] data) {
        return hash(data, 250);
    }

    static byte[] hashSecond(byte[] data) {
        return hash(data, 250);
    }

    private static byte[] hash(byte[] data, int rounds) {
        try {
            MessageDigest digest = MessageDigest.getInstance("SHA-256");
            byte[] out = data;
            for (int i = 0; i < rounds; i++) {
                digest.update(data);
                out = digest.digest(out);
            }
            return out;
        } catch (Exception e) {
            throw new IllegalStateException(e);
        }
    }

    /** Holds the lock for a while: the virtual thread that wants it is blocked meanwhile. */
    static void holdLock() {
        synchronized (LOCK) {
            sink += spin(sink) + spin(sink) + spin(sink);
        }
    }

    /** Takes the lock briefly, as soon as it can. */
    static void pinnedHold() {
        synchronized (LOCK) {
            sink++;
        }
    }

    /**
     * A class whose initialisation never ends: a virtual thread running a
     * class initialiser cannot leave its carrier, so while it waits for the
     * lock it is pinned, blocked on its carrier.
     */
    static final class PinnedInit {
        static {
            while (sink != Long.MIN_VALUE) {
                pinnedHold();
            }
        }

        private PinnedInit() {
        }

        static void touch() {
        }
    }

    private static long spin(long x) {
        for (int i = 0; i < 1_000_000; i++) {
            x = x * 2862933555777941757L + 3037000493L;
        }
        return x;
    }

    /** Transaction labels through the agent's callee class, once the library is there. */
    static final class LabelSupport {
        private static volatile long id;
        private static volatile long lastTry;

        private LabelSupport() {
        }

        /** The label "request", created the first time the library is found; 0 before. */
        static long id() {
            long known = id;
            long now = System.nanoTime();
            if (known == 0 && now - lastTry > 100_000_000L) {
                lastTry = now;
                known = create("request");
                id = known;
            }
            return known;
        }

        static long create(String name) {
            try {
                Class<?> callee = Class.forName("com.tolvane.agent.callee.JvmtiCallee");
                Method available = callee.getMethod("isNativeAvailable");
                if (!(Boolean) available.invoke(null)) {
                    return 0;
                }
                return (Long) callee.getMethod("createInterceptionMethodId", String.class).invoke(null, name);
            } catch (ReflectiveOperationException e) {
                return 0;
            }
        }

        static void run(long label, Runnable body) {
            try {
                Class<?> callee = Class.forName("com.tolvane.agent.callee.JvmtiCallee");
                try (AutoCloseable t = (AutoCloseable) callee.getMethod("enterTransaction", long.class)
                        .invoke(null, label)) {
                    body.run();
                }
            } catch (RuntimeException e) {
                throw e;
            } catch (Exception e) {
                throw new IllegalStateException(e);
            }
        }
    }
}
