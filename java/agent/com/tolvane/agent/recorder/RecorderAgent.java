package com.tolvane.agent.recorder;

import java.lang.management.ManagementFactory;
import javax.management.InstanceAlreadyExistsException;
import javax.management.MBeanServer;
import javax.management.ObjectName;

/**
 * Entry point of the recorder agent jar. Loading it into a JVM registers the
 * JVM's {@link Recorder} on the platform MBean server, once: every recording
 * afterwards is started through the MBean, so repeated recordings load
 * nothing more into the JVM.
 */
public final class RecorderAgent {
    /** System property that tells a later command the library is bound in this JVM. */
    public static final String NATIVE_PROPERTY = "tolvane.native";

    private static Recorder recorder;
    private static int loads;

    private RecorderAgent() {
    }

    /** Entry point of a dynamically loaded agent; the argument is not used. */
    public static void agentmain(String args) throws Exception {
        synchronized (RecorderAgent.class) {
            loads++;
        }
        register();
    }

    /** Registers this JVM's recorder, unless it is registered already; returns it. */
    public static synchronized Recorder register() throws Exception {
        if (recorder == null) {
            Recorder created = new Recorder();
            MBeanServer server = ManagementFactory.getPlatformMBeanServer();
            try {
                server.registerMBean(created, new ObjectName(Recorder.OBJECT_NAME));
            } catch (InstanceAlreadyExistsException e) {
                // Registered by a copy of these classes in another class loader:
                // that one serves, this one stays unused.
                return null;
            }
            recorder = created;
            created.startThread();
        }
        return recorder;
    }

    static synchronized int loads() {
        return loads;
    }
}
