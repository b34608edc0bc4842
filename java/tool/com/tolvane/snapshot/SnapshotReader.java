package com.tolvane.snapshot;

import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.HashSet;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.zip.CRC32;

/**
 * Reads snapshot files. Every marker, length, position and CRC-32 is checked
 * and every record is parsed strictly: a file that is truncated, corrupt,
 * incomplete or not a snapshot gives a {@link SnapshotFormatException} naming
 * the problem and its byte offset, never a partial or wrong model.
 *
 * <p>Layout: header, a directory of seven (length, position, CRC) entries,
 * then the sections in order, each a 4-byte marker and a body. Numbers are
 * big-endian; IDs are 8 bytes in the writer's byte order (little-endian).
 */
public final class SnapshotReader {
    public static final int MAGIC = FormatConstants.MAGIC;
    public static final int VERSION = FormatConstants.VERSION;
    public static final int ID_WIDTH = FormatConstants.ID_WIDTH;
    public static final int DIRECTORY_ENTRY_SIZE = FormatConstants.DIRECTORY_ENTRY_SIZE;
    public static final int DIRECTORY_SIZE = Section.COUNT * DIRECTORY_ENTRY_SIZE;

    private final byte[] data;
    /** Length of the file, which may go on past the data in hand: what follows the last section. */
    private final long fileLength;
    private final Map<Long, ClassRecord> classById = new HashMap<>();
    private final Map<Long, MethodRecord> methodById = new HashMap<>();

    private SnapshotReader(byte[] data, long fileLength) {
        this.data = data;
        this.fileLength = fileLength;
    }

    /**
     * Reads and checks a snapshot file. Only the bytes up to the end of the
     * last section, as the section directory gives it, are read: the length of
     * a regular file is taken from the file system, so data after the last
     * section is refused without being read. The file may also be a pipe or a
     * device: then what follows the sections is counted, never more than the
     * heap could take, and a file that does not start like a snapshot is
     * refused after its first bytes (so /dev/zero is refused, not read forever).
     */
    public static Snapshot read(Path file) throws IOException, SnapshotFormatException {
        long limit = readLimit();
        try (InputStream in = Files.newInputStream(file)) {
            byte[] head = in.readNBytes(4);
            if (head.length == 4 && readU4(head, 0) != MAGIC) {
                return read(head); // reports the foreign magic
            }
            long size = Files.isRegularFile(file) ? Files.size(file) : -1;
            // Enough for the longest header and the directory, and for a small file all of it.
            byte[] prefix = concat(head, in.readNBytes(LONGEST_HEADER_AND_DIRECTORY - head.length));
            long consumed = prefix.length;
            if (prefix.length < LONGEST_HEADER_AND_DIRECTORY) {
                return new SnapshotReader(prefix, prefix.length).parse(); // the whole file
            }
            // The header is read first, so that a file with a wrong one is refused before anything more is read.
            long end = sectionsEnd(prefix, readHeader(new Cursor(prefix, 0, prefix.length, "file")).length());
            byte[] data;
            if (end < 0 || end <= prefix.length || (size >= 0 && end > size)) {
                // The directory cannot be right, or the sections end within the prefix, or the
                // file is shorter than they need: the prefix shows which.
                data = end >= 0 && end <= prefix.length ? Arrays.copyOf(prefix, (int) end) : prefix;
            } else if (end > limit) {
                throw new SnapshotFormatException("the sections of the file end at offset " + end
                        + ", too large to be read (at most " + limit + " bytes with this heap)");
            } else {
                data = Arrays.copyOf(prefix, (int) end);
                int got = in.readNBytes(data, prefix.length, data.length - prefix.length);
                consumed += got;
                if (consumed < end) {
                    data = Arrays.copyOf(data, (int) consumed);
                    size = consumed; // it ended early: a pipe, or a file cut while it was read
                }
            }
            long rest = size >= 0 ? 0 : countRest(in, limit - consumed);
            if (rest < 0) {
                throw new SnapshotFormatException("file is too large to be read: it goes on past " + limit
                        + " bytes (at most that many with this heap)");
            }
            return new SnapshotReader(data, size >= 0 ? size : consumed + rest).parse();
        }
    }

