package com.tolvane.tool;

import com.sun.tools.attach.AgentInitializationException;
import com.sun.tools.attach.AgentLoadException;
import com.sun.tools.attach.AttachNotSupportedException;
import com.sun.tools.attach.VirtualMachine;
import com.tolvane.snapshot.Snapshot;
import com.tolvane.snapshot.SnapshotFormatException;
import com.tolvane.snapshot.SnapshotReader;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.io.PrintStream;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.util.List;
import java.util.Optional;
import java.util.Properties;

/**
 * One recording of a running JVM: attach, load the native library (unless the
 * JVM already has it) and the recorder agent, wait for the recorder's status
 * file to report the end, then read the snapshot back.
 */
public final class Recording {
    /** Extra time the library gets beyond the requested duration to write the snapshot. */
    private static final long WRITE_GRACE_MILLIS = 120_000;
    private static final long POLL_MILLIS = 50;

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
    private final Path requestFile;
    private final Path statusFile;

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
        String base = "." + output.getFileName() + "." + ProcessHandle.current().pid() + ".tolvane-";
        this.requestFile = output.resolveSibling(base + "request");
        this.statusFile = output.resolveSibling(base + "status");
    }

    public Result run() throws ToolException {
        Path library = ToolPaths.library();
        Path agentJar = ToolPaths.agentJar();
        try {
            writeRequest();
            load(library, agentJar);
            Properties status = readStatus();
            String state = status == null ? null : status.getProperty("state");
            if ("busy".equals(state)) {
                throw new ToolException("JVM " + target.pid() + " is already being recorded;"
                        + " only one recording can run in a JVM at a time");
            }
            if ("failed".equals(state)) {
                throw new ToolException("the recording could not start in JVM " + target.pid() + ": "
                        + status.getProperty("message", "no reason given"));
            }
            if (!"recording".equals(state)) {
                throw new ToolException("the recorder in JVM " + target.pid() + " did not report back"
                        + " (no status in " + statusFile + ")");
            }
            // Without a terminal for the progress line, a log gets a line at the start and one at the end.
            if (!progress) {
                err.println("tolvane: recording JVM " + target.pid() + (target.mainClass().isEmpty() ? ""
                        : " (" + target.mainClass() + ")") + " for " + seconds(options.durationMillis));
            }
            boolean exited = !waitForEnd();
            Snapshot snapshot = readSnapshot();
            if (!progress && !exited) {
                err.println("tolvane: recording of JVM " + target.pid() + " ended, snapshot written to " + output);
            }
            return new Result(target, output, snapshot, options.durationMillis, exited);
        } finally {
            deleteQuietly(requestFile);
            deleteQuietly(statusFile);
        }
    }

    private void writeRequest() throws ToolException {
        Properties p = new Properties();
        p.setProperty("output", output.toString());
        p.setProperty("status", statusFile.toString());
        p.setProperty("durationMillis", Long.toString(options.durationMillis));
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
        try {
            Files.deleteIfExists(statusFile);
            try (OutputStream out = Files.newOutputStream(requestFile)) {
                p.store(out, "tolvane recording request");
            }
        } catch (IOException e) {
            throw new ToolException("cannot write into the output directory " + output.getParent() + ": " + e);
        }
    }

    private static void putList(Properties p, String prefix, List<String> values) {
        for (int i = 0; i < values.size(); i++) {
            p.setProperty(prefix + i, values.get(i));
        }
    }

    private void load(Path library, Path agentJar) throws ToolException {
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
            if ("recording".equals(system.getProperty("tolvane.recorder.state"))) {
                throw new ToolException("JVM " + pid + " is already being recorded;"
                        + " only one recording can run in a JVM at a time");
            }
            String args = Optional.ofNullable(vm.getAgentProperties().getProperty("sun.jvm.args")).orElse("");
            int feature = featureVersion(system.getProperty("java.version"));
            if (feature >= 21 && !args.contains("-XX:+EnableDynamicAgentLoading")) {
                if (args.contains("-XX:-EnableDynamicAgentLoading")) {
                    throw new ToolException("JVM " + pid + " was started with -XX:-EnableDynamicAgentLoading and"
                            + " accepts no agents; restart it with -XX:+EnableDynamicAgentLoading");
                }
                err.println("tolvane: note: JVM " + pid + " (Java " + feature + ") prints a warning about dynamically"
                        + " loaded agents on its standard error; start it with -XX:+EnableDynamicAgentLoading"
                        + " to silence it");
            }
            if (system.getProperty("tolvane.native") == null) {
                vm.loadAgentPath(library.toString(), agentOptions());
            }
            vm.loadAgent(agentJar.toString(), requestFile.toString());
        } catch (AgentLoadException e) {
            throw new ToolException("JVM " + pid + " could not load " + (e.getMessage() == null
                    ? "the profiler" : e.getMessage()) + " (see its standard error)");
        } catch (AgentInitializationException e) {
            Properties status = readStatus();
            String why = status != null ? status.getProperty("message") : null;
            throw new ToolException("the recorder failed to start in JVM " + pid
                    + (why != null ? ": " + why : " (see its standard error)"));
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

    private String agentOptions() {
        StringBuilder sb = new StringBuilder();
        if (options.agentThreads) {
            sb.append("agent-threads");
        }
        if (options.agentClasses) {
            sb.append(sb.length() > 0 ? "," : "").append("agent-classes");
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

    private Properties readStatus() {
        Properties p = new Properties();
        try (InputStream in = Files.newInputStream(statusFile)) {
            p.load(in);
            return p;
        } catch (IOException e) {
            return null;
        }
    }

    /**
     * Waits for the recorder to report the end. Returns true when it did,
     * false when the target exited but left a complete snapshot; throws in
     * every other case.
     */
    private boolean waitForEnd() throws ToolException {
        long start = System.nanoTime();
        long deadline = options.durationMillis + WRITE_GRACE_MILLIS;
        Optional<ProcessHandle> process = ProcessHandle.of(target.pid());
        String shown = "";
        try {
            while (true) {
                Properties status = readStatus();
                String state = status == null ? null : status.getProperty("state");
                if ("done".equals(state)) {
                    return true;
                }
                if ("exiting".equals(state)) {
                    return targetExited();
                }
                if ("failed".equals(state)) {
                    throw new ToolException("the recording failed in JVM " + target.pid() + ": "
                            + status.getProperty("message", "no reason given"));
                }
                if (process.isEmpty() || !process.get().isAlive()) {
                    return targetExited();
                }
                long elapsed = (System.nanoTime() - start) / 1_000_000;
                if (elapsed > deadline) {
                    throw new ToolException("the recording in JVM " + target.pid() + " did not finish within "
                            + seconds(deadline) + "; the snapshot " + output + " may be incomplete");
                }
                if (progress) {
                    String line = "recording JVM " + target.pid() + ": "
                            + seconds(Math.min(elapsed, options.durationMillis)) + " of "
                            + seconds(options.durationMillis) + (elapsed > options.durationMillis
                            ? ", writing the snapshot" : "");
                    if (!line.equals(shown)) {
                        err.print("\r" + line + "   ");
                        err.flush();
                        shown = line;
                    }
                }
                Thread.sleep(POLL_MILLIS);
            }
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new ToolException("interrupted while waiting for the recording of JVM " + target.pid());
        } finally {
            if (progress) {
                err.print("\r" + " ".repeat(72) + "\r");
                err.flush();
            }
        }
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

    static String seconds(long millis) {
        return String.format("%.1f s", millis / 1000.0);
    }

    private static void deleteQuietly(Path p) {
        try {
            Files.deleteIfExists(p);
        } catch (IOException ignored) {
            // a leftover hidden file is harmless
        }
    }
}
