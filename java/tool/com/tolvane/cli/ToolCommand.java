package com.tolvane.cli;

import com.tolvane.tool.ToolException;
import java.io.PrintStream;

/**
 * One subcommand of the tolvane command line: a picocli command whose
 * options and parameters are its annotated fields, filled in by {@link Main}
 * before {@link #run} is called.
 */
interface ToolCommand {

    /**
     * Runs the command. Results go to {@code out}, progress and notes to
     * {@code err}; a failure is thrown and printed by {@link Main}.
     *
     * @return the exit code (0 on success)
     */
    int run(PrintStream out, PrintStream err) throws ToolException;
}
