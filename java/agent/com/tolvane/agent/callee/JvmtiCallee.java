package com.tolvane.agent.callee;

import java.lang.ref.WeakReference;
import java.util.ArrayList;
import java.util.Iterator;
import java.util.List;
import java.util.concurrent.ConcurrentHashMap;

/**
 * The Java face of the native profiling library: its native methods, the
 * callbacks it makes into Java, and the per-thread transaction labels that
 * application code sets and the sampler reads.
 *
 * <p>The natives are bound only once the library is in the process. Every
 * public helper of this class works without it: the labels are then kept on
 * the Java side only and reach the library when it is attached and starts a
 * recording.
 *
 * <p>The library calls {@link #setThreadReporting(boolean)} and the sampling
 * methods of {@link JvmtiThreadManager} while it holds its own lock. None of
 * them takes a lock or waits for another thread, and none of them throws.
 */
public final class JvmtiCallee {

    /** Most transaction ids the library takes from one thread; deeper ones stay on the Java side. */
    public static final int MAX_TRANSACTION_DEPTH = 10;

    private static final long[] NO_TRANSACTIONS = {0L};

    /** How long a failed probe for the library is trusted before the next probe. */
    private static final long PROBE_INTERVAL_NANOS = 1_000_000_000L;

    private static final ThreadLocal<JvmtiThreadManager> CURRENT = new ThreadLocal<>();

    /**
     * Managers of threads that labelled work; entries of ended threads are
     * pruned. A plain list under its own lock, never held across a native
     * call: a concurrent queue would bring some thirty classes of the JDK's
     * own into a JVM that only gets recorded.
     */
    private static final List<Registration> REGISTRY = new ArrayList<>();

    /**
     * Virtual threads while they have labels open. They are never registered
     * with the library one by one (there may be millions); it asks here for
     * the labels of the one a carrier runs when it samples it.
     */
    private static final ConcurrentHashMap<Thread, JvmtiThreadManager> VIRTUAL = new ConcurrentHashMap<>();

    /** java.lang.VirtualThread, or null before Java 21. */
    private static final Class<?> VIRTUAL_THREAD_CLASS = findClass("java.lang.VirtualThread");

    private static volatile boolean nativeAvailable;
    private static volatile long lastFailedProbe;
    private static volatile boolean reporting;
    private static int registrationsSincePrune; // under the registry's lock

    private JvmtiCallee() {
    }

    // ---- natives of the library ----

    /** Records all threads for durationMillis and writes the snapshot to snapshotPath (file name bytes). */
    public static native void record(long durationMillis, boolean sampleTransactions, boolean recordAgentThreads,
            byte[] snapshotPath);

    /**
     * Replaces the contents of an existing regular file of this JVM's user,
     * reached without following a link ({@code path}: file name bytes ending in
     * a zero byte): the reply to a command of the tolvane tool. False when the
     * file is not there or not such a file.
     */
    public static native boolean writeReply(byte[] path, byte[] text);

    /** What {@link #fileKind} finds: nothing, a regular file, anything else (a link, device, FIFO, ...). */
    public static final int FILE_MISSING = 0;
    public static final int FILE_REGULAR = 1;
    public static final int FILE_OTHER = 2;

    /** What is at {@code path} (file name bytes ending in a zero byte), its last element not followed. */
    public static native int fileKind(byte[] path);

    /** Writes text verbatim into the library's debug log when subsystem and level pass its filter. */
    public static native void debugOut0(int subsystem, int level, String text);

    /** Sets the class filters and the class names whose methods are left out of the call trees. */
    public static native void setFilters(String[] filters, boolean filterInverted, String[] ignoredClassNames,
            boolean sampleAgentClasses);

    /** Declares methods of a class whose time counts as network I/O. */
    public static native void addNetioClass(String className, String[] methodNames, String[] methodSignatures);

    /** A new transaction id with the given name, or 0. */
    public static native long createInterceptionMethodId(String name);

    /** Ties a thread's manager to the library's record of the thread. */
    public static native void associateThread(Thread thread, boolean currentThread, JvmtiThreadManager threadManager);

    // ---- availability of the library ----

