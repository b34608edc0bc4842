package com.tolvane.cli;

import java.io.PrintStream;
import java.util.ArrayList;
import java.util.List;
import picocli.CommandLine;
import picocli.CommandLine.Command;
import picocli.CommandLine.Model.CommandSpec;
import picocli.CommandLine.Parameters;
import picocli.CommandLine.Spec;

/** tolvane help: the overview of the commands, or the help of one. */
@Command(name = "help", header = "show the commands, or the arguments and options of one",
        customSynopsis = "tolvane help [<command>]",
        description = "Without a command, lists the commands; with one, shows its arguments and options"
                + " (as tolvane <command> --help does).")
final class HelpCommand implements ToolCommand {
    @Spec
    CommandSpec model;

    @Parameters(paramLabel = "<command>", arity = "0..*", hideParamSyntax = true,
            description = "the command to explain")
    List<String> command = new ArrayList<>();

    @Override
    public int run(PrintStream out, PrintStream err) {
        CommandLine tolvane = model.parent().commandLine();
        CommandLine chosen = command.isEmpty() ? null : tolvane.getSubcommands().get(command.get(0));
        if (chosen == null) {
            out.println(overview(tolvane));
        } else {
            out.print(chosen.getUsageMessage());
        }
        return 0;
    }

    /** The list of commands, each with its one-line header. */
    static String overview(CommandLine tolvane) {
        StringBuilder sb = new StringBuilder("usage: tolvane <command> [arguments]\n\ncommands:\n");
        tolvane.getSubcommands().forEach((name, command) -> sb.append(String.format("  %-8s %s%n", name,
                command.getCommandSpec().usageMessage().header()[0])));
        sb.append("\nMore about one command: tolvane help <command>");
        return sb.toString();
    }
}
