package com.tolvane.cli;

import com.tolvane.tool.ToolException;
import java.util.regex.Pattern;
import java.util.regex.PatternSyntaxException;
import picocli.CommandLine.Option;

/** The options of report and diff that choose the threads and how their methods are named. */
final class SelectionOptionsMixin {
    @Option(names = "--thread", paramLabel = "REGEX", converter = ThreadPattern.class,
            parameterConsumer = VerbatimValue.class,
            description = "only threads whose name contains a match of REGEX")
    Pattern thread;

    @Option(names = "--raw-names",
            description = "keep the run-time addresses and counters of lambda, hidden and proxy classes (by"
                    + " default dropped, so recordings compare)")
    boolean rawNames;

    static final class ThreadPattern extends CheckedConverter<Pattern> {
        @Override
        Pattern check(String value) throws ToolException {
            try {
                return Pattern.compile(value);
            } catch (PatternSyntaxException e) {
                throw ToolException.usage("invalid --thread pattern: " + e.getDescription()
                        + " in \"" + e.getPattern() + "\"");
            }
        }
    }
}
