package com.tolvane.agent.recorder;

import com.tolvane.agent.callee.JvmtiCallee;
import java.io.BufferedInputStream;
import java.io.EOFException;
import java.io.File;
import java.io.FileInputStream;
import java.io.InputStream;
import java.io.IOException;
import java.nio.charset.Charset;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.Deque;
import java.util.Iterator;
import java.util.List;
import java.util.Map;
import java.util.Properties;

/**
 * Runs the recordings of one JVM, one at a time, on one long-lived daemon
 * thread named "_tolvane recorder" (the library neither profiles nor lists
 * it as application work, because of the "_tolvane" prefix). A recording
 * ends after its duration, when {@link #stop} interrupts the thread (the
 * library then ends the sampling early and still writes the snapshot), or
 * when the JVM shuts down.
 *
 * <p>A snapshot that was not completely written (a full disk) is deleted,
 * so no partial file stands under the output name, and the recording is
 * reported as failed.
 *
 * <p>A continuous recording writes one snapshot per interval, back to back,
 * and deletes the oldest of its own snapshots beyond the number to keep. It
 * runs until {@link #end} (after the interval in progress), {@link #stop}
 * (at once, writing the interval so far), a failed snapshot, or the JVM's exit.
 */
public final class Recorder {
    public static final String THREAD_NAME = "_tolvane recorder";

    /** How many finished recordings keep their state for clients that ask late. */
    private static final int REMEMBERED = 32;
    /** Reply files one recording answers in: its starter's and the latest stop's. */
    private static final int MAX_WATCHERS = 4;
    /** Longest single wait in {@link #await}, so a client call never hangs for long. */
    private static final long MAX_AWAIT_MILLIS = 60_000;
    private static final int SNAPSHOT_MAGIC = 0xCAFED00D;
    private static final int SECTION_COUNT = 7;
    private static final int DIRECTORY_ENTRY_SIZE = 20;

    private final Object lock = new Object();
    /** Held while reply files are written, never inside {@link #lock}. */
    private final Object publishing = new Object();
    /**
     * Net I/O declarations in force in this JVM, as CLASS, CLASS#METHOD or
     * CLASS#METHOD(SIGNATURE)RETURN: the library keeps them while the JVM
     * lives, until a later declaration of the same class replaces them.
     */
    private final List<String> netioDeclared = new ArrayList<String>(); // guarded by itself
    /** Recordings started and not yet taken by the recorder thread; guarded by the lock. */
    private final Deque<Job> queue = new ArrayDeque<Job>();
    /**
     * The latest recordings, oldest first; guarded by the lock. The recorder
     * keeps to collections every JVM has loaded: the first LinkedHashMap (or
     * any other subclass of a JDK collection) loaded into a running JVM makes
     * the JIT discard the application's compiled code that relied on there
     * being none, such as every HashMap.put it has inlined.
     */
    private final List<Job> recent = new ArrayList<Job>();
    private Thread thread;
    private Job active;
    private long recordings;
    /** Why the last continuous recording ended with an error, until a command of the tool has told it. */
    private String untoldFailure;

    /** One recording and its state; guarded by the recorder's lock. */
    private static final class Job {
        final long id;
        final RecordingRequest request;
        String state = "recording";
        String message = "";
        boolean stopRequested;
        /** A continuous recording ends after the interval in progress. */
        boolean endRequested;
        boolean sampling;
        /** Snapshots written so far, and those of them that remain, oldest first. */
        long written;
        final Deque<String> kept = new ArrayDeque<String>();
        /** Started with the JVM: nobody follows it, so a failure is told on standard error. */
        boolean fromStart;
        /** Reply files of the tool's commands about this recording, each with its command's own lines first. */
        final List<String[]> watchers = new ArrayList<String[]>();

        Job(long id, RecordingRequest request) {
            this.id = id;
            this.request = request;
        }
    }

    Recorder() {
    }

    /**
     * Starts a recording and returns its id. {@code request} holds the
     * recording's settings as properties text: output (the snapshot file,
     * absolute), durationMillis, and optionally transactions, agentThreads,
     * agentClasses, filterInverted, filter.N, ignore.N and netio.N.class with
     * netio.N.method and netio.N.signature (N counting from 0 without gaps);
     * for a continuous recording also loopMillis and keep, with output a
     * file name pattern holding %n or %t.
     *
     * @throws IllegalStateException when a recording is running in this JVM, or the library is not loaded
     * @throws IllegalArgumentException when the request is malformed or the output is not a regular file
     */
    public long start(String request) {
        return start(request, false);
    }

