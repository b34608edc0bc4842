package com.tolvane.tool;

import com.sun.tools.attach.AgentInitializationException;
import com.sun.tools.attach.AgentLoadException;
import com.sun.tools.attach.AttachNotSupportedException;
import com.sun.tools.attach.VirtualMachine;
import com.tolvane.agent.recorder.Recorder;
import com.tolvane.agent.recorder.RecorderAgent;
import com.tolvane.agent.recorder.RecorderMXBean;
import com.tolvane.snapshot.Snapshot;
import com.tolvane.snapshot.SnapshotFormatException;
import com.tolvane.snapshot.SnapshotReader;
import java.io.IOException;
import java.io.PrintStream;
import java.io.StringWriter;
import java.io.UncheckedIOException;
import java.lang.reflect.UndeclaredThrowableException;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashSet;
import java.util.List;
import java.util.Optional;
import java.util.Properties;
import java.util.Set;
import javax.management.JMX;
import javax.management.MalformedObjectNameException;
import javax.management.ObjectName;
import javax.management.remote.JMXConnector;
import javax.management.remote.JMXConnectorFactory;
import javax.management.remote.JMXServiceURL;

/**
 * One recording of a running JVM: attach, load the native library and the
 * recorder agent unless the JVM already has them, start the recording through
 * the recorder's MBean over the JVM's local management agent, follow it to
 * its end, then read the snapshot back. SIGINT or SIGTERM (Ctrl-C) while it
 * runs ends the recording early; the snapshot is still written and shown.
 */
public final class Recording {
    /** Extra time the library gets beyond the requested duration to write the snapshot. */
    private static final long WRITE_GRACE_MILLIS = 120_000;
    /**
     * How long one wait for the recorder's news lasts when a progress line is
     * shown. Without one the tool waits in one call as long as the recorder
     * allows: the JMX connection's thread in the target then just waits,
     * instead of showing up busy in the very snapshot being recorded.
     */
    private static final long PROGRESS_MILLIS = 1000;
    private static final long LONGEST_WAIT_MILLIS = 60_000;

    /** What a finished recording produced. */
    public record Result(Targets.Jvm target, Path snapshotPath, Snapshot snapshot, long durationMillis,
                         boolean targetExited) {

        /** The error to report after showing a snapshot that the target left behind when it exited. */
        public ToolException exitedError() {
            return new ToolException("JVM " + target.pid() + " exited during the recording; the snapshot "
                    + snapshotPath + " it left is complete", ToolException.TARGET_EXITED);
        }
    }

    private final Targets.Jvm target;
    private final RecordOptions options;
    private final Path output;
    private final PrintStream err;
    private final boolean progress;
    /** A continuous recording's interval and count kept; none for a single recording. */
    private LoopOptions loop;
    /** A continuous recording ends after this long when above 0 (--duration given). */
    private long loopLimitMillis;
    /** Set by SIGINT or SIGTERM while the recording runs: end it early. */
    private volatile boolean stopRequested;
    /** The recorder and the id of the running recording, for the signal handler; null before the start. */
    private volatile RecorderMXBean activeRecorder;
    private volatile long activeId;

    /**
     * @param progress whether to show a progress line on {@code err} (only when it is a terminal);
     *                 without it one line tells the start and one the end
     */
    public Recording(Targets.Jvm target, RecordOptions options, Path output, PrintStream err, boolean progress) {
        this.target = target;
        this.options = options;
        this.output = output;
        this.err = err;
        this.progress = progress;
    }

    /**
     * Makes this a continuous recording, started by {@link #startContinuous};
     * {@code output} is then the file name pattern from {@link LoopOptions#pattern}.
     */
    public Recording continuous(LoopOptions loop, long limitMillis) {
        this.loop = loop;
        this.loopLimitMillis = limitMillis;
        return this;
    }

