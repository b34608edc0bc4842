package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.tolvane.snapshot.CallNode;
import com.tolvane.snapshot.Snapshot;
import com.tolvane.snapshot.SnapshotReader;
import com.tolvane.snapshot.ThreadRecord;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import java.util.stream.Collectors;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * The library on the java command line (-agentpath:libtolvane.so=record=...):
 * the recording starts before the main class and ends at its time or with
 * the JVM, whichever comes first.
 */
class StartupRecordingTest {
    private static final Path NEWER_JDK = Path.of("/usr/lib/jvm/temurin-25-jdk-amd64/bin/java");

    @TempDir
    Path dir;

    private static String agentPath(String options) {
        return "-agentpath:" + ChildJvm.property("tolvane.lib") + "=" + options;
    }

    private List<Path> snapshots() throws IOException {
        try (Stream<Path> files = Files.list(dir)) {
            return files.filter(f -> f.toString().endsWith(".tsnap")).sorted().collect(Collectors.toList());
        }
    }

    /**
     * A program that runs 1 s of a 10 s recording, returning from main or
     * calling System.exit, leaves a complete snapshot that holds its first
     * method from its start; on JDK 17 and, where installed, JDK 25.
     */
    @Test
    void exitAfterOneSecondOfTenLeavesSnapshotFromTheFirstMethod() throws Exception {
        String[][] runs = {{"java17", "return"}, {"java17", "exit"}, {"java25", "exit"}};
        for (String[] run : runs) {
            if (run[0].equals("java25") && !Files.isExecutable(NEWER_JDK)) {
                continue;
            }
            Path sub = Files.createDirectory(dir.resolve(run[0] + "-" + run[1]));
            ChildJvm child = ChildJvm.main(StartupProbe.class, "1000", run[1])
                    .jvmArg(agentPath("record=10s,file=" + sub + "/start-%p.tsnap"));
            if (run[0].equals("java25")) {
                child.javaExecutable(NEWER_JDK.toString());
            }
            long started = System.nanoTime();
            ChildJvm.Result r = child.run().assertSuccess();
            assertTrue(System.nanoTime() - started < 8_000_000_000L, "the JVM waited for the recording's end");
            List<Path> files;
            try (Stream<Path> list = Files.list(sub)) {
                files = list.collect(Collectors.toList());
            }
            assertEquals(1, files.size(), files + "\n" + r.describe());
            Path file = files.get(0);
            assertTrue(file.getFileName().toString().matches("start-\\d+\\.tsnap"), file.toString());
            assertTrue(r.stderr.contains("tolvane> Recording from start for 10.0 s into " + file), r.describe());

            Snapshot s = SnapshotReader.read(file);
            long millis = s.header().durationMicros() / 1000;
            assertTrue(millis >= 900 && millis < 5000, run[1] + ": recorded " + millis + " ms");
            ThreadRecord main = s.findThread("main");
            assertNotNull(main, run[0] + " " + run[1]);
            CallNode probeMain = main.root().child("main");
            assertNotNull(probeMain, "main thread tree: " + main.root().children());
            CallNode first = probeMain.child("firstMethod");
            assertNotNull(first, "the first method is missing");
            // It ran for 500 ms from the JVM's start; the samples cover most of it
            // (a tick delayed on a loaded machine books its span where it lands).
            assertTrue(first.value() >= StartupProbe.FIRST_METHOD_NANOS / 2000,
                    "first method: " + first.value() + " us");
            assertNotNull(probeMain.child("rest"));
            ToolRun verify = ToolRun.of("verify", file.toString());
            assertEquals(0, verify.code(), verify.toString());
        }
    }

