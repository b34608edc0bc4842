package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.BufferedReader;
import java.io.File;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.List;
import java.util.Set;
import java.util.TreeSet;
import java.util.concurrent.TimeUnit;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * Two real recordings of one program, com.sun.tolvanetest.ScaledWork, where
 * one method's cost doubles between the runs: the comparison names that
 * method first, the runs' lambda frames meet, and the program's own methods
 * show although the default filters collapse com.sun.
 */
class DiffRecordingTest {
    private static final String MAIN = "com.sun.tolvanetest.ScaledWork";

    @TempDir
    static Path dir;

    private static Path before;
    private static Path after;
    private static String recordErr;

    private static ToolRun tolvane(String... args) {
        return ToolRun.of(args);
    }

    @BeforeAll
    static void recordBothRuns() throws Exception {
        before = dir.resolve("before.tsnap");
        after = dir.resolve("after.tsnap");
        recordErr = record(1, before);
        record(2, after);
    }

    /** Runs ScaledWork with a cost factor and records it for 2 s; returns what record wrote on stderr. */
    private static String record(int factor, Path snapshot) throws Exception {
        // Interpreted, the four loops run alike in both runs; compiled, the JIT's choices moved the
        // split of samples between equal loops by several points from run to run.
        Process target = new ProcessBuilder(System.getProperty("tolvane.java", "java"), "-Xint", "-cp",
                System.getProperty("tolvane.testJar"), MAIN, String.valueOf(factor)).redirectErrorStream(true).start();
        try {
            BufferedReader in = new BufferedReader(new InputStreamReader(target.getInputStream(), StandardCharsets.UTF_8));
            String line = in.readLine();
            assertEquals("ScaledWork ready", line);
            // By process id: other runs of these tests on the machine may run the same main class.
            ToolRun r = tolvane("record", "-d", "2s", "-o", snapshot.toString(), String.valueOf(target.pid()));
            assertEquals(0, r.code, r.err);
            return r.err;
        } finally {
            target.destroyForcibly();
            target.waitFor(10, TimeUnit.SECONDS);
        }
    }

    @Test
    void theApplicationsOwnMethodsShowDespiteTheDefaultFilters() {
        String folded = tolvane("report", before.toString(), "-f", "collapsed").out;
        assertTrue(folded.contains("com.sun.tolvanetest.ScaledWork.scaled"), folded);
        assertTrue(folded.contains("com.sun.tolvanetest.ScaledWork.steadyOne"), folded);
        String json = tolvane("report", before.toString(), "-f", "json").out;
        assertTrue(json.contains("\"filters\":[\"java.\",\"javax.\",\"jdk.\",\"sun.\",\"com.sun.\","
                + "\"-com.sun.tolvanetest.\""), json.substring(0, Math.min(3000, json.length())));
        // Standard error is no terminal here: a line at the start and one at the end.
        assertTrue(recordErr.matches("(?s).*tolvane: recording JVM \\d+ \\(" + Pattern.quote(MAIN)
                + "\\) for 2\\.0 s\n.*tolvane: recording of JVM \\d+ ended, snapshot written to .*before\\.tsnap\n.*"),
                recordErr);
    }

    @Test
    void diffNamesTheMethodWhoseCostDoubledFirst() {
        // The program's spans are of wall-clock time, which running time follows; CPU time depends on
        // how many other processes share the machine's processors.
        ToolRun r = tolvane("diff", before.toString(), after.toString(), "--state", "running");
        assertEquals(0, r.code, r.err);
        List<String> lines = Arrays.asList(r.out.split("\n"));
        int header = lines.indexOf(lines.stream().filter(l -> l.startsWith("== own running time")).findFirst()
                .orElseThrow());
        String[] first = lines.get(header + 3).trim().split(" +");
        // The scaled method does half the work before and two thirds after (+16.7 points); each
        // steady one drops from a sixth to a ninth (-5.6 points).
        assertTrue(first[6].startsWith("+") && first[7].equals(MAIN + ".scaled"), r.out);
        for (String steady : List.of("steadyOne", "steadyTwo", "steadyThree")) {
            assertTrue(lines.stream().anyMatch(l -> l.endsWith(" " + MAIN + "." + steady)), r.out);
        }
        ToolRun absolute = tolvane("diff", before.toString(), after.toString(), "--absolute", "--limit", "1",
                "--state", "running");
        assertTrue(absolute.out.contains("change ms") && absolute.out.contains("--limit shows more"), absolute.out);
    }

    @Test
    void lambdaFramesOfTheTwoRunsMeet() {
        // All states: the holder and the blocked threads use no CPU.
        Set<String> beforeLambdas = lambdaFrames(tolvane("report", before.toString(), "-f", "collapsed", "--state",
                "all").out);
        Set<String> afterLambdas = lambdaFrames(tolvane("report", after.toString(), "-f", "collapsed", "--state",
                "all").out);
        assertFalse(beforeLambdas.isEmpty(), "no lambda frame recorded");
        assertEquals(beforeLambdas, afterLambdas);
        // Three lambdas of one class, told apart by what they call.
        assertTrue(beforeLambdas.containsAll(List.of(MAIN + "$$Lambda.run \u2192 lambda$main$0",
                MAIN + "$$Lambda.run \u2192 lambda$main$1", MAIN + "$$Lambda.run \u2192 blockedOnMonitor")),
                beforeLambdas.toString());
        Set<String> raw = lambdaFrames(tolvane("report", before.toString(), "-f", "collapsed", "--raw-names",
                "--state", "all").out);
        assertFalse(raw.stream().anyMatch(f -> f.startsWith(MAIN + "$$Lambda.run")),
                "raw names keep the counter: " + raw);
    }