    /** Starts a recording; one {@code fromStart} tells its failure on standard error. */
    long start(String request, boolean fromStart) {
        return start(RecordingRequest.parse(request), fromStart, null, null).id;
    }

    /**
     * Starts a recording and, when {@code reply} is given, has its changes of
     * state written there, each after {@code head}.
     */
    private Job start(RecordingRequest parsed, boolean fromStart, String reply, String head) {
        File output = new File(parsed.output);
        if (!output.isAbsolute()) {
            throw new IllegalArgumentException("the output " + output + " is not an absolute path");
        }
        if (!parsed.isLoop()) {
            checkOutput(parsed.output);
        }
        if (!nativeBound()) {
            throw new IllegalStateException("the native library is not loaded in this JVM");
        }
        synchronized (lock) {
            if (active != null && active.request.isLoop()) {
                throw new IllegalStateException("already being recorded continuously into " + active.request.output
                        + " (" + active.written + " snapshots so far); only one recording can run in a JVM at a time");
            }
            if (active != null) {
                throw new IllegalStateException("already being recorded; only one recording can run in a JVM"
                        + " at a time");
            }
            startThread();
            Job job = new Job(++recordings, parsed);
            job.fromStart = fromStart;
            if (reply != null) {
                watch(job, reply, head);
            }
            active = job;
            recent.add(job);
            if (recent.size() > REMEMBERED) {
                recent.remove(0);
            }
            queue.addLast(job);
            lock.notifyAll();
            return job;
        }
    }

    /** Starts a recording of every thread without filters; see {@link #start(String)}. */
    public long startRecording(String outputFile, long durationMillis) {
        StringBuilder request = new StringBuilder();
        request.append("output=").append(escape(outputFile)).append('\n');
        request.append("durationMillis=").append(durationMillis).append('\n');
        return start(request.toString());
    }

    /** The state of a recording: recording, done, stopped, exiting, failed, or unknown for an id not seen. */
    public String state(long id) {
        synchronized (lock) {
            Job job = recent(id);
            return job == null ? "unknown" : job.state;
        }
    }

    /**
     * Waits until the recording leaves the state "recording" or the time is
     * up, and returns its state then.
     */
    public String await(long id, long timeoutMillis) {
        long deadline = System.nanoTime() + Math.max(0, Math.min(timeoutMillis, MAX_AWAIT_MILLIS)) * 1_000_000L;
        synchronized (lock) {
            while (true) {
                Job job = recent(id);
                if (job == null || !"recording".equals(job.state)) {
                    return job == null ? "unknown" : job.state;
                }
                long left = (deadline - System.nanoTime()) / 1_000_000L;
                if (left <= 0) {
                    return job.state;
                }
                try {
                    lock.wait(left);
                } catch (InterruptedException e) {
                    Thread.currentThread().interrupt();
                    return job.state;
                }
            }
        }
    }

    /** Why a recording failed; empty otherwise. */
    public String message(long id) {
        synchronized (lock) {
            Job job = recent(id);
            return job == null ? "" : job.message;
        }
    }

    /** Ends a running recording early; it still writes its snapshot. Returns whether it was running. */
    public boolean stop(long id) {
        synchronized (lock) {
            Job job = active;
            if (job == null || job.id != id) {
                return false;
            }
            job.stopRequested = true;
            // Only while the library samples: an interrupt at any other time
            // would end the next wait for a request instead.
            if (job.sampling) {
                thread.interrupt();
            }
            return true;
        }
    }

    /**
     * Ends a recording: a continuous one after the interval in progress,
     * whose snapshot is still written; a single one at once, as {@link #stop}.
     * Returns whether it was running.
     */
    public boolean end(long id) {
        synchronized (lock) {
            Job job = active;
            if (job == null || job.id != id) {
                return false;
            }
            if (!job.request.isLoop()) {
                return stop(id);
            }
            job.endRequested = true;
            return true;
        }
    }

    /** The id of the running recording, or 0 when none runs. */
    public long getActiveRecording() {
        synchronized (lock) {
            return active == null ? 0 : active.id;
        }
    }

    /** Whether a recording is a continuous one (one snapshot per interval). */
    public boolean isContinuous(long id) {
        synchronized (lock) {
            Job job = recent(id);
            return job != null && job.request.isLoop();
        }
    }

