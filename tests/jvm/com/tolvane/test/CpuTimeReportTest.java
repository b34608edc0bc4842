package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.tolvane.snapshot.Snapshot;
import com.tolvane.snapshot.SnapshotReader;
import com.tolvane.snapshot.StatusPoint;
import com.tolvane.tool.Summary;
import java.io.ByteArrayOutputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.MessageDigest;
import java.util.Arrays;
import java.util.HexFormat;
import java.util.List;
import java.util.stream.Collectors;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * CPU time in the reports: files with the CPU-time section show it beside
 * running time and rank by it by default; files without it report exactly
 * as they did before CPU time existed.
 */
class CpuTimeReportTest {

    @TempDir
    Path dir;

    /**
     * Three threads from 1 s to 4 s. main: Shop.run (3 ms running, 2.6 ms
     * CPU) calls buy at line 12 (2 ms, 1.7 CPU, own waiting 0.5), which calls
     * pay at line 40 (1.5 ms, 1.4 CPU); run also calls pay at line 13 (0.5 ms,
     * 0.3 CPU, own blocked 0.1 and net I/O 0.2). poller: EPoll.wait, runnable
     * 4 ms but 0.1 ms on a CPU, with 1 ms of net I/O. sampler: ignored, its CPU
     * time not known. Without {@code cpu} the same recording has no CPU section.
     */
    private Path shop(boolean cpu) throws Exception {
        SnapshotBuilder b = new SnapshotBuilder().times(1_000_000, 4_000_000);
        if (cpu) {
            b.cpuTime();
        }
        long shop = b.addClass("com.acme.Shop");
        long run = b.addMethod(shop, "run", "()V");
        long buy = b.addMethod(shop, "buy", "()V");
        long pay = b.addMethod(shop, "pay", "()V");
        long wait = b.addMethod(b.addClass("sun.nio.ch.EPoll"), "wait", "(IJII)I");
        SnapshotBuilder.Node main = b.addThread("main", "main")
                .status(StatusPoint.RUNNING, 1_000_000).status(StatusPoint.WAITING, 2_000_000).root()
                .value(3000).cpu(2600);
        SnapshotBuilder.Node mainRun = main.child(run, 0).value(3000).cpu(2600);
        mainRun.child(buy, 12).value(2000).cpu(1700).monitorTimes(0, 500, 0)
                .child(pay, 40).value(1500).cpu(1400);
        mainRun.child(pay, 13).value(500).cpu(300).monitorTimes(100, 0, 200);
        b.addThread("poller", "main").status(StatusPoint.RUNNING, 1_000_000).root().value(4000).cpu(100)
                .child(wait, 0).value(4000).cpu(100).monitorTimes(0, 0, 1000);
        b.addThread("sampler", "system").ignored(true).cpu(-1);
        Path file = dir.resolve(cpu ? "cpu/shop.tsnap" : "shop.tsnap");
        Files.createDirectories(file.getParent());
        Files.write(file, b.build());
        return file;
    }

    private static String report(Path file, String... options) {
        String[] args = new String[options.length + 2];
        args[0] = "report";
        args[1] = file.toString();
        System.arraycopy(options, 0, args, 2, options.length);
        ToolRun r = ToolRun.of(args);
        assertEquals(0, r.code, r::toString);
        return r.out;
    }

    /** The output's lines with runs of blanks collapsed, for comparing table rows. */
    private static List<String> rows(String text) {
        return Arrays.stream(text.split("\n")).map(l -> l.trim().replaceAll(" +", " ")).collect(Collectors.toList());
    }

    private static String sha256(String text) throws Exception {
        byte[] digest = MessageDigest.getInstance("SHA-256").digest(text.getBytes(StandardCharsets.UTF_8));
        return HexFormat.of().formatHex(digest);
    }

