package com.tolvane.tool;

import java.io.PrintStream;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/**
 * The tolvane command line: dispatches to one {@link Command} per subcommand
 * and turns failures into one line on standard error and an exit code.
 */
public final class Main {
    private Main() {
    }

    /** Every subcommand, in the order the overview lists them. */
    static Map<String, Command> commands() {
        Map<String, Command> commands = new LinkedHashMap<>();
        for (Command c : List.of(new ListCommand(), new RecordCommand(), new RunCommand(), new StopCommand(),
                new VerifyCommand(), new DemoCommand())) {
            commands.put(c.name(), c);
        }
        for (Command c : List.of(new com.tolvane.report.ReportCommand(), new com.tolvane.diff.DiffCommand())) {
            commands.put(c.name(), c);
        }
        return commands;
    }

    public static void main(String[] args) {
        int code = run(args, System.out, System.err);
        System.out.flush();
        System.exit(code);
    }

    /** Runs one command line; returns the exit code. */
    public static int run(String[] args, PrintStream out, PrintStream err) {
        Map<String, Command> commands = commands();
        if (args.length == 0 || args[0].equals("help") || args[0].equals("-h") || args[0].equals("--help")) {
            if (args.length > 1 && commands.containsKey(args[1])) {
                out.println(commands.get(args[1]).usage());
                return 0;
            }
            out.println(overview(commands));
            return args.length == 0 ? ToolException.USAGE : 0;
        }
        Command command = commands.get(args[0]);
        if (command == null) {
            err.println("tolvane: unknown command '" + args[0] + "' (commands: " + String.join(", ", commands.keySet())
                    + ")");
            return ToolException.USAGE;
        }
        String[] rest = java.util.Arrays.copyOfRange(args, 1, args.length);
        // Only before "--": what follows belongs to another program (tolvane run -- java ... --help).
        List<String> own = List.of(rest).subList(0, List.of(rest).contains("--") ? List.of(rest).indexOf("--")
                : rest.length);
        if (own.contains("-h") || own.contains("--help")) {
            out.println(command.usage());
            return 0;
        }
        try {
            return command.run(rest, out, err);
        } catch (ToolException e) {
            err.println("tolvane " + command.name() + ": " + e.getMessage());
            return e.exitCode();
        } catch (OutOfMemoryError e) {
            // Whatever was being built is unreachable by now, so a line can still be printed.
            err.println("tolvane " + command.name() + ": out of memory (heap of "
                    + Runtime.getRuntime().maxMemory() / (1024 * 1024) + " MB); give the tool more with"
                    + " TOLVANE_JAVA_OPTS=-Xmx...");
            return ToolException.FAILED;
        }
    }

    static String overview(Map<String, Command> commands) {
        StringBuilder sb = new StringBuilder("usage: tolvane <command> [arguments]\n\ncommands:\n");
        for (Command c : commands.values()) {
            sb.append(String.format("  %-8s %s%n", c.name(), c.summary()));
        }
        sb.append("\nMore about one command: tolvane help <command>");
        return sb.toString();
    }
}
