package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import com.tolvane.report.pprof.ProfileProto;
import com.tolvane.snapshot.SnapshotReader;
import com.tolvane.snapshot.StatusPoint;
import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import java.util.zip.GZIPInputStream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * tolvane report -f pprof: the profile read back through protobuf-java, and
 * read by Go's pprof, which must list the same methods with the same own
 * times and totals per kind of time as the hot-spots report.
 */
class PprofExportTest {
    private static final String[] KINDS = {"running", "waiting", "blocked", "netio"};

    @TempDir
    Path dir;

    /** Two threads, a transaction label, an overloaded method and every kind of time. */
    private Path shopSnapshot() throws IOException {
        SnapshotBuilder b = new SnapshotBuilder().times(1_000_000, 4_000_000);
        long shop = b.addClass("com.acme.Shop");
        long main = b.addMethod(shop, "main", "([Ljava/lang/String;)V");
        long cart = b.addMethod(b.interceptionClass, "GET /cart", "()V");
        long cartClass = b.addClass("com.acme.Cart");
        long total = b.addMethod(cartClass, "total", "(I)J");
        long totalAll = b.addMethod(cartClass, "total", "()J");
        long query = b.addMethod(b.addClass("com.acme.Db"), "query", "(Ljava/lang/String;)V");
        SnapshotBuilder.Node w1 = b.addThread("worker-1", "pool").status(StatusPoint.RUNNING, 1_000_000)
                .root().value(10_000).child(main, 0).value(10_000);
        SnapshotBuilder.Node label = w1.child(cart, 12).value(8000);
        label.child(total, 40).value(6000).monitorTimes(300, 0, 0).child(query, 77).value(1000)
                .monitorTimes(0, 2000, 5000);
        label.child(totalAll, 41).value(1500);
        b.addThread("worker-2", "pool").status(StatusPoint.RUNNING, 1_000_000).root().value(3000)
                .child(main, 0).value(3000).child(total, 41).value(3000).monitorTimes(0, 700, 0);
        Path file = dir.resolve("shop.tsnap");
        Files.write(file, b.build());
        return file;
    }

    private static ProfileProto.Profile read(Path pprof) throws IOException {
        try (InputStream in = new GZIPInputStream(Files.newInputStream(pprof))) {
            return ProfileProto.Profile.parseFrom(in);
        }
    }

    private Path export(Path snapshot) {
        Path out = dir.resolve(snapshot.getFileName() + ".pb.gz");
        ToolRun r = ToolRun.of("report", snapshot.toString(), "-f", "pprof", "-o", out.toString());
        assertEquals(0, r.code(), r.toString());
        return out;
    }

    @Test
    void profileCarriesKindsFunctionsCallSiteLinesAndLabels() throws IOException {
        ProfileProto.Profile p = read(export(shopSnapshot()));
        List<String> strings = p.getStringTableList();
        assertEquals("", strings.get(0));
        List<String> types = new ArrayList<>();
        for (ProfileProto.ValueType t : p.getSampleTypeList()) {
            types.add(strings.get((int) t.getType()));
            assertEquals("microseconds", strings.get((int) t.getUnit()));
        }
        assertEquals(List.of(KINDS), types);
        assertEquals("running", strings.get((int) p.getDefaultSampleType()));
        assertEquals(5000, p.getPeriod());
        assertEquals("wall", strings.get((int) p.getPeriodType().getType()));
        assertEquals(3_000_000_000L, p.getDurationNanos());
        assertTrue(p.getTimeNanos() > 0, "start time from the file's write time");

        Map<Long, String> functionNames = new HashMap<>();
        Map<String, String> systemNames = new HashMap<>();
        for (ProfileProto.Function f : p.getFunctionList()) {
            String name = strings.get((int) f.getName());
            functionNames.put(f.getId(), name);
            systemNames.put(name, strings.get((int) f.getSystemName()));
        }
        // Overloads are told apart by their parameters, and the descriptor is kept.
        assertEquals("com.acme.Cart.total(I)J", systemNames.get("com.acme.Cart.total(int)"));
        assertEquals("com.acme.Cart.total()J", systemNames.get("com.acme.Cart.total()"));
        assertEquals("com.acme.Db.query(Ljava/lang/String;)V", systemNames.get("com.acme.Db.query"));
        Map<Long, String> locations = new HashMap<>();
        for (ProfileProto.Location l : p.getLocationList()) {
            assertEquals(1, l.getLineCount());
            locations.put(l.getId(), functionNames.get(l.getLine(0).getFunctionId()) + ":" + l.getLine(0).getLine());
        }

        // The query's sample: leaf first, each caller at the line it called from.
        ProfileProto.Sample query = null;
        for (ProfileProto.Sample s : p.getSampleList()) {
            if (locations.get(s.getLocationId(0)).startsWith("com.acme.Db.query")) {
                query = s;
            }
        }
        assertTrue(query != null, "no sample for the query");
        List<String> stack = new ArrayList<>();
        query.getLocationIdList().forEach(id -> stack.add(locations.get(id)));
        assertEquals(List.of("com.acme.Db.query:0", "com.acme.Cart.total(int):77", "[GET /cart]:40",
                "com.acme.Shop.main:12"), stack);
        assertEquals(List.of(1000L, 2000L, 0L, 5000L), query.getValueList());
        assertEquals(Map.of("thread", "worker-1", "transaction", "GET /cart"), labels(query, strings));

        // Outside a transaction only the thread is a label; samples without own time are left out.
        int worker2 = 0;
        for (ProfileProto.Sample s : p.getSampleList()) {
            Map<String, String> l = labels(s, strings);
            if (l.get("thread").equals("worker-2")) {
                worker2++;
                assertFalse(l.containsKey("transaction"));
                assertEquals(List.of(3000L, 700L, 0L, 0L), s.getValueList());
            }
            assertTrue(s.getValueList().stream().anyMatch(v -> v > 0));
        }
        assertEquals(1, worker2);
    }

