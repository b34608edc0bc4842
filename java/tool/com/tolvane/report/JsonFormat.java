package com.tolvane.report;

import com.tolvane.snapshot.CallNode;
import com.tolvane.snapshot.LockTime;
import com.tolvane.snapshot.Header;
import com.tolvane.snapshot.Snapshot;
import com.tolvane.snapshot.ThreadRecord;

import java.io.IOException;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.Deque;
import java.util.HashMap;
import java.util.List;
import java.util.Map;

/**
 * Everything a snapshot holds as one JSON document, for other tools and for
 * the HTML page. IDs are hexadecimal strings ("0x7f3a..."), since a 64-bit
 * identity does not fit a JavaScript number. Methods name their class, and
 * call-tree nodes their method, by index into the "classes" and "methods"
 * arrays; a method's "display" is the name the reports show (generated class
 * names without run-time addresses, parameter types for overloads). Times
 * are microseconds on the recorder's clock. A node carries
 * "running" (with descendants) and, when the file has them, its own
 * "blocked", "waiting" and "netio" times; "children" is left out for leaves.
 * When the file holds CPU time, the document says "cpuTime":true, each
 * thread carries "cpu", its CPU time (-1 where it could not be read), and
 * each node "cpu", its CPU time with descendants; otherwise none of these
 * fields appear. Only the chosen threads are written.
 * <p>
 * The HTML page embeds the same document with its bulk flattened, which a
 * browser reads several times faster than nested objects: each thread
 * carries "nodes" instead of "tree", its call tree in pre-order as eight
 * numbers per node (method index or -1 for the root, line, running, CPU,
 * waiting, blocked, net I/O, number of children), and "points" instead of
 * "timeline", two numbers per status point (status, time); "threadOrder"
 * lists the threads' indexes as {@link Rankings#threads} ranks them, the
 * threads the recorder ignored last; "nodeLocks" pairs a node's pre-order
 * index with one of its locks, as the nested document gives them.
 * <p>
 * When the file has a lock section, the document says "locks":true and a
 * node where its thread was blocked entering a monitor or parked on a
 * blocker carries "locks": one object per lock with "kind" ("monitor" or
 * "park"), "class", "holder" (the holding thread's name, when one was seen)
 * and "micros", part of the node's own blocked or waiting time.
 */
public final class JsonFormat {
    /** Version of this document's layout; raised when a field changes meaning. */
    public static final int LAYOUT_VERSION = 1;

    private JsonFormat() {
    }

    public static void write(ReportContext ctx, Appendable out) throws IOException {
        write(ctx, out, false);
    }

