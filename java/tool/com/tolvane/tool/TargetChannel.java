package com.tolvane.tool;

import com.sun.tools.attach.AgentInitializationException;
import com.sun.tools.attach.AgentLoadException;
import com.sun.tools.attach.AttachNotSupportedException;
import com.sun.tools.attach.VirtualMachine;
import com.tolvane.agent.recorder.RecorderControl;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.security.SecureRandom;
import java.util.ArrayList;
import java.util.Collections;
import java.util.HashMap;
import java.util.HexFormat;
import java.util.List;
import java.util.Map;
import java.util.Optional;
import java.util.Properties;
import java.util.zip.ZipEntry;
import java.util.zip.ZipFile;

/**
 * The tool's line to the recorder in a target JVM, over nothing but the
 * Attach API: the library is loaded once with its options, it defines the
 * recorder's classes from a bundle this tool writes, and every
 * command after that is another load of the same library whose options
 * start with {@link #PREFIX} (the library hands it to the recorder on the
 * JVM's attach listener thread). The recorder answers in a reply file in a
 * directory of this tool's own, readable by nobody else, and rewrites it on
 * every change of the recording's state: following a recording is reading
 * a local file, which costs the target nothing. Nothing in the target
 * listens, and no management agent is started.
 */
public final class TargetChannel implements AutoCloseable {
    static final String PREFIX = "tolvane-command:";
    // What a command's load returns (the library's command channel gives the same numbers).
    private static final int HANDLED = 100;
    private static final int NOT_INITIALISED = 101;
    private static final int NO_RECORDER = 102;
    private static final int RECORDER_FAILED = 103;
    private static final int BAD_COMMAND = 104;

    private final long pid;
    private final VirtualMachine vm;
    /** The library the JVM has loaded; commands go through it. */
    private final String library;
    private final Path directory;
    private final Path reply;
    private final SecureRandom random = new SecureRandom();

    /** An answer of the recorder: each key's values in order. */
    public static final class Reply {
        private final Map<String, List<String>> values = new HashMap<>();

        public String get(String key) {
            List<String> v = values.get(key);
            return v == null ? null : v.get(v.size() - 1);
        }

        String get(String key, String otherwise) {
            return Optional.ofNullable(get(key)).orElse(otherwise);
        }

        public List<String> all(String key) {
            return values.getOrDefault(key, Collections.emptyList());
        }

        public long id() {
            try {
                return Long.parseLong(get("id", "0"));
            } catch (NumberFormatException e) {
                return 0;
            }
        }

        /** The reply text's values; null when it is not complete (still being written, or empty). */
        static Reply parse(String text) {
            if (!text.endsWith("\nend\n") && !text.equals("end\n")) {
                return null;
            }
            Reply r = new Reply();
            for (String line : text.substring(0, text.length() - "end\n".length()).split("\n")) {
                int eq = line.indexOf('=');
                if (eq > 0) {
                    r.values.computeIfAbsent(line.substring(0, eq), k -> new ArrayList<>())
                            .add(RecorderControl.unescape(line.substring(eq + 1)));
                }
            }
            return r;
        }
    }

    private TargetChannel(long pid, VirtualMachine vm, String library, Path directory, Path reply) {
        this.pid = pid;
        this.vm = vm;
        this.library = library;
        this.directory = directory;
        this.reply = reply;
    }

