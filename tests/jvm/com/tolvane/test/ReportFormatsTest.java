package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.tolvane.snapshot.StatusPoint;
import com.tolvane.cli.Main;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.stream.Collectors;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * Every report format on hand-made snapshots whose numbers are known, run
 * through the command line as a user would.
 */
class ReportFormatsTest {

    @TempDir
    Path dir;

    /**
     * Two threads. main: Shop.run (3000 running) calls buy at line 12 (2000,
     * own waiting 500), which calls pay at line 40 (1500); run also calls pay
     * at line 13 (500, own blocked 100 and net I/O 200). worker-1, inside the
     * transaction "GET /cart": run (1000) calls buy at line 12 (1000, own
     * blocked 300). The recording runs from 1 s to 4 s on the clock.
     */
    private Path shop() throws IOException {
        SnapshotBuilder b = new SnapshotBuilder().times(1_000_000, 4_000_000);
        long shop = b.addClass("com.acme.Shop");
        long run = b.addMethod(shop, "run", "()V");
        long buy = b.addMethod(shop, "buy", "()V");
        long pay = b.addMethod(shop, "pay", "()V");
        long cart = b.addMethod(b.interceptionClass, "GET /cart", "()V");
        SnapshotBuilder.Node main = b.addThread("main", "main")
                .status(StatusPoint.RUNNING, 1_000_000).status(StatusPoint.WAITING, 2_000_000).root().value(3000);
        SnapshotBuilder.Node mainRun = main.child(run, 0).value(3000);
        mainRun.child(buy, 12).value(2000).monitorTimes(0, 500, 0).child(pay, 40).value(1500);
        mainRun.child(pay, 13).value(500).monitorTimes(100, 0, 200);
        SnapshotBuilder.Node worker = b.addThread("worker-1", "pool").lifetime(1_500_000, 3_000_000)
                .status(StatusPoint.BLOCKED, 1_500_000).root().value(1000);
        worker.child(cart, 0).value(1000).child(run, 0).value(1000).child(buy, 12).value(1000)
                .monitorTimes(300, 0, 0);
        return write("shop.tsnap", b.build());
    }

    private Path write(String name, byte[] bytes) throws IOException {
        Path file = dir.resolve(name);
        Files.write(file, bytes);
        return file;
    }

    private static ToolRun tolvane(String... args) {
        return ToolRun.of(args);
    }

    private static ToolRun ok(String... args) {
        ToolRun r = tolvane(args);
        assertEquals(0, r.code, () -> "exit code of " + String.join(" ", args) + "\n" + r.err);
        return r;
    }

    /** The output's lines with runs of blanks collapsed, for comparing table rows. */
    private static List<String> rows(String text) {
        return Arrays.stream(text.split("\n")).map(l -> l.trim().replaceAll(" +", " ")).collect(Collectors.toList());
    }

    /** The rows of one "== heading ==" section, up to the next heading. */
    private static List<String> section(String text, String heading) {
        List<String> all = rows(text);
        int from = all.indexOf("== " + heading + " ==");
        assertTrue(from >= 0, () -> "no section " + heading + " in\n" + text);
        List<String> out = new ArrayList<>();
        for (int i = from + 1; i < all.size() && !all.get(i).startsWith("=="); i++) {
            if (!all.get(i).isEmpty()) {
                out.add(all.get(i));
            }
        }
        return out;
    }

