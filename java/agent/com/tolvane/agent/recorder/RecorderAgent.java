package com.tolvane.agent.recorder;

import com.tolvane.agent.callee.JvmtiCallee;
import java.io.File;
import java.io.IOException;
import java.io.OutputStream;
import java.io.PrintWriter;
import java.io.StringWriter;
import java.nio.charset.Charset;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.util.List;
import java.util.Map;
import java.util.Properties;
import java.util.concurrent.atomic.AtomicBoolean;

/**
 * The in-JVM half of the tolvane command, loaded into the target JVM as a
 * Java agent after the native library. It configures the library as the
 * request file asks, runs one recording on its own thread and reports the
 * progress in a status file that the command polls:
 * <ul>
 * <li>state=recording: configured, the recording thread is running;</li>
 * <li>state=done: the recording returned, the snapshot file is closed;</li>
 * <li>state=exiting: the same, but the recording was cut short because the JVM is shutting down;</li>
 * <li>state=busy: another recording is running in this JVM, nothing was changed;</li>
 * <li>state=failed with message=...: the recording could not run.</li>
 * </ul>
 * The recording thread's name begins with "_tolvane", so the library treats it
 * as an agent thread and does not profile the recorder itself.
 */
public final class RecorderAgent {
    /** System property that tells a later command the library is bound in this JVM. */
    public static final String NATIVE_PROPERTY = "tolvane.native";
    /** System property that tells a later command whether a recording is running. */
    public static final String STATE_PROPERTY = "tolvane.recorder.state";

    /** The library allows one recording at a time; this is that one. */
    private static final AtomicBoolean RECORDING = new AtomicBoolean();

    private RecorderAgent() {
    }

    /** Entry point of a dynamically loaded agent; {@code args} is the path of the request file. */
    public static void agentmain(String args) throws Exception {
        if (args == null || args.isEmpty()) {
            throw new IllegalArgumentException("tolvane recorder: no recording request given");
        }
        RecordingRequest request = RecordingRequest.load(args);
        if (!RECORDING.compareAndSet(false, true)) {
            writeStatus(request.status, "busy", "another recording is running in this JVM");
            return;
        }
        boolean started = false;
        try {
            if (!nativeBound()) {
                writeStatus(request.status, "failed", "the native library is not loaded in this JVM");
                return;
            }
            System.setProperty(NATIVE_PROPERTY, "loaded");
            // An old file under the same name must not pass for the result of this recording.
            Files.deleteIfExists(Paths.get(request.output));
            configure(request);
            Thread thread = new Thread(new Run(request), "_tolvane recorder");
            thread.setDaemon(true);
            System.setProperty(STATE_PROPERTY, "recording");
            // A recording the command cannot follow must not start: it would
            // only hold this JVM busy for nobody.
            if (!writeStatus(request.status, "recording", null)) {
                throw new IOException("cannot write the recording status " + request.status);
            }
            thread.start();
            started = true;
        } catch (Throwable t) {
            // The command reads the reason from the status file; only when that
            // cannot be written does it have to learn of the failure from the attach.
            if (!writeStatus(request.status, "failed", describe(t))) {
                throw t instanceof Exception ? (Exception) t : new Exception(t);
            }
        } finally {
            if (!started) {
                release();
            }
        }
    }

    /**
     * Ends this JVM's recording, so the next request can run. Nothing may keep
     * the flag set: a JVM whose flag is stuck can never be recorded again.
     */
    private static void release() {
        try {
            System.setProperty(STATE_PROPERTY, "idle");
        } catch (Throwable ignored) {
            // a security manager may refuse it; the flag below matters more
        } finally {
            RECORDING.set(false);
        }
    }

    /**
     * Whether the library's natives are bound, asked directly: the callee's own
     * check may still remember a failed probe from before the library arrived.
     */
    private static boolean nativeBound() {
        try {
            JvmtiCallee.debugOut0(0, Integer.MAX_VALUE, "");
            return true;
        } catch (LinkageError e) {
            return false;
        }
    }

