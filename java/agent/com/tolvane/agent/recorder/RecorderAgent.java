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
 *
 * <p>A JVM started with the library on its command line calls
 * {@link #onLoad} once it is initialised. The recorder then starts without
 * the MBean: registering it would start the JVM's management and logging
 * before the application could configure them. It is registered when the
 * tolvane command first loads this jar.
 */
public final class RecorderAgent {
    /** System property that tells a later command the library is bound in this JVM. */
    public static final String NATIVE_PROPERTY = "tolvane.native";

    /** How long the JVM's start waits for a recording from start to sample, so main is in it from its start. */
    private static final long START_WAIT_MILLIS = 5000;

    private static Recorder recorder;
    private static boolean registered;
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
        if (!registered) {
            Recorder candidate = recorder != null ? recorder : new Recorder();
            MBeanServer server = ManagementFactory.getPlatformMBeanServer();
            try {
                server.registerMBean(candidate, new ObjectName(Recorder.OBJECT_NAME));
            } catch (InstanceAlreadyExistsException e) {
                // Registered by a copy of these classes in another class loader:
                // that one serves, this one stays unused.
                return null;
            }
            registered = true;
            recorder = candidate;
            candidate.startThread();
        }
        return recorder;
    }

    /**
     * Called by the library, on the JVM's main thread before the main class
     * is loaded, with the bytes of the options given on the command line
     * (decoded as the JVM decodes file names): starts the
     * recording they ask for, and waits until it samples. Never throws: a bad
     * option is one line on standard error, and the JVM runs unrecorded.
     */
    public static void onLoad(byte[] optionBytes) {
        try {
            System.setProperty(NATIVE_PROPERTY, "loaded");
        } catch (RuntimeException ignored) {
            // a later command then loads the library again, which is harmless
        }
        try {
            String options = new String(optionBytes, Recorder.fileNameCharset());
            String command = System.getProperty("sun.java.command", "");
            String mainClass = command.isEmpty() ? null : command.split(" ")[0];
            StartupRequest request = StartupRequest.parse(options, OutputPattern.currentPid(),
                    System.getProperty("user.dir", "."), mainClass);
            if (request == null) {
                return;
            }
            Recorder r;
            synchronized (RecorderAgent.class) {
                if (recorder == null) {
                    recorder = new Recorder();
                }
                r = recorder;
            }
            long id = r.start(request.request, true);
            System.err.println("tolvane> Recording from start " + request.description);
            r.awaitSampling(id, START_WAIT_MILLIS);
        } catch (RuntimeException | Error e) {
            System.err.println("tolvane> No recording from start: " + (e.getMessage() != null ? e.getMessage() : e));
        }
    }

    static synchronized int loads() {
        return loads;
    }
}
