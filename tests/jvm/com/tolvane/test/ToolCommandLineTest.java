package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.tolvane.cli.Main;
import com.tolvane.cli.RecordCommand;
import com.tolvane.snapshot.SnapshotReader;
import com.tolvane.tool.RecordOptions;
import com.tolvane.tool.Summary;
import com.tolvane.tool.Targets;
import com.tolvane.tool.ToolException;
import java.time.LocalDateTime;
import java.util.List;
import java.util.Map;
import java.util.stream.Collectors;
import org.junit.jupiter.api.Test;

/** The command line's parsing and the recording summary, in process. */
class ToolCommandLineTest {

    /** A record command line parsed as the tool parses it, without running it. */
    private static RecordCommand record(String... args) throws ToolException {
        return Main.parse(new RecordCommand(), args);
    }

    private static RecordOptions options(String... args) throws ToolException {
        return record(args).options();
    }

    private static String usageError(String... args) {
        ToolException e = assertThrows(ToolException.class, () -> options(args));
        assertEquals(ToolException.USAGE, e.exitCode());
        return e.getMessage();
    }

    @Test
    void durationsTakeMillisecondsSecondsAndMinutes() throws Exception {
        assertEquals(500, RecordOptions.parseDuration("500ms"));
        assertEquals(10_000, RecordOptions.parseDuration("10s"));
        assertEquals(120_000, RecordOptions.parseDuration("2m"));
        assertEquals(1_500, RecordOptions.parseDuration("1.5s"));
        assertEquals(3_000, RecordOptions.parseDuration("3"));
        for (String bad : new String[] {"0", "0ms", "0.0s", "", "s", "-1s", "1x", "10 s", "1.0005s", "1e3ms", "99999999999999999999m"}) {
            assertThrows(ToolException.class, () -> RecordOptions.parseDuration(bad), bad);
        }
        assertEquals(10_000, options("123").durationMillis, "default without -d");
        assertEquals(250, options("-d", "250ms", "1").durationMillis);
        assertEquals(250, options("-d250ms").durationMillis);
        assertEquals(250, options("--duration=250ms").durationMillis);
    }

    @Test
    void argumentsFollowTheUsualConventions() throws Exception {
        RecordCommand a = record("--filter", "a.", "--filter=b.", "--invert", "--", "--not-an-option");
        assertEquals(List.of("a.", "b."), a.options().filters);
        assertTrue(a.options().filterInverted);
        assertEquals("--not-an-option", a.target());
        // A value is the next argument even when it starts like an option: exemptions, file names.
        assertEquals(List.of("-org.acme.", "-dao."), options("--no-default-filters", "--filter", "-org.acme.",
                "--filter=-dao.").filters);
        assertEquals("-h.tsnap", options("-o", "-h.tsnap").outputPattern);
        assertEquals(2_000, options("-d", "1s", "--duration", "2s").durationMillis, "the last one counts");
        assertTrue(usageError("--nope").contains("unknown option --nope"));
        assertTrue(usageError("--nope=3").endsWith("unknown option --nope"));
        assertTrue(usageError("-d").contains("option -d needs a value"));
        assertTrue(usageError("--duration").contains("option --duration needs a value"));
        assertTrue(usageError("--invert=yes").contains("takes no value"));
        ToolException two = assertThrows(ToolException.class, () -> record("a", "b").target());
        assertTrue(two.getMessage().contains("expected one target"));
    }

    @Test
    void outputNamesExpandPlaceholders() throws Exception {
        LocalDateTime t = LocalDateTime.of(2024, 3, 5, 7, 8, 9);
        assertEquals("tolvane-42-20240305-070809.tsnap", RecordOptions.expandOutput(RecordOptions.DEFAULT_OUTPUT, 42, t));
        assertEquals("100%-42.tsnap", RecordOptions.expandOutput("100%%-%p.tsnap", 42, t));
        assertThrows(ToolException.class, () -> RecordOptions.expandOutput("a%", 1, t));
        assertTrue(usageError("-o", "x%y").contains("unknown placeholder"));
        assertTrue(usageError("-o", "").contains("empty output"));
    }

