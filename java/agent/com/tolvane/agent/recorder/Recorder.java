package com.tolvane.agent.recorder;

import com.tolvane.agent.callee.JvmtiCallee;
import java.io.DataInputStream;
import java.io.EOFException;
import java.io.IOException;
import java.io.InputStream;
import java.io.PrintWriter;
import java.io.StringWriter;
import java.nio.charset.Charset;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.Collections;
import java.util.Deque;
import java.util.Iterator;
import java.util.LinkedHashMap;
import java.util.LinkedHashSet;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;

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
public final class Recorder implements RecorderMXBean {
    public static final String OBJECT_NAME = "com.tolvane:type=Recorder";
    public static final String THREAD_NAME = "_tolvane recorder";

    /** How many finished recordings keep their state for clients that ask late. */
    private static final int REMEMBERED = 32;
    /** Longest single wait in {@link #await}, so a client call never hangs for long. */
    private static final long MAX_AWAIT_MILLIS = 60_000;
    private static final int SNAPSHOT_MAGIC = 0xCAFED00D;
    private static final int SECTION_COUNT = 7;
    private static final int DIRECTORY_ENTRY_SIZE = 20;

    private final Object lock = new Object();
    /**
     * Net I/O declarations in force in this JVM, as CLASS, CLASS#METHOD or
     * CLASS#METHOD(SIGNATURE)RETURN: the library keeps them while the JVM
     * lives, until a later declaration of the same class replaces them.
     */
    private final Set<String> netioDeclared = Collections.synchronizedSet(new LinkedHashSet<String>());
    private final BlockingQueue<Job> queue = new LinkedBlockingQueue<Job>();
    private final Map<Long, Job> recent = new LinkedHashMap<Long, Job>() {
        private static final long serialVersionUID = 1L;

        @Override
        protected boolean removeEldestEntry(Map.Entry<Long, Job> eldest) {
            return size() > REMEMBERED;
        }
    };
    private Thread thread;
    private Job active;
    private long recordings;

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