    @Test
    void withoutCpuTimeEveryReportButThreadsIsTheSameAsBefore() throws Exception {
        // SHA-256 of each report's output as it was before CPU time existed.
        Path file = shop(false);
        String[][] reports = {
            {"7c83746f6b63125612e7c4d040988486adb81bcd375955030a2a044b2db47297", "-f", "tree"},
            {"eac775dd5afa39a7a0f7f054d0c39cd36d232c9d499fc829fc0dd06514334b02", "-f", "tree", "--state", "all",
                "--min-percent", "0"},
            {"f95713b2382725a2e6c9bacc39db1b3fecd7c5c7c3a103dc81347d3b9ea2dfd5", "-f", "hotspots"},
            {"8d408a365a16c119b609a1cee0a357c83747d6229009e96b7813c60cc0704125", "-f", "hotspots", "--state", "all"},
            {"0e93acd565ac9e7748cdfc0ee220fec87fc4465fe8599f73e3f50c1bfcfc08a5", "-f", "collapsed"},
            {"a0128f5ad0888f27ed87f5966f9ec5a0304f444cce237bff94ea7b5e57b69c63", "-f", "collapsed", "--state", "netio"},
            {"4b14d5dc4ac0510290b639d949179fc028594232b3bb8878878aa3774b5abda8", "-f", "json"},
        };
        for (String[] r : reports) {
            String out = report(file, Arrays.copyOfRange(r, 1, r.length));
            assertEquals(r[0], sha256(out), () -> String.join(" ", r) + " changed:\n" + out);
        }

        ToolRun cpu = ToolRun.of("report", file.toString(), "-f", "tree", "--state", "cpu");
        assertEquals(1, cpu.code, cpu::toString);
        assertTrue(cpu.err.contains("shop.tsnap holds no CPU time"), cpu.err);
    }

    @Test
    void cpuTimeStandsBesideRunningTimeAndIsRankedByDefault() throws Exception {
        Path file = shop(true);
        // By CPU, the poller that was runnable longest ranks last.
        String tree = report(file, "-f", "tree");
        assertTrue(tree.startsWith("Call tree of shop.tsnap, by CPU time in ms:\n"), tree);
        assertEquals(List.of(
                "% total ms running ms self ms line method",
                "100.0% 2.700 7.000 0.000 (all threads)",
                "96.3% 2.600 3.000 0.600 com.acme.Shop.run",
                "63.0% 1.700 2.000 0.300 12 com.acme.Shop.buy",
                "51.9% 1.400 1.500 1.400 40 com.acme.Shop.pay",
                "11.1% 0.300 0.500 0.300 13 com.acme.Shop.pay",
                "3.7% 0.100 4.000 0.100 sun.nio.ch.EPoll.wait"),
                rows(tree).subList(rows(tree).indexOf("== all threads (3) ==") + 1,
                        rows(tree).indexOf("== all threads (3) ==") + 8));
        assertTrue(tree.contains("1 thread without CPU time not shown"), tree);
        List<String> running = rows(report(file, "-f", "tree", "--state", "running"));
        assertTrue(running.contains("% total ms cpu ms self ms line method")
                && running.contains("57.1% 4.000 0.100 4.000 sun.nio.ch.EPoll.wait"), running.toString());
        List<String> all = rows(report(file, "-f", "tree", "--state", "all"));
        assertTrue(all.contains("56.8% 5.000 4.000 0.000 0.000 1.000 0.100 5.000 sun.nio.ch.EPoll.wait"),
                all.toString());

        List<String> hot = rows(report(file, "-f", "hotspots"));
        assertTrue(hot.contains("== by own CPU time: 2.700 ms =="), hot.toString());
        int head = hot.indexOf("% own ms own run ms method (%: share of all own CPU time)");
        assertEquals(List.of("63.0% 1.700 2.000 com.acme.Shop.pay",
                "1.400 ms com.acme.Shop.pay <- com.acme.Shop.buy:40 <- com.acme.Shop.run:12",
                "0.300 ms com.acme.Shop.pay <- com.acme.Shop.run:13",
                "22.2% 0.600 0.500 com.acme.Shop.run"), hot.subList(head + 1, head + 5));
        List<String> hotRunning = rows(report(file, "-f", "hotspots", "--state", "running"));
        assertTrue(hotRunning.contains("% own ms own CPU ms method (%: share of all own running time)")
                && hotRunning.contains("57.1% 4.000 0.100 sun.nio.ch.EPoll.wait"), hotRunning.toString());

        // Folded stacks draw own CPU time by default; running time gives the stacks it always gave.
        assertEquals("com.acme.Shop.run 600\n"
                + "com.acme.Shop.run;com.acme.Shop.buy 300\n"
                + "com.acme.Shop.run;com.acme.Shop.buy;com.acme.Shop.pay 1400\n"
                + "com.acme.Shop.run;com.acme.Shop.pay 300\n"
                + "sun.nio.ch.EPoll.wait 100\n", report(file, "-f", "collapsed"));
        assertEquals(report(shop(false), "-f", "collapsed"), report(file, "-f", "collapsed", "--state", "running"));

        List<String> threads = rows(report(file, "-f", "threads"));
        assertTrue(threads.contains("start s end s running ms cpu ms waiting ms blocked ms net I/O ms ignored"
                + " thread [group]"), threads.toString());
        assertTrue(threads.contains("0.000 - 3.000 2.600 0.500 0.100 0.200 no \"main\" [main]")
                && threads.contains("0.000 - 4.000 0.100 0.000 0.000 1.000 no \"poller\" [main]")
                && threads.contains("0.000 - 0.000 - 0.000 0.000 0.000 yes \"sampler\" [system]"),
                threads.toString());

        String json = report(file, "-f", "json");
        assertTrue(json.contains("\"filterInverted\":false,\"cpuTime\":true,"), json);
        assertTrue(json.contains("\"name\":\"main\",\"group\":\"main\",\"start\":1000000,\"end\":-1,"
                + "\"ignored\":false,\"cpu\":2600,"), json);
        assertTrue(json.contains("\"ignored\":true,\"cpu\":-1,") && json.contains("\"line\":40,\"running\":1500,"
                + "\"cpu\":1400"), json);
    }

