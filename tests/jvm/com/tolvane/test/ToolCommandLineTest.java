package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.tolvane.cli.Main;
import com.tolvane.cli.RecordCommand;
import com.tolvane.report.Metric;
import com.tolvane.report.Naming;
import com.tolvane.report.Rankings;
import com.tolvane.snapshot.Snapshot;
import com.tolvane.snapshot.SnapshotReader;
import com.tolvane.tool.RecordOptions;
import com.tolvane.tool.Recording;
import com.tolvane.tool.Summary;
import com.tolvane.tool.Targets;
import com.tolvane.tool.ToolException;
import java.io.ByteArrayOutputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.LocalDateTime;
import java.util.List;
import java.util.Map;
import java.util.stream.Collectors;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

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

        Snapshot snapshot = SnapshotReader.read(b.build());
        List<Rankings.Hotspot> times = Rankings.hotspots(snapshot.threads(), Metric.RUNNING,
                new Naming(snapshot, false), 0);
        assertEquals(List.of("com.acme.Tree.leaf", "com.acme.Tree.walk"),
                times.stream().map(Rankings.Hotspot::name).toList(), "the label has no own time");
        assertEquals(90, times.get(0).micros(), "leaf: 60 + 30, ignored thread left out");
        assertEquals(90, times.get(0).totalMicros());
        assertEquals(40, times.get(1).micros(), "walk: 30 outer + 10 inner");
        assertEquals(100, times.get(1).totalMicros(), "recursive walk counted once");
    }

    @Test
    void jdkToolsGetTheLauncherHintAndAnotherUsersJvmIsNamedByMainClassAsByPid() {
        ToolRun javac = ToolRun.of("run", "--", "javac", "A.java");
        assertEquals(2, javac.code, javac::toString);
        assertTrue(javac.err.contains("not javac; javac is a Java program: tolvane run ... -- java -m"
                + " jdk.compiler/com.sun.tools.javac.Main ..."), javac.err);
        assertFalse(ToolRun.of("run", "--", "python3", "x.py").err.contains("Java program"));

        assertEquals("com.acme.Server", Targets.mainClassOfArguments(List.of("-Xmx1g", "-cp", "a.jar:b",
                "--add-opens", "java.base/java.lang=ALL-UNNAMED", "-Dx=y", "com.acme.Server", "8080")));
        assertEquals("jdk.compiler/com.sun.tools.javac.Main", Targets.mainClassOfArguments(
                List.of("--module=jdk.compiler/com.sun.tools.javac.Main", "A.java")));
        assertEquals("/opt/shop.jar", Targets.mainClassOfArguments(List.of("-jar", "/opt/shop.jar", "serve")));
        assertEquals("", Targets.mainClassOfArguments(List.of("-version")));

        List<ProcessHandle> processes = List.of(process(4242, "bob", "/usr/lib/jvm/bin/java", "-cp", "x",
                "com.acme.Server"), process(4343, "me", "/usr/bin/java", "com.acme.Server"),
                process(4444, "bob", "/usr/bin/python3", "com.acme.Server"));
        assertEquals("process 4242 (com.acme.Server) belongs to user bob; a JVM can only be recorded by the"
                + " user that runs it", Targets.othersJvms("Server", processes, "me"));
        assertNull(Targets.othersJvms("Client", processes, "me"));
        assertNull(Targets.othersJvms("Server", processes, "root"), "root records anyone's JVM");
    }

    /** A process as ProcessHandle describes it: its id, owner, executable and arguments. */
    private static ProcessHandle process(long pid, String user, String... command) {
        ClassLoader loader = ToolCommandLineTest.class.getClassLoader();
        ProcessHandle.Info info = (ProcessHandle.Info) java.lang.reflect.Proxy.newProxyInstance(loader,
                new Class<?>[] {ProcessHandle.Info.class}, (proxy, method, args) -> switch (method.getName()) {
                    case "user" -> java.util.Optional.of(user);
                    case "command" -> java.util.Optional.of(command[0]);
                    case "arguments" -> java.util.Optional.of(java.util.Arrays.copyOfRange(command, 1,
                            command.length));
                    default -> java.util.Optional.empty();
                });
        return (ProcessHandle) java.lang.reflect.Proxy.newProxyInstance(loader, new Class<?>[] {ProcessHandle.class},
                (proxy, method, args) -> switch (method.getName()) {
                    case "pid" -> pid;
                    case "info" -> info;
                    default -> throw new UnsupportedOperationException(method.getName());
                });
    }

    /** What a program can put into a name to take over a terminal: a window title, erase, colour, forged lines. */
    private static final String HOSTILE = "w\u001b]0;owned\u0007\u001b[2J\u001b[31mred\r\nforged\u009b1m";
    private static final String DEFUSED = "w?]0;owned??[2J?[31mred??forged?1m";

    /** Whether text holds a control character other than the line feeds that end its lines. */
    private static boolean hasControls(String text) {
        return text.chars().anyMatch(c -> c != '\n' && Character.isISOControl(c));
    }

    @Test
    void textFromTheTargetReachesTheTerminalWithoutControlCharacters(@TempDir Path dir) throws Exception {
        SnapshotBuilder b = new SnapshotBuilder().vm("VM" + HOSTILE, "17" + HOSTILE);
        long method = b.addMethod(b.addClass("com.acme.Work" + HOSTILE), "run" + HOSTILE, "()V");
        b.addThread(HOSTILE, "group" + HOSTILE).root().value(500).child(method, 1).value(500);
        Path file = Files.write(dir.resolve("hostile.tsnap"), b.build());

        ByteArrayOutputStream bytes = new ByteArrayOutputStream();
        Summary.print(new Recording.Result(new Targets.Jvm(42, "com.acme.Main" + HOSTILE), file,
                SnapshotReader.read(file), 1000, false), new PrintStream(bytes, true, StandardCharsets.UTF_8));
        String summary = bytes.toString(StandardCharsets.UTF_8);
        assertFalse(hasControls(summary), summary);
        assertTrue(summary.startsWith("Recorded JVM 42 (com.acme.Main" + DEFUSED + ") for 1.0 s: VM" + DEFUSED),
                summary);
        assertTrue(summary.contains("  " + DEFUSED + "\n"), summary);
        assertTrue(summary.contains("com.acme.Work" + DEFUSED + ".run" + DEFUSED), summary);

        ToolRun verify = ToolRun.of("verify", file.toString());
        assertEquals(0, verify.code(), verify.toString());
        assertTrue(verify.out().contains("    " + DEFUSED + " [group" + DEFUSED + "]"), verify.out());
        assertFalse(hasControls(verify.out()), verify.out());

        // The reader's complaints quote names from the file: here a method whose class has no record.
        SnapshotBuilder broken = new SnapshotBuilder();
        broken.addMethod(0xdeadL, HOSTILE, "()V");
        Files.write(file, broken.build());
        for (ToolRun run : List.of(ToolRun.of("verify", file.toString()), ToolRun.of("report", file.toString()))) {
            assertEquals(1, run.code(), run.toString());
            assertTrue(run.err().contains("method " + DEFUSED + " refers to class ID 0xdead"), run.toString());
            assertFalse(hasControls(run.err()), run.err());
            assertEquals(1, run.err().lines().count(), run.toString());
        }
    }
}
