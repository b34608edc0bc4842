package com.tolvane.report;

import com.tolvane.report.pprof.ProfileProto;
import com.tolvane.snapshot.CallNode;
import com.tolvane.snapshot.LockTime;
import com.tolvane.snapshot.MethodRecord;
import com.tolvane.snapshot.Snapshot;
import com.tolvane.snapshot.ThreadRecord;

import java.io.IOException;
import java.io.OutputStream;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.Deque;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.function.ToLongFunction;
import java.util.zip.GZIPOutputStream;

/**
 * The snapshot as a gzip-compressed pprof profile (profile.proto), for Go's
 * pprof, Pyroscope, Grafana and the IDEs. Every call-tree node with own time
 * becomes one sample: its stack of locations (leaf first) and one value per
 * kind of time, in microseconds, with the thread name and the innermost
 * transaction label as sample labels. The leaf's values are exactly the own
 * times of the hot-spots report, so pprof's flat column agrees with it. Where
 * the snapshot says what a node's blocked or waiting time waited for, that
 * part is a sample of its own labelled "lock" (the monitor's or blocker's
 * class), "lock_kind" ("monitor" or "park") and "lock_holder" (the thread
 * that held it, when one was seen).
 *
 * <p>A location is a method at a line: the line of the frame's call to the
 * frame below it (unknown, 0, for the leaf), so pprof's line views show call
 * sites. Functions carry the report's frame name as name and the class,
 * method and JVM descriptor as system name.
 */
public final class PprofFormat {
    /** The library samples every 5 ms. */
    static final long SAMPLING_PERIOD_MICROS = 5000;
    static final String UNIT = "microseconds";

    /** One kind of time a sample carries: its sample-type name and a node's own time of that kind. */
    record Kind(String type, ToLongFunction<CallNode> self) {
    }

    private PprofFormat() {
    }

    /**
     * The sample types of a snapshot, in order: one per state a thread's time
     * is booked in. A kind that only some snapshots carry is added only for
     * those, after these, so readers always find the states at the same index.
     */
    static List<Kind> kinds(Snapshot snapshot) {
        List<Kind> kinds = new ArrayList<>();
        for (Metric m : Metric.STATES) {
            kinds.add(new Kind(m.option(), m::self));
        }
        if (snapshot.hasCpuTime()) {
            kinds.add(new Kind(Metric.CPU.option(), Metric.CPU::self));
        }
        return kinds;
    }

    /**
     * Writes the profile, gzip-compressed.
     *
     * @param startMillis when the recording started, milliseconds since the epoch (the snapshot keeps
     *                    only times relative to its own clock)
     */
    public static void write(ReportContext ctx, long startMillis, OutputStream out) throws IOException {
        GZIPOutputStream gzip = new GZIPOutputStream(out, 1 << 16);
        build(ctx, startMillis).writeTo(gzip);
        gzip.finish();
        gzip.flush();
    }

    static ProfileProto.Profile build(ReportContext ctx, long startMillis) {
        return new Builder(ctx).build(startMillis);
    }

    /** Interns strings, functions and locations while the samples are added. */
    private static final class Builder {
        private final ReportContext ctx;
        private final Naming names;
        private final List<Kind> kinds;
        private final ProfileProto.Profile.Builder profile = ProfileProto.Profile.newBuilder();
        private final Map<String, Long> strings = new HashMap<>();
        private final Map<String, Long> functions = new HashMap<>();
        private final Map<Long, Map<Integer, Long>> locations = new HashMap<>();

        Builder(ReportContext ctx) {
            this.ctx = ctx;
            this.names = ctx.names();
            this.kinds = kinds(ctx.snapshot());
            string("");
        }

        ProfileProto.Profile build(long startMillis) {
            for (Kind k : kinds) {
                profile.addSampleType(valueType(k.type()));
            }
            Snapshot s = ctx.snapshot();
            profile.setTimeNanos(startMillis * 1_000_000L);
            profile.setDurationNanos(Math.max(0, s.header().durationMicros()) * 1000L);
            profile.setPeriodType(valueType("wall"));
            profile.setPeriod(SAMPLING_PERIOD_MICROS);
            Metric shown = ctx.metric() == Metric.ALL ? Metric.RUNNING : ctx.metric();
            profile.setDefaultSampleType(string(shown.option()));
            profile.addComment(string("tolvane snapshot " + ctx.source() + " of " + s.header().vmName() + " "
                    + s.header().javaVersion()));
            // One mapping for all code, marked symbolised so that pprof looks up nothing.
            profile.addMapping(ProfileProto.Mapping.newBuilder().setId(1).setFilename(string("jvm"))
                    .setHasFunctions(true).setHasFilenames(true).setHasLineNumbers(true));
            for (ThreadRecord t : ctx.threads()) {
                addSamples(t);
            }
            return profile.build();
        }

