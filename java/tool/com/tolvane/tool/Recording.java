package com.tolvane.tool;

import com.tolvane.snapshot.Printable;
import com.tolvane.snapshot.Snapshot;
import com.tolvane.snapshot.SnapshotFormatException;
import com.tolvane.snapshot.SnapshotReader;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashSet;
import java.util.List;
import java.util.Properties;
import java.util.Set;

/**
 * One recording of a running JVM: attach, load the native library and the
 * recorder unless the JVM already has them, start the recording through the
 * Attach API alone ({@link TargetChannel}), follow it to its end, then read
 * the snapshot back. SIGINT or SIGTERM (Ctrl-C) while it
 * runs ends the recording early; the snapshot is still written and shown.
 */
public final class Recording {
    /** Extra time the library gets beyond the requested duration to write the snapshot. */
    private static final long WRITE_GRACE_MILLIS = 120_000;
    /** How often the recorder's reply file is read while a recording runs; reading it costs the target nothing. */
    private static final long POLL_MILLIS = 100;
    private static final long PROGRESS_MILLIS = 1000;

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
    /** The channel and the id of the running recording, for the signal handler; null before the start. */
    private volatile TargetChannel activeChannel;
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
        try (TargetChannel channel = open()) {
            start(channel);
            out.println("Recording " + target.describe() + " continuously: one snapshot every "
                    + seconds(loop.intervalMillis) + " into " + output
                    + (loop.keep > 0 ? ", the newest " + loop.keep + " kept" : "")
                    + (loopLimitMillis > 0 ? ", for " + seconds(loopLimitMillis) : ""));
            out.println("End it with: tolvane stop " + target.pid());
        }
    }

    /**
     * tolvane stop: ends the recording running in a JVM (a continuous one
     * after its interval in progress), waits for its last snapshot and names
     * the snapshots that remain.
     */
    public static void stop(Targets.Jvm target, PrintStream out, PrintStream err) throws ToolException {
        String notRecorded = "JVM " + target.pid() + " is not being recorded";
        try (TargetChannel channel = TargetChannel.open(target.pid(), ToolPaths.library(), null, null, () -> { })) {
            if (channel == null) {
                throw new ToolException(notRecorded);
            }
            Properties command = new Properties();
            command.setProperty("command", "end");
            TargetChannel.Reply reply = channel.send(command);
            long id = reply.id();
            if (id == 0) {
                String failure = reply.get("failure");
                throw new ToolException(notRecorded + (failure == null ? "" : "; " + failure));
            }
            boolean continuous = Boolean.parseBoolean(reply.get("continuous"));
            if (continuous) {
                err.println("tolvane: ending the continuous recording of JVM " + target.pid()
                        + " after the snapshot in progress");
            }
            while (reply.get("state", "recording").equals("recording") && TargetChannel.alive(target.pid())) {
                sleep(POLL_MILLIS);
                reply = latest(channel, reply);
            }
            if (reply.get("state", "").equals("failed")) {
                throw new ToolException("the recording in JVM " + target.pid() + " failed: "
                        + Printable.of(reply.get("message", "")));
            }
            List<String> snapshots = reply.all("snapshot");
            out.println("Recording of JVM " + target.pid() + " ended; " + (snapshots.size() == 1 ? "its snapshot:"
                    : snapshots.size() + " snapshots remain:"));
            for (String s : snapshots) {
                out.println("  " + Printable.of(s));
            }
        }
    }

    /** The newest complete answer in the reply file, else the one read before. */
    private static TargetChannel.Reply latest(TargetChannel channel, TargetChannel.Reply before) {
        TargetChannel.Reply r = channel.read();
        return r != null ? r : before;
    }

    private static void sleep(long millis) {
        try {
            Thread.sleep(millis);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    public Result run() throws ToolException {
        TargetChannel channel = open();
        StopSignals signals = StopSignals.install(this::requestStop);
        try {
            if (stopRequested) {
                throw new ToolException("interrupted before the recording of JVM " + target.pid() + " started");
            }
            long id = start(channel);
            activeId = id;
            activeChannel = channel;
            // Without a terminal for the progress line, a log gets a line at the start and one at the end.
            if (!progress) {
                err.println("tolvane: recording " + target.describe() + " for " + seconds(options.durationMillis));
            }
            boolean exited = !waitForEnd(channel, id);
            Snapshot snapshot = readSnapshot();
            if (!progress && !exited) {
                err.println("tolvane: recording of JVM " + target.pid() + " ended, snapshot written to " + output);
            }
            return new Result(target, output, snapshot, options.durationMillis, exited);
        } finally {
            signals.restore();
            activeChannel = null;
            channel.close();
        }
    }

    /** Attaches and makes the recorder reachable, loading the library and the recorder where they are missing. */
    private TargetChannel open() throws ToolException {
        return TargetChannel.open(target.pid(), ToolPaths.library(), agentOptions(), ToolPaths.agentJar(),
                this::checkDynamicLoading);
    }

    /**
     * Net I/O declarations cannot be withdrawn while the JVM lives, only
     * replaced class by class: says which ones that earlier recordings made
     * stay in force beside those asked for (those of classes not declared now).
     */
    private void reportNetioInForce(List<String> declared) {
        Set<String> askedClasses = new HashSet<>();
        for (RecordOptions.Netio n : options.netio) {
            askedClasses.add(n.className());
        }
        List<String> extra = new ArrayList<>();
        for (String d : declared) {
            int hash = d.indexOf('#');
            if (!askedClasses.contains(hash < 0 ? d : d.substring(0, hash))) {
                extra.add(d);
            }
        }
        if (!extra.isEmpty()) {
            err.println("tolvane: net I/O declarations of earlier recordings stay in force in JVM " + target.pid()
                    + ": " + Printable.of(String.join(", ", extra)));
        }
    }

    /**
     * Runs on the signal handler's thread: tells the recorder at once, as the
     * main thread may be in a long wait for the recording's end.
     */
    private void requestStop() {
        stopRequested = true;
        TargetChannel channel = activeChannel;
        if (channel != null) {
            try {
                sendStop(channel, activeId);
            } catch (ToolException | RuntimeException e) {
                // the main thread sends it again, or learns that the target is gone
            }
        }
    }

    private static void sendStop(TargetChannel channel, long id) throws ToolException {
        Properties command = new Properties();
        command.setProperty("command", "stop");
        command.setProperty("id", Long.toString(id));
        channel.send(command);
    }

    private long start(TargetChannel channel) throws ToolException {
        TargetChannel.Reply reply = channel.send(request());
        String failure = reply.get("failure");
        if (failure != null) {
            err.println("tolvane: in JVM " + target.pid() + ", " + failure);
        }
        reportNetioInForce(reply.all("netio"));
        String refused = reply.get("refused");
        if (refused != null) {
            if (refused.contains("already being recorded continuously")) {
                String what = refused.substring(refused.indexOf("already"), refused.lastIndexOf("; only one"));
                throw new ToolException("JVM " + target.pid() + " is " + what + "; only one recording can run in a"
                        + " JVM at a time, and tolvane stop " + target.pid() + " ends that one");
            }
            if (refused.contains("already being recorded")) {
                throw new ToolException("JVM " + target.pid() + " is already being recorded;"
                        + " only one recording can run in a JVM at a time");
            }
            throw new ToolException("the recording could not start in JVM " + target.pid() + ": " + refused);
        }
        String error = reply.get("error");
        if (error != null || reply.id() == 0) {
            throw new ToolException("the recording could not start in JVM " + target.pid() + ": "
                    + (error != null ? error : "the recorder gave no id"));
        }
        return reply.id();
    }

    /** The start command with the recording's settings, the keys the recorder's request takes. */
    private Properties request() {
        Properties p = new Properties();
        p.setProperty("command", "start");
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
        return p;
    }

    private static void putList(Properties p, String prefix, List<String> values) {
        for (int i = 0; i < values.size(); i++) {
            p.setProperty(prefix + i, values.get(i));
        }
    }

    /**
     * Before the library is first loaded: a JVM of Java 21 or later warns
     * about dynamically loaded agents unless allowed (a note says how to
     * silence it), and one started with -XX:-EnableDynamicAgentLoading
     * accepts none. Read from the process itself, which asks nothing of it.
     */
    private void checkDynamicLoading() throws ToolException {
        long pid = target.pid();
        String args = String.join(" ", processWords(pid));
        if (args.contains("-XX:-EnableDynamicAgentLoading")) {
            throw new ToolException("JVM " + pid + " was started with -XX:-EnableDynamicAgentLoading and"
                    + " accepts no agents; restart it with -XX:+EnableDynamicAgentLoading");
        }
        int feature = featureVersion(javaVersion(pid));
        if (feature >= 21 && !args.contains("-XX:+EnableDynamicAgentLoading")) {
            err.println("tolvane: note: JVM " + pid + " (Java " + feature + ") prints a warning"
                    + " about dynamically loaded agents on its standard error; start it with"
                    + " -XX:+EnableDynamicAgentLoading to silence it");
        }
    }

    /** The JVM's command line and the options it takes from its environment. */
    private static List<String> processWords(long pid) {
        List<String> words = new ArrayList<>();
        try {
            for (String w : new String(Files.readAllBytes(Path.of("/proc/" + pid + "/cmdline")),
                    StandardCharsets.UTF_8).split("\0")) {
                words.add(w);
            }
            for (String v : new String(Files.readAllBytes(Path.of("/proc/" + pid + "/environ")),
                    StandardCharsets.UTF_8).split("\0")) {
                if (v.startsWith("JAVA_TOOL_OPTIONS=") || v.startsWith("JDK_JAVA_OPTIONS=")) {
                    words.add(v.substring(v.indexOf('=') + 1));
                }
            }
        } catch (IOException | RuntimeException e) {
            // unreadable: nothing known, nothing said
        }
        return words;
    }

    /** The JAVA_VERSION of the JDK the process runs, from its release file; null when unknown. */
    static String javaVersion(long pid) {
        try {
            Path home = Path.of("/proc/" + pid + "/exe").toRealPath().getParent().getParent();
            for (String line : Files.readAllLines(home.resolve("release"), StandardCharsets.UTF_8)) {
                if (line.startsWith("JAVA_VERSION=")) {
                    return line.substring("JAVA_VERSION=".length()).replace("\"", "").trim();
                }
            }
        } catch (IOException | RuntimeException e) {
            // not a JDK layout we know
        }
        return null;
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
    private boolean waitForEnd(TargetChannel channel, long id) throws ToolException {
        long start = System.nanoTime();
        long deadline = options.durationMillis + WRITE_GRACE_MILLIS;
        String shown = "";
        long shownAt = 0;
        boolean stopSent = false;
        try {
            while (true) {
                if (stopRequested && !stopSent) {
                    stopSent = true;
                    try {
                        sendStop(channel, id);
                    } catch (ToolException e) {
                        if (TargetChannel.alive(target.pid())) {
                            throw e;
                        }
                    }
                }
                TargetChannel.Reply reply = channel.read();
                String state = reply == null ? "recording" : reply.id() == id ? reply.get("state", "recording")
                        : "unknown";
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
                                + Printable.of(reply.get("message", "")));
                    case "recording":
                        break;
                    default:
                        throw new ToolException("the recorder in JVM " + target.pid() + " lost track of the recording"
                                + " (state " + state + ")");
                }
                if (!TargetChannel.alive(target.pid())) {
                    return targetExited();
                }
                long elapsed = (System.nanoTime() - start) / 1_000_000;
                if (elapsed > deadline) {
                    throw new ToolException("the recording in JVM " + target.pid() + " did not finish within "
                            + seconds(deadline) + "; the snapshot " + output + " may be incomplete");
                }
                // The progress line moves once a second, as the time it shows is rounded to that.
                if (progress && (elapsed - shownAt >= PROGRESS_MILLIS || stopRequested || shown.isEmpty())) {
                    String line = "recording JVM " + target.pid() + ": "
                            + seconds(Math.min(elapsed / PROGRESS_MILLIS * PROGRESS_MILLIS, options.durationMillis))
                            + " of " + seconds(options.durationMillis) + (stopRequested ? ", stopping"
                            : elapsed > options.durationMillis ? ", writing the snapshot" : "");
                    if (!line.equals(shown)) {
                        shownAt = elapsed;
                        err.print("\r" + line + "   ");
                        err.flush();
                        shown = line;
                    }
                }
                sleep(POLL_MILLIS);
            }
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
