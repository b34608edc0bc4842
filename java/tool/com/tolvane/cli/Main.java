package com.tolvane.cli;

import com.tolvane.snapshot.Printable;
import com.tolvane.tool.ToolException;
import java.io.PrintStream;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.stream.Collectors;
import picocli.CommandLine;
import picocli.CommandLine.Model.ArgSpec;
import picocli.CommandLine.Model.CommandSpec;
import picocli.CommandLine.Model.OptionSpec;
import picocli.CommandLine.MissingParameterException;
import picocli.CommandLine.ParameterException;
import picocli.CommandLine.TypeConversionException;
import picocli.CommandLine.UnmatchedArgumentException;

/**
 * The tolvane command line. Each subcommand is a picocli command that
 * declares its options, their help and their checks; this class parses one
 * command line, runs the chosen command and turns failures into one line on
 * standard error and an exit code (1 failed, 2 bad arguments, 3 the target
 * JVM exited).
 */
public final class Main {
    private Main() {
    }

    /** Every subcommand, in the order the overview lists them. */
    private static List<Object> commands() {
        return List.of(new ListCommand(), new RecordCommand(), new RunCommand(), new StopCommand(),
                new VerifyCommand(), new DemoCommand(), new ReportCommand(), new DiffCommand(), new HelpCommand());
    }

    /** The whole command line: the tolvane command with every subcommand. */
    public static CommandLine commandLine() {
        CommandLine tolvane = new CommandLine(CommandSpec.create().name("tolvane"));
        for (Object command : commands()) {
            tolvane.addSubcommand(configure(new CommandLine(command)));
        }
        // An argument that starts with '@' is a file name or a pattern, never a file of further arguments.
        tolvane.setExpandAtFiles(false);
        return tolvane;
    }

    /** The conventions every subcommand shares: help option, layout of its help, repeated options. */
    private static CommandLine configure(CommandLine command) {
        CommandSpec model = command.getCommandSpec();
        model.addOption(OptionSpec.builder("-h", "--help").usageHelp(true)
                .description("show this help").build());
        model.usageMessage().synopsisHeading("usage: ").descriptionHeading("%n").parameterListHeading("%n")
                .optionListHeading("%nOptions:%n").footerHeading("%n").sortOptions(false).width(100);
        // As with most tools, the last of a repeated single-valued option counts.
        command.setOverwrittenOptionsAllowed(true);
        command.setExpandAtFiles(false);
        if (command.getCommand() instanceof RunCommand) {
            // Everything from the java command on belongs to it, its options included.
            command.setStopAtPositional(true);
        }
        return command;
    }

    public static void main(String[] args) {
        int code = run(args, System.out, System.err);
        System.out.flush();
        System.exit(code);
    }

    /** Runs one command line; returns the exit code. */
    public static int run(String[] args, PrintStream out, PrintStream err) {
        CommandLine tolvane = commandLine();
        if (args.length == 0) {
            out.println(HelpCommand.overview(tolvane));
            return ToolException.USAGE;
        }
        String name = args[0].equals("-h") || args[0].equals("--help") ? "help" : args[0];
        CommandLine command = tolvane.getSubcommands().get(name);
        if (command == null) {
            err.println("tolvane: unknown command '" + name + "' (commands: "
                    + String.join(", ", tolvane.getSubcommands().keySet()) + ")");
            return ToolException.USAGE;
        }
        List<String> rest = Arrays.asList(args).subList(1, args.length);
        // -h among the command's own arguments wins over anything else there, right or wrong.
        if (asksForHelp(rest)) {
            out.print(command.getUsageMessage());
            return 0;
        }
        List<String> line = new ArrayList<>(rest);
        line.add(0, name);
        try {
            tolvane.parseArgs(line.toArray(new String[0]));
        } catch (ParameterException e) {
            err.println("tolvane " + name + ": " + message(e, rest));
            return ToolException.USAGE;
        }
        try {
            return ((ToolCommand) command.getCommand()).run(out, err);
        } catch (ToolException e) {
            err.println("tolvane " + name + ": " + printableLines(e.getMessage()));
            return e.exitCode();
        } catch (OutOfMemoryError e) {
            // Whatever was being built is unreachable by now, so a line can still be printed.
            err.println("tolvane " + name + ": out of memory (heap of "
                    + Runtime.getRuntime().maxMemory() / (1024 * 1024) + " MB); give the tool more with"
                    + " TOLVANE_JAVA_OPTS=-Xmx...");
            return ToolException.FAILED;
        }
    }

    /**
     * A failure's message made printable line by line (the demo's failure
     * carries the demo's output on lines of its own): a name from a target or
     * a file quoted in a message moves no cursor and recolours nothing.
     */
    static String printableLines(String message) {
        return Arrays.stream(String.valueOf(message).split("\n", -1)).map(Printable::of)
                .collect(Collectors.joining("\n"));
    }

    /**
     * Parses the arguments of one command into its fields, as the command
     * line would; a usage error is thrown with the message the command line
     * prints. For callers that want a command's options without running it.
     */
    public static <T> T parse(T command, String... args) throws ToolException {
        try {
            configure(new CommandLine(command)).parseArgs(args);
        } catch (ParameterException e) {
            throw ToolException.usage(message(e, Arrays.asList(args)));
        }
        return command;
    }

    /** Whether -h or --help is among the command's own arguments, those before "--". */
    private static boolean asksForHelp(List<String> args) {
        int end = args.indexOf("--");
        List<String> own = end < 0 ? args : args.subList(0, end);
        return own.contains("-h") || own.contains("--help");
    }

    /**
     * One line for a usage error. The checks of option values say what is
     * wrong in their own words; picocli's complaints about the shape of the
     * command line are put the way the tool has always put them.
     */
    static String message(ParameterException e, List<String> args) {
        if (e instanceof MissingParameterException missing && !missing.getMissing().isEmpty()
                && missing.getMissing().get(0) instanceof OptionSpec option) {
            return "option " + typedName(option, args) + " needs a value";
        }
        if (e instanceof UnmatchedArgumentException unmatched && !unmatched.getUnmatched().isEmpty()) {
            String first = unmatched.getUnmatched().get(0);
            if (first.startsWith("-") && first.length() > 1) {
                int eq = first.indexOf('=');
                return "unknown option " + (!first.startsWith("--") ? first.substring(0, 2)
                        : eq > 0 ? first.substring(0, eq) : first);
            }
            CommandSpec model = e.getCommandLine().getCommandSpec();
            boolean hasOptions = model.options().stream().anyMatch(o -> !o.usageHelp());
            return model.name() + (hasOptions ? " takes options only, not " : " takes no arguments, not ")
                    + String.join(" ", unmatched.getUnmatched());
        }
        ArgSpec arg = e.getArgSpec();
        if (arg instanceof OptionSpec option && option.typeInfo().isBoolean()) {
            return "option " + typedName(option, args) + " takes no value";
        }
        if (e.getCause() instanceof TypeConversionException conversion) {
            return conversion.getMessage();
        }
        String text = e.getMessage();
        return text.lines().findFirst().orElse(text);
    }

    /** The name of an option as the user wrote it (-d or --duration), for messages. */
    private static String typedName(OptionSpec option, List<String> args) {
        for (int i = args.size() - 1; i >= 0; i--) {
            String arg = args.get(i);
            for (String name : option.names()) {
                if (arg.equals(name) || arg.startsWith(name + (name.startsWith("--") ? "=" : ""))) {
                    return name;
                }
            }
        }
        return option.longestName();
    }
}