    /** The extension of -o chooses pprof; --thread keeps only the chosen threads' samples. */
    @Test
    void extensionChoosesPprofAndThreadFilterApplies() throws IOException {
        Path snapshot = shopSnapshot();
        Path out = dir.resolve("only2.pprof");
        ToolRun r = ToolRun.of("report", snapshot.toString(), "-o", out.toString(), "--thread", "-2$");
        assertEquals(0, r.code(), r.toString());
        ProfileProto.Profile p = read(out);
        assertEquals(1, p.getSampleCount());
        assertEquals(Map.of("thread", "worker-2"), labels(p.getSample(0), p.getStringTableList()));
        ToolRun bad = ToolRun.of("report", snapshot.toString(), "-f", "pprof", "-o", dir + "/no/such/dir/x.pb.gz");
        assertEquals(1, bad.code(), bad.toString());
        assertFalse(Files.exists(dir.resolve("no")));
    }

    private static Map<String, String> labels(ProfileProto.Sample s, List<String> strings) {
        Map<String, String> labels = new HashMap<>();
        for (ProfileProto.Label l : s.getLabelList()) {
            labels.put(strings.get((int) l.getKey()), strings.get((int) l.getStr()));
        }
        return labels;
    }

    @Test
    void goPprofAgreesWithHotspotsOnBuiltSnapshot() throws Exception {
        assertGoPprofAgrees(shopSnapshot());
    }

    @Test
    void goPprofAgreesWithHotspotsOnRecordingFromStart() throws Exception {
        Path snapshot = dir.resolve("start.tsnap");
        ChildJvm.main(StartupProbe.class, "1000")
                .jvmArg("-agentpath:" + ChildJvm.property("tolvane.lib") + "=record=10s,file=" + snapshot)
                .run().assertSuccess().assertNoJniWarnings();
        assertGoPprofAgrees(snapshot);
    }

    /** For every kind of time: the same methods with the same own time, and the same total. */
    private void assertGoPprofAgrees(Path snapshot) throws Exception {
        Path pprof = export(snapshot);
        List<String> kinds = new ArrayList<>(List.of(KINDS));
        if (SnapshotReader.read(snapshot).hasCpuTime()) {
            kinds.add("cpu");  // recorded from start: the library books CPU time
        }
        assertEquals(kinds.size(), read(pprof).getSampleTypeCount());
        for (String kind : kinds) {
            ToolRun hot = ToolRun.of("report", snapshot.toString(), "-f", "hotspots", "--state", kind,
                    "--min-percent", "0");
            assertEquals(0, hot.code(), hot.toString());
            Map<String, Long> expected = hotspots(hot.out());
            String top = goPprof("-top", "-sample_index=" + kind, "-unit=us", "-nodecount=100000",
                    "-nodefraction=0", "-edgefraction=0", pprof.toString());
            Map<String, Long> listed = new LinkedHashMap<>();
            Matcher row = Pattern.compile("(?m)^\\s*(\\d+)(?:us)?\\s+\\S+%\\s+\\S+%\\s+\\d+(?:us)?\\s+\\S+%\\s+(.+)$")
                    .matcher(top);
            while (row.find()) {
                if (Long.parseLong(row.group(1)) > 0) {
                    listed.put(row.group(2).trim(), Long.parseLong(row.group(1)));
                }
            }
            assertEquals(expected, listed, kind + "\n" + top + "\n" + hot.out());
            long total = expected.values().stream().mapToLong(Long::longValue).sum();
            if (total > 0) {
                assertTrue(top.contains("accounting for " + total + "us, 100% of " + total + "us total"),
                        kind + ": total " + total + "\n" + top);
            }
            // The first rows are the hot spots' first rows, in their order.
            List<String> first = new ArrayList<>(expected.keySet()).subList(0, Math.min(3, expected.size()));
            assertEquals(first, new ArrayList<>(listed.keySet()).subList(0, first.size()), kind + "\n" + top);
        }
    }

    /** Method to own microseconds, in the report's order. */
    private static Map<String, Long> hotspots(String report) {
        Map<String, Long> methods = new LinkedHashMap<>();
        // Share, own time, then (in files with CPU time) the other time's column, then the method.
        Matcher row = Pattern.compile("(?m)^\\s+[\\d.]+%\\s+(\\d+)\\.(\\d{3})(?:\\s+[\\d.]+)?  (\\S.*)$")
                .matcher(report);
        while (row.find()) {
            if (!row.group(3).startsWith("(")) {
                methods.put(row.group(3), Long.parseLong(row.group(1)) * 1000 + Long.parseLong(row.group(2)));
            }
        }
        return methods;
    }

    private String goPprof(String... args) throws Exception {
        Path go = Path.of("/usr/bin/go");
        if (!Files.isExecutable(go)) {
            fail("Go is not installed; ./dev test installs Debian's golang-go");
        }
        List<String> command = new ArrayList<>(List.of(go.toString(), "tool", "pprof"));
        command.addAll(List.of(args));
        Path home = Files.createDirectories(dir.resolve("home"));
        ProcessBuilder pb = new ProcessBuilder(command).redirectErrorStream(true);
        pb.environment().put("HOME", home.toString());
        pb.environment().put("PPROF_TMPDIR", home.toString());
        Process p = pb.start();
        byte[] out = p.getInputStream().readAllBytes();
        assertTrue(p.waitFor(60, TimeUnit.SECONDS));
        String text = new String(out, StandardCharsets.UTF_8);
        assertEquals(0, p.exitValue(), text);
        return text;
    }
}
