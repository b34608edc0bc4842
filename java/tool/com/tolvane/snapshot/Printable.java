package com.tolvane.snapshot;

/**
 * Text from a profiled JVM made safe for a terminal. Thread names, class and
 * method names, main classes and the recorder's messages are chosen by the
 * program being profiled, so they may hold escape sequences that retitle,
 * clear or recolour the user's terminal, or line breaks that forge output
 * lines. Every control character (C0, DEL and C1: escape, carriage return,
 * line feed, ...) is replaced by '?' before such text is shown.
 */
public final class Printable {
    private Printable() {
    }

    /** The text with every control character replaced by '?'; the text itself when it holds none. */
    public static String of(String text) {
        StringBuilder sb = null;
        for (int i = 0; i < text.length(); i++) {
            char c = text.charAt(i);
            if (Character.isISOControl(c)) {
                if (sb == null) {
                    sb = new StringBuilder(text.length()).append(text, 0, i);
                }
                sb.append('?');
            } else if (sb != null) {
                sb.append(c);
            }
        }
        return sb == null ? text : sb.toString();
    }
}
