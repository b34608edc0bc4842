package com.tolvane.diff;

import com.tolvane.report.HtmlFormat;
import com.tolvane.report.JsonFormat;
import com.tolvane.report.Metric;
import com.tolvane.snapshot.Header;

import java.io.IOException;
import java.io.InputStream;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;
import java.util.ArrayDeque;
import java.util.Deque;
import java.util.HashMap;
import java.util.Iterator;
import java.util.Map;

/**
 * The differential page: one self-contained HTML file with a flame graph
 * sized by one recording and coloured by the change of each frame's own time,
 * and the table of the methods that changed most. The two merged trees go
 * into the page as JSON: names once in "names", each node as
 * [name index, own times before, own times after, children], own times per
 * state in microseconds (running, waiting, blocked, net I/O) and, when both
 * recordings hold CPU time ("cpuTime":true), own CPU time after them.
 */
public final class DiffPage {
    private DiffPage() {
    }

    public static void write(DiffModel model, Metric metric, boolean absolute, Appendable out) throws IOException {
        String template = resource("diff.html");
        String[] marks = {"@@TITLE@@", "@@CSS@@", "@@DATA@@", "@@SCRIPT@@"};
        int from = 0;
        for (String mark : marks) {
            int at = template.indexOf(mark, from);
            if (at < 0) {
                throw new IllegalStateException("diff page template lacks " + mark);
            }
            out.append(template, from, at);
            switch (mark) {
                case "@@TITLE@@":
                    out.append(HtmlFormat.escapeHtml(model.source(DiffModel.BEFORE) + " -> "
                            + model.source(DiffModel.AFTER)));
                    break;
                case "@@CSS@@": out.append(HtmlFormat.resource("report.css")).append(resource("diff.css")); break;
                case "@@DATA@@": data(model, metric, absolute, out); break;
                default: out.append(resource("diff.js")); break;
            }
            from = at + mark.length();
        }
        out.append(template, from, template.length());
    }

    private static void data(DiffModel model, Metric metric, boolean absolute, Appendable out) throws IOException {
        out.append("{\"format\":\"tolvane-diff\",\"metric\":\"").append(metric.option()).append("\",\"absolute\":")
                .append(String.valueOf(absolute)).append(",\"cpuTime\":").append(String.valueOf(model.hasCpuTime()))
                .append(",\"recordings\":[");
        for (int r = 0; r < 2; r++) {
            Header h = model.snapshot(r).header();
            out.append(r == 0 ? "{" : ",{").append("\"source\":");
            JsonFormat.string(out, model.source(r));
            out.append(",\"vmName\":");
            JsonFormat.string(out, h.vmName());
            out.append(",\"javaVersion\":");
            JsonFormat.string(out, h.javaVersion());
            out.append(",\"duration\":").append(String.valueOf(h.durationMicros()))
                    .append(",\"threads\":").append(String.valueOf(model.threadCount(r))).append('}');
        }
        out.append("],\"groups\":[");
        Map<String, Integer> names = new HashMap<>();
        StringBuilder nameList = new StringBuilder();
        String sep = "";
        for (Map.Entry<String, DiffModel.Node> g : model.groups().entrySet()) {
            out.append(sep).append("{\"name\":");
            JsonFormat.string(out, g.getKey());
            out.append(",\"tree\":");
            tree(out, g.getValue(), names, nameList, model.hasCpuTime());
            out.append('}');
            sep = ",";
        }
        out.append("],\"names\":[").append(nameList).append("]}");
    }

    /** Writes a merged tree as nested arrays without recursing. */
    private static void tree(Appendable out, DiffModel.Node root, Map<String, Integer> names, StringBuilder nameList,
                             boolean cpu) throws IOException {
        Deque<Iterator<DiffModel.Node>> open = new ArrayDeque<>();
        node(out, root, names, nameList, cpu);
        open.push(root.children.values().iterator());
        boolean first = true;
        while (!open.isEmpty()) {
            Iterator<DiffModel.Node> it = open.peek();
            if (it.hasNext()) {
                DiffModel.Node child = it.next();
                out.append(first ? "" : ",");
                node(out, child, names, nameList, cpu);
                open.push(child.children.values().iterator());
                first = true;
            } else {
                out.append("]]");
                open.pop();
                first = false;
            }
        }
    }

    /** Writes a node's name and times and opens its list of children. */
    private static void node(Appendable out, DiffModel.Node n, Map<String, Integer> names, StringBuilder nameList,
                             boolean cpu) throws IOException {
        Integer index = names.get(n.name);
        if (index == null) {
            index = names.size();
            names.put(n.name, index);
            if (nameList.length() > 0) {
                nameList.append(',');
            }
            JsonFormat.string(nameList, n.name);
        }
        out.append('[').append(String.valueOf(index));
        for (int r = 0; r < 2; r++) {
            long[] own = n.own[r];
            out.append(",[").append(String.valueOf(own[0])).append(',').append(String.valueOf(own[1])).append(',')
                    .append(String.valueOf(own[2])).append(',').append(String.valueOf(own[3]));
            if (cpu) {
                out.append(',').append(String.valueOf(own[4]));
            }
            out.append(']');
        }
        out.append(",[");
    }

    private static String resource(String name) {
        try (InputStream in = DiffPage.class.getResourceAsStream(name)) {
            if (in == null) {
                throw new IllegalStateException("diff page resource " + name + " is missing from the tool jar");
            }
            return new String(in.readAllBytes(), StandardCharsets.UTF_8);
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }
}
