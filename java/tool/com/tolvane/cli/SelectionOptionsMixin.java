package com.tolvane.cli;

import com.tolvane.report.Metric;
import com.tolvane.snapshot.Snapshot;
import com.tolvane.tool.ToolException;
import java.nio.file.Path;
import java.util.List;
import java.util.regex.Pattern;
import java.util.regex.PatternSyntaxException;
import picocli.CommandLine.Option;

/** The options of report and diff that choose the threads, the time shown and how methods are named. */
final class SelectionOptionsMixin {
    @Option(names = "--state", paramLabel = "S", converter = State.class,
            description = "time to rank, fold and draw: cpu, running, waiting, blocked, netio or all (default cpu"
                    + " when the snapshot has CPU time, else running); running is the JVM's RUNNABLE state, which"
                    + " includes native code and waiting for I/O")
    Metric state;

    @Option(names = "--thread", paramLabel = "REGEX", converter = ThreadPattern.class,
            parameterConsumer = VerbatimValue.class,
            description = "only threads whose name contains a match of REGEX")
    Pattern thread;

    @Option(names = "--raw-names",
            description = "keep the run-time addresses and counters of lambda, hidden and proxy classes (by"
                    + " default dropped, so recordings compare) and the JDK's method-handle frames (lambda forms,"
                    + " Invokers$Holder; by default taken out like other JDK frames)")
    boolean rawNames;

    /**
     * The time chosen with --state, else CPU time where every snapshot holds
     * it, else running time. CPU time asked of a snapshot without it is an error.
     */
    Metric metric(List<Path> files, List<Snapshot> snapshots) throws ToolException {
        boolean cpu = true;
        for (int i = 0; i < snapshots.size(); i++) {
            if (!snapshots.get(i).hasCpuTime()) {
                cpu = false;
                if (state == Metric.CPU) {
                    throw new ToolException(files.get(i) + " holds no CPU time: it was recorded without measuring"
                            + " CPU time, or the JVM could not read thread CPU times; --state running shows the"
                            + " RUNNABLE time");
                }
            }
        }
        return state != null ? state : cpu ? Metric.CPU : Metric.RUNNING;
    }

    static final class State extends CheckedConverter<Metric> {
        @Override
        Metric check(String value) throws ToolException {
            Metric metric = Metric.parse(value);
            if (metric == null) {
                throw ToolException.usage("unknown state \"" + value
                        + "\" (cpu, running, waiting, blocked, netio or all)");
            }
            return metric;
        }
    }

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
