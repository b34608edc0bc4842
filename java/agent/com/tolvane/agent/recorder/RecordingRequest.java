package com.tolvane.agent.recorder;

import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Properties;

/**
 * What the tolvane command asks the recorder to do. The command writes it as a
 * properties file and passes only that file's path as the agent argument,
 * because the attach protocol limits the length of an agent argument.
 *
 * <p>Keys: output, status, durationMillis, transactions, agentThreads,
 * agentClasses, filterInverted, filter.N, ignore.N, and for net I/O
 * declarations netio.N.class with optional netio.N.method and
 * netio.N.signature (N counting from 0 without gaps).
 */
final class RecordingRequest {
    final String output;
    final String status;
    final long durationMillis;
    final boolean transactions;
    final boolean agentThreads;
    final boolean agentClasses;
    final boolean filterInverted;
    final String[] filters;
    final String[] ignored;
    /** Net I/O declarations by class; a null method list means every method of the class. */
    final Map<String, List<String[]>> netio;

    private RecordingRequest(Properties p) {
        output = required(p, "output");
        status = required(p, "status");
        try {
            durationMillis = Long.parseLong(required(p, "durationMillis"));
        } catch (NumberFormatException e) {
            throw new IllegalArgumentException("bad durationMillis in recording request");
        }
        transactions = Boolean.parseBoolean(p.getProperty("transactions"));
        agentThreads = Boolean.parseBoolean(p.getProperty("agentThreads"));
        agentClasses = Boolean.parseBoolean(p.getProperty("agentClasses"));
        filterInverted = Boolean.parseBoolean(p.getProperty("filterInverted"));
        filters = list(p, "filter.");
        ignored = list(p, "ignore.");
        netio = new LinkedHashMap<String, List<String[]>>();
        for (int i = 0; p.getProperty("netio." + i + ".class") != null; i++) {
            String cls = p.getProperty("netio." + i + ".class");
            String method = p.getProperty("netio." + i + ".method");
            String signature = p.getProperty("netio." + i + ".signature");
            boolean known = netio.containsKey(cls);
            List<String[]> methods = netio.get(cls);
            if (known && methods == null) {
                continue; // already every method
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

    static RecordingRequest load(String file) throws IOException {
        Properties p = new Properties();
        InputStream in = Files.newInputStream(Paths.get(file));
        try {
            p.load(in);
        } finally {
            in.close();
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

    private static String[] list(Properties p, String prefix) {
        List<String> values = new ArrayList<String>();
        for (int i = 0; p.getProperty(prefix + i) != null; i++) {
            values.add(p.getProperty(prefix + i));
        }
        return values.toArray(new String[0]);
    }
}