    @Test
    void treeGivesExactTimesMergedAndPerThread() throws Exception {
        Path file = shop();
        String out = ok("report", file.toString(), "--format", "tree", "--min-percent", "0", "--state", "all").out;
        // Every column but self is with descendants: the total, then split by state.
        assertEquals(List.of(
                "% total ms running ms waiting ms blocked ms net I/O ms self ms line method",
                "100.0% 5.100 4.000 0.500 0.400 0.200 0.000 (all threads)",
                "74.5% 3.800 3.000 0.500 0.100 0.200 0.500 com.acme.Shop.run",
                "49.0% 2.500 2.000 0.500 0.000 0.000 1.000 12 com.acme.Shop.buy",
                "29.4% 1.500 1.500 0.000 0.000 0.000 1.500 40 com.acme.Shop.pay",
                "15.7% 0.800 0.500 0.000 0.100 0.200 0.800 13 com.acme.Shop.pay",
                "25.5% 1.300 1.000 0.000 0.300 0.000 0.000 [GET /cart]",
                "25.5% 1.300 1.000 0.000 0.300 0.000 0.000 com.acme.Shop.run",
                "25.5% 1.300 1.000 0.000 0.300 0.000 1.300 12 com.acme.Shop.buy"),
                section(out, "all threads (2)"));
        assertTrue(out.contains("\n  49.0%        2.500        2.000        0.500        0.000        0.000"
                + "        1.000     12      com.acme.Shop.buy\n"), "children are indented below their parent:\n" + out);
        assertTrue(out.contains("  self      all states time in the node itself\n"), out);

        // By default the tree ranks running time, the page's default too.
        String running = ok("report", file.toString(), "--format", "tree").out;
        assertTrue(running.startsWith("Call tree of shop.tsnap, by running time in ms:\n"), running);
        assertEquals(List.of(
                "% total ms self ms line method",
                "100.0% 1.000 0.000 (thread)",
                "100.0% 1.000 0.000 [GET /cart]",
                "100.0% 1.000 0.000 com.acme.Shop.run",
                "100.0% 1.000 1.000 12 com.acme.Shop.buy"),
                section(running, "thread \"worker-1\" [pool]"));
    }

    @Test
    void minPercentFoldsSmallChildrenIntoOneLine() throws Exception {
        SnapshotBuilder b = new SnapshotBuilder();
        long c = b.addClass("app.Work");
        SnapshotBuilder.Node top = b.addThread("main", "main").root().value(100_000)
                .child(b.addMethod(c, "top", "()V"), 0).value(100_000);
        top.child(b.addMethod(c, "big", "()V"), 1).value(90_000);
        top.child(b.addMethod(c, "mid", "()V"), 2).value(9_000).child(b.addMethod(c, "inner", "()V"), 5).value(500);
        top.child(b.addMethod(c, "small", "()V"), 3).value(600).child(b.addMethod(c, "leaf", "()V"), 9).value(600);
        top.child(b.addMethod(c, "tiny", "()V"), 4).value(400).monitorTimes(0, 0, 0);
        Path file = write("fold.tsnap", b.build());

        List<String> one = section(ok("report", file.toString(), "-f", "tree", "--min-percent", "1").out,
                "thread \"main\" [main]");
        // inner is 0.5% of the tree but 5.6% of its caller: shown.
        assertEquals(List.of(
                "100.0% 100.000 0.000 app.Work.top",
                "90.0% 90.000 90.000 1 app.Work.big",
                "9.0% 9.000 8.500 2 app.Work.mid",
                "0.5% 0.500 0.500 5 app.Work.inner",
                "1.0% 1.000 (2 more, each below 1% of the caller)"), one.subList(2, one.size()));

        List<String> half = section(ok("report", file.toString(), "-f", "tree", "--min-percent", "0.5").out,
                "thread \"main\" [main]");
        assertEquals(List.of(
                "0.6% 0.600 0.000 3 app.Work.small",
                "0.6% 0.600 0.600 9 app.Work.leaf",
                "0.4% 0.400 (1 more, each below 0.5% of the caller)"), half.subList(6, half.size()));

        ToolRun bad = tolvane("report", file.toString(), "--min-percent", "150");
        assertEquals(2, bad.code);
        assertTrue(bad.err.contains("--min-percent needs a number from 0 to 100"), bad.err);
    }

