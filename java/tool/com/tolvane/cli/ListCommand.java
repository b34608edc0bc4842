package com.tolvane.cli;

import com.tolvane.snapshot.Printable;
import com.tolvane.tool.Targets;
import java.io.PrintStream;
import picocli.CommandLine.Command;

/** tolvane list: the JVMs of this user that can be recorded. */
@Command(name = "list", header = "list the running JVMs that can be recorded (process id and main class)",
        customSynopsis = "tolvane list",
        description = "Prints one line per JVM of this user: its process id and its main class or jar.")
final class ListCommand implements ToolCommand {
    @Override
    public int run(PrintStream out, PrintStream err) {
        var jvms = Targets.list();
        for (Targets.Jvm jvm : jvms) {
            out.println(jvm.pid() + " "
                    + (jvm.mainClass().isEmpty() ? "(unknown main class)" : Printable.of(jvm.mainClass())));
        }
        if (jvms.isEmpty()) {
            err.println("tolvane: no JVM of this user can be attached (JVMs started with"
                    + " -XX:+DisableAttachMechanism or -XX:-UsePerfData are not listed)");
        }
        return 0;
    }
}
