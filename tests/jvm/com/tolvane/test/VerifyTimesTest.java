package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.tolvane.snapshot.SnapshotFormatException;
import com.tolvane.snapshot.SnapshotReader;
import java.nio.file.Files;
import java.nio.file.Path;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** A snapshot whose times contradict each other is refused, by verify and by every command that reads it. */
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

        // One reader, one verdict: what verify refuses, report and diff refuse with the same words.
        Path good = dir.resolve("good.tsnap");
        Files.write(good, new SnapshotBuilder().times(5_000_000, 6_000_000).build());
        for (String[] command : new String[][] {{"report", back.toString(), "-f", "tree"},
                {"diff", good.toString(), back.toString()}}) {
            ToolRun refused = ToolRun.of(command);
            assertEquals(1, refused.code, refused.toString());
            assertEquals(message.substring(message.indexOf(back.toString())), refused.err.substring(
                    refused.err.indexOf(back.toString())), refused.toString());
            assertEquals("", refused.out);
        }
        SnapshotFormatException e = assertThrows(SnapshotFormatException.class,
                () -> SnapshotReader.read(new SnapshotBuilder().times(5_000_000, 4_999_999).build()));
        assertTrue(e.getMessage().contains("the recording's clock went back"), e.getMessage());

        Path zero = dir.resolve("zero.tsnap");
        Files.write(zero, new SnapshotBuilder().times(5_000_000, 5_000_000).build());
        assertEquals(0, ToolRun.of("verify", zero.toString()).code);
    }
}