    @Test
    void stateChoosesTheTimeThatIsRankedAndFolded() throws Exception {
        Path file = shop();
        String waiting = ok("report", file.toString(), "-f", "tree", "--state", "waiting").out;
        // Only main waited, below run -> buy; calls without waiting time are left out, and so is
        // the merged tree, which would repeat main's.
        assertEquals(List.of(
                "% total ms self ms line method",
                "100.0% 0.500 0.000 (thread)",
                "100.0% 0.500 0.000 com.acme.Shop.run",
                "100.0% 0.500 0.500 12 com.acme.Shop.buy",
                "1 thread without waiting time not shown"),
                section(waiting, "thread \"main\" [main]"));
        assertFalse(waiting.contains("== all threads"), waiting);
        assertFalse(waiting.contains("worker-1"), waiting);

        assertEquals("[GET /cart];com.acme.Shop.run;com.acme.Shop.buy 300\ncom.acme.Shop.run;com.acme.Shop.pay 100\n",
                ok("report", file.toString(), "-f", "collapsed", "--state", "blocked").out);
        assertEquals("com.acme.Shop.run;com.acme.Shop.pay 200\n",
                ok("report", file.toString(), "-f", "collapsed", "--state", "netio").out);

        String hot = ok("report", file.toString(), "-f", "hotspots", "--state", "netio").out;
        assertFalse(hot.contains("by own running time"), hot);
        assertTrue(hot.contains("== by own net I/O time: 0.200 ms =="), hot);

        ToolRun bad = tolvane("report", file.toString(), "--state", "sleeping");
        assertEquals(2, bad.code);
        assertTrue(bad.err.contains("unknown state \"sleeping\""), bad.err);
    }

    @Test
    void hotspotsRankOwnTimeWithTheirCallPaths() throws Exception {
        String out = ok("report", shop().toString(), "--format", "hotspots", "--state", "all").out;
        assertEquals(List.of(
                "% own ms method (%: share of all own running time)",
                "50.0% 2.000 com.acme.Shop.pay",
                "1.500 ms com.acme.Shop.pay <- com.acme.Shop.buy:40 <- com.acme.Shop.run:12",
                "0.500 ms com.acme.Shop.pay <- com.acme.Shop.run:13",
                "37.5% 1.500 com.acme.Shop.buy",
                "1.000 ms com.acme.Shop.buy <- com.acme.Shop.run:12 <- [GET /cart]",
                "0.500 ms com.acme.Shop.buy <- com.acme.Shop.run:12",
                "12.5% 0.500 com.acme.Shop.run",
                "0.500 ms com.acme.Shop.run"),
                section(out, "by own running time: 4.000 ms"));
        assertEquals(List.of("% own ms method (%: share of all own waiting time)", "100.0% 0.500 com.acme.Shop.buy",
                "0.500 ms com.acme.Shop.buy <- com.acme.Shop.run:12"), section(out, "by own waiting time: 0.500 ms"));
        assertEquals(List.of("% own ms method (%: share of all own blocked time)", "75.0% 0.300 com.acme.Shop.buy",
                "0.300 ms com.acme.Shop.buy <- com.acme.Shop.run:12 <- [GET /cart]",
                "25.0% 0.100 com.acme.Shop.pay", "0.100 ms com.acme.Shop.pay <- com.acme.Shop.run:13"),
                section(out, "by own blocked time: 0.400 ms"));
        assertEquals(List.of("% own ms method (%: share of all own net I/O time)", "100.0% 0.200 com.acme.Shop.pay",
                "0.200 ms com.acme.Shop.pay <- com.acme.Shop.run:13"), section(out, "by own net I/O time: 0.200 ms"));
        // Without --state only running time is ranked.
        String running = ok("report", shop().toString(), "--format", "hotspots").out;
        assertTrue(running.contains("== by own running time: 4.000 ms ==") && !running.contains("waiting time"), running);
    }