    @Test
    void defaultsFilterTheJdkAndDeclareSocketsAsNetIo() throws Exception {
        RecordOptions plain = options("--filter", "org.acme.", "--filter", "-org.acme.web.");
        assertEquals(List.of("java.", "javax.", "jdk.", "sun.", "com.sun.", "org.acme.", "-org.acme.web."),
                plain.filters);
        assertFalse(plain.filterInverted);
        Map<String, List<String>> netio = plain.netio.stream().collect(Collectors.groupingBy(
                RecordOptions.Netio::className, Collectors.mapping(RecordOptions.Netio::method, Collectors.toList())));
        assertTrue(netio.get("sun.nio.ch.NioSocketImpl").containsAll(List.of("read", "write", "connect", "accept")));
        assertTrue(netio.get("java.net.SocketInputStream").contains("read"));

        assertEquals(List.of("org.acme."), options("--no-default-filters", "--filter", "org.acme.").filters);
        RecordOptions inverted = options("--invert", "--filter", "com.acme.");
        assertEquals(List.of("com.acme."), inverted.filters, "JDK defaults would turn around under --invert");
        assertTrue(inverted.filterInverted);
        assertTrue(options("--no-default-netio").netio.isEmpty());
    }

    @Test
    void theTargetsOwnPackageIsNeverCollapsedByTheDefaults() throws Exception {
        RecordOptions javac = options("--filter", "-com.sun.tools.javac.util.");
        javac.exemptApplication("jdk.compiler/com.sun.tools.javac.Main");
        // The exemption follows the defaults, so the user's own filters still have the last word.
        assertEquals(List.of("java.", "javax.", "jdk.", "sun.", "com.sun.", "-com.sun.tools.javac.",
                "-com.sun.tools.javac.util."), javac.filters);
        for (String other : new String[] {"com.acme.Main", "/opt/app/app.jar", "Main", ""}) {
            RecordOptions o = options();
            o.exemptApplication(other);
            assertEquals(RecordOptions.DEFAULT_FILTERS, o.filters, other);
        }
        RecordOptions none = options("--no-default-filters");
        none.exemptApplication("com.sun.tools.javac.Main");
        assertEquals(List.of(), none.filters);

        assertTrue(Targets.matchesMainClass("jdk.compiler/com.sun.tools.javac.Main", "com.sun.tools.javac.Main"));
        assertTrue(Targets.matchesMainClass("jdk.compiler/com.sun.tools.javac.Main", "Main"));
        assertTrue(Targets.matchesMainClass("jdk.compiler/com.sun.tools.javac.Main",
                "jdk.compiler/com.sun.tools.javac.Main"));
        assertFalse(Targets.matchesMainClass("jdk.compiler/com.sun.tools.javac.Main", "javac.Mai"));
        assertTrue(Targets.matchesMainClass("/opt/app/server.jar", "server"));
        assertFalse(Targets.matchesMainClass("/opt/app/server.jar", "app/server.jar"));
    }

    @Test
    void theSummaryNamesTheOptionWhenOneFilteredFrameHoldsMostTime() throws Exception {
        SnapshotBuilder b = new SnapshotBuilder().filters(false, "java.", "com.sun.");
        long main = b.addMethod(b.addClass("com.sun.tools.javac.Main"), "main", "([Ljava/lang/String;)V");
        long own = b.addMethod(b.addClass("org.acme.Tool"), "run", "()V");
        SnapshotBuilder.Node root = b.addThread("main", "main").root().value(1000);
        root.child(main, 0).value(800);
        root.child(own, 0).value(200);
        String hint = Summary.filteredHint(SnapshotReader.read(b.build()));
        assertTrue(hint != null && hint.contains("80% of the running time is in com.sun.tools.javac.Main.main")
                && hint.contains("--filter -com.sun.tools.javac.") && hint.contains("--no-default-filters"), hint);

        // The same tree with the class exempted, or with the time spread out, needs no note.
        SnapshotBuilder exempt = new SnapshotBuilder().filters(false, "com.sun.", "-com.sun.tools.");
        long m2 = exempt.addMethod(exempt.addClass("com.sun.tools.javac.Main"), "main", "()V");
        exempt.addThread("main", "main").root().value(1000).child(m2, 0).value(1000);
        assertNull(Summary.filteredHint(SnapshotReader.read(exempt.build())));
        SnapshotBuilder spread = new SnapshotBuilder().filters(false, "com.sun.");
        long m3 = spread.addMethod(spread.addClass("com.sun.Foo"), "a", "()V");
        long m4 = spread.addMethod(spread.addClass("org.Bar"), "b", "()V");
        SnapshotBuilder.Node r = spread.addThread("main", "main").root().value(1000);
        r.child(m3, 0).value(400);
        r.child(m4, 0).value(600);
        assertNull(Summary.filteredHint(SnapshotReader.read(spread.build())));
    }

    private static String help(String... args) {
        java.io.ByteArrayOutputStream out = new java.io.ByteArrayOutputStream();
        Main.run(args, new java.io.PrintStream(out, true, java.nio.charset.StandardCharsets.UTF_8),
                new java.io.PrintStream(new java.io.ByteArrayOutputStream()));
        return out.toString(java.nio.charset.StandardCharsets.UTF_8);
    }

