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
 * profiler_threads_ms=.. worker_threads_ms=.. dir=DIR"), with the JVM's safepoint and handshake logs
 * and the snapshot in DIR.
 */
public final class OverheadReport {

    private static final Pattern LOG_LINE = Pattern.compile("^\\[(\\d+\\.\\d+)s\\].*");
    private static final Pattern SAFEPOINT_TOTAL = Pattern.compile("Safepoint \"(\\w+)\".*Total: (\\d+) ns");
    private static final Pattern HANDSHAKE_TASK =
            Pattern.compile("Operation: GetStackTrace for thread (0x[0-9a-f]+).*completed in (\\d+) ns");

    record Run(String shape, String mode, int round, long units, long cpuNs, long wallNs, double from, double to,
               long vmMs, long profilerMs, long workerMs, Path dir) {
        double seconds() {
            return wallNs / 1e9;
        }
        double throughput() {
            return units / seconds();
        }
        double cpuPerUnit() {
            return (double) cpuNs / units;
        }
        /** The working threads' own CPU per unit: what their code costs, whatever else shares the machine. */
        double workerCpuPerUnit() {
            return workerMs > 0 ? (double) workerMs / units : Double.NaN;
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

    private static final String HEAD = "%-6s %-11s %10s %9s %9s %11s %11s %11s %11s %12s %8s%n";
    private static final String ROW = "%-6s %-11s %10.3f %9.3f %9.3f %11.2f %11.2f %11.1f %11.2f %12.1f %8s%n";

    private static void report(String shape, Map<String, List<Run>> modes) throws Exception {
        List<Run> base = modes.get("none");
        System.out.printf(Locale.ROOT, "%nshape %s: throughput and CPU per unit against the unprofiled run of the"
                + " same round; pauses and CPU per second of the measured window%n", shape);
        System.out.printf(Locale.ROOT, HEAD, "round", "mode", "throughput", "cpu/unit", "work cpu", "sampling",
                "safepoints", "handshakes", "hs pause", "vm+profiler", "tick");
        System.out.printf(Locale.ROOT, HEAD, "", "", "ratio", "ratio", "/unit", "pause ms/s", "pause ms/s", "per s",
                "ms/s", "cpu ms/s", "cpu us");
        Map<String, List<double[]>> columns = new LinkedHashMap<>();
        for (int i = 0; i < base.size(); i++) {
            Run none = base.get(i);
            for (String mode : modes.keySet()) {
                List<Run> runs = modes.get(mode);
                if (runs.size() <= i) {
                    continue;
                }
                Run r = runs.get(i);
                double[] p = pauses(r);
                double serviceMs = (r.vmMs + r.profilerMs) / r.seconds();
                double tickUs = p[4] > 0 ? (r.vmMs + r.profilerMs) * 1000.0 / p[4] : Double.NaN;
                double[] row = {r.throughput() / none.throughput(), r.cpuPerUnit() / none.cpuPerUnit(),
                    r.workerCpuPerUnit() / none.workerCpuPerUnit(), p[0], p[1], p[2], p[3], serviceMs, tickUs};
                columns.computeIfAbsent(mode, k -> new ArrayList<>()).add(row);
                print(String.valueOf(r.round), mode, row);
            }
        }
        for (Map.Entry<String, List<double[]>> mode : columns.entrySet()) {
            double[] med = new double[9];
            for (int c = 0; c < med.length; c++) {
                final int col = c;
                med[c] = median(mode.getValue().stream().mapToDouble(row -> row[col]).filter(v -> !Double.isNaN(v))
                        .toArray());
            }
            print("median", mode.getKey(), med);
        }
    }

    private static void print(String round, String mode, double[] row) {
        System.out.printf(Locale.ROOT, ROW, round, mode, row[0], row[1], row[2], row[3], row[4], row[5], row[6],
                row[7], Double.isNaN(row[8]) ? "-" : String.format(Locale.ROOT, "%.0f", row[8]));
    }

    /** The recorder's sampling period (the default of tolvane record). */
    private static final double PERIOD_MS = 5;

    /**
     * Within the measured window: sampling safepoints' total time (ms/s), all
     * safepoints' total time (ms/s), stack-capture handshakes (per s), the time
     * they paused their thread (ms/s), and the number of ticks. The recorder
     * sleeps one period after each tick, so the window holds its length less
     * the recorder's own CPU (the ticks' time) in periods. Captures cannot
     * count ticks: with asynchronous sampling a busy thread is booked from its
     * samples and not captured at all, and a parked one never is.
     */
    private static double[] pauses(Run r) throws Exception {
        double sampling = 0;
        double all = 0;
        int batches = 0;
        for (String line : Files.readAllLines(r.dir.resolve("safepoint.log"))) {
            Matcher at = LOG_LINE.matcher(line);
            Matcher sp = SAFEPOINT_TOTAL.matcher(line);
            if (at.matches() && sp.find() && inWindow(r, at.group(1))) {
                double ms = Long.parseLong(sp.group(2)) / 1e6;
                all += ms;
                if (sp.group(1).equals("GetThreadListStackTraces")) {
                    sampling += ms;
                    batches++;
                }
            }
        }
        double handshakes = 0;
        double handshakePause = 0;
        for (String line : Files.readAllLines(r.dir.resolve("handshake.log"))) {
            Matcher at = LOG_LINE.matcher(line);
            if (!at.matches() || !inWindow(r, at.group(1))) {
                continue;
            }
            Matcher task = HANDSHAKE_TASK.matcher(line);
            if (task.find()) {
                handshakes++;
                handshakePause += Long.parseLong(task.group(2)) / 1e6;
            }
        }
        boolean recorded = !(r.mode.equals("none") || r.mode.equals("jfr") || r.mode.equals("after")
                || r.mode.equals("management"));
        double windowMs = r.to - r.from;
        double ticks = recorded ? Math.max(batches, (windowMs - r.profilerMs) / PERIOD_MS) : 0;
        return new double[] {sampling / r.seconds(), all / r.seconds(), handshakes / r.seconds(),
            handshakePause / r.seconds(), ticks};
    }

    private static boolean inWindow(Run r, String uptimeSeconds) {
        double ms = Double.parseDouble(uptimeSeconds) * 1000;
        return ms >= r.from && ms <= r.to;
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
                Long.parseLong(kv.get("profiler_threads_ms")), Long.parseLong(kv.getOrDefault("worker_threads_ms", "0")),
                Paths.get(kv.get("dir")));
    }

    private static double median(double[] values) {
        double[] v = values.clone();
        Arrays.sort(v);
        int n = v.length;
        return n == 0 ? Double.NaN : n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    }
}
