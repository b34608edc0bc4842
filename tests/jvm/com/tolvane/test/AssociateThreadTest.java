package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.util.Arrays;
import java.util.List;

import org.junit.jupiter.api.Test;

/**
 * JvmtiCallee.associateThread on a live JVM under -Xcheck:jni. Which objects
 * the library kept is seen through garbage collection: a kept object is
 * still reachable afterwards (see {@link AssociateThreadProbe}).
 */
class AssociateThreadTest {

    private static List<String> run(String... args) throws Exception {
        ChildJvm.Result result = ChildJvm.main(AssociateThreadProbe.class, args).run().assertSuccess();
        assertEquals(false, result.stderr.contains("Could not set thread local storage."), result::describe);
        return result.stdoutLines();
    }

    @Test
    void secondObjectForAThreadIsRefused() throws Exception {
        assertEquals(Arrays.asList("first=held", "second=free", "third=free", "done"), run("twice"));
    }

    @Test
    void currentThreadLookupRegistersTheThreadArgument() throws Exception {
        // The first call looks up the caller, finds nothing and registers
        // "other"; so "other" refuses a second object while the caller, still
        // unregistered, takes its first one.
        assertEquals(Arrays.asList("viaCurrent=held", "otherAgain=free", "selfFirst=held", "selfAgain=free", "done"),
                run("current"));
    }

    @Test
    void concurrentAssociationsGiveEachThreadOneManager() throws Exception {
        // Thread-start events stay on, so registration also runs from them meanwhile.
        assertEquals(Arrays.asList("failures=[]", "targetHeld=1", "workersWithOneHeld=16", "done"),
                run("concurrent", "save-thread-start"));
    }

    @Test
    void withoutAttachNothingIsKept() throws Exception {
        assertEquals(Arrays.asList("object=free", "done"), run("unattached"));
    }
}