    /**
     * True when the natives are bound. Probes with a debug-log call that no
     * filter lets through; a failed probe is repeated at most once a second.
     */
    public static boolean isNativeAvailable() {
        if (nativeAvailable) {
            return true;
        }
        long now = System.nanoTime();
        long last = lastFailedProbe;
        if (last != 0 && now - last < PROBE_INTERVAL_NANOS) {
            return false;
        }
        try {
            debugOut0(0, Integer.MAX_VALUE, "");
            nativeAvailable = true;
            return true;
        } catch (LinkageError e) {
            lastFailedProbe = now == 0 ? 1 : now;
            return false;
        }
    }

    /** Writes text into the library's debug log; does nothing without the library. */
    public static void debugOut(int subsystem, int level, String text) {
        if (text == null || !isNativeAvailable()) {
            return;
        }
        try {
            debugOut0(subsystem, level, text);
        } catch (LinkageError ignored) {
            // the library went away or never bound this native
        }
    }

    // ---- callbacks of the library ----

    /**
     * Called by the library with true at the start of each recording's
     * sampling phase and with false at its end. The library forgets every
     * thread association after a recording, so each start re-associates the
     * managers of all live threads that labelled work.
     */
    public static void setThreadReporting(boolean on) {
        try {
            reporting = on;
            if (!on) {
                return;
            }
            // Only the library calls this, so its natives are bound: code
            // that was told otherwise before the attach must not wait out
            // the probe interval, or the first recording misses its labels.
            nativeAvailable = true;
            List<Registration> live;
            synchronized (REGISTRY) {
                prune();
                live = new ArrayList<>(REGISTRY);
            }
            for (Registration registration : live) {
                Thread thread = registration.thread.get();
                if (thread != null) {
                    associate(thread, false, registration.manager);
                }
            }
        } catch (Throwable ignored) {
            // never let an exception reach the library
        }
    }

    /** True between the library's start and end calls of setThreadReporting. */
    public static boolean isThreadReporting() {
        return reporting;
    }

    /** Prints the calling thread's stack on standard error; the library asks for it while debugging. */
    public static void debugStackTrace() {
        try {
            new Throwable("tolvane debug stack trace of thread \"" + Thread.currentThread().getName() + "\"")
                    .printStackTrace();
        } catch (Throwable ignored) {
            // diagnostics must not disturb the caller
        }
    }

    // ---- transaction labels ----

    /**
     * Labels the calling thread's work with a transaction id (from
     * {@link #createInterceptionMethodId(String)}) until the returned scope is
     * closed; scopes nest. Use with try-with-resources. An id of 0 labels
     * nothing.
     */
    public static Transaction enterTransaction(long id) {
        JvmtiThreadManager manager = currentThreadManager(true);
        int depthBefore = manager.depth;
        if (id != 0) {
            manager.push(id);
        }
        return new Transaction(manager, depthBefore);
    }

    /** The calling thread's manager, or null when the thread never labelled work. */
    public static JvmtiThreadManager currentThreadManager() {
        return currentThreadManager(false);
    }

    /**
     * The labels of a virtual thread, in the layout of
     * {@link JvmtiThreadManager#getSamplingTransactionIds()}; called by the
     * library for the virtual thread a carrier runs.
     */
    public static long[] virtualTransactionIds(Thread thread) {
        JvmtiThreadManager manager = thread != null ? VIRTUAL.get(thread) : null;
        return manager != null ? manager.published : NO_TRANSACTIONS;
    }

    private static Class<?> findClass(String name) {
        try {
            return Class.forName(name, false, null);
        } catch (ClassNotFoundException | LinkageError e) {
            return null;
        }
    }

    private static JvmtiThreadManager currentThreadManager(boolean create) {
        JvmtiThreadManager manager = CURRENT.get();
        if (manager == null && create) {
            manager = new JvmtiThreadManager();
            CURRENT.set(manager);
            Thread thread = Thread.currentThread();
            if (VIRTUAL_THREAD_CLASS != null && thread.getClass() == VIRTUAL_THREAD_CLASS) {
                manager.virtualThread = thread;
                return manager;
            }
            register(thread, manager);
            if (isNativeAvailable()) {
                associate(thread, true, manager);
            }
        }
        return manager;
    }

