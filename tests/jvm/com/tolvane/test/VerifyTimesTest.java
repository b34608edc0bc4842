package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;


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
        ToolRun run = ToolRun.of("verify", back.toString());
        String message = run.err;
        assertEquals(1, run.code, message);
        assertTrue(message.contains("before its recording started"), message);
        assertEquals(1, message.lines().count(), message);

        Path zero = dir.resolve("zero.tsnap");
        Files.write(zero, new SnapshotBuilder().times(5_000_000, 5_000_000).build());
        assertEquals(0, ToolRun.of("verify", zero.toString()).code);
    }
}