    /**
     * Starts a continuous recording and returns once it runs: it goes on in
     * the target, without this tool, until tolvane stop or the JVM's exit.
     */
    public void startContinuous(PrintStream out) throws ToolException {
        JMXConnector connector = load(ToolPaths.library(), ToolPaths.agentJar(), true);
        try {
            RecorderMXBean recorder = JMX.newMXBeanProxy(connector.getMBeanServerConnection(),
                    new ObjectName(Recorder.OBJECT_NAME), RecorderMXBean.class);
            start(recorder);
            out.println("Recording JVM " + target.pid() + (target.mainClass().isEmpty() ? ""
                    : " (" + target.mainClass() + ")") + " continuously: one snapshot every "
                    + seconds(loop.intervalMillis) + " into " + output
                    + (loop.keep > 0 ? ", the newest " + loop.keep + " kept" : "")
                    + (loopLimitMillis > 0 ? ", for " + seconds(loopLimitMillis) : ""));
            out.println("End it with: tolvane stop " + target.pid());
        } catch (IOException e) {
            throw connectionLost(e);
        } catch (MalformedObjectNameException e) {
            throw new IllegalStateException(e);
        } finally {
            close(connector);
        }
    }

    /**
     * tolvane stop: ends the recording running in a JVM (a continuous one
     * after its interval in progress), waits for its last snapshot and names
     * the snapshots that remain.
     */
    public static void stop(Targets.Jvm target, PrintStream out, PrintStream err) throws ToolException {
        Recording r = new Recording(target, new RecordOptions(), null, err, false);
        JMXConnector connector = r.load(null, ToolPaths.agentJar(), false);
        if (connector == null) {
            throw new ToolException("JVM " + target.pid() + " is not being recorded");
        }
        try {
            RecorderMXBean recorder = JMX.newMXBeanProxy(connector.getMBeanServerConnection(),
                    new ObjectName(Recorder.OBJECT_NAME), RecorderMXBean.class);
            long id = recorder.getActiveRecording();
            if (id == 0 || !recorder.end(id)) {
                throw new ToolException("JVM " + target.pid() + " is not being recorded");
            }
            boolean continuous = recorder.isContinuous(id);
            if (continuous) {
                err.println("tolvane: ending the continuous recording of JVM " + target.pid()
                        + " after the snapshot in progress");
            }
            String state = "recording";
            Optional<ProcessHandle> process = ProcessHandle.of(target.pid());
            while (state.equals("recording") && process.map(ProcessHandle::isAlive).orElse(false)) {
                state = recorder.await(id, LONGEST_WAIT_MILLIS);
            }
            if (state.equals("failed")) {
                throw new ToolException("the recording in JVM " + target.pid() + " failed: " + recorder.message(id));
            }
            List<String> snapshots = recorder.snapshots(id);
            out.println("Recording of JVM " + target.pid() + " ended; " + (snapshots.size() == 1 ? "its snapshot:"
                    : snapshots.size() + " snapshots remain:"));
            for (String s : snapshots) {
                out.println("  " + s);
            }
        } catch (UndeclaredThrowableException e) {
            throw r.connectionLost(e.getCause());
        } catch (IOException e) {
            throw r.connectionLost(e);
        } catch (MalformedObjectNameException e) {
            throw new IllegalStateException(e);
        } finally {
            close(connector);
        }
    }

    private static void close(JMXConnector connector) {
        try {
            connector.close();
        } catch (IOException ignored) {
            // the target may be gone; nothing to release on this side
        }
    }