    @Test
    void verifyReportsTheCpuTimeAndRejectsASectionThatDoesNotFit() throws Exception {
        ToolRun good = ToolRun.of("verify", shop(true).toString());
        assertEquals(0, good.code, good::toString);
        assertTrue(good.out.contains("  section 2 (CPU time): 128 bytes at offset ")
                && good.out.contains("  CPU time:   2.7 ms in all threads, not known for 1 thread\n")
                && good.out.contains("    main [main]: running 3.0 ms, CPU 2.6 ms, 2 status points\n")
                && good.out.contains("    sampler [system] ignored: running 0.0 ms, CPU not known,"), good.out);
        ToolRun plain = ToolRun.of("verify", shop(false).toString());
        assertTrue(plain.out.contains("  section 2 (CPU time): 0 bytes at offset "), plain.out);
        assertFalse(plain.out.contains("  CPU time:") || plain.out.contains(", CPU"), plain.out);

        SnapshotBuilder b = new SnapshotBuilder().cpuTime();
        b.addThread("t", "g").root().value(10).cpu(11).child(b.unknownMethod, 0).value(10).cpu(12);
        Path bad = dir.resolve("bad.tsnap");
        Files.write(bad, b.build());
        ToolRun rejected = ToolRun.of("verify", bad.toString());
        assertEquals(1, rejected.code, rejected::toString);
        assertTrue(rejected.err.contains("section 2 (CPU time): CPU time of the root (node 1 in file order) in"
                + " thread \"t\", 11 us, is less than the 12 us of its callees"), rejected.err);
        // diff compares CPU time too, by default where both recordings have it.
        ToolRun diff = ToolRun.of("diff", shop(false).toString(), shop(true).toString());
        assertEquals(0, diff.code, diff::toString);
        assertTrue(diff.out.contains("== own running time"), diff.out);
        ToolRun cpuDiff = ToolRun.of("diff", shop(true).toString(), shop(true).toString());
        assertTrue(cpuDiff.out.contains("== own CPU time"), cpuDiff.out);
        ToolRun noCpu = ToolRun.of("diff", shop(false).toString(), shop(true).toString(), "--state", "cpu");
        assertEquals(1, noCpu.code, noCpu::toString);
        assertTrue(noCpu.err.contains("holds no CPU time"), noCpu.err);
    }