    /**
     * The program keeps one thread blocked on a monitor before and two after:
     * the blocked time doubles while its share of all blocked time stays.
     */
    @Test
    void blockedTimeThatDoubledShowsAsADoublingInMilliseconds() {
        ToolRun r = tolvane("diff", before.toString(), after.toString(), "--state", "blocked");
        assertEquals(0, r.code, r.err);
        String row = Arrays.stream(r.out.split("\n")).filter(l -> l.endsWith(" " + MAIN + ".blockedOnMonitor"))
                .findFirst().orElseThrow(() -> new AssertionError(r.out));
        String[] f = row.trim().split(" +");
        double changePercent = Double.parseDouble(f[3].replace("%", ""));
        assertTrue(Math.abs(changePercent - 100) <= 15, row + "\n" + r.out);
        assertTrue(Double.parseDouble(f[1]) > 3000, "two threads blocked for 2 s: " + row);
        assertTrue(r.out.contains("Changed most in ms: " + MAIN + ".blockedOnMonitor +"), r.out);
    }

    /** The summary after a recording ranks the methods as report -f hotspots does. */
    @Test
    void theSummaryRanksLikeTheHotSpotsReport() throws Exception {
        List<String> summary = ReportRankingTest.summaryOrder(com.tolvane.snapshot.SnapshotReader.read(before));
        ToolRun report = tolvane("report", before.toString(), "-f", "hotspots", "--min-percent", "0");
        List<String> hotspots = ReportRankingTest.hotspotsOrder(report.out);
        assertEquals(Math.min(10, hotspots.size()), summary.size(), report.out);
        assertTrue(summary.size() >= 4, report.out);
        assertEquals(hotspots.subList(0, summary.size()), summary, report.out);
    }

    private static Set<String> lambdaFrames(String folded) {
        Set<String> frames = new TreeSet<>();
        for (String line : folded.split("\n")) {
            for (String frame : line.substring(0, Math.max(0, line.lastIndexOf(' '))).split(";")) {
                if (frame.contains("$$Lambda")) {
                    frames.add(frame);
                }
            }
        }
        return frames;
    }

    private static final String PAGE_CHECKS = """
            <script>
            window.__errors = [];
            window.addEventListener('error', (e) => __errors.push(e.message + ' at ' + e.lineno));
            window.addEventListener('load', () => {
              const results = {};
              const check = (name, fn) => {
                try { const v = fn(); results[name] = v === true ? 'ok' : 'FAIL ' + JSON.stringify(v); }
                catch (e) { results[name] = 'FAIL ' + e; }
              };
              const api = window.tolvaneDiff;
              const main = 'com.sun.tolvanetest.ScaledWork';
              check('changedMostFirst', () => {
                const rows = api.rows();
                return (rows[0].name === main + '.scaled' && rows[0].change > 0) || rows.slice(0, 5);
              });
              check('grownFrameIsRed', () => {
                const f = api.frames().find((x) => x.name === main + '.scaled');
                return (!!f && f.change > 0 && f.color.startsWith('hsl(0,')) || f;
              });
              check('lambdaFrameInBothRecordings', () => {
                const lambda = main + '$$Lambda.run \\u2192 lambda$main$0';
                const inAfter = api.frames().filter((x) => x.name === lambda);
                document.getElementById('size').value = '0';
                document.getElementById('size').dispatchEvent(new Event('change'));
                const inBefore = api.frames().filter((x) => x.name === lambda);
                return (inAfter.length === 1 && inBefore.length === 1 && api.state().size === 'before')
                  || { inAfter, inBefore };
              });
              check('threadsMatchedWithoutDigits', () => {
                const calc = api.groups().filter((g) => g.startsWith('calc-'));
                return (calc.length === 1 && calc[0] === 'calc-#') || api.groups();
              });
              check('noScriptErrors', () => __errors.length === 0 || __errors);
              const out = document.createElement('pre');
              out.id = 'selfcheck';
              out.textContent = JSON.stringify(results);
              document.body.appendChild(out);
            });
            </script>
            """;

    @Test
    void diffPageNamesTheMethodFirstAndDrawsTheChange() throws Exception {
        Chromium chromium = Chromium.find();
        Assumptions.assumeTrue(chromium != null, "chromium not found (./dev test installs it)");
        Path html = dir.resolve("diff.html");
        ToolRun r = tolvane("diff", before.toString(), after.toString(), "-o", html.toString(), "--state", "running");
        assertEquals(0, r.code, r.err);
        Path checked = dir.resolve("checked-diff.html");
        Files.writeString(checked, Files.readString(html).replaceFirst("<head>",
                "<head>" + Matcher.quoteReplacement(PAGE_CHECKS)));
        String dom = chromium.dumpDom(checked, 1400, 1000);
        Matcher m = Pattern.compile("<pre id=\"selfcheck\">(.*?)</pre>", Pattern.DOTALL).matcher(dom);
        assertTrue(m.find(), "the checks did not run:\n" + dom.substring(Math.max(0, dom.length() - 2000)));
        String results = m.group(1).replace("&quot;", "\"");
        for (String name : List.of("changedMostFirst", "grownFrameIsRed", "lambdaFrameInBothRecordings",
                "threadsMatchedWithoutDigits", "noScriptErrors")) {
            assertTrue(results.contains("\"" + name + "\":\"ok\""), name + ": " + results);
        }
        Path png = Path.of(System.getProperty("tolvane.buildDir", dir.toString()), "test-artifacts", "diff-report.png");
        Files.deleteIfExists(png);
        chromium.screenshot(html, png, 1400, 1000);
        assertTrue(Files.size(png) > 10_000, "screenshot " + png + " is nearly empty");
    }
}