    @Test
    void threadsShowLifetimeAndTimePerStateFromTheCallTree() throws Exception {
        List<String> out = rows(ok("report", shop().toString(), "--format", "threads").out);
        // main's timeline says running 1 s and waiting 2 s, but it holds a point only now and then;
        // its tree, booked at every tick, has 3 ms running, 0.5 waiting, 0.1 blocked, 0.2 net I/O.
        assertTrue(out.contains("0.000 - 3.000 0.500 0.100 0.200 no \"main\" [main]"), out.toString());
        assertTrue(out.contains("0.500 2.000 1.000 0.000 0.300 0.000 no \"worker-1\" [pool]"), out.toString());
        assertFalse(out.toString().contains("cpu"), "no CPU column without CPU time: " + out);

        SnapshotBuilder b = new SnapshotBuilder().times(1_000_000, 2_000_000);
        b.addThread("_tolvane recorder", "main").ignored(true);
        b.addThread("short", "main").lifetime(1_205_000, 1_400_000).status(StatusPoint.RUNNING, 1_200_000);
        List<String> more = rows(ok("report", write("t.tsnap", b.build()).toString(), "-f", "threads").out);
        assertTrue(more.contains("0.000 - 0.000 0.000 0.000 0.000 yes \"_tolvane recorder\" [main]"), more.toString());
        assertTrue(more.contains("0.205 0.400 0.000 0.000 0.000 0.000 no \"short\" [main]"), more.toString());
    }

    @Test
    void collapsedStacksCarryExactSelfTimes() throws Exception {
        Path file = shop();
        String out = ok("report", file.toString(), "--format", "collapsed").out;
        assertEquals("[GET /cart];com.acme.Shop.run;com.acme.Shop.buy 1000\n"
                + "com.acme.Shop.run 500\n"
                + "com.acme.Shop.run;com.acme.Shop.buy 500\n"
                + "com.acme.Shop.run;com.acme.Shop.buy;com.acme.Shop.pay 1500\n"
                + "com.acme.Shop.run;com.acme.Shop.pay 500\n", out);
        // --state all adds each stack's own waiting, blocked and net I/O time.
        assertEquals("[GET /cart];com.acme.Shop.run;com.acme.Shop.buy 1300\n"
                + "com.acme.Shop.run 500\n"
                + "com.acme.Shop.run;com.acme.Shop.buy 1000\n"
                + "com.acme.Shop.run;com.acme.Shop.buy;com.acme.Shop.pay 1500\n"
                + "com.acme.Shop.run;com.acme.Shop.pay 800\n",
                ok("report", file.toString(), "-f", "collapsed", "--state", "all").out);
        // Without -o and without a terminal the folded stacks are the default, and standard error says so.
        ToolRun piped = ok("report", file.toString());
        assertEquals(out, piped.out);
        assertTrue(piped.err.contains("folded stacks, since the output is not a terminal; -f tree"), piped.err);
    }

    @Test
    void selfTimeIsRunningTimeMinusChildrenEverywhere() throws Exception {
        // A bushy tree with self time at every level: the self times in the
        // folded stacks and in the hot spots add up to the root's running time.
        SnapshotBuilder b = new SnapshotBuilder();
        long c = b.addClass("app.Tree");
        long[] methods = new long[6];
        for (int i = 0; i < methods.length; i++) {
            methods[i] = b.addMethod(c, "m" + i, "()V");
        }
        SnapshotBuilder.Node root = b.addThread("main", "main").root();
        long total = grow(root, methods, 0, 1);
        root.value(total);
        Path file = write("bushy.tsnap", b.build());

        long folded = 0;
        for (String line : ok("report", file.toString(), "-f", "collapsed").out.split("\n")) {
            folded += Long.parseLong(line.substring(line.lastIndexOf(' ') + 1));
        }
        assertEquals(total, folded);
        String hot = ok("report", file.toString(), "-f", "hotspots", "--state", "running", "--min-percent", "0").out;
        assertTrue(hot.contains("== by own running time: " + String.format("%d.%03d", total / 1000, total % 1000)
                + " ms =="), hot);
        // Node m0 at depth 1 has value 1000 + its children's; its own 1000 us is its self time.
        assertTrue(ok("report", file.toString(), "-f", "collapsed").out.startsWith("app.Tree.m0 1000\n"));
    }

    /** Gives each node 1000 us of its own plus its children's; three children per level, four levels. */
    private static long grow(SnapshotBuilder.Node parent, long[] methods, int depth, int salt) {
        if (depth == 4) {
            return 0;
        }
        long sum = 0;
        for (int i = 0; i < 3; i++) {
            SnapshotBuilder.Node child = parent.child(methods[(depth + i) % methods.length], salt * 10 + i);
            long value = 1000 + grow(child, methods, depth + 1, salt * 3 + i);
            child.value(value);
            sum += value;
        }
        return sum;
    }

