package com.tolvane.tool;

import java.io.PrintStream;

/** One subcommand of the tolvane command line. */
public interface Command {

    /** The word that selects this command. */
    String name();

    /** One line for the command overview. */
    String summary();

    /** The full usage text, options included. */
    String usage();

    /**
     * Runs the command. Results go to {@code out}, progress and notes to
     * {@code err}; a failure is thrown and printed by the dispatcher.
     *
     * @return the exit code (0 on success)
     */
    int run(String[] args, PrintStream out, PrintStream err) throws ToolException;
}