    /**
     * The most bytes a header and the section directory can take: magic,
     * version, two strings of at most 65535 bytes with their lengths, two
     * times, the ID width, then the directory.
     */
    private static final int LONGEST_HEADER_AND_DIRECTORY = 4 + 4 + 2 * (2 + 0xFFFF) + 8 + 8 + 4 + DIRECTORY_SIZE;

    /**
     * Where the last section ends by the directory at {@code directoryOffset};
     * -1 when the directory cannot be right. Its full check is the parser's.
     */
    private static long sectionsEnd(byte[] prefix, int directoryOffset) {
        int last = directoryOffset + (Section.COUNT - 1) * DIRECTORY_ENTRY_SIZE;
        long length = readJlong(prefix, last);
        long position = readJlong(prefix, last + 8);
        if (length < 0 || position < directoryOffset + DIRECTORY_SIZE || length > Long.MAX_VALUE - 4 - position) {
            return -1;
        }
        return position + 4 + length;
    }

    /** How many bytes the stream still holds, or -1 when they go on past {@code cap}. */
    private static long countRest(InputStream in, long cap) throws IOException {
        byte[] buffer = new byte[1 << 16];
        long count = 0;
        int n;
        while ((n = in.read(buffer)) > 0) {
            count += n;
            if (count > cap) {
                return -1;
            }
        }
        return count;
    }

    private static byte[] concat(byte[] a, byte[] b) {
        byte[] joined = Arrays.copyOf(a, a.length + b.length);
        System.arraycopy(b, 0, joined, a.length, b.length);
        return joined;
    }

    /** The largest file that is read: a quarter of the heap, at most what one array holds. */
    static long readLimit() {
        return Math.min(Integer.MAX_VALUE - 16, Runtime.getRuntime().maxMemory() / 4);
    }

    /** Reads and checks the bytes of a snapshot file. */
    public static Snapshot read(byte[] data) throws SnapshotFormatException {
        return new SnapshotReader(data, data.length).parse();
    }

    private Snapshot parse() throws SnapshotFormatException {
        Cursor in = new Cursor(data, 0, data.length, "file");
        Header header = readHeader(in);
        List<Section> sections = readDirectory(in, header.length());

        Cursor cls = sectionCursor(sections.get(Section.CLASSES));
        List<ClassRecord> classes = readClasses(cls);
        List<MethodRecord> methods = readMethods(cls);
        int filterCount = cls.u4Count("filter count", 2);
        List<String> filters = new ArrayList<>(filterCount);
        for (int i = 0; i < filterCount; i++) {
            filters.add(cls.str("filter pattern"));
        }
        boolean inverted = cls.flag("filter inversion flag");
        cls.expectEnd("the filter inversion flag");

        Cursor thr = sectionCursor(sections.get(Section.THREADS));
        List<ThreadRecord> threads = readThreads(thr);
        thr.expectEnd("the end of the thread records");

        readCpuTime(sections.get(Section.CPU_TIME), threads);
        NodeLimit nodeLimit = readNodeLimit(sections.get(Section.NODE_LIMIT), threads);
        Locks locks = readLocks(sections.get(Section.LOCKS), threads);
        LostSamples lostSamples = readLostSamples(sections.get(Section.LOST_SAMPLES));
        return new Snapshot(header, sections, classes, methods, filters, inverted, threads, nodeLimit, locks,
                lostSamples);
    }

    private static Header readHeader(Cursor in) throws SnapshotFormatException {
        if (in.remaining() < 4) {
            throw new SnapshotFormatException("not a snapshot file: only " + in.remaining()
                    + " bytes, too short for the file magic", 0);
        }
        int magic = in.u4("file magic");
        if (magic != MAGIC) {
            throw new SnapshotFormatException(String.format(
                    "not a snapshot file: magic is 0x%08X, expected 0x%08X", magic, MAGIC), 0);
        }
        int version = in.u4("format version");
        if (version != VERSION) {
            throw new SnapshotFormatException("unsupported snapshot format version " + Integer.toUnsignedString(version)
                    + ", expected " + VERSION, 4);
        }
        String vmName = in.str("VM name");
        String javaVersion = in.str("Java version");
        long start = in.jlong("recording start time");
        int writtenOffset = in.pos();
        long written = in.jlong("write time");
        if (written < start) {
            // Every byte may be well formed, but times measured on that clock cannot be trusted.
            throw new SnapshotFormatException("written at " + written + " us, before its recording started at "
                    + start + " us: the recording's clock went back", writtenOffset);
        }
        int widthOffset = in.pos();
        int idWidth = in.u4("ID width");
        if (idWidth != ID_WIDTH) {
            throw new SnapshotFormatException("unsupported ID width " + Integer.toUnsignedString(idWidth)
                    + ", expected " + ID_WIDTH, widthOffset);
        }
        return new Header(version, vmName, javaVersion, start, written, idWidth, in.pos());
    }

