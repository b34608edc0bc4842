package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import com.tolvane.agent.callee.JvmtiCallee;
import com.tolvane.agent.callee.JvmtiCallee.JvmtiThreadManager;
import com.tolvane.agent.callee.JvmtiCallee.Transaction;

import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicReference;

import org.junit.jupiter.api.Test;

/**
 * The Java side of the library's contract, in this JVM, where the library is
 * not loaded: transaction labels must work and nothing may throw.
 */
class JvmtiCalleeTest {

    /** Runs body on a fresh thread, so each test starts with no labels. */
    private static void onFreshThread(ThrowingRunnable body) throws Exception {
        AtomicReference<Throwable> failure = new AtomicReference<>();
        Thread thread = new Thread(() -> {
            try {
                body.run();
            } catch (Throwable t) {
                failure.set(t);
            }
        });
        thread.start();
        thread.join();
        if (failure.get() != null) {
            if (failure.get() instanceof Exception) {
                throw (Exception) failure.get();
            }
            throw (Error) failure.get();
        }
    }

    interface ThrowingRunnable {
        void run() throws Exception;
    }

    @Test
    void labelsNestAndUnwindOutermostFirst() throws Exception {
        onFreshThread(() -> {
            assertNull(JvmtiCallee.currentThreadManager());
            try (Transaction outer = JvmtiCallee.enterTransaction(11)) {
                JvmtiThreadManager manager = JvmtiCallee.currentThreadManager();
                assertNotNull(manager);
                assertArrayEquals(new long[] {1, 11}, manager.currentTransactionIds());
                try (Transaction zero = JvmtiCallee.enterTransaction(0)) {
                    assertArrayEquals(new long[] {1, 11}, manager.currentTransactionIds(), "0 labels nothing");
                    try (Transaction inner = JvmtiCallee.enterTransaction(22)) {
                        assertArrayEquals(new long[] {2, 11, 22}, manager.currentTransactionIds());
                    }
                }
                assertArrayEquals(new long[] {1, 11}, manager.currentTransactionIds());
                assertSame(manager, JvmtiCallee.currentThreadManager());
            }
            assertArrayEquals(new long[] {0}, JvmtiCallee.currentThreadManager().currentTransactionIds());
        });
    }

    @Test
    void closingAnOuterScopeFirstUnwindsTheInnerOnesAndDoubleCloseIsHarmless() throws Exception {
        onFreshThread(() -> {
            Transaction outer = JvmtiCallee.enterTransaction(1);
            Transaction inner = JvmtiCallee.enterTransaction(2);
            JvmtiThreadManager manager = JvmtiCallee.currentThreadManager();
            outer.close();
            assertArrayEquals(new long[] {0}, manager.currentTransactionIds());
            inner.close();
            outer.close();
            assertArrayEquals(new long[] {0}, manager.currentTransactionIds());
            try (Transaction again = JvmtiCallee.enterTransaction(3)) {
                assertArrayEquals(new long[] {1, 3}, manager.currentTransactionIds());
            }
        });
    }

