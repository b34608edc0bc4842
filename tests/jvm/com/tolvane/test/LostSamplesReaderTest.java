package com.tolvane.test;

import static com.tolvane.test.SnapshotBuilder.rejection;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import com.tolvane.snapshot.LostSamples;
import com.tolvane.snapshot.Snapshot;
import com.tolvane.snapshot.SnapshotFormatException;
import com.tolvane.snapshot.SnapshotReader;

import java.io.ByteArrayOutputStream;
import java.io.DataOutputStream;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Map;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** The lost-samples section read back, shown by verify and refused when its bytes make no sense. */
class LostSamplesReaderTest {
    @TempDir
    Path dir;

    private static byte[] body(long samples, Object... causeAndCount) throws IOException {
        ByteArrayOutputStream bytes = new ByteArrayOutputStream();
        DataOutputStream out = new DataOutputStream(bytes);
        out.writeLong(samples);
        out.writeInt(causeAndCount.length / 2);
        for (int i = 0; i < causeAndCount.length; i += 2) {
            byte[] name = ((String) causeAndCount[i]).getBytes(StandardCharsets.UTF_8);
            out.writeShort(name.length);
            out.write(name);
            out.writeLong((Long) causeAndCount[i + 1]);
        }
        return bytes.toByteArray();
    }

    private static SnapshotBuilder withThread() {
        SnapshotBuilder b = new SnapshotBuilder();
        b.addThread("main", "main").root().value(10);
        return b;
    }

    @Test
    void lostSamplesAreReadAndShownByVerifyOnlyWhenPresent() throws Exception {
        Snapshot plain = SnapshotReader.read(withThread().build());
        assertNull(plain.lostSamples());

        byte[] file = withThread().lostSamples(body(3988, "GC active", 9L, "buffer full", 3L)).build();
        LostSamples lost = SnapshotReader.read(file).lostSamples();
        assertEquals(3988, lost.samples());
        assertEquals(Map.of("GC active", 9L, "buffer full", 3L), lost.byCause());
        assertEquals(12, lost.lost());
        assertEquals("12 of 4000 CPU samples lost (0.3 %): GC active 9, buffer full 3", lost.describe());

        Path path = dir.resolve("lost.tsnap");
        Files.write(path, file);
        ToolRun verify = ToolRun.of("verify", path.toString());
        assertEquals(0, verify.code, verify::toString);
        assertTrue(verify.out.contains("  section 5 (lost samples): ")
                && verify.out.contains("  lost:       12 of 4000 CPU samples lost (0.3 %): GC active 9,"
                + " buffer full 3\n"), verify.out);
        Path none = dir.resolve("plain.tsnap");
        Files.write(none, withThread().build());
        ToolRun quiet = ToolRun.of("verify", none.toString());
        assertTrue(quiet.out.contains("  section 5 (lost samples): 0 bytes") && !quiet.out.contains("  lost:"),
                quiet.out);
    }

    @Test
    void aSectionThatCannotBeTrueIsRefused() throws Exception {
        String[][] cases = {
            {"sample count is negative: -1"},
            {"present but lists no cause"},
            {"cause \"GC active\" has 0 samples lost"},
            {"cause \"GC active\" is listed twice"},
        };
        byte[][] bodies = {
            body(-1, "GC active", 1L),
            body(5),
            body(5, "GC active", 0L),
            body(5, "GC active", 1L, "GC active", 2L),
        };
        for (int i = 0; i < cases.length; i++) {
            String message = rejection(withThread().lostSamples(bodies[i]).build());
            assertTrue(message.startsWith("section 5 (lost samples): " + cases[i][0]), message);
        }
        byte[] cut = body(5, "GC active", 1L);
        String shortBody = rejection(withThread().lostSamples(java.util.Arrays.copyOf(cut, cut.length - 1)).build());
        assertTrue(shortBody.contains("section 5 (lost samples)"), shortBody);
    }

}
