package com.tolvane.test;

import java.io.IOException;
import java.io.InputStream;
import java.lang.instrument.ClassDefinition;
import java.lang.instrument.Instrumentation;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.atomic.AtomicLong;

/**
 * A JVM that does what makes asynchronous stack walks hard, all at once:
 * threads that start and end all the time, classes loaded into loaders that
 * are dropped and unloaded, a call site compiled for one class until a class
 * loaded later breaks that assumption (deoptimisation and recompilation),
 * garbage enough to keep the collector busy and, when started with itself as
 * its -javaagent, a class whose method is always on a running stack redefined
 * again and again, each version's method made obsolete by the next. Prints
 * its ready line, then runs until killed or for as many milliseconds as its
 * argument says.
 */
public final class AsyncStressTarget {
    private static volatile long sink;
    private static volatile boolean stop;
    private static volatile Instrumentation instrumentation;
    private static final AtomicLong REDEFINITIONS = new AtomicLong();

    private AsyncStressTarget() {
    }

    // Public: the copy of Circle defined in a fresh loader is of another
    // runtime package, which may use only public types of this one.
    public interface Shape {
        long area(long x);
    }

    static final class Square implements Shape {
        public long area(long x) {
            return x * x;
        }
    }

    public static final class Circle implements Shape {
        public long area(long x) {
            return x * x * 355 / 113;
        }
    }

    /** Loaded only once the call site below has been compiled for Square alone. */
    static final class Ring implements Shape {
        public long area(long x) {
            return x * 3 + 1;
        }
    }

    /** Hot in the "redefined" thread; its string constant differs between versions, so none is equivalent. */
    public static final class Redefined {
        public static long work(int n) {
            String tag = "tag-A";
            long sum = 0;
            for (int i = 0; i < n; i++) {
                sum = sum * 31 + tag.charAt(i & 3) + i;
            }
            return sum;
        }
    }

    public static void premain(String options, Instrumentation inst) {
        instrumentation = inst;
    }

    public static void main(String[] args) throws Exception {
        List<Thread> workers = new ArrayList<>();
        workers.add(start("churn", AsyncStressTarget::churn));
        workers.add(start("loader", AsyncStressTarget::loadAndDrop));
        workers.add(start("shapes", AsyncStressTarget::shapes));
        workers.add(start("garbage", AsyncStressTarget::garbage));
        System.out.println("AsyncStressTarget ready");
        System.out.flush();
        // After the ready line, which must come first.
        if (instrumentation != null) {
            workers.add(start("redefined", () -> {
                while (!stop) {
                    sink += Redefined.work(100_000);
                }
            }));
            workers.add(start("redefiner", AsyncStressTarget::redefineAgainAndAgain));
        }
        Thread.sleep(args.length > 0 ? Long.parseLong(args[0]) : Long.MAX_VALUE);
        stop = true;
        for (Thread t : workers) {
            t.join();
        }
        System.out.println("redefinitions: " + REDEFINITIONS.get());
    }

    /**
     * Redefines Redefined with its string constant switched between two
     * values, and retransforms it in between (a transformer that changes
     * nothing still makes the JVM install the class anew).
     */
    private static void redefineAgainAndAgain() {
        byte[] first;
        try (InputStream in = AsyncStressTarget.class.getResourceAsStream("AsyncStressTarget$Redefined.class")) {
            first = in.readAllBytes();
        } catch (IOException e) {
            throw new IllegalStateException(e);
        }
        byte[] second = replace(first, "tag-A", "tag-B");
        boolean odd = false;
        while (!stop) {
            try {
                if (REDEFINITIONS.get() % 4 == 3 && instrumentation.isRetransformClassesSupported()) {
                    instrumentation.retransformClasses(Redefined.class);
                } else {
                    odd = !odd;
                    instrumentation.redefineClasses(new ClassDefinition(Redefined.class, odd ? second : first));
                }
                if (REDEFINITIONS.incrementAndGet() == 1) {
                    System.out.println("redefining");
                }
                Thread.sleep(20);
            } catch (InterruptedException e) {
                return;
            } catch (Exception e) {
                throw new IllegalStateException(e);
            }
        }
    }

    private static byte[] replace(byte[] bytes, String from, String to) {
        byte[] a = from.getBytes(StandardCharsets.UTF_8);
        byte[] b = to.getBytes(StandardCharsets.UTF_8);
        byte[] copy = bytes.clone();
        outer:
        for (int i = 0; i + a.length <= copy.length; i++) {
            for (int j = 0; j < a.length; j++) {
                if (copy[i + j] != a[j]) {
                    continue outer;
                }
            }
            System.arraycopy(b, 0, copy, i, b.length);
            return copy;
        }
        throw new IllegalStateException("no " + from + " in the class file");
    }

    /** Short-lived threads that compute a little and end. */
    private static void churn() {
        while (!stop) {
            Thread[] batch = new Thread[8];
            for (int i = 0; i < batch.length; i++) {
                batch[i] = new Thread(() -> sink += compute(20_000), "short-" + i);
                batch[i].start();
            }
            for (Thread t : batch) {
                try {
                    t.join();
                } catch (InterruptedException e) {
                    return;
                }
            }
        }
    }

    /** Loads a copy of a class into a fresh loader, runs it, drops the loader. */
    private static void loadAndDrop() {
        byte[] bytes;
        try (InputStream in = AsyncStressTarget.class.getResourceAsStream("AsyncStressTarget$Circle.class")) {
            bytes = in.readAllBytes();
        } catch (IOException e) {
            throw new IllegalStateException(e);
        }
        while (!stop) {
            ClassLoader loader = new ClassLoader(AsyncStressTarget.class.getClassLoader()) {
                @Override
                protected Class<?> loadClass(String name, boolean resolve) throws ClassNotFoundException {
                    if (name.equals(Circle.class.getName())) {
                        Class<?> c = findLoadedClass(name);
                        return c != null ? c : defineClass(name, bytes, 0, bytes.length);
                    }
                    return super.loadClass(name, resolve);
                }
            };
            try {
                Shape s = (Shape) loader.loadClass(Circle.class.getName()).getDeclaredConstructor().newInstance();
                for (int i = 0; i < 1000; i++) {
                    sink += s.area(i);
                }
            } catch (ReflectiveOperationException e) {
                throw new IllegalStateException(e);
            }
        }
    }

    /** A call site compiled for Square alone, broken by Ring after a while, again and again. */
    private static void shapes() {
        Shape[] one = {new Square()};
        long rounds = 0;
        while (!stop) {
            sink += areas(one, 200_000);
            if (++rounds % 20 == 0) {
                // A class the compiled code has not seen: deoptimise, recompile.
                Shape[] mixed = {new Square(), rounds % 40 == 0 ? new Ring() : new Circle()};
                sink += areas(mixed, 10_000);
            }
        }
    }

    private static long areas(Shape[] shapes, int n) {
        long sum = 0;
        for (int i = 0; i < n; i++) {
            sum += shapes[i % shapes.length].area(i);
        }
        return sum;
    }

    /** Short-lived arrays, many of them. */
    private static void garbage() {
        List<long[]> keep = new ArrayList<>();
        while (!stop) {
            keep.add(new long[1024]);
            if (keep.size() > 2000) {
                keep.clear();
            }
        }
    }

    private static long compute(int n) {
        long x = 1;
        for (int i = 0; i < n; i++) {
            x = x * 31 + i;
        }
        return x;
    }

    private static Thread start(String name, Runnable body) {
        Thread t = new Thread(body, name);
        t.setDaemon(true);
        t.start();
        return t;
    }
}