    /**
     * Attaches and makes the recorder reachable: loads the library with
     * {@code libraryOptions} unless the JVM has it, then the recorder from
     * {@code agentJar}. With a null {@code agentJar} nothing is loaded and
     * null is returned for a JVM without the library or the recorder, where
     * nothing can be recording.
     *
     * @param beforeFirstLoad run before the library is first loaded into the JVM (for a note to the user)
     */
    public static TargetChannel open(long pid, Path library, String libraryOptions, Path agentJar,
                              ThrowingRunnable beforeFirstLoad) throws ToolException {
        Optional<String> loaded = loadedLibrary(pid, library);
        boolean mayLoad = agentJar != null;
        if (!mayLoad && loaded.isEmpty() && isReadable(pid)) {
            return null;
        }
        VirtualMachine vm = attach(pid);
        Path directory = null;
        boolean done = false;
        try {
            String path;
            if (loaded.isPresent()) {
                path = loaded.get();
            } else if (!mayLoad) {
                // The JVM's memory map could not be read: ask through this tool's library.
                path = library.toString();
            } else {
                beforeFirstLoad.run();
                path = library.toString();
                vm.loadAgentPath(path, libraryOptions);
            }
            directory = Files.createTempDirectory("tolvane-");
            Path reply = Files.createFile(directory.resolve("reply"),
                    PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rw-------")));
            giveToOwnerOf(pid, directory, reply);
            TargetChannel channel = new TargetChannel(pid, vm, path, directory, reply);
            if (mayLoad) {
                Path classes = directory.resolve("classes");
                Files.write(Files.createFile(classes, PosixFilePermissions.asFileAttribute(
                        PosixFilePermissions.fromString("rw-------"))), bundle(agentJar));
                giveToOwnerOf(pid, directory, classes);
                channel.load("classes " + classes);
                Files.delete(classes);
            } else if (!channel.reachable()) {
                channel.close();
                return null;
            }
            done = true;
            return channel;
        } catch (AgentLoadException e) {
            throw new ToolException("JVM " + pid + " could not load " + (e.getMessage() == null
                    ? "the profiler" : e.getMessage()) + " (see its standard error)");
        } catch (AgentInitializationException e) {
            throw new ToolException("the recorder failed to start in JVM " + pid + " (see its standard error)");
        } catch (IOException e) {
            throw lost(pid, e);
        } finally {
            if (!done) {
                detach(vm);
                deleteDirectory(directory);
            }
        }
    }

    /**
     * The recorder's classes for the library to define: for each class file
     * of the agent jar its name (com/tolvane/...), a zero byte, its length
     * (four bytes, big-endian) and its bytes.
     */
    static byte[] bundle(Path agentJar) throws IOException {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        try (ZipFile jar = new ZipFile(agentJar.toFile())) {
            for (ZipEntry e : Collections.list(jar.entries())) {
                if (e.isDirectory() || !e.getName().endsWith(".class")) {
                    continue;
                }
                byte[] bytes;
                try (InputStream in = jar.getInputStream(e)) {
                    bytes = in.readAllBytes();
                }
                String name = e.getName().substring(0, e.getName().length() - ".class".length());
                out.write(name.getBytes(StandardCharsets.UTF_8));
                out.write(0);
                out.write(new byte[] {(byte) (bytes.length >>> 24), (byte) (bytes.length >>> 16),
                    (byte) (bytes.length >>> 8), (byte) bytes.length});
                out.write(bytes);
            }
        }
        return out.toByteArray();
    }

    /** A step that may refuse with a ToolException. */
    public interface ThrowingRunnable {
        void run() throws ToolException;
    }

    private static VirtualMachine attach(long pid) throws ToolException {
        try {
            return VirtualMachine.attach(Long.toString(pid));
        } catch (AttachNotSupportedException e) {
            if (ending(pid)) {
                throw exitedBeforeStart(pid);
            }
            throw new ToolException("JVM " + pid + " refuses attach (" + e.getMessage()
                    + "); it may run as another user or with -XX:+DisableAttachMechanism");
        } catch (IOException e) {
            if (ending(pid)) {
                throw exitedBeforeStart(pid);
            }
            throw new ToolException("cannot attach to JVM " + pid + ": " + e.getMessage());
        }
    }

    /**
     * Sends a command (the reply file's path is added) and returns the
     * recorder's answer to it. One command at a time: a signal handler's stop
     * must not empty the reply file under another command's answer.
     */
    public synchronized Reply send(Properties command) throws ToolException {
        command.setProperty("reply", reply.toString());
        ByteArrayOutputStream text = new ByteArrayOutputStream();
        try {
            // ASCII: the properties format escapes every other character.
            command.store(text, null);
            Files.write(reply, new byte[0]);
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
        String ascii = text.toString(StandardCharsets.ISO_8859_1);
        // The comment line store writes is dropped; the recorder needs none of it.
        ascii = ascii.substring(ascii.indexOf('\n') + 1);
        String token = HexFormat.of().formatHex(nextToken());
        int pieces = Math.max(1, (ascii.length() + RecorderControl.PIECE_CHARS - 1) / RecorderControl.PIECE_CHARS);
        for (int i = 0; i < pieces; i++) {
            String piece = ascii.substring(i * RecorderControl.PIECE_CHARS,
                    Math.min(ascii.length(), (i + 1) * RecorderControl.PIECE_CHARS));
            load(token + " " + i + " " + pieces + "\n" + piece);
        }
        // The answer is written before the load returns; the recorder's thread may be
        // rewriting it with a newer state at this very moment, which takes a moment.
        long deadline = System.nanoTime() + 2_000_000_000L;
        Reply r = read();
        while (r == null && System.nanoTime() < deadline) {
            try {
                Thread.sleep(5);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                break;
            }
            r = read();
        }
        if (r == null) {
            throw new ToolException("the recorder in JVM " + pid + " gave no answer (see its standard error)");
        }
        return r;
    }

    private byte[] nextToken() {
        byte[] token = new byte[8];
        random.nextBytes(token);
        return token;
    }

    /** The recorder's latest answer, or null while none is complete. */
    public Reply read() {
        try {
            return Reply.parse(new String(Files.readAllBytes(reply), StandardCharsets.UTF_8));
        } catch (IOException e) {
            return null;
        }
    }

    /** One load of the library with a command; throws unless the recorder took it. */
    private void load(String command) throws ToolException {
        int result;
        try {
            vm.loadAgentPath(library, PREFIX + command);
            // Taken as a first load: a library of an earlier version, which knows no commands.
            throw new ToolException("JVM " + pid + " has an earlier version of the tolvane library loaded ("
                    + library + "), which this tolvane cannot drive; restart the JVM to record it");
        } catch (AgentInitializationException e) {
            result = e.returnValue();
        } catch (AgentLoadException e) {
            throw new ToolException("JVM " + pid + " could not load " + (e.getMessage() == null
                    ? "the profiler" : e.getMessage()) + " (see its standard error)");
        } catch (IOException e) {
            throw lost(pid, e);
        }
        switch (result) {
            case HANDLED:
                return;
            case NOT_INITIALISED:
                throw new ToolException("the profiler library did not start in JVM " + pid
                        + " (see its standard error)");
            case NO_RECORDER:
                throw new ToolException("the recorder could not be loaded in JVM " + pid
                        + " (see its standard error)");
            case RECORDER_FAILED:
                throw new ToolException("the recorder failed in JVM " + pid + " (see its standard error)");
            case BAD_COMMAND:
                throw new ToolException("the recorder in JVM " + pid + " could not take the command (its reply file "
                        + reply + " was not writable for it)");
            default:
                throw new ToolException("the recorder failed to start in JVM " + pid + " (code " + result
                        + "; see its standard error)");
        }
    }

    /** Whether the recorder can be reached without loading it: false when its classes are not in the JVM. */
    private boolean reachable() throws ToolException {
        try {
            vm.loadAgentPath(library, PREFIX + "probe");
            return false;
        } catch (AgentInitializationException e) {
            // The recorder turns down the malformed probe: it is there.
            return e.returnValue() == BAD_COMMAND;
        } catch (AgentLoadException e) {
            return false;
        } catch (IOException e) {
            throw lost(pid, e);
        }
    }

    static ToolException lost(long pid, IOException e) {
        if (ending(pid)) {
            return exitedBeforeStart(pid);
        }
        return new ToolException("lost the connection to JVM " + pid + ": " + e.getMessage());
    }

    private static ToolException exitedBeforeStart(long pid) {
        return new ToolException("JVM " + pid + " exited before the recording started", ToolException.TARGET_EXITED);
    }

    /** Whether the process runs; one that has ended and waits for its parent to notice does not. */
    static boolean alive(long pid) {
        if (!ProcessHandle.of(pid).map(ProcessHandle::isAlive).orElse(false)) {
            return false;
        }
        try {
            String stat = Files.readString(Path.of("/proc/" + pid + "/stat"));
            return !stat.substring(stat.lastIndexOf(')') + 1).trim().startsWith("Z");
        } catch (IOException | RuntimeException e) {
            return !Files.notExists(Path.of("/proc/" + pid));
        }
    }

    /**
     * Whether a JVM whose connection just failed is gone or going: it may be
     * in the middle of its exit when the failure shows, so it gets a moment.
     */
    static boolean ending(long pid) {
        long deadline = System.nanoTime() + 2_000_000_000L;
        while (alive(pid)) {
            if (System.nanoTime() > deadline) {
                return false;
            }
            try {
                Thread.sleep(20);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                return false;
            }
        }
        return true;
    }

    @Override
    public void close() {
        detach(vm);
        deleteDirectory(directory);
    }

    private static void detach(VirtualMachine vm) {
        try {
            vm.detach();
        } catch (IOException ignored) {
            // the target may be gone; nothing to release on this side
        }
    }

    private static void deleteDirectory(Path directory) {
        if (directory == null) {
            return;
        }
        try {
            Files.deleteIfExists(directory.resolve("classes"));
            Files.deleteIfExists(directory.resolve("reply"));
            Files.deleteIfExists(directory);
        } catch (IOException ignored) {
            // a temporary directory left behind is all it costs
        }
    }

    /** As root recording another user's JVM: that JVM writes the reply, so the directory becomes its user's. */
    private static void giveToOwnerOf(long pid, Path directory, Path file) throws IOException {
        Object owner = Files.getAttribute(Path.of("/proc/" + pid), "unix:uid");
        if (!owner.equals(Files.getAttribute(file, "unix:uid", LinkOption.NOFOLLOW_LINKS))) {
            Files.setAttribute(file, "unix:uid", owner, LinkOption.NOFOLLOW_LINKS);
            Files.setAttribute(directory, "unix:uid", owner, LinkOption.NOFOLLOW_LINKS);
        }
    }

    private static boolean isReadable(long pid) {
        return Files.isReadable(Path.of("/proc/" + pid + "/maps"));
    }

    /**
     * The tolvane library the JVM has loaded, from its memory map: the one at
     * {@code library}'s path, else one of the same file name. Empty when none
     * is mapped or the map cannot be read.
     */
    static Optional<String> loadedLibrary(long pid, Path library) {
        Path ours = library;
        String real;
        try {
            real = ours.toRealPath().toString();
        } catch (IOException e) {
            real = ours.toAbsolutePath().toString();
        }
        String name = ours.getFileName().toString();
        String sameName = null;
        try {
            for (String line : Files.readAllLines(Path.of("/proc/" + pid + "/maps"), StandardCharsets.UTF_8)) {
                int slash = line.indexOf('/');
                if (slash < 0) {
                    continue;
                }
                String path = line.substring(slash);
                if (path.equals(real)) {
                    return Optional.of(path);
                }
                if (path.endsWith("/" + name)) {
                    sameName = path;
                }
            }
        } catch (IOException | UncheckedIOException e) {
            return Optional.empty();
        }
        return Optional.ofNullable(sameName);
    }
}
