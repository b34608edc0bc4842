package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.tolvane.report.Frame;
import com.tolvane.report.Metric;
import com.tolvane.report.Naming;
import com.tolvane.report.ReportContext;
import com.tolvane.report.ReportOptions;
import com.tolvane.snapshot.CallNode;
import com.tolvane.snapshot.Snapshot;
import com.tolvane.snapshot.SnapshotReader;
import com.tolvane.tool.Summary;
import java.io.ByteArrayOutputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.function.Consumer;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * The rankings and names every report shares, on hand-made snapshots: the
 * summary after a recording and {@code report -f hotspots} agree, threads are
 * ranked by what they dominate, lambdas are told apart by what they call, and
 * the JDK's method-handle frames are taken out unless raw names are asked for.
 */
class ReportRankingTest {
    private static final String ARROW = "\u2192";

    @TempDir
    Path dir;

    /** The method names of the summary's hottest methods, in order. */
    static List<String> summaryOrder(Snapshot snapshot) {
        List<String> names = new ArrayList<>();
        Matcher m = Pattern.compile("(?m)^ +-?[\\d.]+ ms +-?[\\d.]+ ms  (.+)$")
                .matcher(print(out -> Summary.printHotMethods(snapshot, out, 10)));
        while (m.find()) {
            names.add(m.group(1));
        }
        return names;
    }

    /** The method names of {@code report -f hotspots}, in order (call paths left out). */
    static List<String> hotspotsOrder(String report) {
        List<String> names = new ArrayList<>();
        Matcher m = Pattern.compile("(?m)^ {0,6}[\\d.]+% +[\\d.]+ +[\\d.]+  (.+)$").matcher(report);
        while (m.find()) {
            names.add(m.group(1));
        }
        return names;
    }

    static String print(Consumer<PrintStream> printer) {
        ByteArrayOutputStream bytes = new ByteArrayOutputStream();
        printer.accept(new PrintStream(bytes, true, StandardCharsets.UTF_8));
        return bytes.toString(StandardCharsets.UTF_8);
    }

    /**
     * app.Truth.main calls, through three lambda classes, lambda$main$0 (twice:
     * the same lambda spun twice) and lambda$main$1, and through the JDK's
     * method-handle frames the method work, which it also calls directly from
     * the same line. CPU time is booked where running time is.
     */
    private static SnapshotBuilder truth() {
        SnapshotBuilder b = new SnapshotBuilder().cpuTime();
        long truth = b.addClass("app.Truth");
        long main = b.addMethod(truth, "main", "([Ljava/lang/String;)V");
        long body0 = b.addMethod(truth, "lambda$main$0", "()V");
        long body1 = b.addMethod(truth, "lambda$main$1", "()V");
        long work = b.addMethod(truth, "work", "()V");
        long helper = b.addMethod(b.addClass("app.Util"), "helper", "()V");
        long[] lambdas = new long[4];
        for (int i = 0; i < lambdas.length; i++) {
            lambdas[i] = b.addMethod(b.addClass("app.Truth$$Lambda$" + (12 + i) + "/0x0000000800c0" + i + "000"),
                    "run", "()V");
        }
        long holder = b.addMethod(b.addClass("java.lang.invoke.Invokers$Holder"), "linkToTargetMethod",
                "(Ljava/lang/Object;)Ljava/lang/Object;");
        long form = b.addMethod(b.addClass("java.lang.invoke.LambdaForm$DMH/0x0000000800c0d000"), "invokeStatic",
                "(Ljava/lang/Object;)V");

        SnapshotBuilder.Node m = b.addThread("main", "main").root().value(1000).cpu(1000)
                .child(main, 0).value(1000).cpu(1000);
        m.child(lambdas[0], 3).value(300).cpu(300).child(body0, 0).value(300).cpu(300);
        m.child(lambdas[1], 4).value(100).cpu(100).child(body1, 0).value(100).cpu(100);
        m.child(lambdas[2], 5).value(200).cpu(200).child(body0, 0).value(200).cpu(200);
        m.child(lambdas[3], 6).value(50).cpu(50).child(helper, 0).value(50).cpu(50);
        m.child(work, 7).value(100).cpu(100);
        SnapshotBuilder.Node h = m.child(holder, 7).value(220).cpu(220).monitorTimes(30, 0, 0);
        h.child(form, 0).value(200).cpu(200).child(work, 9).value(200).cpu(200);
        return b;
    }

