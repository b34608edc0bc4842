package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.tolvane.snapshot.Snapshot;
import com.tolvane.snapshot.SnapshotReader;

import java.nio.ByteBuffer;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.concurrent.TimeUnit;
import java.util.zip.CRC32;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** What the library does to the output it writes a snapshot into, as the recording ends. */
class OutputTest {

    private static final String CANNOT_SEEK =
            "tolvane> Could not seek tmp file. Please check your TMP and TMPDIR environment variables.";

    @TempDir
    Path dir;

    @Test
    void aLinkPlantedDuringTheRecordingIsNotFollowed() throws Exception {
        Path output = dir.resolve("out.tsnap");
        Path target = dir.resolve("precious");
        Files.writeString(target, "precious");
        Files.setPosixFilePermissions(target, PosixFilePermissions.fromString("rw-------"));
        ChildJvm.Result r = ChildJvm.main(OutputProbe.class, "link", output.toString(), target.toString())
                .run().assertSuccess();
        assertTrue(r.stdoutLines().contains("planted"), r::describe);
        assertEquals("precious", Files.readString(target));
        assertTrue(Files.isSymbolicLink(output), r::describe);
        assertTrue(r.tolvaneLines().contains("tolvane> Did not write the snapshot: " + output + " is a symbolic link"),
                r::describe);
    }

    @Test
    void aSlowReaderOfAPipeGetsEveryByte() throws Exception {
        Path fifo = dir.resolve("pipe");
        Process mkfifo = new ProcessBuilder("mkfifo", fifo.toString()).inheritIO().start();
        assertTrue(mkfifo.waitFor(10, TimeUnit.SECONDS) && mkfifo.exitValue() == 0);
        Path copy = dir.resolve("copy");
        ChildJvm.Result r = ChildJvm.main(OutputProbe.class, "pipe", fifo.toString(), copy.toString())
                .run().assertSuccess();
        // The stream went through whole; only the directory could not be filled in.
        assertTrue(r.tolvaneLines().contains(CANNOT_SEEK), r::describe);
        assertFalse(r.stderr.contains("might be full"), r::describe);
        byte[] bytes = Files.readAllBytes(copy);
        assertTrue(bytes.length > 3 * 65536, () -> bytes.length + " bytes");
        Snapshot s = SnapshotReader.read(withDirectory(bytes));
        assertNotNull(s.findThread("deep-0"), s.threads()::toString);
        assertNotNull(s.findThread("deep-1"), s.threads()::toString);
        assertTrue(Files.exists(fifo, LinkOption.NOFOLLOW_LINKS));
    }

    /**
     * The snapshot with the directory the library could not seek back to:
     * the class section is walked to find where the thread section starts,
     * which ends where the five empty sections' markers begin.
     */
    private static byte[] withDirectory(byte[] bytes) {
        ByteBuffer b = ByteBuffer.wrap(bytes);
        int p = 8;
        p += 2 + (b.getShort(p) & 0xFFFF);
        p += 2 + (b.getShort(p) & 0xFFFF);
        int directory = p + 8 + 8 + 4;
        long[][] entries = new long[7][];
        int s0 = directory + SnapshotReader.DIRECTORY_SIZE;
        assertEquals(SnapshotReader.MAGIC, b.getInt(s0));
        for (int i = 0; i < SnapshotReader.DIRECTORY_SIZE; i++) {
            assertEquals(0, bytes[directory + i], "directory byte " + i);
        }
        p = s0 + 4;
        while (bytes[p] == 1) { // classes: tag, ID, name, kind
            p += 1 + 8;
            p += 2 + (b.getShort(p) & 0xFFFF) + 4;
        }
        p++;
        while (bytes[p] == 1) { // methods: tag, ID, class ID, name, signature, reserved
            p += 1 + 8 + 8;
            p += 2 + (b.getShort(p) & 0xFFFF);
            p += 2 + (b.getShort(p) & 0xFFFF) + 4;
        }
        p++;
        int filters = b.getInt(p);
        p += 4;
        for (int i = 0; i < filters; i++) {
            p += 2 + (b.getShort(p) & 0xFFFF);
        }
        p++;
        int s1 = p;
        int tail = bytes.length - 5 * 4;
        entries[0] = new long[] {s1 - s0 - 4, s0, crc(bytes, s0 + 4, s1)};
        entries[1] = new long[] {tail - s1 - 4, s1, crc(bytes, s1 + 4, tail)};
        for (int i = 2; i < 7; i++) {
            assertEquals(SnapshotReader.MAGIC, b.getInt(tail + 4 * (i - 2)), "marker of section " + i);
            entries[i] = new long[] {0, tail + 4 * (i - 2), 0};
        }
        byte[] fixed = bytes.clone();
        ByteBuffer out = ByteBuffer.wrap(fixed);
        for (int i = 0; i < 7; i++) {
            out.putLong(directory + 20 * i, entries[i][0]);
            out.putLong(directory + 20 * i + 8, entries[i][1]);
            out.putInt(directory + 20 * i + 16, (int) entries[i][2]);
        }
        return fixed;
    }

    private static long crc(byte[] bytes, int from, int to) {
        CRC32 crc = new CRC32();
        crc.update(bytes, from, to - from);
        return crc.getValue();
    }
}
