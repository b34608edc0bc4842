package com.tolvane.agent.recorder;

import java.text.SimpleDateFormat;
import java.util.Date;

/**
 * Snapshot file names with placeholders, expanded in the recorded JVM:
 * %p the process id, %t the local time as yyyyMMdd-HHmmss, %n the number of
 * the snapshot in a continuous recording (from 1), %% a percent sign. The
 * tolvane command names files by the same rule.
 */
public final class OutputPattern {
    private OutputPattern() {
    }

    /**
     * The name for snapshot {@code number}, started at {@code millis}.
     *
     * @throws IllegalArgumentException for an unknown placeholder
     */
    public static String expand(String pattern, long pid, long number, long millis) {
        StringBuilder sb = new StringBuilder();
        for (int i = 0; i < pattern.length(); i++) {
            char c = pattern.charAt(i);
            if (c != '%') {
                sb.append(c);
                continue;
            }
            char next = i + 1 < pattern.length() ? pattern.charAt(i + 1) : 0;
            switch (next) {
                case 'p': sb.append(pid); break;
                case 't': sb.append(new SimpleDateFormat("yyyyMMdd-HHmmss").format(new Date(millis))); break;
                case 'n': sb.append(number); break;
                case '%': sb.append('%'); break;
                default:
                    throw new IllegalArgumentException("unknown placeholder in output file name '" + pattern
                            + "': use %p (process id), %t (timestamp), %n (snapshot number) or %%");
            }
            i++;
        }
        return sb.toString();
    }

    /** Refuses a pattern with unknown placeholders or one that names every snapshot alike. */
    static void check(String pattern) {
        expand(pattern, 1, 1, 0);
        if (!expand(pattern, 1, 1, 0).equals(expand(pattern, 1, 2, 0))
                || !expand(pattern, 1, 1, 0).equals(expand(pattern, 1, 1, 3_600_000L))) {
            return;
        }
        throw new IllegalArgumentException("the output '" + pattern + "' of a continuous recording needs %n"
                + " (snapshot number) or %t (timestamp), so that each snapshot gets a file of its own");
    }

    /** This JVM's process id, read without loading the management classes. */
    static long currentPid() {
        try {
            return Long.parseLong(new java.io.File("/proc/self").getCanonicalFile().getName());
        } catch (java.io.IOException | RuntimeException e) {
            String name = java.lang.management.ManagementFactory.getRuntimeMXBean().getName();
            return Long.parseLong(name.substring(0, name.indexOf('@')));
        }
    }
}
