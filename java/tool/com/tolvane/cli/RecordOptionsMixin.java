package com.tolvane.cli;

import com.tolvane.tool.OutputFiles;
import com.tolvane.tool.RecordOptions;
import com.tolvane.tool.ToolException;
import java.time.LocalDateTime;
import java.util.ArrayList;
import java.util.List;
import picocli.CommandLine.Model.CommandSpec;
import picocli.CommandLine.Option;
import picocli.CommandLine.Spec;

/**
 * The recording options of record, run and demo. Every value is checked as
 * it is parsed, so that bad input never reaches a target JVM.
 */
public final class RecordOptionsMixin {
    @Spec(Spec.Target.MIXEE)
    CommandSpec command;

    @Option(names = {"-d", "--duration"}, paramLabel = "TIME", defaultValue = "10s", converter = Duration.class,
            description = "how long to record: 500ms, 10s, 2m (default ${DEFAULT-VALUE}; a bare number is seconds)")
    long durationMillis;

    @Option(names = {"-o", "--output"}, paramLabel = "FILE", converter = Output.class,
            parameterConsumer = VerbatimValue.class,
            description = "snapshot file; %%p is the process id, %%t a timestamp (default "
                    + "tolvane-%%p-%%t.tsnap in the current directory)")
    String output;

    @Option(names = "--filter", paramLabel = "PATTERN", converter = Filter.class,
            parameterConsumer = VerbatimValue.class,
            description = "class filter: matching classes are collapsed into the first call from other code;"
                    + " '*' and '?' are wildcards, a leading '-' exempts (repeatable)")
    List<String> filters = new ArrayList<>();

    @Option(names = "--invert",
            description = "the filters name the classes to show; everything else is collapsed")
    boolean invert;

    @Option(names = "--ignore", paramLabel = "PATTERN", converter = Ignore.class,
            description = "classes whose methods never appear in the trees (repeatable)")
    List<String> ignored = new ArrayList<>();

    @Option(names = "--netio", paramLabel = "CLASS[#METHOD[(SIGNATURE)]]", converter = Netio.class,
            description = "count time in these methods as net I/O (repeatable)")
    List<String> netio = new ArrayList<>();

    @Option(names = "--no-default-filters",
            description = "show the JDK's own frames (by default java., javax., jdk., sun. and com.sun. are"
                    + " collapsed, except the package of the target's main class; not applied with --invert)")
    boolean noDefaultFilters;

    @Option(names = "--no-default-netio",
            description = "do not declare the JDK's socket read/write/connect/accept and selector waits as net I/O")
    boolean noDefaultNetio;

    @Option(names = "--agent-threads", description = "also record the recorder's own threads")
    boolean agentThreads;

    @Option(names = "--agent-classes", description = "also show the profiler's own classes")
    boolean agentClasses;

    @Option(names = "--batched-capture",
            description = "walk every thread's stack on every tick in one stop of the JVM, as older profilers do"
                    + " (for comparison; takes effect only when the profiler is first loaded into the JVM)")
    boolean batchedCapture;

    @Option(names = "--no-locks",
            description = "do not record which monitor or lock blocked and parked threads wait for, and which"
                    + " thread holds it (same first-load rule)")
    boolean noLocks;

    @Option(names = "--no-async-sampling",
            description = "capture running threads at the sampling tick instead of sampling them on their own CPU"
                    + " clocks (for comparison; takes effect only when the profiler is first loaded into the JVM)")
    boolean noAsyncSampling;

    @Option(names = "--single-capture-limit", paramLabel = "N", converter = SingleCaptureLimit.class,
            description = "walk threads that ran one by one, without stopping the JVM, while at most N of them"
                    + " run Java code (default: the number of processors; same first-load rule)")
    Integer singleCaptureLimit;

    @Option(names = "--max-tree-nodes", paramLabel = "N", converter = MaxTreeNodes.class,
            description = "most call-tree nodes of one recording (default 600000, about 50 MB); new call paths"
                    + " beyond it count on their deepest existing caller, else on the thread's root (same first-load rule)")
    Integer maxTreeNodes;