    /** Writes the document; {@code flat} gives the HTML page's flattened trees and timelines. */
    static void write(ReportContext ctx, Appendable out, boolean flat) throws IOException {
        Snapshot s = ctx.snapshot();
        Header h = s.header();
        out.append("{\"format\":\"tolvane-snapshot\",\"layoutVersion\":").append(String.valueOf(LAYOUT_VERSION));
        out.append(",\"source\":");
        string(out, ctx.source());
        out.append(",\"header\":{\"version\":").append(String.valueOf(h.version())).append(",\"vmName\":");
        string(out, h.vmName());
        out.append(",\"javaVersion\":");
        string(out, h.javaVersion());
        out.append(",\"recordStart\":").append(String.valueOf(h.recordStartMicros()))
                .append(",\"writeTime\":").append(String.valueOf(h.writeTimeMicros()))
                .append(",\"idWidth\":").append(String.valueOf(h.idWidth()))
                .append(",\"length\":").append(String.valueOf(h.length())).append('}');

        array(out, "sections", s.sections(), sec -> out.append("{\"index\":").append(String.valueOf(sec.index()))
                .append(",\"length\":").append(String.valueOf(sec.length()))
                .append(",\"position\":").append(String.valueOf(sec.position()))
                .append(",\"crc\":\"").append(String.format("%08x", sec.crc())).append("\"}"));

        Map<Long, Integer> classIndex = new HashMap<>();
        array(out, "classes", s.classes(), c -> {
            classIndex.putIfAbsent(c.id(), classIndex.size());
            out.append("{\"id\":\"").append(hex(c.id())).append("\",\"name\":");
            string(out, c.name());
            out.append(",\"kind\":").append(String.valueOf(c.kind())).append('}');
        });

        Map<Long, Integer> methodIndex = new HashMap<>();
        array(out, "methods", s.methods(), m -> {
            methodIndex.putIfAbsent(m.id(), methodIndex.size());
            out.append("{\"id\":\"").append(hex(m.id())).append("\",\"class\":")
                    .append(String.valueOf(classIndex.getOrDefault(m.owner().id(), -1))).append(",\"name\":");
            string(out, m.name());
            out.append(",\"signature\":");
            string(out, m.signature());
            out.append(",\"display\":");
            string(out, ctx.names().frame(m));
            out.append('}');
        });

        array(out, "filters", s.filters(), f -> string(out, f));
        out.append(",\"filterInverted\":").append(String.valueOf(s.filterInverted()));
        boolean cpu = s.hasCpuTime();
        if (cpu) {
            out.append(",\"cpuTime\":true");
        }
        if (s.locks() != null) {
            out.append(",\"locks\":true");
        }

        array(out, "threads", ctx.threads(), t -> {
            out.append("{\"id\":\"").append(hex(t.id())).append("\",\"name\":");
            string(out, t.name());
            out.append(",\"group\":");
            string(out, t.group());
            out.append(",\"start\":").append(String.valueOf(t.startMicros()))
                    .append(",\"end\":").append(String.valueOf(t.endMicros()))
                    .append(",\"ignored\":").append(String.valueOf(t.ignored()));
            if (cpu) {
                out.append(",\"cpu\":").append(String.valueOf(t.cpuMicros()));
            }
            if (flat) {
                array(out, "points", t.timeline(), p -> out.append(String.valueOf(p.status())).append(',')
                        .append(String.valueOf(p.micros())));
                out.append(",\"nodes\":[");
                flatTree(out, t.root(), methodIndex);
                out.append(']');
                if (ctx.snapshot().locks() != null) {
                    flatLocks(out, t.root());
                }
                out.append('}');
                return;
            }
            array(out, "timeline", t.timeline(), p -> out.append('[').append(String.valueOf(p.status())).append(',')
                    .append(String.valueOf(p.micros())).append(']'));
            out.append(",\"tree\":");
            tree(out, t.root(), methodIndex, cpu);
            out.append('}');
        });
        if (flat) {
            List<ThreadRecord> order = new ArrayList<>();
            for (Rankings.ThreadRank r : Rankings.threads(ctx.threads(), cpu)) {
                order.add(r.thread());
            }
            for (ThreadRecord t : ctx.threads()) {
                if (t.ignored()) {
                    order.add(t);
                }
            }
            Map<ThreadRecord, Integer> position = new java.util.IdentityHashMap<>();
            for (ThreadRecord t : ctx.threads()) {
                position.put(t, position.size());
            }
            array(out, "threadOrder", order, t -> out.append(String.valueOf(position.get(t))));
        }
        out.append("}\n");
    }

    /** Writes one element of an array. */
    private interface Element<T> {
        void write(T item) throws IOException;
    }

    /** Writes {@code ,"name":[...]} with the items separated by commas. */
    private static <T> void array(Appendable out, String name, Iterable<T> items, Element<? super T> element)
            throws IOException {
        out.append(",\"").append(name).append("\":[");
        String sep = "";
        for (T item : items) {
            out.append(sep);
            element.write(item);
            sep = ",";
        }
        out.append(']');
    }

    /** Writes a call tree as nested objects without recursing, so any depth fits. */
    private static void tree(Appendable out, CallNode root, Map<Long, Integer> methodIndex, boolean cpu)
            throws IOException {
        // Each entry is a node whose object is open and the index of the next child to write.
        Deque<Object[]> open = new ArrayDeque<>();
        node(out, root, methodIndex, cpu);
        open.push(new Object[] {root, 0});
        while (!open.isEmpty()) {
            Object[] top = open.peek();
            CallNode node = (CallNode) top[0];
            int next = (Integer) top[1];
            List<CallNode> children = node.children();
            if (next < children.size()) {
                top[1] = next + 1;
                out.append(next == 0 ? ",\"children\":[" : ",");
                CallNode child = children.get(next);
                node(out, child, methodIndex, cpu);
                open.push(new Object[] {child, 0});
            } else {
                out.append(children.isEmpty() ? "}" : "]}");
                open.pop();
            }
        }
    }

