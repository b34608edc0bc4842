package com.tolvane.test;

import com.tolvane.agent.callee.JvmtiCallee;
import com.tolvane.agent.callee.JvmtiCallee.JvmtiThreadManager;

import java.lang.ref.WeakReference;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.CyclicBarrier;

/**
 * Child-JVM program for {@link AssociateThreadTest}. The library keeps a
 * global reference to the Java-side manager it stores for a thread and none
 * to one it turns away, so after garbage collection an associated object is
 * still reachable through a weak reference and a refused one is gone. The
 * program prints "name=held" or "name=free" per object, then "done".
 *
 * <p>Arguments: the scenario, then optionally the attach option string.
 */
public final class AssociateThreadProbe {

    private AssociateThreadProbe() {
    }

    public static void main(String[] args) throws Exception {
        String scenario = args[0];
        if (scenario.equals("unattached")) {
            SelfAttach.loadWithoutAttach();
        } else {
            SelfAttach.attach(args.length > 1 ? args[1] : null);
        }
        switch (scenario) {
            case "unattached":
                unattached();
                break;
            case "twice":
                twice();
                break;
            case "current":
                current();
                break;
            case "concurrent":
                concurrent();
                break;
            default:
                throw new IllegalArgumentException("unknown scenario " + scenario);
        }
        System.out.println("done");
    }

    /** Without the attach the native does nothing, so nothing is kept. */
    private static void unattached() {
        WeakReference<JvmtiThreadManager> object = associate(Thread.currentThread(), false);
        collect();
        report("object", object);
    }

    /** Two objects for one thread: the first stays. */
    private static void twice() {
        Thread self = Thread.currentThread();
        WeakReference<JvmtiThreadManager> first = associate(self, false);
        WeakReference<JvmtiThreadManager> second = associate(self, false);
        WeakReference<JvmtiThreadManager> third = associate(self, true);
        collect();
        report("first", first);
        report("second", second);
        report("third", third);
    }

    /**
     * With currentThread true and no manager for the caller, the thread
     * argument is registered, not the caller.
     */
    private static void current() throws Exception {
        CountDownLatch release = new CountDownLatch(1);
        Thread other = new Thread(() -> awaitQuietly(release), "other");
        other.start();
        try {
            Thread self = Thread.currentThread();
            WeakReference<JvmtiThreadManager> viaCurrent = associate(other, true);
            WeakReference<JvmtiThreadManager> otherAgain = associate(other, false);
            WeakReference<JvmtiThreadManager> selfFirst = associate(self, false);
            WeakReference<JvmtiThreadManager> selfAgain = associate(self, true);
            collect();
            report("viaCurrent", viaCurrent);
            report("otherAgain", otherAgain);
            report("selfFirst", selfFirst);
            report("selfAgain", selfAgain);
        } finally {
            release.countDown();
            other.join();
        }
    }

    /**
     * Many threads associate objects with one shared thread and with
     * themselves at the same time, while short-lived threads start and end.
     * Exactly one object per thread may stay.
     */
    private static void concurrent() throws Exception {
        final int workers = 16;
        final int rounds = 40;
        CountDownLatch release = new CountDownLatch(1);
        Thread target = new Thread(() -> awaitQuietly(release), "target");
        target.start();
        CyclicBarrier start = new CyclicBarrier(workers);
        List<List<WeakReference<JvmtiThreadManager>>> targetRefs = new ArrayList<>();
        List<List<WeakReference<JvmtiThreadManager>>> ownRefs = new ArrayList<>();
        List<Thread> threads = new ArrayList<>();
        List<Throwable> failures = new ArrayList<>();
        for (int w = 0; w < workers; w++) {
            List<WeakReference<JvmtiThreadManager>> toTarget = new ArrayList<>();
            List<WeakReference<JvmtiThreadManager>> toSelf = new ArrayList<>();
            targetRefs.add(toTarget);
            ownRefs.add(toSelf);
            Thread worker = new Thread(() -> {
                try {
                    start.await();
                    for (int r = 0; r < rounds; r++) {
                        toTarget.add(associate(target, false));
                        toSelf.add(associate(Thread.currentThread(), r % 2 == 0));
                        if (r % 10 == 0) {
                            Thread shortLived = new Thread(() -> { }, "short-lived");
                            shortLived.start();
                            shortLived.join();
                        }
                    }
                } catch (Throwable t) {
                    synchronized (failures) {
                        failures.add(t);
                    }
                }
            }, "worker-" + w);
            threads.add(worker);
            worker.start();
        }
        for (Thread t : threads) {
            t.join();
        }
        collect();
        int targetHeld = 0;
        for (List<WeakReference<JvmtiThreadManager>> refs : targetRefs) {
            targetHeld += countHeld(refs);
        }
        int workersWithOneHeld = 0;
        for (List<WeakReference<JvmtiThreadManager>> refs : ownRefs) {
            if (countHeld(refs) == 1 && refs.get(0).get() != null) {
                workersWithOneHeld++;
            }
        }
        release.countDown();
        target.join();
        System.out.println("failures=" + failures);
        System.out.println("targetHeld=" + targetHeld);
        System.out.println("workersWithOneHeld=" + workersWithOneHeld);
    }

    private static WeakReference<JvmtiThreadManager> associate(Thread thread, boolean currentThread) {
        JvmtiThreadManager manager = new JvmtiThreadManager();
        JvmtiCallee.associateThread(thread, currentThread, manager);
        return new WeakReference<>(manager);
    }

    private static int countHeld(List<WeakReference<JvmtiThreadManager>> refs) {
        int held = 0;
        for (WeakReference<JvmtiThreadManager> ref : refs) {
            if (ref.get() != null) {
                held++;
            }
        }
        return held;
    }

    private static void collect() {
        for (int i = 0; i < 3; i++) {
            System.gc();
            try {
                Thread.sleep(50);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                return;
            }
        }
    }

    private static void report(String name, WeakReference<?> ref) {
        System.out.println(name + "=" + (ref.get() != null ? "held" : "free"));
    }

    private static void awaitQuietly(CountDownLatch latch) {
        try {
            latch.await();
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }
}