    private List<Section> readDirectory(Cursor in, int directoryOffset) throws SnapshotFormatException {
        in.need(DIRECTORY_SIZE, "the section directory");
        boolean allZero = true;
        for (int i = 0; i < DIRECTORY_SIZE; i++) {
            if (data[directoryOffset + i] != 0) {
                allZero = false;
                break;
            }
        }
        if (allZero) {
            throw new SnapshotFormatException("incomplete snapshot: the section directory is all zeros"
                    + " (the file was not finished, or writing it failed)", directoryOffset);
        }
        List<Section> sections = new ArrayList<>(Section.COUNT);
        long expectedPosition = directoryOffset + DIRECTORY_SIZE;
        for (int i = 0; i < Section.COUNT; i++) {
            int entryOffset = in.pos();
            long length = in.jlong("length of section " + i);
            long position = in.jlong("position of section " + i);
            int crc = in.u4("CRC of section " + i);
            String what = describe(i);
            if (position != expectedPosition) {
                throw new SnapshotFormatException(what + ": directory gives position " + position
                        + " but the section must start at offset " + expectedPosition, entryOffset + 8);
            }
            if (length < 0 || (isReserved(i) && length != 0)) {
                throw new SnapshotFormatException(what + ": directory gives an impossible length " + length,
                        entryOffset);
            }
            if (length > fileLength || position + 4 + length > fileLength) {
                throw new SnapshotFormatException("truncated snapshot: " + what + " of " + length
                        + " bytes at offset " + position + " should end at offset " + (position + 4 + length)
                        + " but the file ends at offset " + fileLength, fileLength);
            }
            if (isReserved(i) && crc != 0) {
                throw new SnapshotFormatException(what + ": directory gives a CRC for an empty section",
                        entryOffset + 16);
            }
            sections.add(new Section(i, length, position, crc));
            expectedPosition = position + 4 + length;
        }
        // The sections themselves: present, marked, intact.
        for (Section s : sections) {
            String what = describe(s.index());
            int pos = (int) s.position();
            int marker = readU4(data, pos);
            if (marker != MAGIC) {
                throw new SnapshotFormatException(String.format(
                        "%s: section marker missing, found 0x%08X instead of 0x%08X", what, marker, MAGIC), pos);
            }
            CRC32 crc = new CRC32();
            crc.update(data, pos + 4, (int) s.length());
            int actual = (int) crc.getValue();
            if (actual != s.crc()) {
                throw new SnapshotFormatException(String.format(
                        "%s is corrupt: CRC-32 mismatch, directory says %08x, body of %d bytes gives %08x",
                        what, s.crc(), s.length(), actual), s.bodyStart());
            }
        }
        long end = sections.get(Section.COUNT - 1).end();
        if (end != fileLength) {
            throw new SnapshotFormatException("trailing data: " + (fileLength - end)
                    + " bytes after the last section", end);
        }
        return sections;
    }

    /** Sections that stay empty in every file this reader knows. */
    private static boolean isReserved(int index) {
        return index >= 2 && index != Section.NODE_LIMIT && index != Section.CPU_TIME && index != Section.LOCKS
                && index != Section.LOST_SAMPLES;
    }

