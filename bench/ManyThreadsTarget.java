import java.util.concurrent.ThreadLocalRandom;
import java.util.concurrent.locks.LockSupport;

/**
 * A target JVM for the memory benchmark: N threads (default 1500), each at
 * a call depth of its own, alternating between a little work and a half-second
 * park, so every recording samples many threads in changing states.
 * Prints "ready" once all threads run.
 */
public final class ManyThreadsTarget {
    private static volatile long sink;

    public static void main(String[] args) throws Exception {
        int count = args.length > 0 ? Integer.parseInt(args[0]) : 1500;
        for (int i = 0; i < count; i++) {
            int depth = 5 + ThreadLocalRandom.current().nextInt(40);
            Thread t = new Thread(() -> descend(depth), "worker-" + i);
            t.setDaemon(true);
            t.start();
        }
        System.out.println("ready");
        System.out.flush();
        Thread.sleep(Long.MAX_VALUE);
    }

    private static void descend(int depth) {
        if (depth > 0) {
            descend(depth - 1);
            return;
        }
        while (true) {
            long x = 0;
            for (int i = 0; i < 2000; i++) {
                x += i * 31L;
            }
            sink = x;
            LockSupport.parkNanos(500_000_000L);
        }
    }
}
