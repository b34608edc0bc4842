package com.tolvane.cli;

import com.tolvane.demo.DemoApp;
import com.tolvane.report.Naming;
import com.tolvane.snapshot.CallNode;
import com.tolvane.snapshot.Printable;
import com.tolvane.snapshot.Snapshot;
import com.tolvane.snapshot.ThreadRecord;
import com.tolvane.tool.RecordOptions;
import com.tolvane.tool.Recording;
import com.tolvane.tool.Summary;
import com.tolvane.tool.Targets;
import com.tolvane.tool.ToolException;
import com.tolvane.tool.ToolPaths;
import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.Deque;
import java.util.IdentityHashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import picocli.CommandLine.Command;
import picocli.CommandLine.IDefaultValueProvider;
import picocli.CommandLine.Mixin;
import picocli.CommandLine.Model.ArgSpec;
import picocli.CommandLine.Model.OptionSpec;

/** tolvane demo: start the bundled demo application, record it and show the result. */
@Command(name = "demo", header = "start the bundled demo application, record it for 3 s and show the result",
        customSynopsis = "tolvane demo [options]",
        description = "Starts the demo application (CPU work, lock contention, waits, sleeps and loopback socket"
                + " requests labelled as transactions) in a new JVM, records it and shows the result. Takes the"
                + " options of tolvane record; the duration defaults to 3s and transaction labels are always"
                + " sampled. The HTML report goes next to the snapshot unless --html names another file.",
        defaultValueProvider = DemoCommand.Defaults.class)
final class DemoCommand implements ToolCommand {
    private static final long READY_TIMEOUT_SECONDS = 60;

    @Mixin
    RecordOptionsMixin recording;

    /** The demo records for 3 seconds unless told otherwise. */
    static final class Defaults implements IDefaultValueProvider {
        @Override
        public String defaultValue(ArgSpec argSpec) {
            return argSpec instanceof OptionSpec option && option.longestName().equals("--duration") ? "3s" : null;
        }
    }

    @Override
    public int run(PrintStream out, PrintStream err) throws ToolException {
        RecordOptions options = recording.toRecordOptions();
        options.transactions = true;
        Path agentJar = ToolPaths.agentJar();
        ToolPaths.library();

        List<String> command = List.of(ToolPaths.java().toString(), "-XX:+EnableDynamicAgentLoading",
                "-cp", ToolPaths.toolJar() + java.io.File.pathSeparator + agentJar, DemoApp.class.getName());
        Process demo;
        try {
            demo = new ProcessBuilder(command).redirectErrorStream(true).start();
        } catch (IOException e) {
            throw new ToolException("cannot start the demo application: " + e.getMessage());
        }
        StringBuffer log = new StringBuffer();
        CountDownLatch ready = new CountDownLatch(1);
        Thread reader = new Thread(() -> collectOutput(demo, log, ready), "demo-output");
        reader.setDaemon(true);
        reader.start();
        try {
            if (!ready.await(READY_TIMEOUT_SECONDS, TimeUnit.SECONDS) || !demo.isAlive()) {
                throw new ToolException("the demo application did not start:\n" + log);
            }
            Targets.Jvm target = new Targets.Jvm(demo.pid(), DemoApp.class.getName());
            Path output = options.outputFor(demo.pid());
            boolean terminal = System.console() != null;
            if (terminal) {
                // Without a terminal the recording itself says when it starts and ends.
                err.println("tolvane: recording the demo application (JVM " + demo.pid() + ") for "
                        + Recording.seconds(options.durationMillis));
            }
            Recording.Result result;
            try {
                result = new Recording(target, options, output, err, terminal).run();
            } catch (ToolException e) {
                throw new ToolException(e.getMessage() + (log.length() > 0 ? "\ndemo output:\n" + log : ""),
                        e.exitCode());
            }
            showResult(result, out);
            ReportFiles.writeHtml(result.snapshot(), result.snapshotPath(),
                    options.htmlOutput != null ? options.htmlOutput
                            : ReportFiles.htmlNextTo(result.snapshotPath()).toString(), out);
            if (result.targetExited()) {
                throw result.exitedError();
            }
            return 0;
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new ToolException("interrupted");
        } finally {
            stop(demo);
        }
    }

