package com.tolvane.cli;

import com.tolvane.report.PprofFormat;
import com.tolvane.report.ReportContext;
import com.tolvane.tool.ToolException;

import java.io.BufferedOutputStream;
import java.io.IOException;
import java.io.OutputStream;
import java.io.PrintStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.nio.file.StandardOpenOption;

/** Where tolvane report -f pprof writes its binary profile: a file, or standard output when redirected. */
final class PprofOutput {
    private PprofOutput() {
    }

    static void write(ReportContext ctx, Path snapshotFile, String output, PrintStream out, PrintStream err)
            throws ToolException {
        long startMillis = startMillis(ctx, snapshotFile);
        if (output == null) {
            if (System.console() != null) {
                throw ToolException.usage("a pprof profile is binary; give the file to write with -o, such as"
                        + " -o profile.pb.gz");
            }
            try {
                PprofFormat.write(ctx, startMillis, out);
                out.flush();
            } catch (IOException e) {
                throw new ToolException("cannot write the profile: " + e.getMessage());
            }
            return;
        }
        Path target = Path.of(output).toAbsolutePath();
        Path dir = target.getParent();
        if (dir == null || !Files.isDirectory(dir)) {
            throw new ToolException("cannot write " + output + ": directory " + dir + " does not exist");
        }
        // Through a temporary file, so a failed write never leaves a truncated profile under the name.
        Path temp = dir.resolve("." + target.getFileName() + "." + ProcessHandle.current().pid() + ".tmp");
        try {
            try (OutputStream file = new BufferedOutputStream(Files.newOutputStream(temp,
                    StandardOpenOption.CREATE_NEW, StandardOpenOption.WRITE))) {
                PprofFormat.write(ctx, startMillis, file);
            }
            Files.move(temp, target, StandardCopyOption.REPLACE_EXISTING);
        } catch (IOException e) {
            throw new ToolException("cannot write " + output + ": " + e.getMessage());
        } finally {
            try {
                Files.deleteIfExists(temp);
            } catch (IOException ignored) {
                // the original failure is the one to report
            }
        }
        err.println("wrote pprof profile to " + output);
    }

    /**
     * When the recording started: the snapshot's times count from a clock of
     * its own, so the start is the file's modification time (its write)
     * less the recording's length.
     */
    private static long startMillis(ReportContext ctx, Path snapshotFile) {
        try {
            return Files.getLastModifiedTime(snapshotFile).toMillis() - ctx.snapshot().header().durationMicros() / 1000;
        } catch (IOException e) {
            return 0;
        }
    }
}
