import com.tolvane.test.Chromium;
import com.tolvane.test.SnapshotBuilder;
import com.tolvane.cli.Main;

import java.io.ByteArrayOutputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Random;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * Builds a snapshot of a 20 s recording of 200 threads with 500 call-tree
 * nodes each and a status change every 20 to 200 ms, as a busy server's
 * pool threads have, turns it into the HTML report and loads it in headless
 * chromium a few times. The
 * page gets a probe that notes, at the end of its load event, how long after
 * navigation start the page was drawn and ready for input, then times a few
 * interactions. An empty page loaded the same way is the baseline.
 */
public final class HtmlReportBench {
    private static final int THREADS = 200;
    private static final int NODES_PER_THREAD = 500;
    private static final int RUNS = 3;
    private static final long RECORDING_MICROS = 20_000_000;

    private static final String PROBE = """
            <script>
            window.__errors = 0;
            window.addEventListener('error', () => window.__errors++);
            window.addEventListener('load', () => {
              const ready = performance.now();
              const result = { interactive: ready, errors: 0 };
              const api = window.tolvaneReport;
              if (api) {
                result.nodes = api.state().nodes;
                let t = performance.now();
                const f = api.frames().filter((x) => x.y === 36)[0];
                if (f) {
                  const r = document.getElementById('flame').getBoundingClientRect();
                  document.getElementById('flame').dispatchEvent(new MouseEvent('click',
                    { bubbles: true, clientX: r.left + f.x + 1, clientY: r.top + f.y + 5 }));
                }
                result.zoom = performance.now() - t;
                t = performance.now();
                api.search('Service1');
                result.search = performance.now() - t;
                t = performance.now();
                api.selectThread(7);
                result.thread = performance.now() - t;
                t = performance.now();
                api.setMetric('all');
                result.metric = performance.now() - t;
              }
              result.errors = window.__errors;
              const pre = document.createElement('pre');
              pre.id = 'bench';
              pre.textContent = JSON.stringify(result);
              document.body.appendChild(pre);
            });
            </script>
            """;

    public static void main(String[] args) throws Exception {
        Path work = Path.of(args[0]);
        Chromium chromium = Chromium.find();
        if (chromium == null) {
            System.out.println("html_report_bench: chromium not found (apt-get install chromium)");
            System.exit(1);
        }
        Path snapshot = work.resolve("big.tsnap");
        Files.write(snapshot, build(new Random(42)));
        Path html = work.resolve("big.html");
        long t0 = System.nanoTime();
        ByteArrayOutputStream err = new ByteArrayOutputStream();
        int code = Main.run(new String[] {"report", snapshot.toString(), "-f", "html", "-o", html.toString()},
                System.out, new PrintStream(err, true, StandardCharsets.UTF_8));
        long writeMillis = (System.nanoTime() - t0) / 1_000_000;
        if (code != 0) {
            System.out.println("html_report_bench: report failed: " + err);
            System.exit(1);
        }
        String page = Files.readString(html);
        Path probed = work.resolve("probed.html");
        Files.writeString(probed, page.replaceFirst("<head>", "<head>" + Matcher.quoteReplacement(PROBE)));
        Path empty = work.resolve("empty.html");
        Files.writeString(empty, "<!DOCTYPE html><html><head>" + PROBE + "</head><body></body></html>");

        System.out.printf("snapshot: %d threads, %d nodes, %d KB; HTML report %d KB, written in %d ms%n",
                THREADS, THREADS * NODES_PER_THREAD, Files.size(snapshot) / 1024, Files.size(html) / 1024,
                writeMillis);
        double[] baseline = new double[RUNS];
        double[] interactive = new double[RUNS];
        String last = "";
        for (int i = 0; i < RUNS; i++) {
            baseline[i] = number(probe(chromium, empty), "interactive");
            last = probe(chromium, probed);
            interactive[i] = number(last, "interactive");
        }
        Arrays.sort(baseline);
        Arrays.sort(interactive);
        double median = interactive[RUNS / 2];
        System.out.printf("baseline (empty page):      %7.0f ms to interactive (median of %d)%n", baseline[RUNS / 2], RUNS);
        System.out.printf("report, 200 threads/100k:   %7.0f ms to interactive (median of %d; runs %s)%n", median,
                RUNS, Arrays.toString(Arrays.stream(interactive).mapToLong(Math::round).toArray()));
        System.out.printf("interactions (last run):    zoom %.0f ms, search %.0f ms, thread switch %.0f ms,"
                        + " metric switch %.0f ms; merged tree of %.0f nodes; script errors %.0f%n",
                number(last, "zoom"), number(last, "search"), number(last, "thread"), number(last, "metric"),
                number(last, "nodes"), number(last, "errors"));
        System.out.printf("target under 2000 ms: %s%n", median < 2000 ? "met" : "MISSED");
    }

