package com.tolvane.tool;

import com.tolvane.agent.recorder.OutputPattern;
import com.tolvane.agent.recorder.RecordingDefaults;
import java.math.BigDecimal;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.LocalDateTime;
import java.time.ZoneId;
import java.util.ArrayList;
import java.util.List;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * The validated options of a recording. The command line fills them in and
 * checks every value with the helpers here before any JVM is touched, so that
 * bad input never reaches a target.
 */
public final class RecordOptions {
    public static final String DEFAULT_OUTPUT = "tolvane-%p-%t.tsnap";

    /** The JDK's own packages: collapsed into the first call from application code. */
    public static final List<String> DEFAULT_FILTERS = List.copyOf(RecordingDefaults.FILTERS);

    /** Socket calls and selector waits of the supported JDKs, counted as net I/O. */
    public static final List<String> DEFAULT_NETIO = List.copyOf(RecordingDefaults.NETIO);

    private static final Pattern DURATION = Pattern.compile("(\\d+(?:\\.\\d+)?)(ms|s|m)?");
    private static final Pattern CLASS_PATTERN = Pattern.compile("[\\p{L}\\p{N}_$.*?/]*");
    private static final Pattern CLASS_NAME = Pattern.compile("[\\p{L}_$][\\p{L}\\p{N}_$]*(\\.[\\p{L}_$][\\p{L}\\p{N}_$]*)*");
    private static final Pattern METHOD_NAME = Pattern.compile("<init>|<clinit>|[\\p{L}_$][\\p{L}\\p{N}_$]*");
    private static final Pattern SIGNATURE = Pattern.compile("\\(([ZBCSIJFD]|\\[+[ZBCSIJFD]|\\[*L[^;()\\[]+;)*\\)"
            + "([ZBCSIJFDV]|\\[+[ZBCSIJFD]|\\[*L[^;()\\[]+;)");

    /** One net I/O declaration: a class, optionally one method name, optionally its signature. */
    public record Netio(String className, String method, String signature) {
    }

    public long durationMillis = 10_000;
    public String outputPattern = DEFAULT_OUTPUT;
    public final List<String> filters = new ArrayList<>();
    public boolean filterInverted;
    /** Whether {@link #DEFAULT_FILTERS} lead the filter list. */
    public boolean defaultFilters;
    public final List<String> ignored = new ArrayList<>();
    public final List<Netio> netio = new ArrayList<>();
    public boolean agentThreads;
    public boolean agentClasses;
    public boolean batchedCapture;
    /** Whether blocked and parked time is recorded per lock and holder (the agent option "locks"). */
    public boolean locks = true;
    /** Running threads captured at the tick, not sampled on their CPU clocks. */
    public boolean noAsyncSampling;
    /** Most threads captured one by one on a tick; -1 for the profiler's default. */
    public int singleCaptureLimit = -1;
    /** Most call-tree nodes of one recording; -1 for the profiler's default. */
    public int maxTreeNodes = -1;
    public boolean transactions;
    /** Where to write the HTML report of the recording; null for none. */
    public String htmlOutput;

    /** "500ms", "10s", "2m", "1.5s" or a bare number of seconds, in milliseconds. */
    public static long parseDuration(String text) throws ToolException {
        Matcher m = DURATION.matcher(text == null ? "" : text.trim());
        if (!m.matches()) {
            throw ToolException.usage("unparsable duration '" + text
                    + "': use a number with ms, s or m, such as 500ms, 10s or 2m");
        }
        String unit = m.group(2) == null ? "s" : m.group(2);
        BigDecimal factor = BigDecimal.valueOf(unit.equals("ms") ? 1 : unit.equals("s") ? 1000 : 60_000);
        BigDecimal millis = new BigDecimal(m.group(1)).multiply(factor);
        if (millis.compareTo(BigDecimal.valueOf(7L * 24 * 3600 * 1000)) > 0) {
            throw ToolException.usage("duration '" + text + "' is longer than a week");
        }
        if (millis.stripTrailingZeros().scale() > 0) {
            throw ToolException.usage("duration '" + text + "' is not a whole number of milliseconds");
        }
        if (millis.signum() == 0) {
            throw ToolException.usage("duration '" + text + "' records nothing: give a time above 0");
        }
        return millis.longValueExact();
    }