    /** The snapshot files a recording wrote that remain, oldest first. */
    public List<String> snapshots(long id) {
        synchronized (lock) {
            Job job = recent(id);
            return job == null ? new ArrayList<String>() : new ArrayList<String>(job.kept);
        }
    }

    /** Whether a recording is running. */
    public boolean isRecording() {
        synchronized (lock) {
            return active != null;
        }
    }

    /** How many recordings this JVM has started. */
    public long getRecordings() {
        synchronized (lock) {
            return recordings;
        }
    }

    /** Answers the tool's start command in {@code reply}; false when the reply file cannot be written. */
    boolean startFor(Properties command, String reply) {
        StringBuilder head = new StringBuilder();
        String failure = takeFailure();
        if (failure != null) {
            head.append(RecorderControl.line("failure", failure));
        }
        for (String declared : getNetioDeclarations()) {
            head.append(RecorderControl.line("netio", declared));
        }
        Job job;
        try {
            job = start(RecordingRequest.of(command), false, reply, head.toString());
        } catch (IllegalStateException e) {
            return RecorderControl.write(reply, head + RecorderControl.line("refused", e.getMessage()) + "end\n");
        } catch (IllegalArgumentException e) {
            return RecorderControl.write(reply, head + RecorderControl.line("error", e.getMessage()) + "end\n");
        }
        return publish(job, reply);
    }

    /** Answers the tool's stop command (a recording it started) in {@code reply}. */
    boolean stopFor(long id, String reply) {
        Job job;
        synchronized (lock) {
            job = recent(id);
            if (job == null) {
                return RecorderControl.write(reply, RecorderControl.line("id", 0) + "end\n");
            }
            watch(job, reply, "");
            stop(id);
        }
        return publish(job, reply);
    }

    /**
     * Answers the tool's end command in {@code reply}: ends the recording
     * that runs, a continuous one after the snapshot in progress.
     */
    boolean endFor(String reply) {
        String failure = takeFailure();
        String head = failure == null ? "" : RecorderControl.line("failure", failure);
        Job job;
        synchronized (lock) {
            job = active;
            if (job == null) {
                return RecorderControl.write(reply, head + RecorderControl.line("id", 0) + "end\n");
            }
            watch(job, reply, head);
            end(job.id);
        }
        return publish(job, reply);
    }

    /** The answer to the tool's status command: the count of recordings and the running one; changes nothing. */
    String statusFor() {
        synchronized (lock) {
            String count = RecorderControl.line("recordings", recordings);
            return active == null ? count + RecorderControl.line("id", 0) + "end\n" : count + status(active);
        }
    }

    private String takeFailure() {
        synchronized (lock) {
            String failure = untoldFailure;
            untoldFailure = null;
            return failure;
        }
    }

    /** Has the changes of a recording's state written into a reply file; the newest few files are kept. */
    private void watch(Job job, String reply, String head) {
        synchronized (lock) {
            unwatch(job, reply);
            job.watchers.add(new String[] {reply, head});
            if (job.watchers.size() > MAX_WATCHERS) {
                job.watchers.remove(0);
            }
        }
    }

    private void unwatch(Job job, String reply) {
        synchronized (lock) {
            for (Iterator<String[]> it = job.watchers.iterator(); it.hasNext();) {
                if (it.next()[0].equals(reply)) {
                    it.remove();
                }
            }
        }
    }

    /** The recording with this id among the latest, or null; under the lock. */
    private Job recent(long id) {
        for (Job job : recent) {
            if (job.id == id) {
                return job;
            }
        }
        return null;
    }

    /**
     * Writes a recording's state into the reply files that follow it;
     * returns whether the write into {@code reply} (when not null) succeeded.
     * A file that can no longer be written (its tool has ended) is dropped.
     */
    private boolean publish(Job job, String reply) {
        // One writer at a time, the text taken under it: the last write holds the latest state.
        synchronized (publishing) {
            String status;
            List<String[]> watchers;
            synchronized (lock) {
                status = status(job);
                watchers = new ArrayList<String[]>(job.watchers);
            }
            boolean written = reply == null;
            for (String[] w : watchers) {
                if (RecorderControl.write(w[0], w[1] + status)) {
                    written |= w[0].equals(reply);
                } else {
                    unwatch(job, w[0]);
                }
            }
            return written;
        }
    }