    @Test
    void theSummaryAndTheHotSpotsReportRankTheSameMethodsInTheSameOrder() throws Exception {
        Path file = dir.resolve("truth.tsnap");
        Files.write(file, truth().build());
        List<String> summary = summaryOrder(SnapshotReader.read(file));
        ToolRun report = ToolRun.of("report", file.toString(), "-f", "hotspots", "--min-percent", "0");
        assertEquals(0, report.code, report.err);
        List<String> hotspots = hotspotsOrder(report.out);
        // lambda$main$0 500, work 300, lambda$main$1 100, then main and helper at 50 each, by name:
        // the method-handle frames' own 20 us are main's now.
        assertEquals(List.of("app.Truth.lambda$main$0", "app.Truth.work", "app.Truth.lambda$main$1",
                "app.Truth.main", "app.Util.helper"), hotspots, report.out);
        assertEquals(hotspots, summary);
        assertFalse(report.out.contains("Invokers$Holder") || report.out.contains("LambdaForm"), report.out);
    }

    @Test
    void lambdasAreToldApartByWhatTheyCallAndMergedWhenTheyCallTheSame() throws Exception {
        Snapshot snapshot = SnapshotReader.read(truth().build());
        ReportContext ctx = new ReportContext(snapshot, "truth", ReportOptions.defaults(Metric.RUNNING));
        Frame main = ctx.mergedTree().children().get(0);
        List<String> rows = new ArrayList<>();
        for (Frame f : main.children()) {
            rows.add(ctx.names().frame(f.method()) + ":" + f.line() + "=" + f.running());
        }
        rows.sort((x, y) -> x.substring(x.indexOf(':')).compareTo(y.substring(y.indexOf(':'))));
        // The two lambda classes of lambda$main$0 come from lines 3 and 5: two rows, one name.
        assertEquals(List.of("app.Truth$$Lambda.run " + ARROW + " lambda$main$0:3=300",
                "app.Truth$$Lambda.run " + ARROW + " lambda$main$1:4=100",
                "app.Truth$$Lambda.run " + ARROW + " lambda$main$0:5=200",
                "app.Truth$$Lambda.run " + ARROW + " Util.helper:6=50",
                "app.Truth.work:7=300"), rows);
        // Lambdas that all call the same method keep the plain name.
        SnapshotBuilder b = new SnapshotBuilder();
        long body = b.addMethod(b.addClass("app.One"), "lambda$run$0", "()V");
        SnapshotBuilder.Node root = b.addThread("t", "main").root().value(30);
        for (int i = 0; i < 2; i++) {
            root.child(b.addMethod(b.addClass("app.One$$Lambda$" + i + "/0x00000008000" + i + "0000"), "run", "()V"), 0)
                    .value(15).child(body, 0).value(15);
        }
        ReportContext same = new ReportContext(SnapshotReader.read(b.build()), "one",
                ReportOptions.defaults(Metric.RUNNING));
        List<Frame> merged = same.mergedTree().children();
        assertEquals(1, merged.size(), "one row for one lambda");
        assertEquals("app.One$$Lambda.run", same.names().frame(merged.get(0).method()));
        assertEquals(30, merged.get(0).running());
    }