    public Result run() throws ToolException {
        Path library = ToolPaths.library();
        Path agentJar = ToolPaths.agentJar();
        JMXConnector connector = load(library, agentJar, true);
        StopSignals signals = StopSignals.install(this::requestStop);
        try {
            RecorderMXBean recorder = JMX.newMXBeanProxy(connector.getMBeanServerConnection(),
                    new ObjectName(Recorder.OBJECT_NAME), RecorderMXBean.class);
            if (stopRequested) {
                throw new ToolException("interrupted before the recording of JVM " + target.pid() + " started");
            }
            reportNetioInForce(recorder);
            long id = start(recorder);
            activeId = id;
            activeRecorder = recorder;
            // Without a terminal for the progress line, a log gets a line at the start and one at the end.
            if (!progress) {
                err.println("tolvane: recording JVM " + target.pid() + (target.mainClass().isEmpty() ? ""
                        : " (" + target.mainClass() + ")") + " for " + seconds(options.durationMillis));
            }
            boolean exited = !waitForEnd(recorder, id);
            Snapshot snapshot = readSnapshot();
            if (!progress && !exited) {
                err.println("tolvane: recording of JVM " + target.pid() + " ended, snapshot written to " + output);
            }
            return new Result(target, output, snapshot, options.durationMillis, exited);
        } catch (IOException e) {
            throw connectionLost(e);
        } catch (MalformedObjectNameException e) {
            throw new IllegalStateException(e);
        } finally {
            signals.restore();
            try {
                connector.close();
            } catch (IOException ignored) {
                // the target may be gone; nothing to release on this side
            }
        }
    }

    /**
     * Net I/O declarations cannot be withdrawn while the JVM lives, only
     * replaced class by class: says which ones that earlier recordings made
     * stay in force beside those asked for (those of classes not declared now).
     */
    private void reportNetioInForce(RecorderMXBean recorder) {
        Set<String> askedClasses = new HashSet<>();
        for (RecordOptions.Netio n : options.netio) {
            askedClasses.add(n.className());
        }
        List<String> extra = new ArrayList<>();
        for (String declared : recorder.getNetioDeclarations()) {
            int hash = declared.indexOf('#');
            if (!askedClasses.contains(hash < 0 ? declared : declared.substring(0, hash))) {
                extra.add(declared);
            }
        }
        if (!extra.isEmpty()) {
            err.println("tolvane: net I/O declarations of earlier recordings stay in force in JVM " + target.pid()
                    + ": " + String.join(", ", extra));
        }
    }

    /**
     * Runs on the signal handler's thread: tells the recorder at once, as the
     * main thread may be in a long wait for the recording's end.
     */
    private void requestStop() {
        stopRequested = true;
        RecorderMXBean recorder = activeRecorder;
        if (recorder != null) {
            try {
                recorder.stop(activeId);
            } catch (RuntimeException e) {
                // the main thread sends it again, or learns that the target is gone
            }
        }
    }

    private long start(RecorderMXBean recorder) throws ToolException {
        try {
            return recorder.start(request());
        } catch (IllegalStateException e) {
            String message = String.valueOf(e.getMessage());
            if (message.contains("already being recorded continuously")) {
                String what = message.substring(message.indexOf("already"), message.lastIndexOf("; only one"));
                throw new ToolException("JVM " + target.pid() + " is " + what + "; only one recording can run in a"
                        + " JVM at a time, and tolvane stop " + target.pid() + " ends that one");
            }
            if (message.contains("already being recorded")) {
                throw new ToolException("JVM " + target.pid() + " is already being recorded;"
                        + " only one recording can run in a JVM at a time");
            }
            throw new ToolException("the recording could not start in JVM " + target.pid() + ": " + e.getMessage());
        } catch (IllegalArgumentException e) {
            throw new ToolException("the recording could not start in JVM " + target.pid() + ": " + e.getMessage());
        } catch (UndeclaredThrowableException e) {
            throw connectionLost(e.getCause());
        }
    }

