package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;

import org.junit.jupiter.api.Test;

/** Attaching the library to a live JDK through the Attach API. */
class AgentAttachTest {

    private static final String PROTOCOL = "tolvane> Protocol version 1";
    private static final String BITS = "tolvane> 64-bit library";
    private static final String INITIALIZED = "tolvane> Native library initialized";

    @Test
    void optionsAreAnnouncedInFixedOrderBetweenStartAndEnd() throws Exception {
        ChildJvm.main(AttachProbe.class, "attach=agent-threads,save-thread-start").run()
                .assertSuccess()
                .assertTolvaneLines(PROTOCOL, BITS,
                        "tolvane> Save thread start mode",
                        "tolvane> Record agent threads",
                        INITIALIZED);
    }

    @Test
    void withoutOptionsNoOptionLine() throws Exception {
        ChildJvm.Result result = ChildJvm.main(AttachProbe.class, "attach").run()
                .assertSuccess()
                .assertTolvaneLines(PROTOCOL, BITS, INITIALIZED);
        assertEquals("done", String.join("|", result.stdoutLines()));
    }

    @Test
    void secondAttachOnlySaysAlreadyInitialized() throws Exception {
        // The second attach asks for other options; none of them may be announced or applied.
        ChildJvm.main(AttachProbe.class, "attach=xagent-classesx", "attach=agent-threads,save-thread-start",
                "attach").run()
                .assertSuccess()
                .assertTolvaneLines(PROTOCOL, BITS,
                        "tolvane> Record agent classes",
                        INITIALIZED,
                        "tolvane> Native library already initialized",
                        "tolvane> Native library already initialized");
    }
}
