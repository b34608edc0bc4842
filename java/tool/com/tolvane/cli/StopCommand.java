package com.tolvane.tool;

import java.io.PrintStream;

/** tolvane stop: end the recording running in a JVM, continuous or single. */
public final class StopCommand implements Command {
    @Override
    public String name() {
        return "stop";
    }

    @Override
    public String summary() {
        return "end the recording running in a JVM; a continuous one after its snapshot in progress";
    }

    @Override
    public String usage() {
        return "usage: tolvane stop <pid | main class name>\n\n"
                + "Ends the recording running in the JVM and waits for its last snapshot: a continuous\n"
                + "recording (record --loop, or loop= on the java command line) after the snapshot in\n"
                + "progress, a single one at once. The JVM keeps running. Prints the snapshots that remain.\n\n"
                + "Exit codes: 0 ended, 1 failed or nothing was being recorded, 2 bad arguments.";
    }

    @Override
    public int run(String[] args, PrintStream out, PrintStream err) throws ToolException {
        Args parsed = new Args().parse(args);
        Targets.Jvm jvm = Targets.resolve(parsed.single("target: a process id or a main class name"));
        Recording.stop(jvm, out, err);
        return 0;
    }
}