    /** A recording's state as reply lines, closed by "end"; under the lock. */
    private static String status(Job job) {
        StringBuilder sb = new StringBuilder();
        sb.append(RecorderControl.line("id", job.id));
        sb.append(RecorderControl.line("state", job.state));
        sb.append(RecorderControl.line("message", job.message));
        sb.append(RecorderControl.line("continuous", job.request.isLoop()));
        sb.append(RecorderControl.line("written", job.written));
        for (String snapshot : job.kept) {
            sb.append(RecorderControl.line("snapshot", snapshot));
        }
        return sb.append("end\n").toString();
    }

    /**
     * Waits until a recording samples (or has ended), at most {@code millis}:
     * lets the JVM's start hold its main class back until the recording of
     * it has begun.
     */
    void awaitSampling(long id, long millis) {
        long deadline = System.nanoTime() + millis * 1_000_000L;
        synchronized (lock) {
            while (true) {
                Job job = recent(id);
                if (job == null || job.sampling || !"recording".equals(job.state)) {
                    return;
                }
                long left = (deadline - System.nanoTime()) / 1_000_000L;
                if (left <= 0) {
                    return;
                }
                try {
                    lock.wait(left);
                } catch (InterruptedException e) {
                    Thread.currentThread().interrupt();
                    return;
                }
            }
        }
    }

    /**
     * Starts the recorder thread unless it runs (it is started again if it
     * ever died). It belongs to the JVM's system group, beside the JVM's own
     * service threads, whatever thread first asked for the recorder.
     */
    void startThread() {
        synchronized (lock) {
            if (thread != null && thread.isAlive()) {
                return;
            }
            thread = new Thread(systemGroup(), new Runnable() {
                @Override
                public void run() {
                    serve();
                }
            }, THREAD_NAME);
            thread.setDaemon(true);
            thread.start();
        }
    }

    /** The JVM's outermost thread group, where its own service threads live. */
    private static ThreadGroup systemGroup() {
        ThreadGroup group = Thread.currentThread().getThreadGroup();
        while (group.getParent() != null) {
            group = group.getParent();
        }
        return group;
    }

    /** The recorder thread: takes one request after the other, for the life of the JVM. */
    private void serve() {
        while (true) {
            Job job;
            synchronized (lock) {
                while (queue.isEmpty()) {
                    try {
                        lock.wait();
                    } catch (InterruptedException e) {
                        // an interrupt meant for a recording that had just ended
                    }
                }
                job = queue.removeFirst();
            }
            run(job);
        }
    }

    private void run(Job job) {
        String state = "failed";
        String message = "";
        try {
            RecordingRequest request = job.request;
            state = request.isLoop() ? loop(job) : once(job, request.output, request.durationMillis);
        } catch (IncompleteSnapshot e) {
            message = e.getMessage();
        } catch (Throwable t) {
            message = describe(t);
        } finally {
            if (job.fromStart && state.equals("failed")) {
                System.err.println("tolvane> Recording from start failed: " + message);
            } else if (job.request.isLoop() && state.equals("failed")) {
                // Nobody follows a continuous recording: its end is told here and to the next command.
                System.err.println("tolvane> Continuous recording into " + job.request.output + " failed: " + message);
            }
            synchronized (lock) {
                job.state = state;
                job.message = message;
                if (active == job) {
                    active = null;
                }
                if (job.request.isLoop() && state.equals("failed")) {
                    untoldFailure = "the continuous recording into " + job.request.output + " failed after "
                            + job.written + (job.written == 1 ? " snapshot: " : " snapshots: ") + message;
                }
                lock.notifyAll();
            }
            publish(job, null);
        }
    }

    /** A snapshot that was not written completely; its message says why. */
    private static final class IncompleteSnapshot extends Exception {
        private static final long serialVersionUID = 1L;

        IncompleteSnapshot(String message) {
            super(message);
        }
    }

    /** The snapshots of a continuous recording, one per interval; returns its final state. */
    private String loop(Job job) throws Exception {
        RecordingRequest request = job.request;
        long pid = OutputPattern.currentPid();
        long start = System.nanoTime();
        for (long n = 1; ; n++) {
            long millis = request.loopMillis;
            if (request.durationMillis > 0) {
                millis = Math.min(millis, request.durationMillis - (System.nanoTime() - start) / 1_000_000L);
                if (millis <= 0) {
                    return "done";
                }
            }
            String name = OutputPattern.expand(request.output, pid, n, System.currentTimeMillis());
            String state = once(job, name, millis);
            List<String> expired = new ArrayList<String>();
            synchronized (lock) {
                job.written++;
                job.kept.remove(name); // a name used twice (a clock set back) is kept once, as the newest
                job.kept.addLast(name);
                while (request.keep > 0 && job.kept.size() > request.keep) {
                    expired.add(job.kept.removeFirst());
                }
            }
            for (String old : expired) {
                deletePartial(old);
            }
            synchronized (lock) {
                if (!"done".equals(state) || job.endRequested) {
                    return job.endRequested && "done".equals(state) ? "stopped" : state;
                }
            }
        }
    }

