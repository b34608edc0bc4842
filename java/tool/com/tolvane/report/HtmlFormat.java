package com.tolvane.report;

import com.tolvane.snapshot.FormatConstants;
import java.io.IOException;
import java.io.InputStream;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;

/**
 * One self-contained HTML page: the page template with its style sheet and
 * script inlined, and the snapshot as the JSON document of {@link JsonFormat}
 * (with flattened trees) in a data block that the script reads, next to a second block with the
 * snapshot format's status codes and class kind, so that the script does not
 * repeat them. The page loads nothing from the network.
 */
public final class HtmlFormat {
    private HtmlFormat() {
    }

    public static void write(ReportContext ctx, Appendable out) throws IOException {
        String template = resource("report.html");
        String[] marks = {"@@METRIC@@", "@@TITLE@@", "@@CSS@@", "@@LOCKS@@", "@@DATA@@", "@@FORMAT@@", "@@SCRIPT@@"};
        int from = 0;
        for (String mark : marks) {
            int at = template.indexOf(mark, from);
            if (at < 0) {
                throw new IllegalStateException("report page template lacks " + mark);
            }
            out.append(template, from, at);
            switch (mark) {
                case "@@METRIC@@": out.append(ctx.metric().option()); break;
                case "@@TITLE@@": out.append(escapeHtml(ctx.source())); break;
                case "@@CSS@@": out.append(resource("report.css")); break;
                case "@@LOCKS@@": LocksHtml.write(ctx, out); break;
                case "@@DATA@@": JsonFormat.write(ctx, out, true); break;
                case "@@FORMAT@@": out.append(formatCodes()); break;
                default: out.append(resource("report.js")); break;
            }
            from = at + mark.length();
        }
        out.append(template, from, template.length());
    }

    /** The format's codes the page script needs, as a JSON object. */
    static String formatCodes() {
        return "{\"status\":{\"running\":" + FormatConstants.STATUS_RUNNING
            + ",\"blocked\":" + FormatConstants.STATUS_BLOCKED
            + ",\"waiting\":" + FormatConstants.STATUS_WAITING
            + ",\"netio\":" + FormatConstants.STATUS_NET_IO
            + ",\"dead\":" + FormatConstants.STATUS_DEAD
            + "},\"transactionClassKind\":" + FormatConstants.CLASS_KIND_INTERCEPTION + "}";
    }

    /** Reads a page resource packed next to this class. */
    public static String resource(String name) {
        try (InputStream in = HtmlFormat.class.getResourceAsStream(name)) {
            if (in == null) {
                throw new IllegalStateException("report page resource " + name + " is missing from the tool jar");
            }
            return new String(in.readAllBytes(), StandardCharsets.UTF_8);
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    public static String escapeHtml(String s) {
        StringBuilder sb = new StringBuilder(s.length());
        for (int i = 0; i < s.length(); i++) {
            char c = s.charAt(i);
            switch (c) {
                case '<': sb.append("&lt;"); break;
                case '>': sb.append("&gt;"); break;
                case '&': sb.append("&amp;"); break;
                case '"': sb.append("&quot;"); break;
                case '\'': sb.append("&#39;"); break;
                default: sb.append(Character.isISOControl(c) ? '?' : c);
            }
        }
        return sb.toString();
    }
}
