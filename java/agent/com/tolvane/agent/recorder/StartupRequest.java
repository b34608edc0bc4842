package com.tolvane.agent.recorder;

import java.io.IOException;
import java.io.StringWriter;
import java.io.UncheckedIOException;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;
import java.util.Properties;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * The recording asked for on the java command line, from the library's
 * option string: comma-separated items such as
 * {@code record=30s,file=/tmp/app-%p.tsnap}. Turned into the properties text
 * that {@link Recorder#start} takes.
 *
 * <p>Items: record[=TIME] (TIME as 500ms, 30s, 2m or seconds; without TIME
 * only together with loop), loop=TIME (one snapshot per TIME; record=TIME
 * then ends the loop after that long), keep=N, file=PATTERN, transactions,
 * agent-threads, agent-classes, invert, filter=PATTERN, ignore=PATTERN,
 * netio=CLASS[#METHOD[(SIGNATURE)]], no-default-filters, no-default-netio;
 * the library's own items (jar=, max-tree-nodes=, single-capture-limit=,
 * batched-capture, no-async-sampling, save-thread-start, locks) are passed over.
 */
final class StartupRequest {
    static final String DEFAULT_FILE = "tolvane-%p-%t.tsnap";

    private static final List<String> LIBRARY_ITEMS = Arrays.asList("jar", "max-tree-nodes", "single-capture-limit",
            "batched-capture", "no-async-sampling", "save-thread-start", "locks");
    private static final Pattern TIME = Pattern.compile("(\\d{1,9})(ms|s|m)?");

    /** What the recording does, for the start line. */
    final String description;
    /** The request for {@link Recorder#start}. */
    final String request;

    private StartupRequest(String description, String request) {
        this.description = description;
        this.request = request;
    }

    /**
     * The recording the options ask for, or null when they ask for none.
     *
     * @param workDir   the JVM's working directory, for a relative file name
     * @param mainClass the first word of the JVM's command ("sun.java.command")
     * @throws IllegalArgumentException naming what is wrong
     */
    static StartupRequest parse(String options, long pid, String workDir, String mainClass) {
        Properties p = new Properties();
        boolean record = false;
        long duration = 0;
        long loop = 0;
        String file = DEFAULT_FILE;
        boolean defaultFilters = true;
        boolean defaultNetio = true;
        List<String> filters = new ArrayList<String>();
        List<String> ignored = new ArrayList<String>();
        List<String> netio = new ArrayList<String>();
        for (String item : options == null ? new String[0] : options.split(",")) {
            if (item.isEmpty()) {
                continue;
            }
            int eq = item.indexOf('=');
            String key = eq < 0 ? item : item.substring(0, eq);
            String value = eq < 0 ? null : item.substring(eq + 1);
            if (LIBRARY_ITEMS.contains(key)) {
                continue;
            }
            if (key.equals("record")) {
                record = true;
                duration = value == null ? 0 : time(value, "record");
            } else if (key.equals("loop")) {
                record = true;
                loop = time(required(key, value), "loop");
                if (loop < 1000) {
                    throw new IllegalArgumentException("loop=" + value + " is shorter than a second");
                }
            } else if (key.equals("keep")) {
                String n = required(key, value);
                if (!n.matches("\\d{1,6}") || Integer.parseInt(n) == 0) {
                    throw new IllegalArgumentException("keep=" + n + " is not a number from 1 to 999999");
                }
                p.setProperty("keep", n);
            } else if (key.equals("file")) {
                file = required(key, value);
            } else if (key.equals("filter")) {
                filters.add(required(key, value));
            } else if (key.equals("ignore")) {
                ignored.add(required(key, value));
            } else if (key.equals("netio")) {
                netio.add(required(key, value));
            } else if (value == null && key.equals("no-default-filters")) {
                defaultFilters = false;
            } else if (value == null && key.equals("no-default-netio")) {
                defaultNetio = false;
            } else if (value == null && (key.equals("transactions") || key.equals("agent-threads")
                    || key.equals("agent-classes") || key.equals("invert"))) {
                p.setProperty(camelCase(key.equals("invert") ? "filter-inverted" : key), "true");
            } else {
                throw new IllegalArgumentException("unknown option '" + item + "'");
            }
        }
        if (!record) {
            return null;
        }
        if (loop == 0 && duration == 0) {
            throw new IllegalArgumentException("record needs a time, such as record=30s, unless loop= is given");
        }
        List<String> allFilters = new ArrayList<String>();
        if (defaultFilters && !p.containsKey("filterInverted")) {
            allFilters.addAll(RecordingDefaults.filtersFor(mainClass));
        }
        allFilters.addAll(filters);
        putList(p, "filter.", allFilters);
        putList(p, "ignore.", ignored);
        List<String> allNetio = new ArrayList<String>(defaultNetio ? RecordingDefaults.NETIO : new ArrayList<String>());
        allNetio.addAll(netio);
        for (int i = 0; i < allNetio.size(); i++) {
            putNetio(p, i, allNetio.get(i));
        }

        String output = Paths.get(workDir).resolve(file).toAbsolutePath().normalize().toString();
        java.nio.file.Path parent = Paths.get(output).getParent();
        if (parent == null || !java.nio.file.Files.isDirectory(parent)) {
            throw new IllegalArgumentException("the directory " + parent + " of file=" + file + " does not exist");
        }
        String description;
        if (loop > 0) {
            OutputPattern.check(output);
            p.setProperty("loopMillis", Long.toString(loop));
            // %p is known now; %n and %t are expanded per snapshot.
            output = output.replace("%%", "\u0000").replace("%p", Long.toString(pid)).replace("\u0000", "%%");
            description = "continuously in snapshots of " + seconds(loop) + " into " + output
                    + (p.containsKey("keep") ? ", keeping the newest " + p.getProperty("keep") : "")
                    + (duration > 0 ? ", for " + seconds(duration) : "");
        } else {
            output = OutputPattern.expand(output, pid, 1, System.currentTimeMillis());
            description = "for " + seconds(duration) + " into " + output;
        }
        p.setProperty("output", output);
        p.setProperty("durationMillis", Long.toString(duration));
        StringWriter text = new StringWriter();
        try {
            p.store(text, null);
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
        return new StartupRequest(description, text.toString());
    }

    private static String required(String key, String value) {
        if (value == null || value.isEmpty()) {
            throw new IllegalArgumentException(key + "= needs a value");
        }
        return value;
    }

    /** 500ms, 30s, 2m, or a bare number of seconds, in milliseconds. */
    static long time(String text, String key) {
        Matcher m = TIME.matcher(text);
        if (!m.matches() || Long.parseLong(m.group(1)) == 0) {
            throw new IllegalArgumentException(key + "=" + text + " is not a time above 0 such as 500ms, 30s or 2m");
        }
        long n = Long.parseLong(m.group(1));
        String unit = m.group(2) == null ? "s" : m.group(2);
        return unit.equals("ms") ? n : unit.equals("s") ? n * 1000 : n * 60_000;
    }

    private static String camelCase(String key) {
        StringBuilder sb = new StringBuilder();
        boolean upper = false;
        for (char c : key.toCharArray()) {
            if (c == '-') {
                upper = true;
            } else {
                sb.append(upper ? Character.toUpperCase(c) : c);
                upper = false;
            }
        }
        return sb.toString();
    }

    private static void putList(Properties p, String prefix, List<String> values) {
        for (int i = 0; i < values.size(); i++) {
            p.setProperty(prefix + i, values.get(i));
        }
    }

    /** CLASS, CLASS#METHOD or CLASS#METHOD(SIGNATURE). */
    private static void putNetio(Properties p, int i, String declaration) {
        String cls = declaration;
        int hash = declaration.indexOf('#');
        if (hash >= 0) {
            cls = declaration.substring(0, hash);
            String method = declaration.substring(hash + 1);
            int paren = method.indexOf('(');
            if (paren >= 0) {
                p.setProperty("netio." + i + ".signature", method.substring(paren));
                method = method.substring(0, paren);
            }
            p.setProperty("netio." + i + ".method", method);
        }
        p.setProperty("netio." + i + ".class", cls.replace('/', '.'));
    }

    private static String seconds(long millis) {
        return String.format(Locale.ROOT, "%.1f s", millis / 1000.0);
    }
}