    @Test
    void generatedClassesLoseTheirAddressesAndOverloadsShowTheirParameters() throws Exception {
        SnapshotBuilder b = new SnapshotBuilder();
        long lambda = b.addMethod(b.addClass("app.Web$$Lambda$163.0x00007fac2c134328"), "apply", "()V");
        long proxy = b.addMethod(b.addClass("jdk.proxy2.$Proxy12"), "invoke", "()V");
        long form = b.addMethod(b.addClass("java.lang.invoke.LambdaForm$MH.0x0000000800c0c400"), "invoke", "()V");
        long svc = b.addClass("app.Svc");
        long findInt = b.addMethod(svc, "find", "(I)V");
        long findText = b.addMethod(svc, "find", "(Ljava/lang/String;[J)Ljava/lang/Object;");
        SnapshotBuilder.Node root = b.addThread("main", "main").root().value(400);
        SnapshotBuilder.Node l = root.child(lambda, 0).value(400);
        l.child(proxy, 7).value(300).child(form, 8).value(300).child(findInt, 9).value(100);
        l.child(findText, 10).value(100);
        Path file = write("names.tsnap", b.build());

        // The lambda form is the JDK's plumbing: taken out, its time is the proxy's own.
        assertEquals("app.Web$$Lambda.apply;app.Svc.find(String,long[]) 100\n"
                + "app.Web$$Lambda.apply;jdk.proxy.$Proxy.invoke 200\n"
                + "app.Web$$Lambda.apply;jdk.proxy.$Proxy.invoke;app.Svc.find(int) 100\n",
                ok("report", file.toString(), "-f", "collapsed").out);
        String raw = ok("report", file.toString(), "-f", "collapsed", "--raw-names").out;
        assertTrue(raw.startsWith("app.Web$$Lambda$163.0x00007fac2c134328.apply;app.Svc.find(String,long[]) 100\n"),
                raw);
        assertTrue(raw.contains(";jdk.proxy2.$Proxy12.invoke;java.lang.invoke.LambdaForm$MH.0x0000000800c0c400.invoke"),
                raw);
        String tree = ok("report", file.toString(), "-f", "tree").out;
        assertTrue(tree.contains("app.Svc.find(int)") && tree.contains("app.Web$$Lambda.apply"), tree);
        String json = ok("report", file.toString(), "-f", "json").out;
        assertTrue(json.contains("\"name\":\"app.Web$$Lambda$163.0x00007fac2c134328\""), "JSON keeps the raw class");
        assertTrue(json.contains("\"display\":\"app.Svc.find(String,long[])\""), json);

        // --threads starts every folded stack with its thread.
        assertTrue(ok("report", file.toString(), "-f", "collapsed", "--threads").out.lines()
                .allMatch(line -> line.startsWith("[thread main];app.Web$$Lambda.apply;")));
        ToolRun notFolded = tolvane("report", file.toString(), "-f", "tree", "--threads");
        assertEquals(2, notFolded.code);
        assertTrue(notFolded.err.contains("--threads applies to folded stacks"), notFolded.err);
    }

    @Test
    void threadOptionSelectsThreadsByPattern() throws Exception {
        Path file = shop();
        String tree = ok("report", file.toString(), "-f", "tree", "--thread", "^work").out;
        assertFalse(tree.contains("== all threads"), tree);
        assertFalse(tree.contains("\"main\""), tree);
        assertTrue(tree.contains("== thread \"worker-1\" [pool] =="), tree);
        assertEquals("[GET /cart];com.acme.Shop.run;com.acme.Shop.buy 1000\n",
                ok("report", file.toString(), "-f", "collapsed", "--thread", "worker").out);
        assertEquals(1, rows(ok("report", file.toString(), "-f", "threads", "--thread", "ai").out).stream()
                .filter(l -> l.endsWith("[main]")).count());

        ToolRun none = tolvane("report", file.toString(), "--thread", "nothing-like-this");
        assertEquals(1, none.code);
        assertTrue(none.err.contains("no thread name matches \"nothing-like-this\"; the threads are: \"main\", "
                + "\"worker-1\""), none.err);
        ToolRun invalid = tolvane("report", file.toString(), "--thread", "([");
        assertEquals(2, invalid.code);
        assertTrue(invalid.err.contains("invalid --thread pattern"), invalid.err);
    }

