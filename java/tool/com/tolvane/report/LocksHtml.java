package com.tolvane.report;

import java.io.IOException;
import java.util.Map;

/**
 * The page's locks section, written with the page rather than drawn by its
 * script: per monitor and park blocker class, the time waited, the threads
 * that waited and held it, and the call paths (as {@link LocksFormat} shows
 * them). Nothing when the snapshot has no lock section.
 */
public final class LocksHtml {
    private LocksHtml() {
    }

    public static void write(ReportContext ctx, Appendable out) throws IOException {
        if (ctx.snapshot().locks() == null) {
            return;
        }
        out.append("<section id=\"locks-section\">\n  <h2>Locks <small>time blocked entering a monitor or parked on a"
                + " blocker, ms; holders are the threads that held it when a waiting thread was sampled; call"
                + " paths run from the waiting method outward</small></h2>\n");
        out.append("  <div id=\"locks-box\"><table id=\"locks\"><thead><tr><th>Lock</th><th>ms</th>"
                + "<th>Waiting</th><th>Held by</th></tr></thead><tbody>\n");
        var locks = LockReport.locks(ctx);
        if (locks.isEmpty()) {
            out.append("<tr><td colspan=\"4\">no thread was seen blocked on a monitor or parked on a blocker"
                    + "</td></tr>\n");
        }
        for (LockReport.Lock lock : locks) {
            out.append("<tr><td>").append(lock.monitor ? "blocked on " : "parked on ")
                    .append(HtmlFormat.escapeHtml(lock.title())).append("</td><td>")
                    .append(Names.ms(lock.micros)).append("</td><td>");
            list(out, lock.waiting);
            out.append("</td><td>");
            list(out, lock.holders);
            out.append("</td></tr>\n<tr class=\"lock-paths\"><td colspan=\"4\">");
            int shown = 0;
            for (Map.Entry<String, Long> p : lock.paths.entrySet()) {
                if (shown++ == LocksFormat.SHOWN) {
                    break;
                }
                out.append("<div>").append(Names.ms(p.getValue())).append(" ms  ")
                        .append(HtmlFormat.escapeHtml(p.getKey())).append("</div>");
            }
            out.append("</td></tr>\n");
        }
        out.append("</tbody></table></div>\n</section>\n");
    }

    private static void list(Appendable out, Map<String, Long> times) throws IOException {
        int shown = 0;
        for (Map.Entry<String, Long> e : times.entrySet()) {
            if (shown++ == LocksFormat.SHOWN) {
                out.append(", \u2026");
                break;
            }
            out.append(shown > 1 ? ", " : "").append(HtmlFormat.escapeHtml(e.getKey())).append(' ')
                    .append(Names.ms(e.getValue()));
        }
    }
}
