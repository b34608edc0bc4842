import java.util.concurrent.Semaphore;
import java.util.concurrent.atomic.AtomicLong;

/**
 * Short-lived virtual threads as fast as the machine starts them, or at most
 * RATE a second: each computes a little, parks for a moment (an unmount and a
 * mount) and ends, at most 1000 at once. Prints "ready" once started, then
 * every second "rate N rss KB cpu MS": the virtual threads completed in that
 * second, its resident memory and the process's CPU time in that second, for
 * SECONDS seconds (Java 21 or later).
 *
 *   java VirtualThreadChurn.java SECONDS [RATE]
 */
public final class VirtualThreadChurn {
    private static volatile long sink;

    public static void main(String[] args) throws Exception {
        int seconds = Integer.parseInt(args[0]);
        long rate = args.length > 1 ? Long.parseLong(args[1]) : 0;
        AtomicLong completed = new AtomicLong();
        Semaphore inFlight = new Semaphore(1000);
        Thread starter = new Thread(() -> {
            long started = 0;
            long begin = System.nanoTime();
            try {
                while (true) {
                    if (rate > 0 && started >= rate * (System.nanoTime() - begin) / 1_000_000_000L) {
                        java.util.concurrent.locks.LockSupport.parkNanos(200_000);  // ahead: no CPU burnt
                        continue;
                    }
                    inFlight.acquire();
                    Thread.ofVirtual().start(() -> {
                        try {
                            long x = sink;
                            for (int i = 0; i < 200; i++) {
                                x = x * 6364136223846793005L + 1442695040888963407L;
                            }
                            sink = x;
                            java.util.concurrent.locks.LockSupport.parkNanos(100_000);
                            completed.incrementAndGet();
                        } finally {
                            inFlight.release();
                        }
                    });
                    started++;
                }
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }, "starter");
        starter.setDaemon(true);
        starter.start();
        System.out.println("ready");
        System.out.flush();
        long last = completed.get();
        long lastCpu = cpuMillis();
        for (int s = 0; s < seconds; s++) {
            Thread.sleep(1000);
            long now = completed.get();
            long cpu = cpuMillis();
            System.out.println("rate " + (now - last) + " rss " + rssKb() + " cpu " + (cpu - lastCpu));
            System.out.flush();
            last = now;
            lastCpu = cpu;
        }
        System.exit(0);
    }

    /** User and system CPU of the process in ms, from /proc (clock ticks of 10 ms). */
    private static long cpuMillis() throws java.io.IOException {
        String stat = java.nio.file.Files.readString(java.nio.file.Path.of("/proc/self/stat"));
        String[] f = stat.substring(stat.lastIndexOf(')') + 2).split(" ");
        return (Long.parseLong(f[11]) + Long.parseLong(f[12])) * 10;
    }

    private static long rssKb() throws java.io.IOException {
        for (String line : java.nio.file.Files.readAllLines(java.nio.file.Path.of("/proc/self/status"))) {
            if (line.startsWith("VmRSS:")) {
                return Long.parseLong(line.replaceAll("[^0-9]", ""));
            }
        }
        return -1;
    }
}
