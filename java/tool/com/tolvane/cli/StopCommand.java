package com.tolvane.cli;

import com.tolvane.tool.Recording;
import com.tolvane.tool.Targets;
import com.tolvane.tool.ToolException;
import java.io.PrintStream;
import java.util.ArrayList;
import java.util.List;
import picocli.CommandLine.Command;
import picocli.CommandLine.Parameters;

/** tolvane stop: end the recording running in a JVM, continuous or single. */
@Command(name = "stop", header = "end the recording running in a JVM; a continuous one after its snapshot in progress",
        customSynopsis = "tolvane stop <pid | main class name>",
        description = "Ends the recording running in the JVM and waits for its last snapshot: a continuous"
                + " recording (record --loop, or loop= on the java command line) after the snapshot in progress,"
                + " a single one at once. The JVM keeps running. Prints the snapshots that remain.",
        footer = "Exit codes: 0 ended, 1 failed or nothing was being recorded, 2 bad arguments.")
final class StopCommand implements ToolCommand {
    @Parameters(paramLabel = "<pid | main class name>", arity = "0..*", hideParamSyntax = true,
            description = "the JVM whose recording to end, as for tolvane record")
    List<String> target = new ArrayList<>();

    @Override
    public int run(PrintStream out, PrintStream err) throws ToolException {
        Targets.Jvm jvm = Targets.resolve(Positionals.single(target, "target: a process id or a main class name"));
        Recording.stop(jvm, out, err);
        return 0;
    }
}