    /** The request as properties text, the form the recorder takes. */
    private String request() {
        Properties p = new Properties();
        p.setProperty("output", output.toString());
        p.setProperty("durationMillis", Long.toString(loop != null ? loopLimitMillis : options.durationMillis));
        if (loop != null) {
            p.setProperty("loopMillis", Long.toString(loop.intervalMillis));
            p.setProperty("keep", Long.toString(loop.keep));
        }
        p.setProperty("transactions", Boolean.toString(options.transactions));
        p.setProperty("agentThreads", Boolean.toString(options.agentThreads));
        p.setProperty("agentClasses", Boolean.toString(options.agentClasses));
        p.setProperty("filterInverted", Boolean.toString(options.filterInverted));
        putList(p, "filter.", options.filters);
        putList(p, "ignore.", options.ignored);
        for (int i = 0; i < options.netio.size(); i++) {
            RecordOptions.Netio n = options.netio.get(i);
            p.setProperty("netio." + i + ".class", n.className());
            if (n.method() != null) {
                p.setProperty("netio." + i + ".method", n.method());
            }
            if (n.signature() != null) {
                p.setProperty("netio." + i + ".signature", n.signature());
            }
        }
        StringWriter text = new StringWriter();
        try {
            p.store(text, null);
        } catch (IOException e) {
            throw new UncheckedIOException(e); // a StringWriter does not fail
        }
        return text.toString();
    }

    private static void putList(Properties p, String prefix, List<String> values) {
        for (int i = 0; i < values.size(); i++) {
            p.setProperty(prefix + i, values.get(i));
        }
    }

    /**
     * Attaches, loads what the JVM lacks and connects to its local management
     * agent (started if need be). The library and the recorder are loaded once
     * per JVM: later recordings find both and load nothing. Without
     * {@code loadLibrary}, a JVM that lacks the library is left alone and
     * null returned: nothing can be recording there.
     */
    private JMXConnector load(Path library, Path agentJar, boolean loadLibrary) throws ToolException {
        long pid = target.pid();
        VirtualMachine vm;
        try {
            vm = VirtualMachine.attach(Long.toString(pid));
        } catch (AttachNotSupportedException e) {
            throw new ToolException("JVM " + pid + " refuses attach (" + e.getMessage()
                    + "); it may run as another user or with -XX:+DisableAttachMechanism");
        } catch (IOException e) {
            if (ProcessHandle.of(pid).map(ProcessHandle::isAlive).orElse(false)) {
                throw new ToolException("cannot attach to JVM " + pid + ": " + e.getMessage());
            }
            throw new ToolException("JVM " + pid + " exited before it could be recorded");
        }
        try {
            Properties system = vm.getSystemProperties();
            if (!loadLibrary && system.getProperty(RecorderAgent.NATIVE_PROPERTY) == null) {
                return null;
            }
            int warningRelease = agentWarningRelease(vm, system);
            JMXConnector connector = connect(vm);
            boolean done = false;
            try {
                boolean registered = connector.getMBeanServerConnection()
                        .isRegistered(new ObjectName(Recorder.OBJECT_NAME));
                if (!registered) {
                    if (warningRelease > 0) {
                        err.println("tolvane: note: JVM " + pid + " (Java " + warningRelease + ") prints a warning"
                                + " about dynamically loaded agents on its standard error; start it with"
                                + " -XX:+EnableDynamicAgentLoading to silence it");
                    }
                    if (system.getProperty(RecorderAgent.NATIVE_PROPERTY) == null) {
                        vm.loadAgentPath(library.toString(), agentOptions());
                    }
                    vm.loadAgent(agentJar.toString(), "");
                }
                done = true;
                return connector;
            } finally {
                if (!done) {
                    connector.close();
                }
            }
        } catch (MalformedObjectNameException e) {
            throw new IllegalStateException(e);
        } catch (AgentLoadException e) {
            throw new ToolException("JVM " + pid + " could not load " + (e.getMessage() == null
                    ? "the profiler" : e.getMessage()) + " (see its standard error)");
        } catch (AgentInitializationException e) {
            throw new ToolException("the recorder failed to start in JVM " + pid + " (see its standard error)");
        } catch (IOException e) {
            if (!ProcessHandle.of(pid).map(ProcessHandle::isAlive).orElse(false)) {
                throw new ToolException("JVM " + pid + " exited before the recording started",
                        ToolException.TARGET_EXITED);
            }
            throw new ToolException("lost the connection to JVM " + pid + ": " + e.getMessage());
        } finally {
            try {
                vm.detach();
            } catch (IOException ignored) {
                // the target may be gone; nothing to release on this side
            }
        }
    }