    @Test
    void methodHandleFramesGiveTheirTimeToTheirCallerUnlessRawNamesAreAsked() throws Exception {
        Snapshot snapshot = SnapshotReader.read(truth().build());
        Snapshot shown = Naming.shown(snapshot, false);
        CallNode main = shown.threads().get(0).root().children().get(0);
        CallNode work = main.children().stream().filter(n -> n.method().name().equals("work")).findFirst()
                .orElseThrow();
        // work at line 7 directly (100) and through the holder at line 7 (200): one node.
        assertEquals(1, main.children().stream().filter(n -> n.method().name().equals("work")).count());
        assertEquals(7, work.line());
        assertEquals(300, work.value());
        assertEquals(300, work.cpuMicros());
        // The holder's own 20 us of running and CPU and its 30 us blocked are main's own now; totals stay.
        assertEquals(1000, main.value());
        assertEquals(30, main.blockingMicros());
        assertEquals(50, main.selfRunningMicros());
        assertEquals(50, main.selfCpuMicros());
        assertEquals(snapshot.threads().get(0).root().value(), shown.threads().get(0).root().value());

        Path file = dir.resolve("truth.tsnap");
        Files.write(file, truth().build());
        String raw = ToolRun.of("report", file.toString(), "-f", "collapsed", "--raw-names").out;
        assertTrue(raw.contains("java.lang.invoke.Invokers$Holder.linkToTargetMethod;"
                + "java.lang.invoke.LambdaForm$DMH/0x0000000800c0d000.invokeStatic;app.Truth.work 200"), raw);
        String plain = ToolRun.of("report", file.toString(), "-f", "collapsed").out;
        assertTrue(plain.contains("app.Truth.main;app.Truth.work 300\n"), plain);
        // A snapshot without such frames is the same object, not a copy.
        Snapshot without = SnapshotReader.read(new SnapshotBuilder().build());
        assertTrue(Naming.shown(without, false) == without);
    }

    @Test
    void threadsAreRankedByTheStateTheyDominateAndLargeSharesAreNeverHidden() throws Exception {
        SnapshotBuilder b = new SnapshotBuilder().cpuTime();
        long spin = b.addMethod(b.addClass("app.Spin"), "spin", "()V");
        long lock = b.addMethod(b.addClass("app.Store"), "update", "()V");
        long read = b.addMethod(b.addClass("app.Net"), "read", "()V");
        long park = b.addMethod(b.addClass("app.Pool"), "take", "()V");
        for (int i = 0; i < 4; i++) {
            b.addThread("busy-" + i, "main").root().value(1_000_000).cpu(1_000_000).child(spin, 0)
                    .value(1_000_000).cpu(1_000_000);
        }
        // Runs little, but holds all blocked time: ranked first.
        b.addThread("blocked", "main").root().value(1_000).cpu(1_000).child(lock, 0).value(1_000).cpu(1_000)
                .monitorTimes(3_000_000, 0, 0);
        b.addThread("reader", "main").root().value(0).child(read, 0).monitorTimes(0, 0, 500_000);
        for (int i = 0; i < 6; i++) {
            b.addThread("idle-" + i, "pool").root().value(0).child(park, 0).monitorTimes(0, 5_000_000, 0);
        }
        Snapshot snapshot = SnapshotReader.read(b.build());
        String text = print(out -> Summary.printThreads(snapshot, out, 3));
        List<String> order = new ArrayList<>();
        Matcher m = Pattern.compile("(?m)^ +-?[\\d.]+ ms .*  (\\S+)$").matcher(text);
        while (m.find()) {
            order.add(m.group(1));
        }
        // Each busy thread holds a quarter of the CPU time: beyond the limit of 3, still shown.
        assertEquals(List.of("blocked", "reader", "busy-0", "busy-1", "busy-2", "busy-3"), order, text);
        assertTrue(text.contains("100% blocked  blocked\n") && text.contains("100% net  reader\n")
                && text.contains("25% CPU  busy-3\n"), text);
        assertTrue(text.contains("  ... and 6 more threads\n"), text);
    }
}
