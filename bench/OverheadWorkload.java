import java.lang.management.ManagementFactory;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.concurrent.atomic.LongAdder;

/**
 * The program whose throughput bench/overhead.sh compares with and without a
 * profiler. Busy threads repeat a fixed unit of CPU work at a given stack
 * depth and count the units; parked threads sit at a given depth.
 *
 * <pre>
 * java OverheadWorkload SHAPE DIR SECONDS
 *   SHAPE a: 1 busy thread + 100 threads in Object.wait(100) at depth 40
 *         b: 2 x cores busy threads at depth 30
 *         c: 1 busy thread + 2000 threads parked for good at depth 100
 *         pN: 1 busy thread + N threads parked for good at depth 100 (the
 *             tick's cost per thread; c is p2000)
 *         d: 1 thread of allocation-heavy code at depth 20 to 30: fills a
 *            HashMap&lt;Long, Long&gt; and appends its boxed values to a
 *            StringBuilder (JIT-compiled code that class loading and a
 *            changed profile can slow down, where a)-c) spin on arithmetic)
 * </pre>
 * After a warm-up it prints "ready", waits for DIR/go, measures SECONDS, prints
 * one line of figures, creates DIR/measured and runs on until it is killed.
 */
public final class OverheadWorkload {

    private static final LongAdder UNITS = new LongAdder();
    private static volatile long sink;

    public static void main(String[] args) throws Exception {
        String shape = args[0];
        Path dir = Paths.get(args[1]);
        double seconds = Double.parseDouble(args[2]);
        int cores = Runtime.getRuntime().availableProcessors();
        switch (shape) {
            case "a":
                startBusy(1, 40);
                startParked(100, 40, 100);
                break;
            case "b":
                startBusy(2 * cores, 30);
                break;
            case "c":
                startBusy(1, 40);
                startParked(2000, 100, 0);
                break;
            case "d":
                startAllocating();
                break;
            default:
                if (!shape.matches("p[0-9]+")) {
                    throw new IllegalArgumentException("shape a, b, c, d or pN");
                }
                startBusy(1, 40);
                startParked(Integer.parseInt(shape.substring(1)), 100, 0);
                break;
        }
        // Looked up before the warm-up ends, so that the management classes it loads
        // are in place before anything is measured or recorded.
        com.sun.management.OperatingSystemMXBean os =
                (com.sun.management.OperatingSystemMXBean) ManagementFactory.getOperatingSystemMXBean();
        ManagementFactory.getRuntimeMXBean().getUptime();
        Thread.sleep(3000); // warm-up: compiled code, threads in place
        System.out.println("ready");
        System.out.flush();
        Path go = dir.resolve("go");
        while (!Files.exists(go)) {
            Thread.sleep(10);
        }
        long uptime0 = ManagementFactory.getRuntimeMXBean().getUptime();
        long wall0 = System.nanoTime();
        long cpu0 = os.getProcessCpuTime();
        long[] threads0 = serviceThreadTicks();
        long units0 = UNITS.sum();
        Thread.sleep((long) (seconds * 1000));
        long units1 = UNITS.sum();
        long[] threads1 = serviceThreadTicks();
        long cpu1 = os.getProcessCpuTime();
        long wall1 = System.nanoTime();
        long uptime1 = ManagementFactory.getRuntimeMXBean().getUptime();
        System.out.printf("units=%d cpu_ns=%d wall_ns=%d uptime_ms=%d-%d vm_thread_ms=%d profiler_threads_ms=%d"
                + " worker_threads_ms=%d%n", units1 - units0, cpu1 - cpu0, wall1 - wall0, uptime0, uptime1,
                (threads1[0] - threads0[0]) * 10, (threads1[1] - threads0[1]) * 10, (threads1[2] - threads0[2]) * 10);
        System.out.flush();
        Files.createFile(dir.resolve("measured"));
        Thread.sleep(Long.MAX_VALUE);
    }

    /**
     * CPU clock ticks (1/100 s) of the VM thread, of the profilers' own
     * threads ("_tolvane ..." and "JFR ...") and of the threads that do the
     * counted work, from /proc.
     */
    private static long[] serviceThreadTicks() {
        long[] ticks = new long[3];
        try (java.util.stream.Stream<Path> tasks = Files.list(Paths.get("/proc/self/task"))) {
            for (Path task : (Iterable<Path>) tasks::iterator) {
                try {
                    String stat = Files.readString(task.resolve("stat"));
                    int open = stat.indexOf('(');
                    int close = stat.lastIndexOf(')');
                    String comm = stat.substring(open + 1, close);
                    String[] fields = stat.substring(close + 2).split(" ");
                    long cpu = Long.parseLong(fields[11]) + Long.parseLong(fields[12]); // utime + stime
                    if (comm.equals("VM Thread")) {
                        ticks[0] += cpu;
                    } else if (comm.startsWith("_tolvane") || comm.startsWith("JFR")) {
                        ticks[1] += cpu;
                    } else if (comm.startsWith("busy-") || comm.equals("allocating")) {
                        ticks[2] += cpu;
                    }
                } catch (java.io.IOException | RuntimeException e) {
                    // the thread ended while we looked
                }
            }
        } catch (java.io.IOException e) {
            // no /proc: the figures stay 0
        }
        return ticks;
    }

    private static void startBusy(int count, int depth) {
        for (int i = 0; i < count; i++) {
            Thread t = new Thread(() -> descend(depth, OverheadWorkload::busy), "busy-" + i);
            t.setDaemon(true);
            t.start();
        }
    }

    private static void startParked(int count, int depth, long waitMillis) {
        for (int i = 0; i < count; i++) {
            Thread t = new Thread(null, () -> descend(depth, () -> park(waitMillis)), "parked-" + i, 256 * 1024);
            t.setDaemon(true);
            t.start();
        }
    }

    private static void descend(int depth, Runnable body) {
        if (depth <= 1) {
            body.run();
        } else {
            descend(depth - 1, body);
        }
    }

    private static void busy() {
        long x = 1;
        while (true) {
            for (int i = 0; i < 20_000; i++) {
                x = x * 6364136223846793005L + 1442695040888963407L;
            }
            sink = x;
            UNITS.increment();
        }
    }

    private static void startAllocating() {
        Thread t = new Thread(() -> {
            for (long n = 0; ; n++) {
                sink += allocate(20 + (int) (n % 11), n);
                UNITS.increment();
            }
        }, "allocating");
        t.setDaemon(true);
        t.start();
    }

    /** One unit of shape d: down to {@code depth}, then a map of boxed longs and a string of them. */
    private static long allocate(int depth, long seed) {
        if (depth > 0) {
            return allocate(depth - 1, seed) + 1;
        }
        java.util.HashMap<Long, Long> map = new java.util.HashMap<>();
        StringBuilder text = new StringBuilder();
        for (long i = 0; i < 200; i++) {
            map.put(seed * 31 + i, i * i);
        }
        for (Long value : map.values()) {
            text.append(value).append(',');
        }
        return text.length() + map.size();
    }

    private static void park(long waitMillis) {
        Object lock = new Object(); // one each: waking threads do not queue for a shared monitor
        synchronized (lock) {
            while (true) {
                try {
                    if (waitMillis > 0) {
                        lock.wait(waitMillis);
                    } else {
                        lock.wait();
                    }
                } catch (InterruptedException e) {
                    return;
                }
            }
        }
    }
}