    /**
     * One snapshot of {@code millis} into {@code output}; returns done,
     * stopped (by {@link #stop}) or exiting (cut short by the JVM's exit), and
     * throws when the snapshot could not be written completely.
     */
    private String once(Job job, String output, long millis) throws Exception {
        RecordingRequest request = job.request;
        // Checked again here: the file system may have changed since the request.
        checkOutput(output);
        // An old file under the same name must not pass for the result of this recording.
        new File(output).delete();
        configure(request);
        synchronized (lock) {
            job.sampling = true;
            if (job.stopRequested) {
                Thread.currentThread().interrupt();
            }
            lock.notifyAll(); // awaitSampling
        }
        long start = System.nanoTime();
        boolean interrupted;
        try {
            JvmtiCallee.record(millis, request.transactions, request.agentThreads, pathBytes(output));
        } finally {
            synchronized (lock) {
                job.sampling = false;
                // The library hands an interrupt back; it must not reach the next wait.
                interrupted = Thread.interrupted();
            }
        }
        // Sampling also ends before its time when the JVM is shutting down.
        boolean cutShort = System.nanoTime() - start < millis * 1_000_000L && !interrupted;
        String problem = incomplete(output);
        if (problem != null) {
            deletePartial(output);
            throw new IncompleteSnapshot(problem);
        }
        if (!request.isLoop()) {
            synchronized (lock) {
                job.written++;
                job.kept.add(output);
            }
        }
        synchronized (lock) {
            return job.stopRequested ? "stopped" : cutShort ? "exiting" : "done";
        }
    }

    /** Refuses an output that exists and is not a regular file: it is deleted before the recording. */
    static void checkOutput(String output) {
        int kind = fileKind(output);
        if (kind != JvmtiCallee.FILE_MISSING && kind != JvmtiCallee.FILE_REGULAR) {
            throw new IllegalArgumentException("the output " + output + " exists and is not a regular file"
                    + " (a device, FIFO, socket or symbolic link); only a regular file is replaced");
        }
    }

    /**
     * What is at a path, the path's last element not followed: asked of the
     * library, which needs none of the JDK's file system classes for it.
     */
    static int fileKind(String path) {
        try {
            return JvmtiCallee.fileKind(pathBytes(path));
        } catch (LinkageError e) {
            // Without the library nothing is recorded anyway; the answer only shapes the refusal.
            return new File(path).exists() ? JvmtiCallee.FILE_OTHER : JvmtiCallee.FILE_MISSING;
        }
    }

    /**
     * Null when the snapshot at {@code output} was written completely (its
     * section directory filled in and its last section ending at the end of
     * the file), else what is wrong with it.
     */
    static String incomplete(String output) {
        if (fileKind(output) != JvmtiCallee.FILE_REGULAR) {
            return "the library wrote no snapshot file at " + output + " (see the JVM's standard error)";
        }
        File file = new File(output);
        // Decoded by hand: the JDK's data streams would bring their byte-view classes into the JVM.
        try (InputStream in = new BufferedInputStream(new FileInputStream(file))) {
            long size = file.length();
            if ((int) number(in, 4) != SNAPSHOT_MAGIC) {
                return "the snapshot " + output + " does not start with the snapshot magic";
            }
            number(in, 4); // format version
            number(in, (int) number(in, 2)); // VM name
            number(in, (int) number(in, 2)); // Java version
            number(in, 8 + 8 + 4); // start and write time, ID width
            boolean allZero = true;
            long end = 0;
            for (int i = 0; i < SECTION_COUNT; i++) {
                long length = number(in, 8);
                long position = number(in, 8);
                long crc = number(in, 4);
                allZero &= length == 0 && position == 0 && crc == 0;
                end = position + 4 + length;
            }
            if (!allZero && end == size) {
                return null;
            }
        } catch (EOFException e) {
            // truncated within the header: reported below
        } catch (IOException e) {
            return "cannot read back the snapshot " + output + ": " + e;
        }
        return "the snapshot " + output + " could not be written completely; the disk or partition might be full"
                + freeSpace(file);
    }