    /**
     * Keeps the default filters from collapsing the recorded application
     * itself (javac's main class is com.sun.tools.javac.Main): when they cover
     * the package of the target's main class, an exemption for that package
     * follows them, before any --filter of the user's.
     */
    public void exemptApplication(String mainClass) {
        String pkg = applicationPackage(mainClass);
        if (!defaultFilters || pkg == null) {
            return;
        }
        for (String f : DEFAULT_FILTERS) {
            if (pkg.startsWith(f)) {
                filters.add(DEFAULT_FILTERS.size(), "-" + pkg);
                return;
            }
        }
    }

    /** "com.sun.tools.javac." for "jdk.compiler/com.sun.tools.javac.Main"; null for a jar or no package. */
    static String applicationPackage(String mainClass) {
        return RecordingDefaults.applicationPackage(mainClass);
    }

    /**
     * The output file name with %p, %t, %n and %% replaced, by the rule the
     * recorder in the target applies; a single recording is snapshot 1.
     */
    public static String expandOutput(String pattern, long pid, LocalDateTime now) throws ToolException {
        try {
            return OutputPattern.expand(pattern, pid, 1, now.atZone(ZoneId.systemDefault()).toInstant().toEpochMilli());
        } catch (IllegalArgumentException e) {
            throw ToolException.usage(e.getMessage());
        }
    }

    /**
     * The output path for a target, absolute, after checking that its
     * directory exists and can be written, so a doomed recording never starts.
     */
    public Path outputFor(long pid) throws ToolException {
        Path out = Path.of(expandOutput(outputPattern, pid, LocalDateTime.now())).toAbsolutePath().normalize();
        Path dir = out.getParent();
        if (dir == null || !Files.isDirectory(dir)) {
            throw ToolException.usage("output directory " + dir + " does not exist");
        }
        if (!Files.isWritable(dir)) {
            throw ToolException.usage("output directory " + dir + " is not writable");
        }
        if (Files.isDirectory(out)) {
            throw ToolException.usage("output " + out + " is a directory");
        }
        // The recorder removes an old file under the output name before it writes.
        OutputFiles.checkReplaceable(out, "output");
        if (Files.exists(out) && !Files.isWritable(out)) {
            throw ToolException.usage("output file " + out + " exists and is not writable");
        }
        return out;
    }

    /** A class-name pattern: letters, digits, '_', '$', '.', '/', '*', '?', and for filters a leading '-'. */
    public static String checkPattern(String pattern, boolean filter, String option) throws ToolException {
        String body = filter && pattern.startsWith("-") ? pattern.substring(1) : pattern;
        if (body.isEmpty()) {
            throw ToolException.usage("empty pattern for " + option);
        }
        if (!CLASS_PATTERN.matcher(body).matches()) {
            throw ToolException.usage("unparsable pattern '" + pattern + "' for " + option
                    + ": use a class name or package prefix with '*' and '?' wildcards, such as com.acme. or *Dao");
        }
        return pattern;
    }

    /** CLASS, CLASS#METHOD or CLASS#METHOD(SIGNATURE), e.g. com.acme.Client#send(Ljava/lang/String;)V. */
    public static Netio parseNetio(String declaration) throws ToolException {
        String cls = declaration;
        String method = null;
        String signature = null;
        int hash = declaration.indexOf('#');
        if (hash >= 0) {
            cls = declaration.substring(0, hash);
            method = declaration.substring(hash + 1);
            int paren = method.indexOf('(');
            if (paren >= 0) {
                signature = method.substring(paren);
                method = method.substring(0, paren);
            }
        }
        cls = cls.replace('/', '.');
        String hint = ": use CLASS, CLASS#METHOD or CLASS#METHOD(SIGNATURE), such as java.net.SocketInputStream#read";
        if (!CLASS_NAME.matcher(cls).matches()) {
            throw ToolException.usage("unparsable --netio '" + declaration + "': bad class name '" + cls + "'" + hint);
        }
        if (method != null && !METHOD_NAME.matcher(method).matches()) {
            throw ToolException.usage("unparsable --netio '" + declaration + "': bad method name '" + method + "'" + hint);
        }
        if (signature != null && !SIGNATURE.matcher(signature).matches()) {
            throw ToolException.usage("unparsable --netio '" + declaration + "': bad method signature '" + signature
                    + "' (a JVM descriptor such as ([BII)I)");
        }
        return new Netio(cls, method, signature);
    }
}
