import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * Summarises the runs of bench/overhead.sh: one results line per run
 * ("SHAPE MODE ROUND units=.. cpu_ns=.. wall_ns=.. uptime_ms=A-B vm_thread_ms=..
 * profiler_threads_ms=.. dir=DIR"), with the JVM's safepoint and handshake logs
 * and the snapshot in DIR.
 */
public final class OverheadReport {

    private static final Pattern LOG_LINE = Pattern.compile("^\\[(\\d+\\.\\d+)s\\].*");
    private static final Pattern SAFEPOINT_TOTAL = Pattern.compile("Safepoint \"(\\w+)\".*Total: (\\d+) ns");
    private static final Pattern HANDSHAKE = Pattern.compile("Handshake \"(\\w+)\".*Total completion time: (\\d+) ns");
    /** The sampling period. */
    private static final double PERIOD_SECONDS = 0.005;

    record Run(String shape, String mode, int round, long units, long cpuNs, long wallNs, double from, double to,
               long vmMs, long profilerMs, Path dir) {
        double seconds() {
            return wallNs / 1e9;
        }
        double throughput() {
            return units / seconds();
        }
        double cpuPerUnit() {
            return (double) cpuNs / units;
        }
    }

    public static void main(String[] args) throws Exception {
        // Modes in the order they ran.
        Map<String, Map<String, List<Run>>> byShape = new LinkedHashMap<>();
        for (String line : Files.readAllLines(Paths.get(args[0]))) {
            Run r = parse(line);
            byShape.computeIfAbsent(r.shape, k -> new LinkedHashMap<>()).computeIfAbsent(r.mode, k -> new ArrayList<>())
                    .add(r);
        }
        for (Map.Entry<String, Map<String, List<Run>>> shape : byShape.entrySet()) {
            report(shape.getKey(), shape.getValue());
        }
    }

    private static void report(String shape, Map<String, List<Run>> modes) throws Exception {
        List<Run> base = modes.get("none");
        System.out.printf(Locale.ROOT, "%nshape %s: ratios against the unprofiled run of the same round%n", shape);
        System.out.printf(Locale.ROOT, "%-6s %-9s %12s %12s %14s %14s %12s %14s %12s%n", "round", "mode",
                "throughput", "cpu/unit", "sampling ms/s", "safepoint ms/s", "handshakes/s", "vm+prof ms/s",
                "tick us");
        Map<String, List<double[]>> columns = new LinkedHashMap<>();
        for (int i = 0; i < base.size(); i++) {
            Run none = base.get(i);
            for (String mode : modes.keySet()) {
                List<Run> runs = modes.get(mode);
                if (runs == null || runs.size() <= i) {
                    continue;
                }
                Run r = runs.get(i);
                double[] pauses = pauses(r);
                double serviceMs = (r.vmMs + r.profilerMs) / r.seconds();
                double tickUs = tickMicros(r);
                double[] row = {r.throughput() / none.throughput(), r.cpuPerUnit() / none.cpuPerUnit(), pauses[0],
                    pauses[1], pauses[2], serviceMs, tickUs};
                columns.computeIfAbsent(mode, k -> new ArrayList<>()).add(row);
                System.out.printf(Locale.ROOT, "%-6d %-9s %12.3f %12.3f %14.2f %14.2f %12.1f %14.1f %12s%n",
                        r.round, mode, row[0], row[1], row[2], row[3], row[4], row[5],
                        Double.isNaN(tickUs) ? "-" : String.format(Locale.ROOT, "%.0f", tickUs));
            }
        }
        for (Map.Entry<String, List<double[]>> mode : columns.entrySet()) {
            double[] med = new double[7];
            for (int c = 0; c < med.length; c++) {
                final int col = c;
                med[c] = median(mode.getValue().stream().mapToDouble(row -> row[col]).toArray());
            }
            System.out.printf(Locale.ROOT, "%-6s %-9s %12.3f %12.3f %14.2f %14.2f %12.1f %14.1f %12s%n", "median",
                    mode.getKey(), med[0], med[1], med[2], med[3], med[4], med[5],
                    Double.isNaN(med[6]) ? "-" : String.format(Locale.ROOT, "%.0f", med[6]));
        }
    }

    /**
     * Within the measured window, per second: sampling safepoints' total time
     * (ms), all safepoints' total time (ms), handshakes (count).
     */
    private static double[] pauses(Run r) throws Exception {
        double sampling = 0;
        double all = 0;
        double handshakes = 0;
        for (String line : Files.readAllLines(r.dir.resolve("safepoint.log"))) {
            Matcher at = LOG_LINE.matcher(line);
            Matcher sp = SAFEPOINT_TOTAL.matcher(line);
            if (at.matches() && sp.find() && inWindow(r, at.group(1))) {
                double ms = Long.parseLong(sp.group(2)) / 1e6;
                all += ms;
                if (sp.group(1).equals("GetThreadListStackTraces")) {
                    sampling += ms;
                }
            }
        }
        for (String line : Files.readAllLines(r.dir.resolve("handshake.log"))) {
            Matcher at = LOG_LINE.matcher(line);
            Matcher hs = HANDSHAKE.matcher(line);
            if (at.matches() && hs.find() && inWindow(r, at.group(1))) {
                handshakes++;
            }
        }
        return new double[] {sampling / r.seconds(), all / r.seconds(), handshakes / r.seconds()};
    }

    private static boolean inWindow(Run r, String uptimeSeconds) {
        double ms = Double.parseDouble(uptimeSeconds) * 1000;
        return ms >= r.from && ms <= r.to;
    }

    /**
     * CPU of the VM thread and the recorder per tick, in microseconds. A
     * recording's ticks follow each other at the period plus the tick's own
     * time, so the window held about (window - tick time) / period ticks.
     */
    private static double tickMicros(Run r) {
        if (!Files.exists(r.dir.resolve("snap.tsnap"))) {
            return Double.NaN;
        }
        double serviceSeconds = (r.vmMs + r.profilerMs) / 1000.0;
        double ticks = Math.max(1, (r.seconds() - serviceSeconds) / PERIOD_SECONDS);
        return serviceSeconds * 1e6 / ticks;
    }

    private static Run parse(String line) {
        String[] f = line.split(" ");
        Map<String, String> kv = new LinkedHashMap<>();
        for (int i = 3; i < f.length; i++) {
            int eq = f[i].indexOf('=');
            kv.put(f[i].substring(0, eq), f[i].substring(eq + 1));
        }
        String[] uptime = kv.get("uptime_ms").split("-");
        return new Run(f[0], f[1], Integer.parseInt(f[2]), Long.parseLong(kv.get("units")),
                Long.parseLong(kv.get("cpu_ns")), Long.parseLong(kv.get("wall_ns")), Double.parseDouble(uptime[0]),
                Double.parseDouble(uptime[1]), Long.parseLong(kv.get("vm_thread_ms")),
                Long.parseLong(kv.get("profiler_threads_ms")), Paths.get(kv.get("dir")));
    }

    private static double median(double[] values) {
        double[] v = values.clone();
        Arrays.sort(v);
        int n = v.length;
        return n == 0 ? Double.NaN : n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    }
}