        Job(long id, RecordingRequest request) {
            this.id = id;
            this.request = request;
        }
    }

    Recorder() {
    }

    @Override
    public long start(String request) {
        return start(request, false);
    }

    /** Starts a recording; one {@code fromStart} tells its failure on standard error. */
    long start(String request, boolean fromStart) {
        RecordingRequest parsed = RecordingRequest.parse(request);
        Path output = Paths.get(parsed.output);
        if (!output.isAbsolute()) {
            throw new IllegalArgumentException("the output " + output + " is not an absolute path");
        }
        if (!parsed.isLoop()) {
            checkOutput(output);
        }
        if (!nativeBound()) {
            throw new IllegalStateException("the native library is not loaded in this JVM");
        }
        try {
            System.setProperty(RecorderAgent.NATIVE_PROPERTY, "loaded");
        } catch (RuntimeException ignored) {
            // a security manager may refuse it; the command then loads the library again, which is harmless
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
            active = job;
            recent.put(job.id, job);
            queue.add(job);
            return job.id;
        }
    }

    @Override
    public long startRecording(String outputFile, long durationMillis) {
        StringBuilder request = new StringBuilder();
        request.append("output=").append(escape(outputFile)).append('\n');
        request.append("durationMillis=").append(durationMillis).append('\n');
        return start(request.toString());
    }

    @Override
    public String state(long id) {
        synchronized (lock) {
            Job job = recent.get(id);
            return job == null ? "unknown" : job.state;
        }
    }

    @Override
    public String await(long id, long timeoutMillis) {
        long deadline = System.nanoTime() + Math.max(0, Math.min(timeoutMillis, MAX_AWAIT_MILLIS)) * 1_000_000L;
        synchronized (lock) {
            while (true) {
                Job job = recent.get(id);
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

    @Override
    public String message(long id) {
        synchronized (lock) {
            Job job = recent.get(id);
            return job == null ? "" : job.message;
        }
    }

    @Override
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

    @Override
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

    @Override
    public long getActiveRecording() {
        synchronized (lock) {
            return active == null ? 0 : active.id;
        }
    }

    @Override
    public boolean isContinuous(long id) {
        synchronized (lock) {
            Job job = recent.get(id);
            return job != null && job.request.isLoop();
        }
    }

    @Override
    public List<String> snapshots(long id) {
        synchronized (lock) {
            Job job = recent.get(id);
            return job == null ? new ArrayList<String>() : new ArrayList<String>(job.kept);
        }
    }

    @Override
    public boolean isRecording() {
        synchronized (lock) {
            return active != null;
        }
    }

    @Override
    public long getRecordings() {
        synchronized (lock) {
            return recordings;
        }
    }

    @Override
    public int getAgentLoads() {
        return RecorderAgent.loads();
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
                Job job = recent.get(id);
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
     * Starts the recorder thread unless it runs. The agent starts it when it
     * registers the recorder, so that the thread belongs to the JVM's system
     * group and carries nothing of a JMX client's call; it is only started
     * again here if it ever died.
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
            try {
                job = queue.take();
            } catch (InterruptedException e) {
                continue; // an interrupt meant for a recording that had just ended
            }
            run(job);
        }
    }

    private void run(Job job) {
        String state = "failed";
        String message = "";
        try {
            RecordingRequest request = job.request;
            state = request.isLoop() ? loop(job) : once(job, Paths.get(request.output), request.durationMillis);
        } catch (IncompleteSnapshot e) {
            message = e.getMessage();
        } catch (Throwable t) {
            message = describe(t);
        } finally {
            if (job.fromStart && state.equals("failed")) {
                System.err.println("tolvane> Recording from start failed: " + message);
            }
            synchronized (lock) {
                job.state = state;
                job.message = message;
                if (active == job) {
                    active = null;
                }
                lock.notifyAll();
            }
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
            Path output = Paths.get(OutputPattern.expand(request.output, pid, n, System.currentTimeMillis()));
            String state = once(job, output, millis);
            String name = output.toString();
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
                deletePartial(Paths.get(old));
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
    private String once(Job job, Path output, long millis) throws Exception {
        RecordingRequest request = job.request;
        // Checked again here: the file system may have changed since the request.
        checkOutput(output);
        // An old file under the same name must not pass for the result of this recording.
        Files.deleteIfExists(output);
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
            JvmtiCallee.record(millis, request.transactions, request.agentThreads, pathBytes(output.toString()));
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
                job.kept.add(output.toString());
            }
        }
        synchronized (lock) {
            return job.stopRequested ? "stopped" : cutShort ? "exiting" : "done";
        }
    }

    /** Refuses an output that exists and is not a regular file: it is deleted before the recording. */
    static void checkOutput(Path output) {
        if (Files.exists(output, LinkOption.NOFOLLOW_LINKS) && !Files.isRegularFile(output, LinkOption.NOFOLLOW_LINKS)) {
            throw new IllegalArgumentException("the output " + output + " exists and is not a regular file"
                    + " (a device, FIFO, socket or symbolic link); only a regular file is replaced");
        }
    }

    /**
     * Null when the snapshot at {@code output} was written completely (its
     * section directory filled in and its last section ending at the end of
     * the file), else what is wrong with it.
     */
    static String incomplete(Path output) {
        if (!Files.isRegularFile(output, LinkOption.NOFOLLOW_LINKS)) {
            return "the library wrote no snapshot file at " + output + " (see the JVM's standard error)";
        }
        try (InputStream file = Files.newInputStream(output)) {
            DataInputStream in = new DataInputStream(file);
            long size = Files.size(output);
            if (in.readInt() != SNAPSHOT_MAGIC) {
                return "the snapshot " + output + " does not start with the snapshot magic";
            }
            in.readInt(); // format version
            skipFully(in, in.readUnsignedShort()); // VM name
            skipFully(in, in.readUnsignedShort()); // Java version
            skipFully(in, 8 + 8 + 4); // start and write time, ID width
            boolean allZero = true;
            long end = 0;
            for (int i = 0; i < SECTION_COUNT; i++) {
                long length = in.readLong();
                long position = in.readLong();
                int crc = in.readInt();
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
                + freeSpace(output);
    }

    private static String freeSpace(Path output) {
        try {
            return " (" + Files.getFileStore(output.toAbsolutePath().getParent()).getUsableSpace()
                    + " bytes free there)";
        } catch (IOException | RuntimeException e) {
            return "";
        }
    }

    private static void skipFully(DataInputStream in, int n) throws IOException {
        in.readFully(new byte[n]);
    }

    private static void deletePartial(Path output) {
        try {
            if (Files.isRegularFile(output, LinkOption.NOFOLLOW_LINKS)) {
                Files.delete(output);
            }
        } catch (IOException | RuntimeException ignored) {
            // the failure is reported all the same
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
        for (Map.Entry<String, List<String[]>> e : request.netio.entrySet()) {
            forgetNetio(e.getKey());
            List<String[]> methods = e.getValue();
            if (methods == null) {
                JvmtiCallee.addNetioClass(e.getKey(), null, null);
                netioDeclared.add(e.getKey());
                continue;
            }
            String[] names = new String[methods.size()];
            String[] signatures = new String[methods.size()];
            for (int i = 0; i < names.length; i++) {
                names[i] = methods.get(i)[0];
                signatures[i] = methods.get(i)[1];
                netioDeclared.add(e.getKey() + "#" + names[i] + (signatures[i] == null ? "" : signatures[i]));
            }
            JvmtiCallee.addNetioClass(e.getKey(), names, signatures);
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

    @Override
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
        StringWriter trace = new StringWriter();
        t.printStackTrace(new PrintWriter(trace));
        return trace.toString();
    }
}