    private static String freeSpace(File output) {
        File directory = output.getAbsoluteFile().getParentFile();
        long free = directory == null ? 0 : directory.getUsableSpace();
        return free > 0 ? " (" + free + " bytes free there)" : "";
    }

    /**
     * The next {@code n} bytes as a big-endian number (its low 64 bits; a
     * longer field is just read past).
     */
    private static long number(InputStream in, int n) throws IOException {
        long value = 0;
        for (int i = 0; i < n; i++) {
            int b = in.read();
            if (b < 0) {
                throw new EOFException();
            }
            value = value << 8 | b;
        }
        return value;
    }

    private static void deletePartial(String output) {
        if (fileKind(output) == JvmtiCallee.FILE_REGULAR) {
            new File(output).delete(); // the failure is reported all the same
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

    private void configure(RecordingRequest request) {
        JvmtiCallee.setFilters(request.filters, request.filterInverted, request.ignored, request.agentClasses);
        // One call per class; the library replaces what the class had.
        for (String cls : request.netioClasses) {
            forgetNetio(cls);
            List<String[]> methods = request.netio.get(cls);
            if (methods == null) {
                JvmtiCallee.addNetioClass(cls, null, null);
                declared(cls);
                continue;
            }
            String[] names = new String[methods.size()];
            String[] signatures = new String[methods.size()];
            for (int i = 0; i < names.length; i++) {
                names[i] = methods.get(i)[0];
                signatures[i] = methods.get(i)[1];
                declared(cls + "#" + names[i] + (signatures[i] == null ? "" : signatures[i]));
            }
            JvmtiCallee.addNetioClass(cls, names, signatures);
        }
    }

    /** Drops the declarations in force for a class that is declared anew. */
    private void forgetNetio(String className) {
        synchronized (netioDeclared) {
            for (Iterator<String> it = netioDeclared.iterator(); it.hasNext();) {
                String declared = it.next();
                if (declared.equals(className) || declared.startsWith(className + "#")) {
                    it.remove();
                }
            }
        }
    }

    private void declared(String declaration) {
        synchronized (netioDeclared) {
            if (!netioDeclared.contains(declaration)) {
                netioDeclared.add(declaration);
            }
        }
    }

    /**
     * The net I/O declarations in force in this JVM, as CLASS, CLASS#METHOD or
     * CLASS#METHOD(SIGNATURE)RETURN: those of every recording started so
     * far, until a later recording declares the same class again.
     */
    public String[] getNetioDeclarations() {
        synchronized (netioDeclared) {
            return netioDeclared.toArray(new String[0]);
        }
    }

    /** The encoding of file names on this system, as the JVM uses it. */
    static Charset fileNameCharset() {
        String encoding = System.getProperty("sun.jnu.encoding");
        try {
            return encoding != null ? Charset.forName(encoding) : Charset.defaultCharset();
        } catch (RuntimeException e) {
            return Charset.defaultCharset();
        }
    }

    /** The file name as the operating system takes it, followed by the terminating zero byte. */
    static byte[] pathBytes(String path) {
        byte[] name = path.getBytes(fileNameCharset());
        byte[] terminated = new byte[name.length + 1];
        System.arraycopy(name, 0, terminated, 0, name.length);
        return terminated;
    }

    /** A value for properties text: backslashes, line ends and leading blanks kept literally. */
    private static String escape(String value) {
        StringBuilder sb = new StringBuilder();
        for (int i = 0; i < value.length(); i++) {
            char c = value.charAt(i);
            switch (c) {
                case '\\': sb.append("\\\\"); break;
                case '\n': sb.append("\\n"); break;
                case '\r': sb.append("\\r"); break;
                case ' ': sb.append(i == 0 ? "\\ " : " "); break;
                default:
                    if (c < 0x20 || c > 0x7e) {
                        sb.append(String.format("\\u%04x", (int) c));
                    } else {
                        sb.append(c);
                    }
            }
        }
        return sb.toString();
    }

    private static String describe(Throwable t) {
        String message = t.getMessage();
        if (message != null && !message.isEmpty()) {
            return t.getClass().getName() + ": " + message;
        }
        // The trace by hand: a StringWriter would be one more class brought into the JVM.
        StringBuilder trace = new StringBuilder(t.toString());
        for (StackTraceElement e : t.getStackTrace()) {
            trace.append("\n\tat ").append(e);
        }
        return trace.toString();
    }
}