    private static String probe(Chromium chromium, Path page) throws Exception {
        String dom = chromium.dumpDom(page);
        Matcher m = Pattern.compile("<pre id=\"bench\">(.*?)</pre>", Pattern.DOTALL).matcher(dom);
        if (!m.find()) {
            throw new IllegalStateException("the probe did not run in " + page);
        }
        return m.group(1).replace("&quot;", "\"");
    }

    private static double number(String json, String key) {
        Matcher m = Pattern.compile("\"" + key + "\":([-0-9.eE]+)").matcher(json);
        return m.find() ? Double.parseDouble(m.group(1)) : Double.NaN;
    }

    /** 200 threads of random but reproducible call trees, timelines, monitor and CPU times. */
    private static byte[] build(Random rnd) {
        SnapshotBuilder b = new SnapshotBuilder().times(1_000_000, 1_000_000 + RECORDING_MICROS).cpuTime();
        long[] methods = new long[3000];
        long[] classes = new long[300];
        for (int i = 0; i < classes.length; i++) {
            classes[i] = b.addClass("com.example.service" + (i % 17) + ".Service" + i);
        }
        for (int i = 0; i < methods.length; i++) {
            methods[i] = b.addMethod(classes[rnd.nextInt(classes.length)], "method" + i, "()V");
        }
        for (int t = 0; t < THREADS; t++) {
            SnapshotBuilder.ThreadSpec thread = b.addThread("worker-" + t, t % 3 == 0 ? "main" : "pool");
            long time = 1_000_000;
            int[] codes = {63, 64, 65, 66};
            while (time < 1_000_000 + RECORDING_MICROS) {
                thread.status(codes[rnd.nextInt(codes.length)], time / 10_000 * 10_000);
                time += 20_000 + rnd.nextInt(180_000);
            }
            grow(thread.root(), methods, rnd);
        }
        return b.build();
    }

    /** One thread's tree: each new node hangs below a recent one, giving deep, bushy stacks. */
    private static void grow(SnapshotBuilder.Node root, long[] methods, Random rnd) {
        List<SnapshotBuilder.Node> nodes = new ArrayList<>();
        List<Integer> parents = new ArrayList<>();
        List<Integer> childCounts = new ArrayList<>();
        nodes.add(root);
        parents.add(-1);
        childCounts.add(0);
        for (int i = 1; i <= NODES_PER_THREAD; i++) {
            int parent = Math.max(0, nodes.size() - 1 - rnd.nextInt(Math.min(nodes.size(), 12)));
            int line = childCounts.get(parent) + 1;
            childCounts.set(parent, line);
            SnapshotBuilder.Node node = nodes.get(parent).child(methods[rnd.nextInt(methods.length)], line);
            if (rnd.nextInt(10) == 0) {
                node.monitorTimes(rnd.nextInt(5000), rnd.nextInt(20000), rnd.nextInt(3000));
            }
            nodes.add(node);
            parents.add(parent);
            childCounts.add(0);
        }
        long[] value = new long[nodes.size()];
        long[] cpu = new long[nodes.size()];
        for (int i = nodes.size() - 1; i >= 1; i--) {
            long own = 1000 + rnd.nextInt(50_000);
            value[i] += own;
            cpu[i] += own * rnd.nextInt(101) / 100;
            value[parents.get(i)] += value[i];
            cpu[parents.get(i)] += cpu[i];
        }
        for (int i = 0; i < nodes.size(); i++) {
            nodes.get(i).value(value[i]).cpu(cpu[i]);
        }
    }
}