    /**
     * Reads the CPU-time section into the threads and their call trees;
     * nothing when it is empty (the recording did not measure CPU time). It
     * holds one entry per thread record, in the same order: the thread's ID,
     * its CPU total (-1 when it could not be read, and then every node has 0),
     * the node count of its call tree and each node's CPU time with its
     * descendants, in the order the thread section stores the nodes. Every
     * figure is checked against the tree it belongs to, so a section that does
     * not fit its threads is refused rather than shown as wrong times.
     */
    private void readCpuTime(Section section, List<ThreadRecord> threads) throws SnapshotFormatException {
        if (section.length() == 0) {
            return;
        }
        Cursor c = sectionCursor(section);
        String region = describe(Section.CPU_TIME);
        int countOffset = c.pos();
        int count = c.u4Count("CPU time thread count", 28);
        if (count != threads.size()) {
            throw new SnapshotFormatException(region + ": holds " + count + " threads, but the thread section holds "
                    + threads.size(), countOffset);
        }
        for (ThreadRecord t : threads) {
            String name = "thread \"" + t.name() + "\"";
            int idOffset = c.pos();
            long id = c.id("thread ID of the CPU time of " + name);
            if (id != t.id()) {
                throw new SnapshotFormatException(region + ": entry names thread ID " + hex(id) + " where the thread"
                        + " section has " + name + " (" + hex(t.id()) + "); entries must follow the thread records",
                        idOffset);
            }
            int totalOffset = c.pos();
            long total = c.jlong("CPU time of " + name);
            if (total < -1) {
                throw new SnapshotFormatException(region + ": CPU time of " + name + " is " + total
                        + " us; only -1 (not known) may be negative", totalOffset);
            }
            List<CallNode> nodes = TreeWalk.postOrderList(t.root(), CallNode::children);
            int nodesOffset = c.pos();
            int nodeCount = c.u4Count("CPU node count of " + name, 8);
            if (nodeCount != nodes.size()) {
                throw new SnapshotFormatException(region + ": " + nodeCount + " node CPU times for " + name
                        + ", whose call tree has " + nodes.size() + " nodes", nodesOffset);
            }
            for (int i = 0; i < nodeCount; i++) {
                CallNode node = nodes.get(i);
                int valueOffset = c.pos();
                long micros = c.jlong("CPU time of a node of " + name);
                String what = "CPU time of " + (node.isRoot() ? "the root" : node.method().qualifiedName())
                        + " (node " + i + " in file order) in " + name;
                if (micros < 0) {
                    throw new SnapshotFormatException(region + ": " + what + " is negative: " + micros + " us",
                            valueOffset);
                }
                if (total == -1 && micros != 0) {
                    throw new SnapshotFormatException(region + ": " + what + " is " + micros
                            + " us, but the thread's CPU time is marked as not known", valueOffset);
                }
                long children = 0;
                for (CallNode child : node.children()) {
                    children = saturatedAdd(children, child.cpuMicros());
                }
                if (micros < children) {
                    throw new SnapshotFormatException(region + ": " + what + ", " + micros
                            + " us, is less than the " + children + " us of its callees", valueOffset);
                }
                node.setCpuMicros(micros);
            }
            if (total != -1 && total != t.root().cpuMicros()) {
                throw new SnapshotFormatException(region + ": CPU time of " + name + " is " + total
                        + " us, but its call tree's root has " + t.root().cpuMicros() + " us", totalOffset);
            }
            t.setCpuMicros(total);
        }
        c.expectEnd("the CPU time of the last thread");
    }

    private static long saturatedAdd(long a, long b) {
        long sum = a + b;
        return sum < 0 ? Long.MAX_VALUE : sum;
    }

    /** The node-limit section, or null when it is empty (the limit was not reached). */
    private NodeLimit readNodeLimit(Section section, List<ThreadRecord> threads) throws SnapshotFormatException {
        if (section.length() == 0) {
            return null;
        }
        Cursor c = sectionCursor(section);
        long limit = c.jlong("node limit");
        long nodes = c.jlong("node count");
        long folded = c.jlong("folded time");
        int count = c.u4Count("thread count", 16);
        Set<Long> ids = new HashSet<>();
        for (ThreadRecord t : threads) {
            ids.add(t.id());
        }
        Map<Long, Long> byThread = new LinkedHashMap<>();
        for (int i = 0; i < count; i++) {
            int idOffset = c.pos();
            long id = c.id("thread ID");
            long micros = c.jlong("folded time of thread " + hex(id));
            if (!ids.contains(id)) {
                throw new SnapshotFormatException("node limit section names thread " + hex(id)
                        + ", which the thread section does not hold", idOffset);
            }
            byThread.put(id, micros);
        }
        c.expectEnd("the node limit section");
        return new NodeLimit(limit, nodes, folded, byThread);
    }

    /** Bytes of one lock entry: thread, node, kind, class, owner, owner name, time. */
    private static final int LOCK_ENTRY_SIZE = ID_WIDTH + 4 + 1 + 4 + ID_WIDTH + 4 + 8;