    private static void register(Thread thread, JvmtiThreadManager manager) {
        synchronized (REGISTRY) {
            REGISTRY.add(new Registration(thread, manager));
            // Threads that end without the library ever recording still leave
            // entries; sweep them now and then so the registry stays small.
            if (++registrationsSincePrune >= 64) {
                registrationsSincePrune = 0;
                prune();
            }
        }
    }

    /** Drops the entries of ended threads; under the registry's lock. */
    private static void prune() {
        for (Iterator<Registration> it = REGISTRY.iterator(); it.hasNext();) {
            Thread registered = it.next().thread.get();
            if (registered == null || !registered.isAlive()) {
                it.remove();
            }
        }
    }

    private static void associate(Thread thread, boolean currentThread, JvmtiThreadManager manager) {
        try {
            associateThread(thread, currentThread, manager);
        } catch (LinkageError ignored) {
            // not bound: the next recording's setThreadReporting(true) associates it
        }
    }

    private static final class Registration {
        final WeakReference<Thread> thread;
        final JvmtiThreadManager manager;

        Registration(Thread thread, JvmtiThreadManager manager) {
            this.thread = new WeakReference<>(thread);
            this.manager = manager;
        }
    }

    /** An open transaction label; closing it restores the labels it found. Not thread-safe: close it on its own thread. */
    public static final class Transaction implements AutoCloseable {
        private final JvmtiThreadManager manager;
        private final int depthBefore;
        private boolean closed;

        Transaction(JvmtiThreadManager manager, int depthBefore) {
            this.manager = manager;
            this.depthBefore = depthBefore;
        }

        @Override
        public void close() {
            if (!closed) {
                closed = true;
                manager.popTo(depthBefore);
            }
        }
    }

    /**
     * The Java side of one thread for the library. The owning thread pushes
     * and pops transaction ids; every change publishes a new immutable array
     * {count, ids outermost first} holding at most
     * {@link #MAX_TRANSACTION_DEPTH} ids. The sampling thread takes that array
     * in {@link #initSamplingState()} and hands it to the library from
     * {@link #getSamplingTransactionIds()}, so both calls of one tick see the
     * same labels whatever the owning thread does in between.
     */
    public static class JvmtiThreadManager {
        // Owner thread only. Only the outermost MAX_TRANSACTION_DEPTH ids are
        // ever published, so deeper ones are counted but not kept: scopes that
        // application code never closes cannot grow this without bound.
        private final long[] stack = new long[MAX_TRANSACTION_DEPTH];
        private int depth;

        private volatile long[] published = NO_TRANSACTIONS;
        // The virtual thread that owns this manager, or null for a platform thread.
        private Thread virtualThread;
        private volatile long[] sampled = NO_TRANSACTIONS;

        public JvmtiThreadManager() {
        }

        /** Called by the library on the sampling thread before it captures stacks. */
        public void initSamplingState() {
            sampled = published;
        }

        /** Called by the library after the capture: the labels taken by initSamplingState. */
        public long[] getSamplingTransactionIds() {
            return sampled;
        }

        /** The labels as they stand now, in the layout of getSamplingTransactionIds. */
        public long[] currentTransactionIds() {
            return published.clone();
        }

        private void push(long id) {
            if (depth == Integer.MAX_VALUE) {
                return; // the scope's close then finds nothing of its own to unwind
            }
            if (depth < MAX_TRANSACTION_DEPTH) {
                if (depth == 0 && virtualThread != null) {
                    VIRTUAL.put(virtualThread, this);
                }
                stack[depth++] = id;
                publish();
            } else {
                depth++;
            }
        }

        private void popTo(int newDepth) {
            if (newDepth < 0 || newDepth >= depth) {
                return;
            }
            boolean visible = newDepth < MAX_TRANSACTION_DEPTH;
            depth = newDepth;
            if (visible) {
                publish();
            }
            if (newDepth == 0 && virtualThread != null) {
                VIRTUAL.remove(virtualThread);
            }
        }

        private void publish() {
            int count = Math.min(depth, MAX_TRANSACTION_DEPTH);
            long[] ids = new long[count + 1];
            ids[0] = count;
            System.arraycopy(stack, 0, ids, 1, count);
            published = ids;
        }
    }
}
