package com.tolvane.report;

import com.tolvane.snapshot.MethodRecord;
import com.tolvane.snapshot.Printable;

/**
 * How methods appear in the reports: "Class.method", and a transaction label
 * in square brackets so that it stands out as a frame of its own. Names come
 * from the profiled JVM, and transaction labels from its application, so
 * control characters are replaced before they reach a terminal.
 */
public final class Names {
    private Names() {
    }

    /** The display name of a frame; "(root)" for a tree's root. */
    public static String frame(MethodRecord m) {
        if (m == null) {
            return "(root)";
        }
        String text = m.isInterception() ? "[" + m.name() + "]" : m.className() + "." + m.name();
        return printable(text);
    }

    /** The name of a frame in the folded stack format, where ';' separates frames. */
    public static String folded(MethodRecord m) {
        return frame(m).replace(';', ',');
    }

    /** The text with every control character replaced by '?' (see {@link Printable}). */
    public static String printable(String text) {
        return Printable.of(text);
    }

    /** Microseconds as milliseconds with three decimals, exactly. */
    public static String ms(long micros) {
        String sign = micros < 0 ? "-" : "";
        long abs = Math.abs(micros);
        return sign + (abs / 1000) + "." + String.format("%03d", abs % 1000);
    }

    /** Microseconds as seconds with three decimals (rounded down to the millisecond). */
    public static String seconds(long micros) {
        String sign = micros < 0 ? "-" : "";
        long millis = Math.abs(micros) / 1000;
        return sign + (millis / 1000) + "." + String.format("%03d", millis % 1000);
    }

    /** A share as a percentage with one decimal; 0 when the whole is 0. */
    public static String percent(long part, long whole) {
        double p = whole == 0 ? 0 : 100.0 * part / whole;
        return String.format(java.util.Locale.ROOT, "%.1f%%", p);
    }

    /** A threshold as typed: "1" rather than "1.0", "0.5" as it is. */
    public static String number(double value) {
        return value == Math.rint(value) && Math.abs(value) < 1e15 ? String.valueOf((long) value) : String.valueOf(value);
    }

    /** Left-pads to a width. */
    public static String pad(String s, int width) {
        return s.length() >= width ? s : " ".repeat(width - s.length()) + s;
    }
}