    /**
     * The lock section, or null when it is empty (the recording did not book
     * locks). Every entry is checked against the threads and trees it names,
     * and attached to its call-tree node.
     */
    private Locks readLocks(Section section, List<ThreadRecord> threads) throws SnapshotFormatException {
        if (section.length() == 0) {
            return null;
        }
        Cursor c = sectionCursor(section);
        String region = describe(Section.LOCKS);
        int droppedOffset = c.pos();
        long dropped = c.jlong("dropped lock time");
        if (dropped < 0) {
            throw new SnapshotFormatException(region + ": dropped time is negative: " + dropped + " us", droppedOffset);
        }
        int nameCount = c.u4Count("lock name count", 2);
        List<String> names = new ArrayList<>(nameCount);
        for (int i = 0; i < nameCount; i++) {
            names.add(c.str("lock name"));
        }
        Map<Long, Integer> threadIndex = new HashMap<>();
        for (int i = 0; i < threads.size(); i++) {
            threadIndex.put(threads.get(i).id(), i);
        }
        Map<Long, List<CallNode>> nodesByThread = new HashMap<>();
        int count = c.u4Count("lock entry count", LOCK_ENTRY_SIZE);
        List<LockTime> times = new ArrayList<>(count);
        int lastThread = 0;
        for (int i = 0; i < count; i++) {
            int idOffset = c.pos();
            long id = c.id("thread ID of a lock entry");
            Integer index = threadIndex.get(id);
            if (index == null) {
                throw new SnapshotFormatException(region + ": entry names thread " + hex(id)
                        + ", which the thread section does not hold", idOffset);
            }
            if (index < lastThread) {
                throw new SnapshotFormatException(region + ": entry of thread \"" + threads.get(index).name()
                        + "\" comes after those of a later thread record", idOffset);
            }
            lastThread = index;
            ThreadRecord thread = threads.get(index);
            List<CallNode> nodes = nodesByThread.computeIfAbsent(id,
                    k -> TreeWalk.postOrderList(thread.root(), CallNode::children));
            int nodeOffset = c.pos();
            long node = Integer.toUnsignedLong(c.u4("node of a lock entry"));
            if (node >= nodes.size()) {
                throw new SnapshotFormatException(region + ": entry names node " + node + " of thread \""
                        + thread.name() + "\", whose call tree has " + nodes.size() + " nodes", nodeOffset);
            }
            int kindOffset = c.pos();
            int kind = c.u1("kind of a lock entry");
            if (kind != FormatConstants.LOCK_KIND_MONITOR && kind != FormatConstants.LOCK_KIND_PARK) {
                throw new SnapshotFormatException(region + ": unknown lock kind " + kind, kindOffset);
            }
            String lockClass = lockName(c, names, region, "lock class");
            int ownerOffset = c.pos();
            long ownerId = c.id("holder of a lock entry");
            ThreadRecord owner = null;
            if (ownerId != 0) {
                Integer ownerIndex = threadIndex.get(ownerId);
                if (ownerIndex == null) {
                    throw new SnapshotFormatException(region + ": entry names holder " + hex(ownerId)
                            + ", which the thread section does not hold", ownerOffset);
                }
                owner = threads.get(ownerIndex);
            }
            int ownerNameOffset = c.pos();
            String ownerName = lockName(c, names, region, "holder name");
            if (owner != null && ownerName != null) {
                throw new SnapshotFormatException(region + ": entry names its holder both by thread ID and by name",
                        ownerNameOffset);
            }
            int timeOffset = c.pos();
            long micros = c.jlong("time of a lock entry");
            if (micros < 0) {
                throw new SnapshotFormatException(region + ": entry time is negative: " + micros + " us", timeOffset);
            }
            CallNode at = nodes.get((int) node);
            LockTime time = new LockTime(thread, at, kind, lockClass == null ? "" : lockClass, owner, ownerName,
                    micros);
            at.addLock(time);
            times.add(time);
        }
        c.expectEnd("the last lock entry");
        return new Locks(dropped, times);
    }