    @Test
    void jsonHoldsTheWholeSnapshotAndIsSafeInsideHtml() throws Exception {
        SnapshotBuilder b = new SnapshotBuilder().vm("VM \"x\"", "17").filters(true, "java.", "-java.util.");
        long c = b.addClass("app.Main");
        long m = b.addMethod(c, "main", "([Ljava/lang/String;)V");
        b.addThread("</script><b>evil", "g\\1").status(StatusPoint.RUNNING, 1_000_000).root().value(7)
                .child(m, 3).value(7).monitorTimes(1, 2, 3);
        Path file = write("j.tsnap", b.build());
        String json = ok("report", file.toString(), "-f", "json").out;
        assertTrue(json.startsWith("{\"format\":\"tolvane-snapshot\",\"layoutVersion\":1,\"source\":\"j.tsnap\""), json);
        assertTrue(json.contains("\"vmName\":\"VM \\\"x\\\"\",\"javaVersion\":\"17\""), json);
        assertTrue(json.contains("{\"id\":\"0x" + Long.toHexString(c) + "\",\"name\":\"app.Main\",\"kind\":0}"), json);
        assertTrue(json.contains("{\"id\":\"0x" + Long.toHexString(m)
                + "\",\"class\":2,\"name\":\"main\",\"signature\":\"([Ljava/lang/String;)V\",\"display\":\"app.Main.main\"}"),
                json);
        assertTrue(json.contains("\"filters\":[\"java.\",\"-java.util.\"],\"filterInverted\":true"), json);
        assertTrue(json.contains("\"name\":\"\\u003c/script\\u003e\\u003cb\\u003eevil\",\"group\":\"g\\\\1\""), json);
        assertTrue(json.contains("\"start\":1000000,\"end\":-1,\"ignored\":false,\"timeline\":[[63,1000000]]"), json);
        assertTrue(json.contains("\"tree\":{\"method\":null,\"line\":0,\"running\":7,\"children\":[{\"method\":1,"
                + "\"line\":3,\"running\":7,\"blocked\":1,\"waiting\":2,\"netio\":3}]}"), json);

        Path page = dir.resolve("j.html");
        ToolRun html = ok("report", file.toString(), "-o", page.toString());
        assertTrue(html.err.contains("wrote html report to"), html.err);
        String text = Files.readString(page);
        assertFalse(text.contains("</script><b>evil"), "the name never appears unescaped");
        // The page embeds the same document, with trees and timelines flattened into numbers.
        assertTrue(text.contains(json.substring(0, json.indexOf(",\"threads\":"))), "the page embeds the JSON document");
        assertTrue(text.contains("\"ignored\":false,\"points\":[63,1000000],\"nodes\":[-1,0,7,0,0,0,0,1,1,3,7,0,2,1,3,0]"),
                text);
        assertFalse(text.contains("src=\"http") || text.contains("href=\"http"), "the page loads nothing");
    }

    @Test
    void namesWithControlCharactersCannotReachTheTerminal() throws Exception {
        SnapshotBuilder b = new SnapshotBuilder();
        long label = b.addMethod(b.interceptionClass, "evil\u001b[2J;next\nline", "()V");
        b.addThread("t\u001b]0;x\u0007", "main").root().value(10).child(label, 0).value(10);
        Path file = write("ctl.tsnap", b.build());
        for (String format : List.of("tree", "hotspots", "threads", "collapsed")) {
            String out = ok("report", file.toString(), "-f", format, "--min-percent", "0").out;
            assertFalse(out.chars().anyMatch(ch -> ch == 0x1b || ch == 0x07), format + ":\n" + out);
        }
        // ';' separates frames in the folded format and a newline ends a stack, so neither survives in a name.
        assertEquals("[evil?[2J,next?line] 10\n", ok("report", file.toString(), "-f", "collapsed").out);
    }

