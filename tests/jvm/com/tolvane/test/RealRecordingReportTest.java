package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.List;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * The reports of a real recording of the bundled demo, whose workload is
 * known: one thread burns CPU in runCpuWorker -> priceOrder -> checksum,
 * others sleep, wait, contend for a lock and talk over a loopback socket
 * inside the transactions "checkout" and "browse".
 */
class RealRecordingReportTest {

    @TempDir
    static Path dir;

    private static Path snapshot;
    private static String demoOutput;

    private static ToolRun tolvane(String... args) {
        return ToolRun.of(args);
    }

    @BeforeAll
    static void recordTheDemo() {
        snapshot = dir.resolve("demo.tsnap");
        ToolRun demo = tolvane("demo", "-d", "2s", "-o", snapshot.toString());
        assertEquals(0, demo.code, demo.err);
        demoOutput = demo.out;
    }

    @Test
    void demoWritesTheHtmlReportNextToTheSnapshot() throws Exception {
        Path html = dir.resolve("demo.html");
        assertTrue(demoOutput.contains("HTML report: " + html.toAbsolutePath().normalize()), demoOutput);
        String page = Files.readString(html);
        assertTrue(page.contains("com.tolvane.demo.DemoApp") && page.contains("\"name\":\"checksum\""));
    }

    @Test
    void reportsShowTheKnownWorkload() {
        String hot = tolvane("report", snapshot.toString(), "-f", "hotspots", "--state", "all").out;
        List<String> lines = Arrays.asList(hot.split("\n"));
        int running = lines.indexOf(lines.stream().filter(l -> l.startsWith("== by own running time")).findFirst()
                .orElseThrow());
        // The CPU-bound method leads the self running time, reached through its known chain.
        assertTrue(lines.get(running + 2).endsWith("com.tolvane.demo.DemoApp.checksum"), hot);
        assertTrue(hot.contains("com.tolvane.demo.DemoApp.checksum <- com.tolvane.demo.DemoApp.priceOrder:"), hot);
        assertTrue(hot.contains("java.lang.Thread.sleep"), hot);

        String tree = tolvane("report", snapshot.toString(), "-f", "tree", "--thread", "^demo-cpu$").out;
        assertTrue(tree.contains("== thread \"demo-cpu\" [main] =="), tree);
        assertTrue(tree.matches("(?s).*runCpuWorker\n.*priceOrder\n.*checksum\n.*"), tree);

        String folded = tolvane("report", snapshot.toString(), "-f", "collapsed", "--thread", "demo-client",
                "--state", "netio").out;
        assertTrue(folded.contains("[checkout];") || folded.contains("[browse];"), folded);

        String threads = tolvane("report", snapshot.toString(), "-f", "threads").out;
        assertTrue(threads.contains("\"demo-cpu\" [main]") && threads.contains("yes    \"_tolvane recorder\""),
                threads);
        String json = tolvane("report", snapshot.toString(), "-f", "json").out;
        assertTrue(json.contains("\"name\":\"demo-contender-1\""), json.substring(0, Math.min(2000, json.length())));
    }

    @Test
    void recordChecksTheHtmlTargetBeforeAttaching() {
        ToolRun r = tolvane("record", "--html", dir.resolve("missing/dir/r.html").toString(), "-d", "1s", "1");
        assertEquals(2, r.code, r.err);
        assertTrue(r.err.contains("cannot write the HTML report"), r.err);
    }
}
