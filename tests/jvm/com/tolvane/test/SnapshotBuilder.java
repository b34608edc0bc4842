package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.fail;

import com.tolvane.snapshot.FormatConstants;
import com.tolvane.snapshot.SnapshotFormatException;
import com.tolvane.snapshot.SnapshotReader;
import java.io.ByteArrayOutputStream;
import java.io.DataOutputStream;
import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.Deque;
import java.util.List;
import java.util.function.UnaryOperator;
import java.util.zip.CRC32;

/**
 * Writes valid snapshot bytes from a hand-made model, the way the native
 * recorder lays them out: big-endian numbers, 8-byte little-endian IDs,
 * post-order call trees, a directory with real positions, lengths and CRCs.
 *
 * <p>A new builder already holds what every real file starts with: the unknown
 * class, the transaction-label class and the "unknown" method.
 *
 * <pre>
 * SnapshotBuilder b = new SnapshotBuilder();
 * long cls = b.addClass("com.acme.Shop");
 * long run = b.addMethod(cls, "run", "()V");
 * SnapshotBuilder.Node root = b.addThread("main", "main").root();
 * root.child(run, 12).value(5000).monitorTimes(0, 100, 0);
 * root.value(5000);
 * byte[] file = b.build();
 * </pre>
 *
 * <p>{@link #cpuTime()} adds the CPU-time section: each thread's total (by
 * default its root's CPU time) and each node's CPU time with descendants.
 */
public final class SnapshotBuilder {
    public static final int MAGIC = FormatConstants.MAGIC;
    private static final int DIRECTORY_SIZE = FormatConstants.SECTION_COUNT * FormatConstants.DIRECTORY_ENTRY_SIZE;

    private String vmName = "OpenJDK 64-Bit Server VM";
    private String javaVersion = "17.0.15";
    private long recordStart = 1_000_000;
    private long writeTime = 2_000_000;
    private long nextId = 0x7f3a_0000_1000L;
    private final List<Object[]> classes = new ArrayList<>();
    private final List<Object[]> methods = new ArrayList<>();
    private final List<String> filters = new ArrayList<>();
    private boolean inverted;
    private final List<ThreadSpec> threads = new ArrayList<>();
    private boolean cpuTime;
    private UnaryOperator<byte[]> cpuEdit = UnaryOperator.identity();
    private byte[] lockBody;
    private byte[] lostSamplesBody;

    public final long unknownClass;
    public final long interceptionClass;
    public final long unknownMethod;

    public SnapshotBuilder() {
        unknownClass = addClass("com.tolvane.agent.Unknown", 0);
        interceptionClass = addClass("_druvax_annotation_class", FormatConstants.CLASS_KIND_INTERCEPTION);
        unknownMethod = addMethod(unknownClass, "unknown", "()V");
    }

    public SnapshotBuilder vm(String name, String version) {
        this.vmName = name;
        this.javaVersion = version;
        return this;
    }

    public SnapshotBuilder times(long recordStartMicros, long writeTimeMicros) {
        this.recordStart = recordStartMicros;
        this.writeTime = writeTimeMicros;
        return this;
    }

    private long newId() {
        nextId += 0x48;
        return nextId;
    }

    public long addClass(String name) {
        return addClass(name, 0);
    }

    public long addClass(String name, int kind) {
        long id = newId();
        classes.add(new Object[] {id, name, kind});
        return id;
    }

    /** Adds a method record; {@code classId} need not name a class (to build broken files). */
    public long addMethod(long classId, String name, String signature) {
        long id = newId();
        methods.add(new Object[] {id, classId, name, signature});
        return id;
    }

    public SnapshotBuilder filters(boolean inverted, String... patterns) {
        this.inverted = inverted;
        filters.clear();
        filters.addAll(List.of(patterns));
        return this;
    }

    /** Writes the CPU-time section, from the CPU times given to threads and nodes (0 where none). */
    public SnapshotBuilder cpuTime() {
        this.cpuTime = true;
        return this;
    }

    /** Writes the CPU-time section with its body changed by {@code edit}, to build broken files. */
    public SnapshotBuilder cpuTime(UnaryOperator<byte[]> edit) {
        this.cpuTime = true;
        this.cpuEdit = edit;
        return this;
    }

    /** Writes this body as the lock section, as given. */
    public SnapshotBuilder locks(byte[] body) {
        this.lockBody = body.clone();
        return this;
    }

    /** Writes this body as the lost-samples section, as given. */
    public SnapshotBuilder lostSamples(byte[] body) {
        this.lostSamplesBody = body.clone();
        return this;
    }

    public ThreadSpec addThread(String name, String group) {
        ThreadSpec t = new ThreadSpec(newId(), name, group);
        t.start = recordStart;
        threads.add(t);
        return t;
    }

    /** One thread record. */
    public static final class ThreadSpec {
        public final long id;
        final String name;
        final String group;
        long start;
        long end = -1;
        boolean ignored;
        Long cpu;
        final List<long[]> points = new ArrayList<>();
        final Node root = new Node(0, 0);