    @Test
    void onlyTheOutermostTenAreReported() throws Exception {
        onFreshThread(() -> {
            List<Transaction> open = new ArrayList<>();
            for (int id = 1; id <= 13; id++) {
                open.add(JvmtiCallee.enterTransaction(id));
            }
            JvmtiThreadManager manager = JvmtiCallee.currentThreadManager();
            long[] ten = {10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
            assertArrayEquals(ten, manager.currentTransactionIds());
            for (int i = 12; i >= 10; i--) {
                open.get(i).close();
                assertArrayEquals(ten, manager.currentTransactionIds());
            }
            open.get(9).close();
            assertArrayEquals(new long[] {9, 1, 2, 3, 4, 5, 6, 7, 8, 9}, manager.currentTransactionIds());
        });
    }

    @Test
    void samplingSeesTheLabelsOfItsOwnTickOnly() throws Exception {
        onFreshThread(() -> {
            try (Transaction t = JvmtiCallee.enterTransaction(5)) {
                JvmtiThreadManager manager = JvmtiCallee.currentThreadManager();
                manager.initSamplingState();
                try (Transaction u = JvmtiCallee.enterTransaction(6)) {
                    assertArrayEquals(new long[] {1, 5}, manager.getSamplingTransactionIds());
                    manager.initSamplingState();
                    assertArrayEquals(new long[] {2, 5, 6}, manager.getSamplingTransactionIds());
                }
                assertArrayEquals(new long[] {2, 5, 6}, manager.getSamplingTransactionIds(),
                        "the array handed out must not change under the library");
            }
        });
    }

    @Test
    void samplerOnAnotherThreadAlwaysGetsAWellFormedPrefix() throws Exception {
        // The owner pushes 1..k and pops back in a loop; any array the sampler
        // takes must be {n, 1, 2, ..., n} with n between 0 and 10.
        AtomicReference<JvmtiThreadManager> managerRef = new AtomicReference<>();
        AtomicBoolean stop = new AtomicBoolean();
        CountDownLatch ready = new CountDownLatch(1);
        AtomicReference<Throwable> ownerFailure = new AtomicReference<>();
        Thread owner = new Thread(() -> {
            try {
                try (Transaction first = JvmtiCallee.enterTransaction(1)) {
                    managerRef.set(JvmtiCallee.currentThreadManager());
                    ready.countDown();
                    while (!stop.get()) {
                        List<Transaction> open = new ArrayList<>();
                        for (int id = 2; id <= 12; id++) {
                            open.add(JvmtiCallee.enterTransaction(id));
                        }
                        for (int i = open.size() - 1; i >= 0; i--) {
                            open.get(i).close();
                        }
                    }
                }
            } catch (Throwable t) {
                ownerFailure.set(t);
            }
        });
        owner.start();
        assertTrue(ready.await(10, TimeUnit.SECONDS));
        JvmtiThreadManager manager = managerRef.get();
        long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(300);
        int samples = 0;
        try {
            while (System.nanoTime() < deadline) {
                manager.initSamplingState();
                long[] ids = manager.getSamplingTransactionIds();
                int n = (int) ids[0];
                if (n < 0 || n > 10 || ids.length != n + 1) {
                    fail("malformed sample of length " + ids.length + " with count " + n);
                }
                for (int i = 1; i <= n; i++) {
                    assertEquals(i, ids[i]);
                }
                samples++;
            }
        } finally {
            stop.set(true);
            owner.join();
        }
        assertNull(ownerFailure.get());
        assertTrue(samples > 0);
    }

    @Test
    void scopesThatAreNeverClosedDoNotGrowTheHeap() throws Exception {
        // Twenty million leaked scopes would need hundreds of megabytes if
        // every id were kept; the child has 32.
        ChildJvm.main(LeakedScopes.class, "20000000").jvmArg("-Xmx32m").run().assertSuccess();
    }

    /** Child-JVM program: opens scopes it never closes, then unwinds them all at once. */
    public static final class LeakedScopes {
        public static void main(String[] args) {
            int count = Integer.parseInt(args[0]);
            Transaction first = JvmtiCallee.enterTransaction(1);
            for (int id = 2; id <= count; id++) {
                JvmtiCallee.enterTransaction(id);
            }
            JvmtiThreadManager manager = JvmtiCallee.currentThreadManager();
            check(manager.currentTransactionIds(), new long[] {10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
            first.close();
            check(manager.currentTransactionIds(), new long[] {0});
            try (Transaction again = JvmtiCallee.enterTransaction(42)) {
                check(manager.currentTransactionIds(), new long[] {1, 42});
            }
        }

        private static void check(long[] actual, long[] expected) {
            if (!java.util.Arrays.equals(actual, expected)) {
                throw new AssertionError(java.util.Arrays.toString(actual));
            }
        }
    }

    @Test
    void withoutTheLibraryNothingThrows() throws Exception {
        assertFalse(JvmtiCallee.isNativeAvailable());
        onFreshThread(() -> {
            try (Transaction t = JvmtiCallee.enterTransaction(7)) {
                JvmtiCallee.debugOut(0, 0, "nowhere");
                JvmtiCallee.setThreadReporting(true);
                assertTrue(JvmtiCallee.isThreadReporting());
                JvmtiCallee.setThreadReporting(false);
                assertFalse(JvmtiCallee.isThreadReporting());
                JvmtiCallee.debugStackTrace();
            }
        });
    }
}
