package com.tolvane.agent.recorder;

import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.Properties;

/**
 * What a client asks the recorder to do, as properties text.
 *
 * <p>Keys: output, durationMillis, transactions, agentThreads,
 * agentClasses, filterInverted, filter.N, ignore.N, and for net I/O
 * declarations netio.N.class with optional netio.N.method and
 * netio.N.signature (N counting from 0 without gaps).
 *
 * <p>A continuous recording adds loopMillis, the length of each snapshot,
 * and optionally keep, how many of the newest snapshots remain (0: all).
 * Its output is then a pattern: %n is the snapshot's number counting from
 * 1, %t the time it started, %p the process id and %% a percent sign; it
 * must hold %n or %t so that each snapshot gets a name of its own. Its
 * durationMillis, when above 0, ends the loop after that much time.
 */
final class RecordingRequest {
    final String output;
    final long durationMillis;
    /** Length of each snapshot of a continuous recording; 0 for a single recording. */
    final long loopMillis;
    /** How many snapshots of a continuous recording remain; 0 for all. */
    final int keep;
    final boolean transactions;
    final boolean agentThreads;
    final boolean agentClasses;
    final boolean filterInverted;
    final String[] filters;
    final String[] ignored;
    /**
     * Net I/O declarations by class, the classes in the order given; a null
     * method list means every method of the class.
     */
    final List<String> netioClasses = new ArrayList<String>();
    final Map<String, List<String[]>> netio = new HashMap<String, List<String[]>>();

    private RecordingRequest(Properties p) {
        output = required(p, "output");
        try {
            durationMillis = Long.parseLong(required(p, "durationMillis"));
        } catch (NumberFormatException e) {
            throw new IllegalArgumentException("bad durationMillis in recording request");
        }
        if (durationMillis < 0) {
            throw new IllegalArgumentException("negative durationMillis in recording request");
        }
        loopMillis = number(p, "loopMillis");
        keep = (int) Math.min(Integer.MAX_VALUE, number(p, "keep"));
        if (loopMillis > 0) {
            OutputPattern.check(output);
        }
        transactions = Boolean.parseBoolean(p.getProperty("transactions"));
        agentThreads = Boolean.parseBoolean(p.getProperty("agentThreads"));
        agentClasses = Boolean.parseBoolean(p.getProperty("agentClasses"));
        filterInverted = Boolean.parseBoolean(p.getProperty("filterInverted"));
        filters = list(p, "filter.");
        ignored = list(p, "ignore.");
        for (int i = 0; p.getProperty("netio." + i + ".class") != null; i++) {
            String cls = p.getProperty("netio." + i + ".class");
            String method = p.getProperty("netio." + i + ".method");
            String signature = p.getProperty("netio." + i + ".signature");
            boolean known = netio.containsKey(cls);
            List<String[]> methods = netio.get(cls);
            if (known && methods == null) {
                continue; // already every method
            }
            if (!known) {
                netioClasses.add(cls);
            }
            if (method == null) {
                netio.put(cls, null);
                continue;
            }
            if (methods == null) {
                methods = new ArrayList<String[]>();
                netio.put(cls, methods);
            }
            methods.add(new String[] {method, signature});
        }
    }

    /** The request of a command of the tolvane tool, whose other keys it ignores. */
    static RecordingRequest of(Properties p) {
        return new RecordingRequest(p);
    }

    static RecordingRequest parse(String text) {
        if (text == null) {
            throw new IllegalArgumentException("no recording request given");
        }
        Properties p;
        try {
            p = RecorderControl.properties(text);
        } catch (IllegalArgumentException e) {
            throw new IllegalArgumentException("unreadable recording request: " + e.getMessage());
        }
        return new RecordingRequest(p);
    }

    private static String required(Properties p, String key) {
        String value = p.getProperty(key);
        if (value == null || value.isEmpty()) {
            throw new IllegalArgumentException("recording request without " + key);
        }
        return value;
    }

    /** An optional count or time: 0 when absent. */
    private static long number(Properties p, String key) {
        String value = p.getProperty(key);
        if (value == null) {
            return 0;
        }
        try {
            long n = Long.parseLong(value.trim());
            if (n >= 0) {
                return n;
            }
        } catch (NumberFormatException e) {
            // reported below
        }
        throw new IllegalArgumentException("bad " + key + " in recording request: " + value);
    }

    boolean isLoop() {
        return loopMillis > 0;
    }

    private static String[] list(Properties p, String prefix) {
        List<String> values = new ArrayList<String>();
        for (int i = 0; p.getProperty(prefix + i) != null; i++) {
            values.add(p.getProperty(prefix + i));
        }
        return values.toArray(new String[0]);
    }
}