        ThreadSpec(long id, String name, String group) {
            this.id = id;
            this.name = name;
            this.group = group;
        }

        public ThreadSpec lifetime(long startMicros, long endMicros) {
            this.start = startMicros;
            this.end = endMicros;
            return this;
        }

        public ThreadSpec ignored(boolean ignored) {
            this.ignored = ignored;
            return this;
        }

        /** The thread's CPU total, -1 for not known; by default its root's CPU time. */
        public ThreadSpec cpu(long micros) {
            this.cpu = micros;
            return this;
        }

        public ThreadSpec status(int code, long micros) {
            points.add(new long[] {code, micros});
            return this;
        }

        public Node root() {
            return root;
        }
    }

    /** One call-tree node; children are written in the order they were added. */
    public static final class Node {
        final long method;
        final int line;
        long value;
        long cpu;
        long[] monitor;
        final List<Node> children = new ArrayList<>();

        Node(long method, int line) {
            this.method = method;
            this.line = line;
        }

        public Node child(long method, int line) {
            Node n = new Node(method, line);
            children.add(n);
            return n;
        }

        public Node value(long micros) {
            this.value = micros;
            return this;
        }

        /** CPU time with descendants. */
        public Node cpu(long micros) {
            this.cpu = micros;
            return this;
        }

        public Node monitorTimes(long blocking, long waiting, long netIO) {
            this.monitor = new long[] {blocking, waiting, netIO};
            return this;
        }
    }