    /**
     * The feature release of a JVM that warns about dynamically loaded agents
     * (Java 21 and later, unless allowed), or 0; refuses a JVM that accepts none.
     */
    private int agentWarningRelease(VirtualMachine vm, Properties system) throws ToolException, IOException {
        String args = Optional.ofNullable(vm.getAgentProperties().getProperty("sun.jvm.args")).orElse("");
        int feature = featureVersion(system.getProperty("java.version"));
        if (feature < 21 || args.contains("-XX:+EnableDynamicAgentLoading")) {
            return 0;
        }
        if (args.contains("-XX:-EnableDynamicAgentLoading")) {
            throw new ToolException("JVM " + target.pid() + " was started with -XX:-EnableDynamicAgentLoading and"
                    + " accepts no agents; restart it with -XX:+EnableDynamicAgentLoading");
        }
        return feature;
    }

    /** Connects to the JVM's local management agent, starting it if it does not run yet. */
    private JMXConnector connect(VirtualMachine vm) throws ToolException, IOException {
        String address;
        try {
            address = vm.startLocalManagementAgent();
        } catch (IOException e) {
            if (!ProcessHandle.of(target.pid()).map(ProcessHandle::isAlive).orElse(false)) {
                throw e;
            }
            throw new ToolException("JVM " + target.pid() + " cannot start its local management agent ("
                    + e.getMessage() + "); it needs the jdk.management.agent module");
        }
        return JMXConnectorFactory.connect(new JMXServiceURL(address));
    }

    private String agentOptions() {
        // CPU time per call-tree node and per thread, beside the thread states.
        StringBuilder sb = new StringBuilder("cpu-time");
        if (options.agentThreads) {
            sb.append(",agent-threads");
        }
        if (options.agentClasses) {
            sb.append(",agent-classes");
        }
        if (options.batchedCapture) {
            sb.append(",batched-capture");
        }
        if (options.locks) {
            sb.append(",locks");
        }
        if (options.noAsyncSampling) {
            sb.append(",no-async-sampling");
        }
        if (options.singleCaptureLimit >= 0) {
            sb.append(",single-capture-limit=").append(options.singleCaptureLimit);
        }
        if (options.maxTreeNodes >= 0) {
            sb.append(",max-tree-nodes=").append(options.maxTreeNodes);
        }
        return sb.toString();
    }

    // The feature release of a "java.version" value: 1.8.0_392 is 8, 17.0.15 is 17, 25-ea is 25.
    static int featureVersion(String version) {
        if (version == null) {
            return 0;
        }
        String v = version.startsWith("1.") ? version.substring(2) : version;
        int end = 0;
        while (end < v.length() && end < 9 && Character.isDigit(v.charAt(end))) {
            end++;
        }
        return end == 0 ? 0 : Integer.parseInt(v.substring(0, end));
    }