    @Test
    void helpTextsAgreeWithTheDefaults() {
        String demo = help("help", "demo");
        assertTrue(demo.contains("(default 3s;") && !demo.contains("default 10s"), demo);
        assertTrue(help("demo", "--help").equals(demo));
        assertTrue(help("help", "record").contains("(default 10s;"));
        assertTrue(help("help").contains("  diff     compare two snapshots"), help("help"));
        String diff = help("help", "diff");
        assertTrue(diff.contains("--absolute") && diff.contains("--raw-names") && diff.contains("--state"), diff);
        assertTrue(help("help", "report").contains("--threads"));
    }

    @Test
    void patternsAndNetIoDeclarationsAreChecked() throws Exception {
        assertEquals(List.of("com.acme.*Dao", "*.Foo?", "org/x/"),
                options("--ignore", "com.acme.*Dao", "--ignore", "*.Foo?", "--ignore", "org/x/").ignored);
        assertTrue(usageError("--filter", "-").contains("empty pattern"));
        assertTrue(usageError("--filter", "com acme").contains("unparsable pattern"));
        assertTrue(usageError("--ignore", "-com.acme.").contains("unparsable pattern"), "no exclusions in --ignore");

        assertEquals(new RecordOptions.Netio("com.acme.Client", null, null), RecordOptions.parseNetio("com/acme/Client"));
        assertEquals(new RecordOptions.Netio("com.acme.Client", "send", "(Ljava/lang/String;[B)V"),
                RecordOptions.parseNetio("com.acme.Client#send(Ljava/lang/String;[B)V"));
        assertEquals("<init>", RecordOptions.parseNetio("com.acme.Client#<init>").method());
        for (String bad : new String[] {"", "#read", "com.acme.Client#", "com..Client", "Client#se nd",
                "Client#send(", "Client#send(I)", "Client#send(Q)V"}) {
            assertThrows(ToolException.class, () -> RecordOptions.parseNetio(bad), bad);
        }
    }

    @Test
    void captureAndNodeLimitOptionsAreCheckedNumbers() throws Exception {
        RecordOptions plain = options();
        assertEquals(-1, plain.singleCaptureLimit);
        assertEquals(-1, plain.maxTreeNodes);
        RecordOptions set = options("--single-capture-limit", "0", "--max-tree-nodes", "5000", "--batched-capture");
        assertEquals(0, set.singleCaptureLimit);
        assertEquals(5000, set.maxTreeNodes);
        assertTrue(set.batchedCapture);
        assertFalse(set.noAsyncSampling);
        assertFalse(plain.noAsyncSampling);
        assertTrue(options("--no-async-sampling").noAsyncSampling);
        assertTrue(usageError("--single-capture-limit", "-1").contains("--single-capture-limit"));
        assertTrue(usageError("--max-tree-nodes", "lots").contains("--max-tree-nodes"));
    }

    @Test
    void hotMethodsCountRecursionOnceAndSkipLabels() throws Exception {
        SnapshotBuilder b = new SnapshotBuilder();
        long cls = b.addClass("com.acme.Tree");
        long walk = b.addMethod(cls, "walk", "()V");
        long leaf = b.addMethod(cls, "leaf", "()V");
        long label = b.addMethod(b.interceptionClass, "request", "()V");
        SnapshotBuilder.Node root = b.addThread("t1", "main").root().value(100);
        SnapshotBuilder.Node outer = root.child(label, 0).value(100).child(walk, 1).value(100);
        SnapshotBuilder.Node inner = outer.child(walk, 2).value(70);
        inner.child(leaf, 3).value(60);
        b.addThread("t2", "main").root().value(30).child(leaf, 4).value(30);
        b.addThread("_tolvane recorder", "main").ignored(true).root().value(999).child(leaf, 5).value(999);

        List<Summary.MethodTime> times = Summary.methodTimes(SnapshotReader.read(b.build()));
        assertEquals(List.of("com.acme.Tree.leaf", "com.acme.Tree.walk"),
                times.stream().map(t -> t.method().qualifiedName()).toList());
        assertEquals(90, times.get(0).selfMicros(), "leaf: 60 + 30, ignored thread left out");
        assertEquals(90, times.get(0).totalMicros());
        assertEquals(40, times.get(1).selfMicros(), "walk: 30 outer + 10 inner");
        assertEquals(100, times.get(1).totalMicros(), "recursive walk counted once");
        assertNull(times.stream().filter(t -> t.method().isInterception()).findAny().orElse(null));
    }
}