    /**
     * The lost-samples section, or null when it is empty (nothing was lost,
     * or the recording did not sample asynchronously). A section that is
     * present lists at least one cause, each with a count above zero.
     */
    private LostSamples readLostSamples(Section section) throws SnapshotFormatException {
        if (section.length() == 0) {
            return null;
        }
        Cursor c = sectionCursor(section);
        String region = describe(Section.LOST_SAMPLES);
        int samplesOffset = c.pos();
        long samples = c.jlong("sample count");
        if (samples < 0) {
            throw new SnapshotFormatException(region + ": sample count is negative: " + samples, samplesOffset);
        }
        int countOffset = c.pos();
        int count = c.u4Count("cause count", 10);
        if (count == 0) {
            throw new SnapshotFormatException(region + ": present but lists no cause", countOffset);
        }
        Map<String, Long> byCause = new LinkedHashMap<>();
        for (int i = 0; i < count; i++) {
            int causeOffset = c.pos();
            String cause = c.str("cause");
            long lost = c.jlong("samples lost to \"" + cause + "\"");
            if (lost <= 0) {
                throw new SnapshotFormatException(region + ": cause \"" + cause + "\" has " + lost
                        + " samples lost", causeOffset);
            }
            if (byCause.put(cause, lost) != null) {
                throw new SnapshotFormatException(region + ": cause \"" + cause + "\" is listed twice", causeOffset);
            }
        }
        c.expectEnd("the last cause");
        return new LostSamples(samples, byCause);
    }

    /** A U4 index into the lock section's names; null for the no-name index. */
    private static String lockName(Cursor c, List<String> names, String region, String what)
            throws SnapshotFormatException {
        int offset = c.pos();
        int index = c.u4(what + " of a lock entry");
        if (index == FormatConstants.LOCK_NO_NAME) {
            return null;
        }
        if (Integer.toUnsignedLong(index) >= names.size()) {
            throw new SnapshotFormatException(region + ": " + what + " " + Integer.toUnsignedString(index)
                    + " is past the " + names.size() + " names of the section", offset);
        }
        return names.get(index);
    }

    /** "section N (name)", as messages name a section. */
    private static String describe(int index) {
        return "section " + index + " (" + Section.name(index) + ")";
    }

    /** A cursor over the body of a section whose bounds the directory check has accepted. */
    private Cursor sectionCursor(Section s) {
        return new Cursor(data, (int) s.bodyStart(), (int) s.end(), describe(s.index()));
    }

    /** Reads the fields of one record whose tag has been read at {@code tagOffset}. */
    private interface RecordBody<T> {
        T read(Cursor in, int tagOffset) throws SnapshotFormatException;
    }

    /**
     * Reads a list of records of one kind: each record is opened by a U1 tag
     * 1, and a U1 tag 0 closes the list.
     */
    private static <T> List<T> readRecords(Cursor in, String kind, RecordBody<T> body)
            throws SnapshotFormatException {
        String tagWhat = kind + " record tag";
        List<T> records = new ArrayList<>();
        while (true) {
            int tagOffset = in.pos();
            int tag = in.u1(tagWhat);
            if (tag == FormatConstants.TAG_END) {
                return records;
            }
            if (tag != FormatConstants.TAG_RECORD) {
                throw new SnapshotFormatException(String.format("unknown %s record tag 0x%02X", kind, tag), tagOffset);
            }
            records.add(body.read(in, tagOffset));
        }
    }

    /** Indexes a record by its ID; IDs identify records, so one that repeats makes the file invalid. */
    private static <T> T register(Map<Long, T> byId, long id, T record, String kind, String name, int idOffset)
            throws SnapshotFormatException {
        if (byId.putIfAbsent(id, record) != null) {
            throw new SnapshotFormatException(kind + " " + name + " repeats " + kind + " ID " + hex(id), idOffset);
        }
        return record;
    }

    private List<ClassRecord> readClasses(Cursor in) throws SnapshotFormatException {
        return readRecords(in, "class", (c, tagOffset) -> {
            long id = c.id("class ID");
            String name = c.str("class name");
            int kind = c.u4("class kind");
            return register(classById, id, new ClassRecord(id, name, kind), "class", name, tagOffset + 1);
        });
    }

    private List<MethodRecord> readMethods(Cursor in) throws SnapshotFormatException {
        return readRecords(in, "method", (c, tagOffset) -> {
            long id = c.id("method ID");
            int classOffset = c.pos();
            long classId = c.id("method's class ID");
            String name = c.str("method name");
            String signature = c.str("method signature");
            c.u4("reserved field of a method record");
            ClassRecord owner = classById.get(classId);
            if (owner == null) {
                throw new SnapshotFormatException("method " + name + " refers to class ID " + hex(classId)
                        + ", which has no class record", classOffset);
            }
            return register(methodById, id, new MethodRecord(id, owner, name, signature), "method", name,
                    tagOffset + 1);
        });
    }

