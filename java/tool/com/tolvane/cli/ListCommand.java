package com.tolvane.tool;

import java.io.PrintStream;

/** tolvane list: the JVMs of this user that can be recorded. */
public final class ListCommand implements Command {
    @Override
    public String name() {
        return "list";
    }

    @Override
    public String summary() {
        return "list the running JVMs that can be recorded (process id and main class)";
    }

    @Override
    public String usage() {
        return "usage: tolvane list\n\nPrints one line per JVM of this user: its process id and its main class or jar.";
    }

    @Override
    public int run(String[] args, PrintStream out, PrintStream err) throws ToolException {
        if (!new Args().parse(args).positional().isEmpty()) {
            throw ToolException.usage("list takes no arguments");
        }
        var jvms = Targets.list();
        for (Targets.Jvm jvm : jvms) {
            out.println(jvm.pid() + " " + (jvm.mainClass().isEmpty() ? "(unknown main class)" : jvm.mainClass()));
        }
        if (jvms.isEmpty()) {
            err.println("tolvane: no JVM of this user can be attached (JVMs started with"
                    + " -XX:+DisableAttachMechanism or -XX:-UsePerfData are not listed)");
        }
        return 0;
    }
}
