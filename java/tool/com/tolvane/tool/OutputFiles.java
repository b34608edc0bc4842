package com.tolvane.tool;

import java.io.BufferedOutputStream;
import java.io.IOException;
import java.io.OutputStream;
import java.nio.charset.Charset;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.nio.file.StandardOpenOption;

/**
 * The rules for every file the tool names as an output: snapshots, which the
 * recorder in the target writes, and reports, comparisons and profiles, which
 * the tool writes itself. Only a new or a regular file is ever replaced, never
 * a device, a FIFO, a socket, a directory or a symbolic link (nor whatever it
 * points at); and a name is written as it was given, or refused.
 */
public final class OutputFiles {
    private OutputFiles() {
    }

    /** Writes the content of an output file. */
    public interface Content {
        void write(OutputStream out) throws IOException;
    }

    /**
     * Checks an output name as it came from the command line. Java decodes the
     * arguments with the file name encoding ("sun.jnu.encoding") before the
     * tool sees them, replacing bytes that are not valid in it by U+FFFD, and
     * encodes file names back with the same encoding: such a name would be
     * written with other bytes than the ones given, so it is refused. (A
     * U+FFFD typed as such cannot be told from a replaced byte.)
     */
    public static String checkName(String name, String what) throws ToolException {
        Charset encoding = fileNameEncoding();
        if (name.indexOf('\uFFFD') >= 0 || !encoding.newEncoder().canEncode(name)) {
            throw ToolException.usage(what + " '" + name + "' holds bytes that are not valid " + encoding
                    + " (the file name encoding of this locale), so it cannot be written under the name given;"
                    + " choose a name in " + encoding);
        }
        return name;
    }

    private static Charset fileNameEncoding() {
        String name = System.getProperty("sun.jnu.encoding");
        try {
            return name != null && Charset.isSupported(name) ? Charset.forName(name) : Charset.defaultCharset();
        } catch (IllegalArgumentException e) {
            return Charset.defaultCharset();
        }
    }

    /**
     * Why an output must not be written at {@code path}, or null when it may:
     * the path does not exist or names a regular file. Links are not followed.
     */
    public static String notReplaceable(Path path) {
        if (!Files.exists(path, LinkOption.NOFOLLOW_LINKS) || Files.isRegularFile(path, LinkOption.NOFOLLOW_LINKS)) {
            return null;
        }
        return Files.isDirectory(path, LinkOption.NOFOLLOW_LINKS) ? "a directory" : kindOf(path);
    }

    /** Refuses, as unusable input, an output path that exists and is not a regular file. */
    public static void checkReplaceable(Path path, String what) throws ToolException {
        String kind = notReplaceable(path);
        if (kind != null) {
            throw ToolException.usage(what + " " + path + " exists and is not a regular file (" + kind
                    + "); give the name of a new or a regular file");
        }
    }

    /** What kind of file system entry a path that is not a regular file names, for messages. */
    static String kindOf(Path path) {
        if (Files.isSymbolicLink(path)) {
            return "a symbolic link";
        }
        try {
            Object mode = Files.getAttribute(path, "unix:mode", LinkOption.NOFOLLOW_LINKS);
            if (mode instanceof Integer m) {
                switch (m & 0170000) {
                    case 0020000: return "a character device";
                    case 0060000: return "a block device";
                    case 0010000: return "a FIFO";
                    case 0140000: return "a socket";
                    default: break;
                }
            }
        } catch (IOException | RuntimeException e) {
            // fall through to the general word
        }
        return "a special file";
    }

    /**
     * Writes a file through a temporary file next to it, so a failed write
     * never leaves a truncated file under the final name. The name is checked
     * before the write and again right before the rename, which replaces the
     * directory entry itself and follows no link: what appeared there while
     * the content was written is left alone as well.
     */
    public static void write(Path target, Content content) throws ToolException {
        Path absolute = target.toAbsolutePath();
        Path dir = absolute.getParent();
        if (dir == null || !Files.isDirectory(dir)) {
            throw new ToolException("cannot write " + target + ": directory " + dir + " does not exist");
        }
        checkReplaceable(target, "output");
        Path temp = dir.resolve("." + absolute.getFileName() + "." + ProcessHandle.current().pid() + ".tmp");
        boolean created = false;
        try {
            try (OutputStream out = new BufferedOutputStream(Files.newOutputStream(temp,
                    StandardOpenOption.CREATE_NEW, StandardOpenOption.WRITE), 1 << 16)) {
                created = true;
                content.write(out);
            }
            String kind = notReplaceable(absolute);
            if (kind != null) {
                throw new ToolException("cannot write " + target + ": " + kind + " appeared under that name while"
                        + " the file was written; it is left alone");
            }
            Files.move(temp, absolute, StandardCopyOption.ATOMIC_MOVE, LinkOption.NOFOLLOW_LINKS);
            created = false;
        } catch (IOException e) {
            throw new ToolException("cannot write " + target + ": " + e.getMessage());
        } finally {
            if (created) {
                try {
                    Files.deleteIfExists(temp);
                } catch (IOException ignored) {
                    // the original failure is the one to report
                }
            }
        }
    }
}