    /** Bad start-up options cost the recording, never the program; values are not flags. */
    @Test
    void badOptionsLeaveTheProgramRunningUnrecorded() throws Exception {
        String[][] cases = {
            {"record=abc,file=" + dir + "/a.tsnap", "No recording from start: record=abc is not a time"},
            {"loop=1s,file=" + dir + "/same.tsnap", "No recording from start: the output"},
            {"record=1s,keep=0,file=" + dir + "/k.tsnap", "No recording from start: keep=0"},
            {"record=1s,recrod=2s", "No recording from start: unknown option 'recrod=2s'"},
            {"record=1s,jar=" + dir + "/missing.jar", "No recording from start: agent jar " + dir + "/missing.jar"},
            {"record=1s,file=" + dir + "/none/x.tsnap", "No recording from start: the directory " + dir + "/none"},
        };
        for (String[] c : cases) {
            ChildJvm.Result r = ChildJvm.main(StartupProbe.class, "0").jvmArg(agentPath(c[0])).run().assertSuccess();
            assertTrue(r.stderr.contains("tolvane> " + c[1]), c[0] + "\n" + r.describe());
            assertFalse(r.stderr.contains("Recording from start"), r.describe());
        }
        assertEquals(List.of(), snapshots());

        // A file name holding a flag's words sets no flag; the library alone, without record, records nothing.
        Path named = dir.resolve("agent-threads-save-thread-start.tsnap");
        ChildJvm.main(StartupProbe.class, "0").jvmArg(agentPath("record=5s,file=" + named)).run().assertSuccess()
                .assertTolvaneLines("tolvane> Protocol version 1", "tolvane> 64-bit library",
                        "tolvane> Native library initialized", "tolvane> Recording from start for 5.0 s into " + named);
        ChildJvm.main(StartupProbe.class, "0").jvmArg(agentPath("")).run().assertSuccess()
                .assertTolvaneLines("tolvane> Protocol version 1", "tolvane> 64-bit library",
                        "tolvane> Native library initialized");
        assertEquals(List.of(named), snapshots());
    }

    /** The options reach the recorder as bytes, decoded as the JVM decodes file names. */
    @Test
    void nonAsciiFileNameIsKept() throws Exception {
        // A character outside the BMP: four bytes in UTF-8, which modified UTF-8 writes differently.
        Path file = dir.resolve("caf\u00e9-\ud83d\ude00.tsnap");
        ChildJvm.main(StartupProbe.class, "200").env("LC_ALL", "C.UTF-8")
                .jvmArg(agentPath("record=5s,file=" + file)).run().assertSuccess();
        assertEquals(List.of(file), snapshots());
    }

    /** tolvane run: the java command gets the library, runs to its end, and the summary follows. */
    @Test
    void runWrapsJavaCommandAndSummarises() throws Exception {
        ToolRun r = ToolRun.of("run", "-d", "10s", "-o", dir + "/run-%p.tsnap", "--",
                ChildJvm.property("tolvane.java"), "-cp", ChildJvm.property("tolvane.testJar"),
                StartupProbe.class.getName(), "500");
        assertEquals(0, r.code(), r.toString());
        List<Path> files = snapshots();
        assertEquals(1, files.size(), r.toString());
        assertTrue(files.get(0).getFileName().toString().matches("run-\\d+\\.tsnap"), files.toString());
        assertTrue(r.out().contains("until it exited") && r.out().contains("Snapshot: " + files.get(0)), r.toString());
        assertTrue(r.out().contains("StartupProbe.spin"), r.toString());

        // A loop through run: the JVM's own recorder keeps the newest snapshot; nothing to summarise.
        ToolRun loop = ToolRun.of("run", "--loop", "1s", "--keep", "1", "-o", dir + "/loop-%n.tsnap", "--",
                ChildJvm.property("tolvane.java"), "-cp", ChildJvm.property("tolvane.testJar"),
                StartupProbe.class.getName(), "2500");
        assertEquals(0, loop.code(), loop.toString());
        try (Stream<Path> list = Files.list(dir)) {
            List<String> loops = list.map(f -> f.getFileName().toString()).filter(n -> n.startsWith("loop-"))
                    .collect(Collectors.toList());
            assertEquals(1, loops.size(), loops.toString());
            assertTrue(loops.get(0).matches("loop-[2-9]\\.tsnap"), loops.toString());
        }

        // The program's own -h after -- is the program's.
        ToolRun help = ToolRun.of("run", "-o", dir + "/help.tsnap", "--", ChildJvm.property("tolvane.java"), "-cp",
                ChildJvm.property("tolvane.testJar"), StartupProbe.class.getName(), "0", "-h");
        assertEquals(0, help.code(), help.toString());
        assertTrue(Files.isRegularFile(dir.resolve("help.tsnap")), help.toString());

        ToolRun noCommand = ToolRun.of("run", "-d", "10s", "java", "-version");
        assertEquals(2, noCommand.code(), noCommand.toString());
        ToolRun notJava = ToolRun.of("run", "--", "/bin/true");
        assertEquals(2, notJava.code());
        assertTrue(notJava.err().contains("java launcher"), notJava.toString());
        ToolRun comma = ToolRun.of("run", "-o", dir + "/a,b.tsnap", "--", "java", "-version");
        assertEquals(2, comma.code());
        assertTrue(comma.err().contains("comma"), comma.toString());
    }
}