    /** The complete file. */
    public byte[] build() {
        try {
            ByteArrayOutputStream bytes = new ByteArrayOutputStream();
            DataOutputStream out = new DataOutputStream(bytes);
            out.writeInt(MAGIC);
            out.writeInt(FormatConstants.VERSION);
            str(out, vmName);
            str(out, javaVersion);
            out.writeLong(recordStart);
            out.writeLong(writeTime);
            out.writeInt(FormatConstants.ID_WIDTH);
            int directory = out.size();
            out.write(new byte[DIRECTORY_SIZE]);

            long[][] entries = new long[FormatConstants.SECTION_COUNT][3];
            byte[][] bodies = new byte[FormatConstants.SECTION_COUNT][0];
            bodies[FormatConstants.SECTION_CLASSES] = classSection();
            bodies[FormatConstants.SECTION_THREADS] = threadSection();
            if (cpuTime) {
                bodies[FormatConstants.SECTION_CPU_TIME] = cpuEdit.apply(cpuSection());
            }
            if (lockBody != null) {
                bodies[FormatConstants.SECTION_LOCKS] = lockBody;
            }
            if (lostSamplesBody != null) {
                bodies[FormatConstants.SECTION_LOST_SAMPLES] = lostSamplesBody;
            }
            for (int i = 0; i < FormatConstants.SECTION_COUNT; i++) {
                byte[] body = bodies[i];
                entries[i][1] = out.size();
                out.writeInt(MAGIC);
                out.write(body);
                entries[i][0] = body.length;
                if (body.length > 0) {
                    CRC32 crc = new CRC32();
                    crc.update(body);
                    entries[i][2] = crc.getValue();
                }
            }
            byte[] file = bytes.toByteArray();
            ByteArrayOutputStream dir = new ByteArrayOutputStream();
            DataOutputStream d = new DataOutputStream(dir);
            for (long[] e : entries) {
                d.writeLong(e[0]);
                d.writeLong(e[1]);
                d.writeInt((int) e[2]);
            }
            System.arraycopy(dir.toByteArray(), 0, file, directory, DIRECTORY_SIZE);
            return file;
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    /** Offset of the section directory in a file (just after the header). */
    public static int directoryOffset(byte[] file) {
        int a = ((file[8] & 0xFF) << 8) | (file[9] & 0xFF);
        int b = ((file[10 + a] & 0xFF) << 8) | (file[11 + a] & 0xFF);
        return 32 + a + b;
    }

    /** Position of a section's marker, as the directory gives it. */
    public static int sectionPosition(byte[] file, int section) {
        return (int) java.nio.ByteBuffer.wrap(file).getLong(directoryOffset(file) + section * FormatConstants.DIRECTORY_ENTRY_SIZE + 8);
    }

    /**
     * Recomputes the CRCs of sections 0 to 2 in place, so that a test can
     * change a body byte and still get past the CRC check.
     */
    public static byte[] fixCrcs(byte[] file) {
        java.nio.ByteBuffer buf = java.nio.ByteBuffer.wrap(file);
        int dir = directoryOffset(file);
        for (int i = 0; i < 3; i++) {
            long length = buf.getLong(dir + i * FormatConstants.DIRECTORY_ENTRY_SIZE);
            long position = buf.getLong(dir + i * FormatConstants.DIRECTORY_ENTRY_SIZE + 8);
            CRC32 crc = new CRC32();
            crc.update(file, (int) position + 4, (int) length);
            buf.putInt(dir + i * FormatConstants.DIRECTORY_ENTRY_SIZE + 16, (int) crc.getValue());
        }
        return file;
    }

    private byte[] classSection() throws IOException {
        ByteArrayOutputStream bytes = new ByteArrayOutputStream();
        DataOutputStream out = new DataOutputStream(bytes);
        for (Object[] c : classes) {
            out.writeByte(FormatConstants.TAG_RECORD);
            id(out, (Long) c[0]);
            str(out, (String) c[1]);
            out.writeInt((Integer) c[2]);
        }
        out.writeByte(FormatConstants.TAG_END);
        for (Object[] m : methods) {
            out.writeByte(FormatConstants.TAG_RECORD);
            id(out, (Long) m[0]);
            id(out, (Long) m[1]);
            str(out, (String) m[2]);
            str(out, (String) m[3]);
            out.writeInt(0);
        }
        out.writeByte(FormatConstants.TAG_END);
        out.writeInt(filters.size());
        for (String f : filters) {
            str(out, f);
        }
        out.writeByte(inverted ? 1 : 0);
        return bytes.toByteArray();
    }

    private byte[] threadSection() throws IOException {
        ByteArrayOutputStream bytes = new ByteArrayOutputStream();
        DataOutputStream out = new DataOutputStream(bytes);
        for (ThreadSpec t : threads) {
            out.writeByte(FormatConstants.TAG_RECORD);
            id(out, t.id);
            id(out, t.id);
            str(out, t.name);
            str(out, t.group);
            out.writeLong(t.start);
            out.writeLong(t.end);
            out.writeInt(t.points.size());
            for (long[] p : t.points) {
                out.writeByte((int) p[0]);
                out.writeLong(p[1]);
            }
            tree(out, t.root);
            out.writeByte(t.ignored ? 1 : 0);
        }
        out.writeByte(FormatConstants.TAG_END);
        return bytes.toByteArray();
    }

    /**
     * Per thread in thread order: ID, CPU total, node count, then each node's
     * CPU time in the order {@link #tree} writes the nodes.
     */
    private byte[] cpuSection() throws IOException {
        ByteArrayOutputStream bytes = new ByteArrayOutputStream();
        DataOutputStream out = new DataOutputStream(bytes);
        out.writeInt(threads.size());
        for (ThreadSpec t : threads) {
            id(out, t.id);
            out.writeLong(t.cpu != null ? t.cpu : t.root.cpu);
            List<Node> nodes = postOrder(t.root);
            out.writeInt(nodes.size());
            for (Node n : nodes) {
                out.writeLong(n.cpu);
            }
        }
        return bytes.toByteArray();
    }

    private static List<Node> postOrder(Node root) {
        List<Node> out = new ArrayList<>();
        Deque<Object[]> stack = new ArrayDeque<>();
        stack.push(new Object[] {root, 0});
        while (!stack.isEmpty()) {
            Object[] top = stack.peek();
            Node node = (Node) top[0];
            int next = (Integer) top[1];
            if (next < node.children.size()) {
                top[1] = next + 1;
                stack.push(new Object[] {node.children.get(next), 0});
            } else {
                out.add((Node) stack.pop()[0]);
            }
        }
        return out;
    }

    /** Post-order without recursion, so very deep trees can be written. */
    private static void tree(DataOutputStream out, Node root) throws IOException {
        Deque<Object[]> stack = new ArrayDeque<>();
        out.writeByte(FormatConstants.TAG_RECORD);
        stack.push(new Object[] {root, 0});
        while (!stack.isEmpty()) {
            Object[] top = stack.peek();
            Node node = (Node) top[0];
            int next = (Integer) top[1];
            if (next < node.children.size()) {
                top[1] = next + 1;
                out.writeByte(FormatConstants.TAG_RECORD);
                stack.push(new Object[] {node.children.get(next), 0});
                continue;
            }
            stack.pop();
            out.writeByte(FormatConstants.TAG_END);
            id(out, node.method);
            out.writeShort(node.line);
            out.writeLong(node.value);
            if (node.monitor == null) {
                out.writeByte(0);
            } else {
                out.writeByte(1);
                for (long v : node.monitor) {
                    out.writeLong(v);
                }
            }
        }
    }

    private static void id(DataOutputStream out, long id) throws IOException {
        out.writeLong(Long.reverseBytes(id));
    }

    private static void str(DataOutputStream out, String s) throws IOException {
        byte[] b = s.getBytes(StandardCharsets.UTF_8);
        out.writeShort(b.length);
        out.write(b);
    }

    /** The reader's message for a file it must refuse; fails when it reads it or throws anything else. */
    public static String rejection(byte[] file) {
        try {
            SnapshotReader.read(file);
        } catch (SnapshotFormatException e) {
            return e.getMessage();
        } catch (RuntimeException e) {
            fail("reader threw " + e + " instead of a format exception", e);
        }
        fail("reader accepted a broken file");
        return null;
    }
}