    /**
     * Follows the recording to its end. Returns true when it ended in the
     * JVM, false when the target exited but left a complete snapshot; throws
     * in every other case. A stop request (SIGINT, SIGTERM) is passed on to
     * the recorder, which ends the sampling early and writes the snapshot.
     */
    private boolean waitForEnd(RecorderMXBean recorder, long id) throws ToolException {
        long start = System.nanoTime();
        long deadline = options.durationMillis + WRITE_GRACE_MILLIS;
        Optional<ProcessHandle> process = ProcessHandle.of(target.pid());
        String shown = "";
        boolean stopSent = false;
        try {
            while (true) {
                if (stopRequested && !stopSent) {
                    stopSent = true;
                    recorder.stop(id);
                }
                long elapsedBefore = (System.nanoTime() - start) / 1_000_000;
                long wait = progress ? PROGRESS_MILLIS
                        : Math.max(1, Math.min(deadline - elapsedBefore + 1, LONGEST_WAIT_MILLIS));
                String state = recorder.await(id, wait);
                switch (state) {
                    case "done":
                        return true;
                    case "stopped":
                        clearProgress(shown);
                        shown = "";
                        err.println("tolvane: recording of JVM " + target.pid() + " stopped after "
                                + seconds((System.nanoTime() - start) / 1_000_000) + "; the snapshot is " + output);
                        return true;
                    case "exiting":
                        return targetExited();
                    case "failed":
                        throw new ToolException("the recording failed in JVM " + target.pid() + ": "
                                + recorder.message(id));
                    case "recording":
                        break;
                    default:
                        throw new ToolException("the recorder in JVM " + target.pid() + " lost track of the recording"
                                + " (state " + state + ")");
                }
                long elapsed = (System.nanoTime() - start) / 1_000_000;
                if (elapsed > deadline) {
                    throw new ToolException("the recording in JVM " + target.pid() + " did not finish within "
                            + seconds(deadline) + "; the snapshot " + output + " may be incomplete");
                }
                if (progress) {
                    String line = "recording JVM " + target.pid() + ": "
                            + seconds(Math.min(elapsed, options.durationMillis)) + " of "
                            + seconds(options.durationMillis) + (stopRequested ? ", stopping"
                            : elapsed > options.durationMillis ? ", writing the snapshot" : "");
                    if (!line.equals(shown)) {
                        err.print("\r" + line + "   ");
                        err.flush();
                        shown = line;
                    }
                }
            }
        } catch (UndeclaredThrowableException e) {
            // The connection broke: the JVM exited, or the connection did.
            if (process.isEmpty() || !process.get().isAlive() || waitForExit(process.get())) {
                return targetExited();
            }
            throw connectionLost(e.getCause());
        } finally {
            clearProgress(shown);
        }
    }

    private void clearProgress(String shown) {
        if (progress && !shown.isEmpty()) {
            err.print("\r" + " ".repeat(72) + "\r");
            err.flush();
        }
    }

    /** Whether a JVM whose connection just broke exits within a few seconds (it may be shutting down). */
    private static boolean waitForExit(ProcessHandle process) {
        try {
            process.onExit().get(5, java.util.concurrent.TimeUnit.SECONDS);
            return true;
        } catch (Exception e) {
            return !process.isAlive();
        }
    }

    private ToolException connectionLost(Throwable cause) {
        if (!ProcessHandle.of(target.pid()).map(ProcessHandle::isAlive).orElse(false)) {
            return new ToolException("JVM " + target.pid() + " exited during the recording; no snapshot was written",
                    ToolException.TARGET_EXITED);
        }
        return new ToolException("lost the connection to JVM " + target.pid() + ": "
                + (cause == null ? "no reason given" : cause.getMessage()));
    }

    /** The target died before the recorder reported the end: true when it left a complete snapshot. */
    private boolean targetExited() throws ToolException {
        String what = "JVM " + target.pid() + " exited during the recording";
        if (!Files.exists(output)) {
            throw new ToolException(what + "; no snapshot was written", ToolException.TARGET_EXITED);
        }
        try {
            SnapshotReader.read(output);
            return false;
        } catch (IOException | SnapshotFormatException e) {
            throw new ToolException(what + "; the snapshot " + output + " is incomplete (" + e.getMessage() + ")",
                    ToolException.TARGET_EXITED);
        }
    }

    private Snapshot readSnapshot() throws ToolException {
        try {
            return SnapshotReader.read(output);
        } catch (NoSuchFileException e) {
            throw new ToolException("the recording ended but no snapshot was written at " + output);
        } catch (IOException e) {
            throw new ToolException("cannot read the snapshot " + output + ": " + e.getMessage());
        } catch (SnapshotFormatException e) {
            throw new ToolException("the snapshot " + output + " is unusable: " + e.getMessage());
        }
    }

    public static String seconds(long millis) {
        return String.format("%.1f s", millis / 1000.0);
    }

}