    private List<ThreadRecord> readThreads(Cursor in) throws SnapshotFormatException {
        return readRecords(in, "thread", (c, tagOffset) -> {
            long id = c.id("thread ID");
            int ownerOffset = c.pos();
            long owner = c.id("thread descriptor owner");
            if (owner != id) {
                throw new SnapshotFormatException("thread descriptor owner " + hex(owner)
                        + " differs from its thread ID " + hex(id), ownerOffset);
            }
            String name = c.str("thread name");
            String group = c.str("thread group name");
            long start = c.jlong("thread start time");
            long end = c.jlong("thread end time");
            int count = c.u4Count("status point count", 9);
            List<StatusPoint> timeline = new ArrayList<>(count);
            for (int i = 0; i < count; i++) {
                int status = c.u1("status code");
                long micros = c.jlong("status time");
                timeline.add(new StatusPoint(status, micros));
            }
            CallNode root = readTree(c, name);
            boolean ignored = c.flag("ignored flag of thread \"" + name + "\"");
            return new ThreadRecord(id, name, group, start, end, ignored, timeline, root);
        });
    }

    /**
     * Reads one call tree written in post-order: U1 1 opens a node, its
     * children follow, U1 0 closes the child list and the node's entry comes
     * last. An explicit stack of open child lists replaces recursion, so a
     * tree of any depth is read in constant Java stack; a level gets its list
     * only when its first child closes, so a run of open tags costs one
     * reference each, not a list each.
     */
    private CallNode readTree(Cursor in, String threadName) throws SnapshotFormatException {
        int openOffset = in.pos();
        int open = in.u1("call tree start");
        if (open != 1) {
            throw new SnapshotFormatException(String.format(
                    "call tree of thread \"%s\" starts with tag 0x%02X instead of 0x01", threadName, open), openOffset);
        }
        List<List<CallNode>> openLists = new ArrayList<>();
        openLists.add(null);
        while (true) {
            int tagOffset = in.pos();
            int tag = in.u1("call tree tag");
            if (tag == FormatConstants.TAG_RECORD) {
                openLists.add(null);
                continue;
            }
            if (tag != FormatConstants.TAG_END) {
                throw new SnapshotFormatException(String.format(
                        "unknown call tree tag 0x%02X in thread \"%s\"", tag, threadName), tagOffset);
            }
            List<CallNode> children = openLists.remove(openLists.size() - 1);
            if (children == null) {
                children = List.of();
            }
            boolean isRoot = openLists.isEmpty();
            int methodOffset = in.pos();
            long methodId = in.id("call tree node method ID");
            int line = in.u2("call tree node line");
            long value = in.jlong("call tree node value");
            boolean hasTimes = in.flag("call tree node monitor-times flag");
            long blocking = 0;
            long waiting = 0;
            long netIO = 0;
            if (hasTimes) {
                blocking = in.jlong("blocking time");
                waiting = in.jlong("waiting time");
                netIO = in.jlong("net I/O time");
            }
            MethodRecord method = null;
            if (isRoot) {
                if (methodId != 0) {
                    throw new SnapshotFormatException("root of the call tree of thread \"" + threadName
                            + "\" has method ID " + hex(methodId) + " instead of none", methodOffset);
                }
            } else {
                method = methodById.get(methodId);
                if (method == null) {
                    throw new SnapshotFormatException("call tree of thread \"" + threadName
                            + "\" refers to method ID " + hex(methodId) + ", which has no method record",
                            methodOffset);
                }
            }
            CallNode node = new CallNode(method, line, value, hasTimes, blocking, waiting, netIO, children);
            if (isRoot) {
                return node;
            }
            int parent = openLists.size() - 1;
            if (openLists.get(parent) == null) {
                openLists.set(parent, new ArrayList<>());
            }
            openLists.get(parent).add(node);
        }
    }

    private static long readJlong(byte[] b, int at) {
        return (Integer.toUnsignedLong(readU4(b, at)) << 32) | Integer.toUnsignedLong(readU4(b, at + 4));
    }

    private static int readU4(byte[] b, int at) {
        return ((b[at] & 0xFF) << 24) | ((b[at + 1] & 0xFF) << 16) | ((b[at + 2] & 0xFF) << 8) | (b[at + 3] & 0xFF);
    }