    /** Writes a call tree in pre-order, eight numbers per node. */
    private static void flatTree(Appendable out, CallNode root, Map<Long, Integer> methodIndex) throws IOException {
        StringBuilder sb = new StringBuilder();
        root.walk(n -> {
            if (sb.length() > 0) {
                sb.append(',');
            }
            sb.append(n.method() == null ? -1 : methodIndex.getOrDefault(n.method().id(), -1)).append(',')
                    .append(n.line()).append(',').append(n.value()).append(',').append(n.cpuMicros()).append(',')
                    .append(n.waitingMicros()).append(',').append(n.blockingMicros()).append(',')
                    .append(n.netIOMicros()).append(',').append(n.children().size());
        });
        out.append(sb);
    }

    /** Writes the locks of a call tree's nodes, each with the node's index in {@link #flatTree}'s order. */
    private static void flatLocks(Appendable out, CallNode root) throws IOException {
        StringBuilder sb = new StringBuilder(",\"nodeLocks\":[");
        int[] index = {0};
        String[] comma = {""};
        root.walk(n -> {
            for (LockTime lock : n.locks()) {
                sb.append(comma[0]).append("[").append(index[0]).append(',');
                try {
                    lock(sb, lock);
                } catch (IOException e) {
                    throw new IllegalStateException(e); // a StringBuilder does not fail
                }
                sb.append(']');
                comma[0] = ",";
            }
            index[0]++;
        });
        out.append(sb).append(']');
    }

    private static void lock(Appendable out, LockTime lock) throws IOException {
        out.append("{\"kind\":\"").append(lock.isMonitor() ? "monitor" : "park").append("\",\"class\":");
        string(out, lock.lockClass());
        if (lock.holder() != null) {
            out.append(",\"holder\":");
            string(out, lock.holder());
        }
        out.append(",\"micros\":").append(String.valueOf(lock.micros())).append('}');
    }

    /** Writes a node's own fields and leaves its object open. */
    private static void node(Appendable out, CallNode n, Map<Long, Integer> methodIndex, boolean cpu)
            throws IOException {
        out.append("{\"method\":");
        if (n.method() == null) {
            out.append("null");
        } else {
            out.append(String.valueOf(methodIndex.getOrDefault(n.method().id(), -1)));
        }
        out.append(",\"line\":").append(String.valueOf(n.line()))
                .append(",\"running\":").append(String.valueOf(n.value()));
        if (cpu) {
            out.append(",\"cpu\":").append(String.valueOf(n.cpuMicros()));
        }
        if (n.hasMonitorTimes()) {
            out.append(",\"blocked\":").append(String.valueOf(n.blockingMicros()))
                    .append(",\"waiting\":").append(String.valueOf(n.waitingMicros()))
                    .append(",\"netio\":").append(String.valueOf(n.netIOMicros()));
        }
        if (!n.locks().isEmpty()) {
            out.append(",\"locks\":[");
            String comma = "";
            for (LockTime lock : n.locks()) {
                out.append(comma);
                lock(out, lock);
                comma = ",";
            }
            out.append(']');
        }
    }

    static String hex(long id) {
        return "0x" + Long.toHexString(id);
    }

    /**
     * Writes a JSON string. Besides what JSON requires, '<', '>', '&', the
     * JavaScript line separators and unpaired surrogates are escaped, so the
     * document can sit inside an HTML script element and survives any
     * encoding of the output.
     */
    public static void string(Appendable out, String s) throws IOException {
        out.append('"');
        for (int i = 0; i < s.length(); i++) {
            char c = s.charAt(i);
            switch (c) {
                case '"': out.append("\\\""); continue;
                case '\\': out.append("\\\\"); continue;
                case '\n': out.append("\\n"); continue;
                case '\r': out.append("\\r"); continue;
                case '\t': out.append("\\t"); continue;
                default: break;
            }
            boolean pairedHigh = Character.isHighSurrogate(c) && i + 1 < s.length()
                    && Character.isLowSurrogate(s.charAt(i + 1));
            if (pairedHigh) {
                out.append(c).append(s.charAt(++i));
            } else if (c < 0x20 || c == '<' || c == '>' || c == '&' || c == '\u2028' || c == '\u2029'
                    || Character.isSurrogate(c)) {
                out.append(String.format("\\u%04x", (int) c));
            } else {
                out.append(c);
            }
        }
        out.append('"');
    }
}