    /** Shows a finished demo recording: the summary, then the top of each busy thread's call tree. */
    public void showResult(Recording.Result result, PrintStream out) {
        Summary.print(result, out);
        printTreeTops(result.snapshot(), out, 10, 12);
    }

    /** The upper levels of each sampled thread's call tree, busiest threads and branches first. */
    static void printTreeTops(Snapshot s, PrintStream out, int maxThreads, int maxDepth) {
        Map<CallNode, long[]> sums = new IdentityHashMap<>();
        List<ThreadRecord> threads = new ArrayList<>();
        for (ThreadRecord t : s.threads()) {
            if (!t.ignored() && !t.root().children().isEmpty()) {
                threads.add(t);
                addSubtreeTimes(t.root(), sums);
            }
        }
        threads.sort(Comparator.comparingLong((ThreadRecord t) -> weight(sums, t.root())).reversed());
        out.println();
        out.println("Top of the call trees (running / blocked / waiting / net I/O, each including callees):");
        Naming names = new Naming(s, false);
        for (ThreadRecord t : threads.subList(0, Math.min(maxThreads, threads.size()))) {
            out.println();
            out.println("  thread " + Printable.of(t.name()));
            printTop(t.root(), sums, out, maxDepth, Math.max(1, weight(sums, t.root()) / 50), names);
        }
    }

    private static void printTop(CallNode root, Map<CallNode, long[]> sums, PrintStream out, int maxDepth,
                                 long minWeight, Naming names) {
        record Item(CallNode node, int depth) {
        }
        Deque<Item> stack = new ArrayDeque<>();
        stack.push(new Item(root, 0));
        while (!stack.isEmpty()) {
            Item item = stack.pop();
            CallNode n = item.node();
            if (!n.isRoot()) {
                long[] sub = sums.get(n);
                out.println("  " + "  ".repeat(item.depth()) + names.frame(n.method())
                        + (n.line() > 0 ? " (called from line " + n.line() + ")" : "") + "  "
                        + Summary.ms(n.value()) + " / "
                        + Summary.ms(sub[0]) + " / " + Summary.ms(sub[1]) + " / " + Summary.ms(sub[2]));
            }
            int childDepth = n.isRoot() ? 0 : item.depth() + 1;
            if (childDepth >= maxDepth) {
                continue;
            }
            List<CallNode> children = new ArrayList<>(n.children());
            children.removeIf(c -> weight(sums, c) < minWeight);
            children.sort(Comparator.comparingLong(c -> weight(sums, c)));
            for (CallNode c : children) {
                stack.push(new Item(c, childDepth));
            }
        }
    }

    /** Fills in blocking, waiting and net I/O time of every subtree under root, without recursion. */
    private static void addSubtreeTimes(CallNode root, Map<CallNode, long[]> sums) {
        root.walkBottomUp(n -> {
            long[] t = sums.computeIfAbsent(n, k -> new long[3]);
            t[0] += n.blockingMicros();
            t[1] += n.waitingMicros();
            t[2] += n.netIOMicros();
            if (n.parent() != null) {
                long[] p = sums.computeIfAbsent(n.parent(), k -> new long[3]);
                p[0] += t[0];
                p[1] += t[1];
                p[2] += t[2];
            }
        });
    }

    /** All time a subtree accounts for: running plus blocked, waiting and net I/O. */
    private static long weight(Map<CallNode, long[]> sums, CallNode n) {
        long[] t = sums.get(n);
        return n.value() + t[0] + t[1] + t[2];
    }

    private static void collectOutput(Process demo, StringBuffer log, CountDownLatch ready) {
        try (BufferedReader in = new BufferedReader(
                new InputStreamReader(demo.getInputStream(), StandardCharsets.UTF_8))) {
            String line;
            while ((line = in.readLine()) != null) {
                if (line.equals(DemoApp.READY)) {
                    ready.countDown();
                } else {
                    log.append(line).append('\n');
                }
            }
        } catch (IOException e) {
            // the demo ended
        } finally {
            ready.countDown();
        }
    }

    /** Ends the demo, forcibly after a grace period. */
    private static void stop(Process demo) {
        try {
            demo.destroy();
            if (!demo.waitFor(5, TimeUnit.SECONDS)) {
                demo.destroyForcibly().waitFor(5, TimeUnit.SECONDS);
            }
        } catch (InterruptedException e) {
            demo.destroyForcibly();
            Thread.currentThread().interrupt();
        }
    }
}