    private static void configure(RecordingRequest request) {
        JvmtiCallee.setFilters(request.filters, request.filterInverted, request.ignored, request.agentClasses);
        // One declaration per class: the library keeps only the latest declaration of a class.
        for (Map.Entry<String, List<String[]>> e : request.netio.entrySet()) {
            List<String[]> methods = e.getValue();
            if (methods == null) {
                JvmtiCallee.addNetioClass(e.getKey(), null, null);
                continue;
            }
            String[] names = new String[methods.size()];
            String[] signatures = new String[methods.size()];
            for (int i = 0; i < names.length; i++) {
                names[i] = methods.get(i)[0];
                signatures[i] = methods.get(i)[1];
            }
            JvmtiCallee.addNetioClass(e.getKey(), names, signatures);
        }
    }

    private static final class Run implements Runnable {
        private final RecordingRequest request;

        Run(RecordingRequest request) {
            this.request = request;
        }

        @Override
        public void run() {
            try {
                long start = System.nanoTime();
                JvmtiCallee.record(request.durationMillis, request.transactions, request.agentThreads,
                        pathBytes(request.output));
                // Sampling ends before its time when the JVM is shutting down, or
                // when this thread is interrupted: the library then hands the
                // interrupt back, and the JVM goes on.
                boolean cutShort = System.nanoTime() - start < request.durationMillis * 1_000_000L
                        && !Thread.currentThread().isInterrupted();
                if (new File(request.output).isFile()) {
                    writeStatus(request.status, cutShort ? "exiting" : "done", null);
                } else {
                    writeStatus(request.status, "failed", "the library wrote no snapshot file at " + request.output);
                }
            } catch (Throwable t) {
                writeStatus(request.status, "failed", describe(t));
            } finally {
                release();
            }
        }
    }

    /** The file name as the operating system takes it, followed by the terminating zero byte. */
    static byte[] pathBytes(String path) {
        String encoding = System.getProperty("sun.jnu.encoding");
        Charset charset;
        try {
            charset = encoding != null ? Charset.forName(encoding) : Charset.defaultCharset();
        } catch (RuntimeException e) {
            charset = Charset.defaultCharset();
        }
        byte[] name = path.getBytes(charset);
        byte[] terminated = new byte[name.length + 1];
        System.arraycopy(name, 0, terminated, 0, name.length);
        return terminated;
    }

    private static String describe(Throwable t) {
        String message = t.getMessage();
        if (message != null && !message.isEmpty()) {
            return t.getClass().getName() + ": " + message;
        }
        StringWriter trace = new StringWriter();
        t.printStackTrace(new PrintWriter(trace));
        return trace.toString();
    }

    /**
     * Replaces the status file in one step (write aside, then rename), so the
     * polling command never reads a half-written status. The file written
     * aside gets a fresh name of its own, so nothing that already stands
     * beside the status file (a link planted there included) is written
     * through. Returns whether the status file now holds this state.
     */
    static boolean writeStatus(String statusFile, String state, String message) {
        Properties p = new Properties();
        p.setProperty("state", state);
        if (message != null) {
            p.setProperty("message", message);
        }
        Path temp = null;
        try {
            Path target = Paths.get(statusFile).toAbsolutePath();
            temp = Files.createTempFile(target.getParent(), "." + target.getFileName() + ".", ".tmp");
            OutputStream out = Files.newOutputStream(temp);
            try {
                p.store(out, null);
            } finally {
                out.close();
            }
            Files.move(temp, target, StandardCopyOption.REPLACE_EXISTING, StandardCopyOption.ATOMIC_MOVE);
            return true;
        } catch (IOException | RuntimeException e) {
            // The command then sees no final state and reports the recording as unfinished.
            if (temp != null) {
                try {
                    Files.deleteIfExists(temp);
                } catch (IOException | RuntimeException ignored) {
                    // nothing more to do
                }
            }
            return false;
        }
    }
}
