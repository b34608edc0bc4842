package com.tolvane.cli;

import com.tolvane.snapshot.CallNode;
import com.tolvane.snapshot.LockTime;
import com.tolvane.snapshot.Printable;
import com.tolvane.snapshot.Section;
import com.tolvane.snapshot.Snapshot;
import com.tolvane.snapshot.SnapshotFormatException;
import com.tolvane.snapshot.SnapshotReader;
import com.tolvane.snapshot.ThreadRecord;
import com.tolvane.tool.Summary;
import com.tolvane.tool.ToolException;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import picocli.CommandLine.Command;
import picocli.CommandLine.Parameters;

/** tolvane verify: check every marker, length and CRC of a snapshot and say what it holds. */
@Command(name = "verify", header = "check a snapshot file and print what it holds",
        customSynopsis = "tolvane verify FILE",
        description = "Reads the snapshot, checks its header, section markers, lengths and CRC-32s and every"
                + " record, and prints its contents.",
        footer = "Exit codes: 0 for a valid snapshot, 1 with the reason for any other file, 2 bad arguments.")
final class VerifyCommand implements ToolCommand {
    @Parameters(paramLabel = "FILE", arity = "0..*", hideParamSyntax = true,
            description = "the snapshot file to check")
    List<String> file = new ArrayList<>();

    @Override
    public int run(PrintStream out, PrintStream err) throws ToolException {
        Path file = Path.of(Positionals.single(this.file, "snapshot file"));
        if (Files.isDirectory(file)) {
            throw new ToolException(file + " is a directory, not a snapshot file");
        }
        Snapshot s;
        try {
            s = SnapshotReader.read(file);
        } catch (NoSuchFileException e) {
            throw new ToolException(file + ": no such file");
        } catch (IOException e) {
            throw new ToolException(file + ": cannot read: " + e.getMessage());
        } catch (SnapshotFormatException e) {
            throw new ToolException(file + ": " + e.getMessage());
        }
        out.println(file + ": valid snapshot, format " + s.header().version());
        out.println("  JVM:        " + Printable.of(s.header().vmName() + ", Java " + s.header().javaVersion()));
        out.println("  recorded:   " + Summary.ms(s.header().durationMicros())
                + " from start to write (clock " + s.header().recordStartMicros() + " to "
                + s.header().writeTimeMicros() + " us)");
        for (Section section : s.sections()) {
            out.println("  " + section + (section.length() > 0 ? ", CRC ok" : ""));
        }
        if (s.hasCpuTime()) {
            long cpu = 0;
            int unknown = 0;
            for (ThreadRecord t : s.threads()) {
                if (t.cpuMicros() < 0) {
                    unknown++;
                } else {
                    cpu += t.cpuMicros();
                }
            }
            out.println("  CPU time:   " + Summary.ms(cpu) + " in all threads"
                    + (unknown > 0 ? ", not known for " + unknown + (unknown == 1 ? " thread" : " threads") : ""));
        }
        if (s.nodeLimit() != null) {
            out.println("  node limit: " + s.nodeLimit().describe());
        }
        if (s.locks() != null) {
            long micros = 0;
            for (LockTime lt : s.locks().times()) {
                micros += lt.micros();
            }
            out.println("  locks:      " + s.locks().times().size() + " entries, " + Summary.ms(micros)
                    + " blocked or parked on a known lock" + (s.locks().droppedMicros() > 0
                    ? ", " + Summary.ms(s.locks().droppedMicros()) + " dropped (table full)" : ""));
        }
        if (s.lostSamples() != null) {
            out.println("  lost:       " + s.lostSamples().describe());
        }
        out.println("  classes:    " + s.classes().size());
        out.println("  methods:    " + s.methods().size());
        out.println("  filters:    " + (s.filters().isEmpty() ? "none" : Printable.of(String.join(" ", s.filters())))
                + (s.filterInverted() ? " (inverted)" : ""));
        int nodes = 0;
        int deepest = 0;
        for (ThreadRecord t : s.threads()) {
            int[] depth = {0};
            int[] count = {0};
            t.root().walk(n -> {
                count[0]++;
                if (n.children().isEmpty()) {
                    depth[0] = Math.max(depth[0], n.depth());
                }
            });
            nodes += count[0];
            deepest = Math.max(deepest, depth[0]);
        }
        out.println("  threads:    " + s.threads().size() + " (" + nodes + " call-tree nodes, deepest path "
                + deepest + ")");
        for (ThreadRecord t : s.threads()) {
            CallNode root = t.root();
            String cpu = !s.hasCpuTime() ? ""
                    : t.cpuMicros() < 0 ? ", CPU not known" : ", CPU " + Summary.ms(t.cpuMicros());
            out.println("    " + Printable.of(t.name() + " [" + t.group() + "]") + (t.ignored() ? " ignored" : "")
                    + (t.isAlive() ? "" : " ended") + ": running " + Summary.ms(root.value()) + cpu
                    + ", " + t.timeline().size() + " status points");
        }
        return 0;
    }
}