    @Option(names = "--transactions", description = "sample the transaction labels set through the agent's API")
    boolean transactions;

    @Option(names = "--html", paramLabel = "FILE", converter = Html.class, parameterConsumer = VerbatimValue.class,
            description = "also write the HTML report of the recording to FILE")
    String html;

    /** Whether --duration was given, rather than left at the command's default. */
    boolean durationGiven() {
        return command.commandLine().getParseResult().hasMatchedOption("--duration");
    }

    /** The output file name pattern, the default one when -o is not given. */
    String outputPattern() {
        return output == null ? RecordOptions.DEFAULT_OUTPUT : output;
    }

    /** The options as the recording takes them. */
    public RecordOptions toRecordOptions() throws ToolException {
        RecordOptions o = new RecordOptions();
        o.durationMillis = durationMillis;
        o.outputPattern = outputPattern();
        o.filterInverted = invert;
        if (!noDefaultFilters && !invert) {
            o.filters.addAll(RecordOptions.DEFAULT_FILTERS);
            o.defaultFilters = true;
        }
        o.filters.addAll(filters);
        o.ignored.addAll(ignored);
        if (!noDefaultNetio) {
            for (String declaration : RecordOptions.DEFAULT_NETIO) {
                o.netio.add(RecordOptions.parseNetio(declaration));
            }
        }
        for (String declaration : netio) {
            o.netio.add(RecordOptions.parseNetio(declaration));
        }
        o.agentThreads = agentThreads;
        o.agentClasses = agentClasses;
        o.batchedCapture = batchedCapture;
        o.locks = !noLocks;
        o.noAsyncSampling = noAsyncSampling;
        o.singleCaptureLimit = singleCaptureLimit == null ? -1 : singleCaptureLimit;
        o.maxTreeNodes = maxTreeNodes == null ? -1 : maxTreeNodes;
        o.transactions = transactions;
        o.htmlOutput = html;
        return o;
    }

    static final class Duration extends CheckedConverter<Long> {
        @Override
        Long check(String value) throws ToolException {
            return RecordOptions.parseDuration(value);
        }
    }

    static final class Output extends CheckedConverter<String> {
        @Override
        String check(String value) throws ToolException {
            if (value.isEmpty()) {
                throw ToolException.usage("empty output file name");
            }
            OutputFiles.checkName(value, "output file name");
            RecordOptions.expandOutput(value, 1, LocalDateTime.now()); // rejects unknown placeholders
            return value;
        }
    }

    static final class Filter extends CheckedConverter<String> {
        @Override
        String check(String value) throws ToolException {
            return RecordOptions.checkPattern(value, true, "--filter");
        }
    }

    static final class Ignore extends CheckedConverter<String> {
        @Override
        String check(String value) throws ToolException {
            return RecordOptions.checkPattern(value, false, "--ignore");
        }
    }

    static final class Netio extends CheckedConverter<String> {
        @Override
        String check(String value) throws ToolException {
            RecordOptions.parseNetio(value);
            return value;
        }
    }

    static final class SingleCaptureLimit extends CheckedConverter<Integer> {
        @Override
        Integer check(String value) throws ToolException {
            if (!value.matches("[0-9]{1,6}")) {
                throw ToolException.usage("--single-capture-limit takes a number from 0 to 999999, not '"
                        + value + "'");
            }
            return Integer.parseInt(value);
        }
    }

    static final class MaxTreeNodes extends CheckedConverter<Integer> {
        @Override
        Integer check(String value) throws ToolException {
            if (!value.matches("[0-9]{1,9}")) {
                throw ToolException.usage("--max-tree-nodes takes a number from 0 to 999999999, not '"
                        + value + "'");
            }
            return Integer.parseInt(value);
        }
    }

    static final class Html extends CheckedConverter<String> {
        @Override
        String check(String value) throws ToolException {
            return ReportFiles.checkHtmlTarget(value);
        }
    }
}
