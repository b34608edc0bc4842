package com.tolvane.tool;

/**
 * A failure that ends a command of the tool: the command line prints the
 * message as one line on standard error and exits with the exit code.
 */
public class ToolException extends Exception {
    private static final long serialVersionUID = 1L;

    /** Exit code of a failure of the operation itself (attach refused, bad file, ...). */
    public static final int FAILED = 1;
    /** Exit code of unusable command-line input. */
    public static final int USAGE = 2;
    /** Exit code when the target JVM exited while it was being recorded. */
    public static final int TARGET_EXITED = 3;

    private final int exitCode;

    public ToolException(String message) {
        this(message, FAILED);
    }

    public ToolException(String message, int exitCode) {
        super(message);
        this.exitCode = exitCode;
    }

    public int exitCode() {
        return exitCode;
    }

    /** Unusable command-line input; exit code {@link #USAGE}. */
    public static ToolException usage(String message) {
        return new ToolException(message, USAGE);
    }
}