    static String hex(long id) {
        return String.format("0x%x", id);
    }

    /**
     * Decodes modified UTF-8 (as the JVM hands out names) into a Java string.
     * Modified UTF-8 encodes UTF-16 units one by one, so each decoded unit is
     * one char. Malformed bytes become U+FFFD rather than failing the file:
     * they are covered by the section CRC and only affect a name.
     */
    static String decodeModifiedUtf8(byte[] b, int from, int length) {
        StringBuilder sb = new StringBuilder(length);
        int i = from;
        int end = from + length;
        while (i < end) {
            int c = b[i] & 0xFF;
            if (c < 0x80) {
                sb.append((char) c);
                i++;
            } else if ((c & 0xE0) == 0xC0 && i + 1 < end && (b[i + 1] & 0xC0) == 0x80) {
                sb.append((char) (((c & 0x1F) << 6) | (b[i + 1] & 0x3F)));
                i += 2;
            } else if ((c & 0xF0) == 0xE0 && i + 2 < end && (b[i + 1] & 0xC0) == 0x80 && (b[i + 2] & 0xC0) == 0x80) {
                sb.append((char) (((c & 0x0F) << 12) | ((b[i + 1] & 0x3F) << 6) | (b[i + 2] & 0x3F)));
                i += 3;
            } else {
                sb.append('\uFFFD');
                i++;
            }
        }
        return sb.toString();
    }

    /** Bounds-checked reading of one region of the file. */
    private static final class Cursor {
        private final byte[] b;
        private final int end;
        private final String region;
        private int pos;

        Cursor(byte[] b, int from, int end, String region) {
            this.b = b;
            this.pos = from;
            this.end = end;
            this.region = region;
        }

        int pos() {
            return pos;
        }

        int remaining() {
            return end - pos;
        }

        void need(int n, String what) throws SnapshotFormatException {
            if (end - pos < n) {
                String where = end == b.length ? "end of file" : "end of " + region;
                throw new SnapshotFormatException("truncated snapshot: " + where + " at offset " + end
                        + " while reading " + what, pos);
            }
        }

        int u1(String what) throws SnapshotFormatException {
            need(1, what);
            return b[pos++] & 0xFF;
        }

        boolean flag(String what) throws SnapshotFormatException {
            int at = pos;
            int v = u1(what);
            if (v > 1) {
                throw new SnapshotFormatException(what + " is " + v + ", expected 0 or 1", at);
            }
            return v == 1;
        }

        int u2(String what) throws SnapshotFormatException {
            need(2, what);
            int v = ((b[pos] & 0xFF) << 8) | (b[pos + 1] & 0xFF);
            pos += 2;
            return v;
        }

        int u4(String what) throws SnapshotFormatException {
            need(4, what);
            int v = readU4(b, pos);
            pos += 4;
            return v;
        }

        /** A U4 count of items of at least {@code minItemSize} bytes each, checked against the space left. */
        int u4Count(String what, int minItemSize) throws SnapshotFormatException {
            int at = pos;
            long count = Integer.toUnsignedLong(u4(what));
            if (count * minItemSize > remaining()) {
                throw new SnapshotFormatException(what + " " + count + " needs at least " + count * minItemSize
                        + " bytes, but only " + remaining() + " remain in " + region, at);
            }
            return (int) count;
        }

        long jlong(String what) throws SnapshotFormatException {
            need(8, what);
            long hi = Integer.toUnsignedLong(readU4(b, pos));
            long lo = Integer.toUnsignedLong(readU4(b, pos + 4));
            pos += 8;
            return (hi << 32) | lo;
        }

        /** An 8-byte ID in little-endian order. */
        long id(String what) throws SnapshotFormatException {
            need(8, what);
            long v = 0;
            for (int i = 7; i >= 0; i--) {
                v = (v << 8) | (b[pos + i] & 0xFF);
            }
            pos += 8;
            return v;
        }

        String str(String what) throws SnapshotFormatException {
            int length = u2("length of " + what);
            need(length, what);
            String s = decodeModifiedUtf8(b, pos, length);
            pos += length;
            return s;
        }

        void expectEnd(String after) throws SnapshotFormatException {
            if (pos != end) {
                throw new SnapshotFormatException(region + ": " + (end - pos)
                        + " unexpected bytes after " + after, pos);
            }
        }
    }
}
