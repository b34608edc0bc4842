package com.tolvane.agent.recorder;

/**
 * The recorder of one JVM, registered on its platform MBean server as
 * {@value Recorder#OBJECT_NAME}. The tolvane command reaches it through the
 * JVM's local management agent; any JMX client can start a recording the
 * same way.
 *
 * <p>One recording runs at a time. A recording goes through the states
 * "recording", then one of "done" (ran its full length), "stopped" (ended
 * early by {@link #stop}), "exiting" (cut short because the JVM is shutting
 * down; the snapshot is complete) or "failed" (see {@link #message}).
 */
public interface RecorderMXBean {
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
    long start(String request);

    /** Starts a recording of every thread without filters, for JMX consoles; see {@link #start}. */
    long startRecording(String outputFile, long durationMillis);

    /** The state of a recording: recording, done, stopped, exiting, failed, or unknown for an id not seen. */
    String state(long id);

    /**
     * Waits until the recording leaves the state "recording" or the time is
     * up, and returns its state then; lets a client follow a recording
     * without polling it.
     */
    String await(long id, long timeoutMillis);

    /** Why a recording failed; empty otherwise. */
    String message(long id);

    /** Ends a running recording early; it still writes its snapshot. Returns whether it was running. */
    boolean stop(long id);

    /**
     * Ends a recording: a continuous one after the interval in progress,
     * whose snapshot is still written; a single one at once, as {@link #stop}.
     * Returns whether it was running.
     */
    boolean end(long id);

    /** The id of the running recording, or 0 when none runs. */
    long getActiveRecording();

    /** Whether a recording is a continuous one (one snapshot per interval). */
    boolean isContinuous(long id);

    /** The snapshot files a recording wrote that remain, oldest first. */
    java.util.List<String> snapshots(long id);

    /** Whether a recording is running. */
    boolean isRecording();

    /** How many recordings this JVM has started. */
    long getRecordings();

    /**
     * The net I/O declarations in force in this JVM, as CLASS, CLASS#METHOD or
     * CLASS#METHOD(SIGNATURE)RETURN: those of every recording started so
     * far, since the library keeps them while the JVM lives.
     */
    String[] getNetioDeclarations();

    /** How often the recorder agent was loaded into this JVM (the tolvane command loads it once). */
    int getAgentLoads();
}
