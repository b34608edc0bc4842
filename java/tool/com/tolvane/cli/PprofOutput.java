package com.tolvane.cli;

import com.tolvane.report.PprofFormat;
import com.tolvane.report.ReportContext;
import com.tolvane.tool.OutputFiles;
import com.tolvane.tool.ToolException;

import java.io.IOException;
import java.io.PrintStream;
import java.nio.file.Files;
import java.nio.file.Path;

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
        OutputFiles.write(Path.of(output), file -> PprofFormat.write(ctx, startMillis, file));
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
