package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.tolvane.tool.OutputFiles;
import com.tolvane.tool.ToolException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.stream.Stream;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** The files the tool writes: only new or regular files are replaced, and names are written as given or refused. */
class OutputFilesTest {
    private static final String ROOT = System.getProperty("tolvane.root", ".");

    @TempDir
    Path dir;

    private Path snapshot;
    private Path victim;

    @BeforeEach
    void writeSnapshot() throws Exception {
        SnapshotBuilder b = new SnapshotBuilder();
        b.addThread("main", "main").root().value(100).child(b.addMethod(b.addClass("com.acme.A"), "run", "()V"), 1)
                .value(100);
        snapshot = Files.write(dir.resolve("s.tsnap"), b.build());
        victim = Files.writeString(dir.resolve("victim.txt"), "keep");
    }

    private static Object mode(Path path) throws Exception {
        return Files.getAttribute(path, "unix:mode", LinkOption.NOFOLLOW_LINKS);
    }

    private static void mkfifo(Path path) throws Exception {
        assertEquals(0, new ProcessBuilder("mkfifo", path.toString()).start().waitFor());
    }

    /** The entries in the folder besides the snapshot and the victim: no temporary file may stay behind. */
    private List<String> others(List<Path> expected) throws Exception {
        try (Stream<Path> files = Files.list(dir)) {
            return files.filter(p -> !p.equals(snapshot) && !p.equals(victim) && !expected.contains(p))
                    .map(p -> p.getFileName().toString()).toList();
        }
    }

    @Test
    void everyCommandThatWritesAFileLeavesDevicesFifosAndLinksAlone() throws Exception {
        List<Path> outputs = new ArrayList<>();
        outputs.add(Files.createSymbolicLink(dir.resolve("link.out"), victim));
        outputs.add(Files.createSymbolicLink(dir.resolve("dangling.out"), dir.resolve("nowhere.out")));
        Path fifo = dir.resolve("fifo.out");
        mkfifo(fifo);
        outputs.add(fifo);
        // A character device of our own (the null device's numbers), where mknod is allowed.
        Path device = dir.resolve("null.out");
        if (new ProcessBuilder("mknod", device.toString(), "c", "1", "3").start().waitFor() == 0) {
            outputs.add(device);
        }
        String s = snapshot.toString();
        for (Path output : outputs) {
            Object before = mode(output);
            String o = output.toString();
            String[][] commands = {
                {"report", s, "-f", "tree", "-o", o},
                {"report", s, "-f", "html", "-o", o},
                {"report", s, "-f", "pprof", "-o", o},
                {"diff", s, s, "-o", o},
                {"diff", s, s, "-f", "html", "--output=" + o},
                {"record", "--html", o, "-d", "1s", "1"},
                {"run", "--html", o, "--", "java", "-version"},
                {"run", "-o", o, "--", "java", "-version"},
            };
            for (String[] command : commands) {
                ToolRun run = ToolRun.of(command);
                String what = String.join(" ", command) + "\n" + run;
                assertEquals(2, run.code(), what);
                assertTrue(run.err().contains(o + " exists and is not a regular file ("), what);
                assertEquals(1, run.err().lines().count(), what);
                assertEquals(before, mode(output), output + " was replaced");
            }
        }
        assertEquals("keep", Files.readString(victim));
        assertEquals(List.of(), others(outputs));
    }

    @Test
    void whatAppearsUnderTheNameWhileTheFileIsWrittenIsLeftAlone() throws Exception {
        Path target = dir.resolve("report.txt");
        OutputFiles.write(target, out -> out.write("first".getBytes(StandardCharsets.UTF_8)));
        OutputFiles.write(target, out -> out.write("second".getBytes(StandardCharsets.UTF_8)));
        assertEquals("second", Files.readString(target), "a regular file is replaced");

        Files.delete(target);
        ToolException fifo = assertThrows(ToolException.class, () -> OutputFiles.write(target, out -> {
            out.write("report".getBytes(StandardCharsets.UTF_8));
            try {
                mkfifo(target);
            } catch (Exception e) {
                throw new AssertionError(e);
            }
        }));
        assertTrue(fifo.getMessage().contains("a FIFO appeared under that name"), fifo.getMessage());
        assertEquals(0010000, (Integer) mode(target) & 0170000, "the FIFO is still there");

        Path link = dir.resolve("link.txt");
        ToolException planted = assertThrows(ToolException.class, () -> OutputFiles.write(link, out -> {
            out.write("report".getBytes(StandardCharsets.UTF_8));
            Files.createSymbolicLink(link, victim);
        }));
        assertTrue(planted.getMessage().contains("a symbolic link appeared"), planted.getMessage());
        assertTrue(Files.isSymbolicLink(link));
        assertEquals("keep", Files.readString(victim));
        assertEquals(List.of(), others(List.of(target, link)));
    }

    @Test
    void namesThatCannotBeWrittenAsGivenAreRefusedInOneLine() throws Exception {
        // What Java hands the tool for the argument bytes "\xff-a.out" in a UTF-8 locale.
        String o = dir.resolve("\uFFFD-a.out").toString();
        String s = snapshot.toString();
        String[][] commands = {
            {"report", s, "-o", o},
            {"report", s, "-f", "pprof", "-o", o},
            {"diff", s, s, "-o", o},
            {"record", "-o", o, "-d", "1s", "1"},
            {"record", "--html", o, "-d", "1s", "1"},
            {"run", "-o", o, "--", "java", "-version"},
        };
        for (String[] command : commands) {
            ToolRun run = ToolRun.of(command);
            String what = String.join(" ", command) + "\n" + run;
            assertEquals(2, run.code(), what);
            assertTrue(run.err().contains("holds bytes that are not valid"), what);
            assertEquals(1, run.err().lines().count(), what);
        }

        // The same through the command as a user types it, with the byte itself.
        ProcessBuilder pb = new ProcessBuilder("bash", "-c", "exec \"$0\" report \"$1\" -o \"$(printf '\\377-a.out')\"",
                Path.of(ROOT, "bin", "tolvane").toString(), s).directory(dir.toFile());
        pb.environment().put("TOLVANE_LIB", System.getProperty("tolvane.lib"));
        pb.environment().put("TOLVANE_AGENT_JAR", System.getProperty("tolvane.agentJar"));
        pb.environment().put("TOLVANE_TOOL_JAR", System.getProperty("tolvane.toolJar"));
        pb.environment().put("JAVA_HOME",
                Path.of(System.getProperty("tolvane.java")).getParent().getParent().toString());
        pb.environment().put("LC_ALL", "C.UTF-8");
        pb.redirectErrorStream(true);
        Process p = pb.start();
        String output = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        assertEquals(2, p.waitFor(), output);
        assertTrue(output.contains("not valid UTF-8"), output);
        assertEquals(List.of(), others(List.of()), "nothing written under another name");
    }
}