    @Test
    void veryDeepTreesAreReportedWithoutRunningOutOfStack() throws Exception {
        SnapshotBuilder b = new SnapshotBuilder();
        long c = b.addClass("app.Deep");
        long m = b.addMethod(c, "recurse", "()V");
        SnapshotBuilder.Node node = b.addThread("main", "main").root().value(5);
        for (int i = 0; i < 20_000; i++) {
            node = node.child(m, 7).value(5);
        }
        Path file = write("deep.tsnap", b.build());
        for (String format : List.of("tree", "hotspots", "threads", "collapsed", "json", "html")) {
            ToolRun r = ok("report", file.toString(), "-f", format, "-o", dir.resolve("deep." + format).toString());
            assertTrue(Files.size(dir.resolve("deep." + format)) > 0, format + ": " + r.err);
        }
    }

    @Test
    void outputFileExtensionChoosesTheFormat() throws Exception {
        Path file = shop();
        ok("report", file.toString(), "-o", dir.resolve("a.json").toString());
        assertTrue(Files.readString(dir.resolve("a.json")).startsWith("{\"format\":\"tolvane-snapshot\""));
        ok("report", file.toString(), "-o", dir.resolve("a.folded").toString());
        assertTrue(Files.readString(dir.resolve("a.folded")).startsWith("[GET /cart];"));
        ok("report", file.toString(), "-o", dir.resolve("a.txt").toString());
        assertTrue(Files.readString(dir.resolve("a.txt")).startsWith("Call tree of shop.tsnap"));
        ok("report", file.toString(), "-o", dir.resolve("a.html").toString());
        assertTrue(Files.readString(dir.resolve("a.html")).startsWith("<!DOCTYPE html>"));

        ToolRun missingDir = tolvane("report", file.toString(), "-o", dir.resolve("no/such/dir/x.html").toString());
        assertEquals(1, missingDir.code);
        assertTrue(missingDir.err.contains("does not exist"), missingDir.err);
        ToolRun unknown = tolvane("report", file.toString(), "-f", "pdf");
        assertEquals(2, unknown.code);
        assertTrue(unknown.err.contains("unknown report format \"pdf\""), unknown.err);
    }

    @Test
    void unreadableFilesGetTheReadersError() throws Exception {
        byte[] good = Files.readAllBytes(shop());

        byte[] corrupt = good.clone();
        corrupt[SnapshotBuilder.sectionPosition(corrupt, 1) + 20] ^= 0x5A;
        ToolRun r = tolvane("report", write("corrupt.tsnap", corrupt).toString(), "-f", "tree");
        assertEquals(1, r.code);
        assertTrue(r.err.startsWith("tolvane report: " + dir.resolve("corrupt.tsnap") + ": "), r.err);
        assertTrue(r.err.contains("CRC"), r.err);
        assertEquals("", r.out);

        ToolRun truncated = tolvane("report", write("short.tsnap", Arrays.copyOf(good, good.length - 30)).toString());
        assertEquals(1, truncated.code);
        assertTrue(truncated.err.contains("short.tsnap: "), truncated.err);
        assertEquals(1, truncated.err.trim().split("\n").length, "one line: " + truncated.err);

        ToolRun text = tolvane("report", write("notes.txt", "hello".getBytes(StandardCharsets.UTF_8)).toString());
        assertEquals(1, text.code);
        ToolRun missing = tolvane("report", dir.resolve("absent.tsnap").toString());
        assertEquals(1, missing.code);
        assertTrue(missing.err.contains("absent.tsnap: no such file"), missing.err);

        // A failed report leaves no file behind, not even a partial one.
        ToolRun html = tolvane("report", dir.resolve("corrupt.tsnap").toString(), "-o", dir.resolve("c.html").toString());
        assertEquals(1, html.code);
        assertFalse(Files.exists(dir.resolve("c.html")));
    }
}