        /** A sample for every node below the thread's root with own time, walked without recursion. */
        private void addSamples(ThreadRecord thread) {
            long threadName = string(thread.name());
            Deque<CallNode> pending = new ArrayDeque<>(thread.root().children());
            while (!pending.isEmpty()) {
                CallNode node = pending.pop();
                pending.addAll(node.children());
                long[] values = new long[kinds.size()];
                for (int i = 0; i < values.length; i++) {
                    values[i] = kinds.get(i).self().applyAsLong(node);
                }
                for (LockTime lock : node.locks()) {
                    // Its share of the node's blocked or waiting time moves to a labelled sample.
                    int kind = (lock.isMonitor() ? Metric.BLOCKED : Metric.WAITING).ordinal();
                    long micros = Math.min(lock.micros(), values[kind]);
                    if (micros > 0) {
                        long[] lockValues = new long[kinds.size()];
                        lockValues[kind] = micros;
                        values[kind] -= micros;
                        addSample(node, lockValues, threadName, lock);
                    }
                }
                boolean any = false;
                for (long v : values) {
                    any |= v > 0;
                }
                if (any) {
                    addSample(node, values, threadName, null);
                }
            }
        }

        private void addSample(CallNode node, long[] values, long threadName, LockTime lock) {
            ProfileProto.Sample.Builder sample = ProfileProto.Sample.newBuilder();
            String label = null;
            int line = 0;
            for (CallNode n = node; n != null && !n.isRoot(); n = n.parent()) {
                sample.addLocationId(location(n.method(), line));
                if (label == null && n.method().isInterception()) {
                    label = n.method().name();
                }
                line = n.line();
            }
            for (long v : values) {
                sample.addValue(v);
            }
            sample.addLabel(ProfileProto.Label.newBuilder().setKey(string("thread")).setStr(threadName));
            if (label != null) {
                sample.addLabel(ProfileProto.Label.newBuilder().setKey(string("transaction")).setStr(string(label)));
            }
            if (lock != null) {
                sample.addLabel(ProfileProto.Label.newBuilder().setKey(string("lock")).setStr(string(lock.lockClass())));
                sample.addLabel(ProfileProto.Label.newBuilder().setKey(string("lock_kind"))
                        .setStr(string(lock.isMonitor() ? "monitor" : "park")));
                if (lock.holder() != null) {
                    sample.addLabel(ProfileProto.Label.newBuilder().setKey(string("lock_holder"))
                            .setStr(string(lock.holder())));
                }
            }
            profile.addSample(sample);
        }

        private long location(MethodRecord method, int line) {
            long function = function(method);
            Map<Integer, Long> byLine = locations.computeIfAbsent(function, f -> new HashMap<>());
            Long id = byLine.get(line);
            if (id == null) {
                id = (long) profile.getLocationCount() + 1;
                byLine.put(line, id);
                profile.addLocation(ProfileProto.Location.newBuilder().setId(id).setMappingId(1)
                        .addLine(ProfileProto.Line.newBuilder().setFunctionId(function).setLine(line)));
            }
            return id;
        }

        /** Functions by frame name: code the reports show as one method is one function. */
        private long function(MethodRecord method) {
            String name = names.frame(method);
            Long id = functions.get(name);
            if (id == null) {
                id = (long) profile.getFunctionCount() + 1;
                functions.put(name, id);
                String system = method.isInterception() ? method.name()
                        : method.className() + "." + method.name() + method.signature();
                profile.addFunction(ProfileProto.Function.newBuilder().setId(id).setName(string(name))
                        .setSystemName(string(system)).setFilename(string(sourceName(method))));
            }
            return id;
        }

        private ProfileProto.ValueType valueType(String type) {
            return ProfileProto.ValueType.newBuilder().setType(string(type)).setUnit(string(UNIT)).build();
        }

        private long string(String s) {
            Long index = strings.get(s);
            if (index == null) {
                index = (long) profile.getStringTableCount();
                strings.put(s, index);
                profile.addStringTable(s);
            }
            return index;
        }
    }

    /**
     * The class as a path ("com/acme/Shop"), which viewers group files by; the
     * snapshot does not know source file names.
     */
    static String sourceName(MethodRecord method) {
        if (method.isInterception()) {
            return "";
        }
        String cls = method.className();
        int nested = cls.indexOf('$');
        return (nested > 0 ? cls.substring(0, nested) : cls).replace('.', '/');
    }
}
