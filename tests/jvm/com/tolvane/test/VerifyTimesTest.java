package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.tolvane.tool.Main;

import java.io.ByteArrayOutputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** verify refuses a snapshot whose times contradict each other. */
class VerifyTimesTest {

    @TempDir
    Path dir;

    @Test
    void writeTimeBeforeTheStartIsRefusedAndEqualTimesPass() throws Exception {
        Path back = dir.resolve("back.tsnap");
        Files.write(back, new SnapshotBuilder().times(5_000_000, 4_999_999).build());
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        ByteArrayOutputStream err = new ByteArrayOutputStream();
        int code = Main.run(new String[] {"verify", back.toString()}, new PrintStream(out, true, StandardCharsets.UTF_8),
                new PrintStream(err, true, StandardCharsets.UTF_8));
        String message = err.toString(StandardCharsets.UTF_8);
        assertEquals(1, code, message);
        assertTrue(message.contains("before its recording started"), message);
        assertEquals(1, message.lines().count(), message);

        Path zero = dir.resolve("zero.tsnap");
        Files.write(zero, new SnapshotBuilder().times(5_000_000, 5_000_000).build());
        assertEquals(0, Main.run(new String[] {"verify", zero.toString()}, new PrintStream(out, true),
                new PrintStream(err, true)));
    }
}
