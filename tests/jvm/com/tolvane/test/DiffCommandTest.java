package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.List;
import java.util.stream.Collectors;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** tolvane diff on hand-made snapshots with known times. */
class DiffCommandTest {
    @TempDir
    Path dir;

    private static ToolRun tolvane(String... args) {
        return ToolRun.of(args);
    }

    /**
     * One pool thread calling Work.a, Work.b and Work.c (each own running time
     * in microseconds, 0 for a method not called) and waiting 100 us in b.
     */
    private Path recording(String name, String thread, long a, long b, long c) throws Exception {
        SnapshotBuilder s = new SnapshotBuilder();
        long work = s.addClass("app.Work");
        long run = s.addMethod(work, "run", "()V");
        SnapshotBuilder.Node top = s.addThread(thread, "pool").root().value(a + b + c).child(run, 0).value(a + b + c);
        long[] times = {a, b, c};
        String[] names = {"a", "b", "c"};
        for (int i = 0; i < 3; i++) {
            if (times[i] > 0) {
                SnapshotBuilder.Node n = top.child(s.addMethod(work, names[i], "()V"), 10 + i).value(times[i]);
                if (i == 1) {
                    n.monitorTimes(0, 100, 0);
                }
            }
        }
        s.addThread("Signal Dispatcher", "system").ignored(true);
        Path file = dir.resolve(name);
        Files.write(file, s.build());
        return file;
    }

    private static List<String> rows(String text) {
        return Arrays.stream(text.split("\n")).map(l -> l.trim().replaceAll(" +", " ")).collect(Collectors.toList());
    }

    @Test
    void sharesOfEachTotalRankTheChangesAndAbsoluteTimesOnRequest() throws Exception {
        // Before: a 75%, b 25% of 0.4 ms. After: a 30%, b 50%, c 20% of 1 ms (same a, more b, new c).
        Path before = recording("before.tsnap", "pool-1-thread-1", 300, 100, 0);
        Path after = recording("after.tsnap", "pool-7-thread-3", 300, 500, 200);
        ToolRun shares = tolvane("diff", before.toString(), after.toString());
        assertEquals(0, shares.code, shares.err);
        List<String> lines = rows(shares.out);
        int at = lines.indexOf("== own running time: before 0.400 ms in 1 thread, after 1.000 ms in 1 thread"
                + " (+150%) ==");
        assertTrue(at > 0, shares.out);
        // Ranked by the change of share; the line above names the largest changes in milliseconds.
        assertEquals(List.of("Changed most in ms: app.Work.b +0.400 ms (+400%), app.Work.c +0.200 ms (new)",
                "before ms after ms change ms change % before % after % change pp method",
                "0.300 0.300 0.000 +0% 75.0% 30.0% -45.0pp app.Work.a",
                "0.100 0.500 +0.400 +400% 25.0% 50.0% +25.0pp app.Work.b",
                "0.000 0.200 +0.200 new 0.0% 20.0% +20.0pp app.Work.c"), lines.subList(at + 1, at + 6));

        ToolRun absolute = tolvane("diff", before.toString(), after.toString(), "--absolute", "--state", "all");
        List<String> abs = rows(absolute.out);
        int run = abs.indexOf("== own running time: before 0.400 ms in 1 thread, after 1.000 ms in 1 thread"
                + " (+150%) ==");
        // a kept its 0.3 ms: unchanged in milliseconds, so not listed when they rank.
        assertEquals(List.of("before ms after ms change ms change % before % after % change pp method",
                "0.100 0.500 +0.400 +400% 25.0% 50.0% +25.0pp app.Work.b",
                "0.000 0.200 +0.200 new 0.0% 20.0% +20.0pp app.Work.c"), abs.subList(run + 2, run + 5));
        assertTrue(abs.contains("no method's own waiting time changed"), absolute.out);
        assertTrue(abs.contains("no method's own blocked time changed"), absolute.out);

        ToolRun limited = tolvane("diff", before.toString(), after.toString(), "--limit", "2");
        assertTrue(limited.out.contains("(1 more method changed less; --limit shows more)"), limited.out);
        ToolRun gone = tolvane("diff", after.toString(), before.toString());
        assertTrue(rows(gone.out).contains("0.200 0.000 -0.200 gone 20.0% 0.0% -20.0pp app.Work.c"), gone.out);
    }

    @Test
    void thePageHoldsBothTreesWithThreadsMatchedByNameWithoutDigits() throws Exception {
        Path before = recording("before.tsnap", "pool-1-thread-1", 300, 100, 0);
        Path after = recording("after.tsnap", "pool-7-thread-3", 300, 500, 200);
        Path html = dir.resolve("d.html");
        ToolRun r = tolvane("diff", before.toString(), after.toString(), "-o", html.toString(), "--state", "waiting");
        assertEquals(0, r.code, r.err);
        assertTrue(r.err.contains("wrote html comparison to"), r.err);
        String page = Files.readString(html);
        assertTrue(page.startsWith("<!DOCTYPE html>") && page.contains("\"metric\":\"waiting\""), page);
        // All threads, then the one group both pool threads fall into; the ignored thread is left out.
        assertTrue(page.contains("\"groups\":[{\"name\":\"all threads\",\"tree\":[0,[0,0,0,0],[0,0,0,0],[[1,"), page);
        assertTrue(page.contains("{\"name\":\"pool-#-thread-#\",\"tree\":"), page);
        assertTrue(!page.contains("Signal Dispatcher"), "ignored threads are not compared");
        // b: 100 us own running and 100 us waiting before; 500 and 100 after.
        assertTrue(page.contains(",[100,100,0,0],[500,100,0,0],[]]"), page);
    }

    @Test
    void badArgumentsAreUsageErrors() throws Exception {
        Path one = recording("one.tsnap", "main", 1, 1, 1);
        for (String[] args : List.of(new String[] {"diff", one.toString()},
                new String[] {"diff", one.toString(), one.toString(), "--limit", "0"},
                new String[] {"diff", one.toString(), one.toString(), "--format", "pdf"},
                new String[] {"diff", one.toString(), one.toString(), "--state", "sleeping"})) {
            ToolRun r = tolvane(args);
            assertEquals(2, r.code, String.join(" ", args) + ": " + r.err);
        }
        ToolRun missing = tolvane("diff", one.toString(), dir.resolve("absent.tsnap").toString());
        assertEquals(1, missing.code);
        assertTrue(missing.err.contains("absent.tsnap: no such file"), missing.err);
    }
}
