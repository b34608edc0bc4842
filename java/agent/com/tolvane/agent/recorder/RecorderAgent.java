package com.tolvane.agent.recorder;

/**
 * The recorder of this JVM, one for its life: made by the library's
 * recording from start ({@link #onLoad}) or by the first command of the
 * tolvane tool ({@link RecorderControl}). In-process code reaches it through
 * {@link #recorder}.
 */
public final class RecorderAgent {
    /** How long the JVM's start waits for a recording from start to sample, so main is in it from its start. */
    private static final long START_WAIT_MILLIS = 5000;

    private static Recorder recorder;

    private RecorderAgent() {
    }

    /** This JVM's recorder if it has been made, else null. */
    static synchronized Recorder existing() {
        return recorder;
    }

    /** This JVM's recorder, with its thread started. */
    public static synchronized Recorder recorder() {
        if (recorder == null) {
            recorder = new Recorder();
        }
        recorder.startThread();
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
            String options = new String(optionBytes, Recorder.fileNameCharset());
            String command = System.getProperty("sun.java.command", "");
            String mainClass = command.isEmpty() ? null : command.split(" ")[0];
            StartupRequest request = StartupRequest.parse(options, OutputPattern.currentPid(),
                    System.getProperty("user.dir", "."), mainClass);
            if (request == null) {
                return;
            }
            Recorder r = recorder();
            long id = r.start(request.request, true);
            System.err.println("tolvane> Recording from start " + request.description);
            r.awaitSampling(id, START_WAIT_MILLIS);
        } catch (RuntimeException | Error e) {
            System.err.println("tolvane> No recording from start: " + (e.getMessage() != null ? e.getMessage() : e));
        }
    }
}