    @Test
    void summaryGivesEachThreadsCpuAndSaysWhenRunnableIsNotCpu() throws Exception {
        SnapshotBuilder b = new SnapshotBuilder().cpuTime();
        long spin = b.addMethod(b.addClass("com.acme.Spin"), "spin", "()V");
        long select = b.addMethod(b.addClass("sun.nio.ch.EPoll"), "wait", "(IJII)I");
        long read = b.addMethod(b.addClass("sun.nio.ch.FileDispatcherImpl"), "read0", "()I");
        b.addThread("busy", "main").root().value(2_000_000).cpu(1_900_000).child(spin, 0).value(2_000_000)
                .cpu(1_900_000);
        b.addThread("poller", "main").root().value(3_000_000).cpu(10_000).child(select, 0).value(3_000_000)
                .cpu(10_000);
        b.addThread("reader", "main").root().value(500_000).cpu(200_000).child(read, 0).value(500_000).cpu(200_000);
        // Too little time apart to matter, CPU time not known, or not sampled: none of them counts.
        b.addThread("brief", "main").root().value(50_000).child(select, 0).value(50_000);
        b.addThread("unreadable", "main").cpu(-1).root().value(1_000_000).child(read, 0).value(1_000_000);
        b.addThread("_tolvane recorder", "main").ignored(true).root().value(900_000);
        Snapshot snapshot = SnapshotReader.read(b.build());

        assertEquals("Note: 2 threads were runnable far longer than they ran on a CPU (running 3.5 s, CPU 0.2 s):"
                + " RUNNABLE includes time in native code and waiting for I/O.", Summary.runnableNote(snapshot));
        String threads = print(out -> Summary.printThreads(snapshot, out, 8));
        assertTrue(threads.contains("     running        CPU    blocked    waiting    net I/O        share  thread\n")
                && threads.contains("   3000.0 ms    10.0 ms     0.0 ms     0.0 ms     0.0 ms       0% CPU  poller\n")
                && threads.contains("   1000.0 ms          -     0.0 ms     0.0 ms     0.0 ms" + " ".repeat(15) + "unreadable\n")
                && threads.indexOf("busy") < threads.indexOf("poller"), threads);
        String hot = print(out -> Summary.printHotMethods(snapshot, out, 10));
        assertTrue(hot.contains("Hottest methods by CPU time:\n")
                && hot.indexOf("com.acme.Spin.spin") < hot.indexOf("sun.nio.ch.EPoll.wait"), hot);

        SnapshotBuilder plain = new SnapshotBuilder();
        plain.addThread("poller", "main").root().value(3_000_000)
                .child(plain.addMethod(plain.addClass("sun.nio.ch.EPoll"), "wait", "(IJII)I"), 0).value(3_000_000);
        Snapshot without = SnapshotReader.read(plain.build());
        assertNull(Summary.runnableNote(without));
        assertTrue(print(out -> Summary.printThreads(without, out, 8))
                .contains("     running    blocked    waiting    net I/O        share  thread\n   3000.0 ms     0.0 ms"));
        assertTrue(print(out -> Summary.printHotMethods(without, out, 8)).contains("Hottest methods by running time:"));
    }

    private static String print(java.util.function.Consumer<PrintStream> printer) {
        ByteArrayOutputStream bytes = new ByteArrayOutputStream();
        printer.accept(new PrintStream(bytes, true, StandardCharsets.UTF_8));
        return bytes.toString(StandardCharsets.UTF_8);
    }
}
