package com.tolvane.snapshot;

import java.util.Collections;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/** The complete, immutable content of one snapshot file. */
public final class Snapshot {
    private final Header header;
    private final List<Section> sections;
    private final List<ClassRecord> classes;
    private final List<MethodRecord> methods;
    private final List<String> filters;
    private final boolean filterInverted;
    private final List<ThreadRecord> threads;
    private final Map<Long, ClassRecord> classById;
    private final Map<Long, MethodRecord> methodById;
    private final NodeLimit nodeLimit;
    private final Locks locks;
    private final LostSamples lostSamples;

    public Snapshot(Header header, List<Section> sections, List<ClassRecord> classes, List<MethodRecord> methods,
                    List<String> filters, boolean filterInverted, List<ThreadRecord> threads) {
        this(header, sections, classes, methods, filters, filterInverted, threads, null);
    }

    public Snapshot(Header header, List<Section> sections, List<ClassRecord> classes, List<MethodRecord> methods,
                    List<String> filters, boolean filterInverted, List<ThreadRecord> threads, NodeLimit nodeLimit) {
        this(header, sections, classes, methods, filters, filterInverted, threads, nodeLimit, null);
    }

    public Snapshot(Header header, List<Section> sections, List<ClassRecord> classes, List<MethodRecord> methods,
                    List<String> filters, boolean filterInverted, List<ThreadRecord> threads, NodeLimit nodeLimit,
                    Locks locks) {
        this(header, sections, classes, methods, filters, filterInverted, threads, nodeLimit, locks, null);
    }

    public Snapshot(Header header, List<Section> sections, List<ClassRecord> classes, List<MethodRecord> methods,
                    List<String> filters, boolean filterInverted, List<ThreadRecord> threads, NodeLimit nodeLimit,
                    Locks locks, LostSamples lostSamples) {
        this.lostSamples = lostSamples;
        this.nodeLimit = nodeLimit;
        this.locks = locks;
        this.header = header;
        this.sections = List.copyOf(sections);
        this.classes = List.copyOf(classes);
        this.methods = List.copyOf(methods);
        this.filters = List.copyOf(filters);
        this.filterInverted = filterInverted;
        this.threads = List.copyOf(threads);
        Map<Long, ClassRecord> cls = new LinkedHashMap<>();
        for (ClassRecord c : classes) {
            cls.putIfAbsent(c.id(), c);
        }
        Map<Long, MethodRecord> mth = new LinkedHashMap<>();
        for (MethodRecord m : methods) {
            mth.putIfAbsent(m.id(), m);
        }
        this.classById = Collections.unmodifiableMap(cls);
        this.methodById = Collections.unmodifiableMap(mth);
    }

    /**
     * Whether the recording measured CPU time: then every thread has its CPU
     * total (or -1 where it could not be read) and every call-tree node its CPU
     * time; otherwise all CPU times are absent (-1 per thread, 0 per node).
     */
    public boolean hasCpuTime() {
        return sections.size() > Section.CPU_TIME && sections.get(Section.CPU_TIME).length() > 0;
    }

    /** The same recording with other thread records: call trees rewritten for display. */
    public Snapshot withThreads(List<ThreadRecord> replaced) {
        return new Snapshot(header, sections, classes, methods, filters, filterInverted, replaced, nodeLimit, locks,
                lostSamples);
    }

    /** What the node-limit section says, or null when the recording stayed under the limit. */
    public NodeLimit nodeLimit() {
        return nodeLimit;
    }

    /**
     * Blocked and parked time per lock and holder, or null when the recording
     * did not book it (the lock section is empty).
     */
    public Locks locks() {
        return locks;
    }

    /**
     * The asynchronous CPU samples lost and why, or null when none were lost
     * or the recording did not sample asynchronously (the section is empty).
     */
    public LostSamples lostSamples() {
        return lostSamples;
    }

    public Header header() {
        return header;
    }

    /** The seven directory entries, index 0 to 6. */
    public List<Section> sections() {
        return sections;
    }

    /** Class records in file order; the first two are the unknown class and the transaction-label class. */
    public List<ClassRecord> classes() {
        return classes;
    }

    /** Method records in file order. */
    public List<MethodRecord> methods() {
        return methods;
    }

    /** Class filter patterns in effect during the recording, as they were set. */
    public List<String> filters() {
        return filters;
    }

    public boolean filterInverted() {
        return filterInverted;
    }

    /** Threads in file order (registration order). */
    public List<ThreadRecord> threads() {
        return threads;
    }

    /** The class with this ID, or null. */
    public ClassRecord findClass(long id) {
        return classById.get(id);
    }

    /** The method with this ID, or null. */
    public MethodRecord findMethod(long id) {
        return methodById.get(id);
    }

    /** The first thread with this name, or null. */
    public ThreadRecord findThread(String name) {
        for (ThreadRecord t : threads) {
            if (t.name().equals(name)) {
                return t;
            }
        }
        return null;
    }
}
