package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** The library's debug log as the Java side writes it through debugOut0, in a child JVM. */
class DebugLogTest {

    private static final String LOG = "tolvane.native.debug.out";

    @TempDir
    Path temp;

    private Path dir(String name) throws Exception {
        return Files.createDirectories(temp.resolve(name));
    }

    private static String read(Path file) throws Exception {
        return new String(Files.readAllBytes(file), StandardCharsets.UTF_8);
    }

    private static String announced(Path file) {
        return "tolvane> writing debug output to " + file + ".";
    }

    @Test
    void textGoesVerbatimIntoHomeAndIsAnnouncedOnce() throws Exception {
        Path home = dir("home");
        Path tmp = dir("tmp");
        Path work = dir("work");
        ChildJvm.main(AttachProbe.class, "attach", "debug=0=a %s b %d", "debug=-1=\nnext", "debug=1=hidden",
                "debugsub=0=0=!")
                .env("HOME", home.toString()).env("TMPDIR", tmp.toString()).workDir(work)
                .run()
                .assertSuccess()
                .assertTolvaneLines("tolvane> Protocol version 1", "tolvane> 64-bit library",
                        "tolvane> Native library initialized", announced(home.resolve(LOG)));
        assertEquals("a %s b %d\nnext!", read(home.resolve(LOG)));
        assertFalse(Files.exists(tmp.resolve(LOG)));
        assertFalse(Files.exists(work.resolve(LOG)));
    }

    @Test
    void aLevelAboveTheDefaultOpensNoLog() throws Exception {
        Path home = dir("home");
        ChildJvm.main(AttachProbe.class, "attach", "debug=1=not logged", "debug=5=not logged")
                .env("HOME", home.toString())
                .run()
                .assertSuccess()
                .assertTolvaneLines("tolvane> Protocol version 1", "tolvane> 64-bit library",
                        "tolvane> Native library initialized");
        assertFalse(Files.exists(home.resolve(LOG)));
    }

    @Test
    void worksBeforeTheAttach() throws Exception {
        Path home = dir("home");
        ChildJvm.main(AttachProbe.class, "load", "debug=0=early")
                .env("HOME", home.toString())
                .run()
                .assertSuccess()
                .assertTolvaneLines(announced(home.resolve(LOG)));
        assertEquals("early", read(home.resolve(LOG)));
    }

    @Test
    void homeWithTrailingSlashGivesTwoSlashes() throws Exception {
        Path home = dir("home");
        String expected = home + "//" + LOG;
        ChildJvm.main(AttachProbe.class, "load", "debug=0=x")
                .env("HOME", home + "/")
                .run()
                .assertSuccess()
                .assertTolvaneLines("tolvane> writing debug output to " + expected + ".");
        assertEquals("x", read(home.resolve(LOG)));
    }

    @Test
    void tmpdirWhenHomeIsUnset() throws Exception {
        Path tmp = dir("tmp");
        Path work = dir("work");
        ChildJvm.main(AttachProbe.class, "load", "debug=0=t")
                .unsetEnv("HOME").env("TMPDIR", tmp.toString()).workDir(work)
                .run()
                .assertSuccess()
                .assertTolvaneLines(announced(tmp.resolve(LOG)));
        assertEquals("t", read(tmp.resolve(LOG)));
        assertFalse(Files.exists(work.resolve(LOG)));
    }

    @Test
    void workingDirectoryWhenNeitherIsSet() throws Exception {
        Path work = dir("work");
        ChildJvm.main(AttachProbe.class, "load", "debug=0=w")
                .unsetEnv("HOME").unsetEnv("TMPDIR").workDir(work)
                .run()
                .assertSuccess()
                .assertTolvaneLines("tolvane> writing debug output to " + LOG + ".");
        assertEquals("w", read(work.resolve(LOG)));
    }

    @Test
    void emptyHomeMeansWorkingDirectoryAndTmpdirIsNotAsked() throws Exception {
        Path tmp = dir("tmp");
        Path work = dir("work");
        ChildJvm.main(AttachProbe.class, "load", "debug=0=e")
                .env("HOME", "").env("TMPDIR", tmp.toString()).workDir(work)
                .run()
                .assertSuccess()
                .assertTolvaneLines("tolvane> writing debug output to " + LOG + ".");
        assertEquals("e", read(work.resolve(LOG)));
        assertFalse(Files.exists(tmp.resolve(LOG)));
    }

    @Test
    void anUnwritableLogIsAnnouncedAtEveryAttemptAndNothingBreaks() throws Exception {
        Path missing = temp.resolve("does-not-exist");
        ChildJvm.main(AttachProbe.class, "load", "debug=0=a", "debug=0=b")
                .env("HOME", missing.toString())
                .run()
                .assertSuccess()
                .assertTolvaneLines(announced(missing.resolve(LOG)), announced(missing.resolve(LOG)));
        assertTrue(Files.notExists(missing));
    }
}
