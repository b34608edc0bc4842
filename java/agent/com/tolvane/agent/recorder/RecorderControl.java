package com.tolvane.agent.recorder;

import com.tolvane.agent.callee.JvmtiCallee;
import java.io.IOException;
import java.nio.charset.Charset;
import java.util.ArrayList;
import java.util.List;
import java.util.Properties;

/**
 * The tolvane tool's way in: its commands arrive through the library
 * (loaded again by the Attach API with the command as its options), on the
 * JVM's attach listener thread, and are answered in a reply file the tool
 * created and named in the command. Nothing listens in the JVM for them.
 *
 * <p>A command is properties text in ASCII (as {@link Properties#store}
 * escapes it) in pieces of at most {@value #PIECE_CHARS} characters, each
 * one load, headed by a line "TOKEN INDEX COUNT"; the last piece runs it.
 * Keys: command (start, stop, end, status), reply (the reply file's path),
 * id (for stop), and for start the recording request (see
 * {@link RecordingRequest}). Status changes nothing: it answers how many
 * recordings the JVM has started and the running one, if any.
 *
 * <p>A reply is lines KEY=VALUE ({@link #escape}d) closed by a line "end";
 * the file is rewritten whole whenever the recording changes state, so the
 * tool follows it by reading the file. Keys: refused or error (the command
 * was not carried out, and why), failure (an earlier continuous recording
 * that ended with an error and was not told yet), netio (a declaration of
 * an earlier recording in force, once per declaration), recordings (for
 * status), then the recording:
 * id, state, message, continuous, written and snapshot (once per remaining
 * snapshot, oldest first).
 */
public final class RecorderControl {
    /** The library's return value for a command taken; see the library's command channel. */
    static final int HANDLED = 100;
    /** The library's return value for a command that is malformed or cannot be answered. */
    static final int BAD_COMMAND = 104;
    /** Longest piece of a command: the Attach API takes options of up to 1024 bytes. */
    public static final int PIECE_CHARS = 900;
    /** Commands whose pieces are still arriving; more are not kept. */
    private static final int MAX_PENDING = 8;
    private static final int MAX_COMMAND_CHARS = 1 << 20;

    /** Tokens of the commands still arriving, oldest first, and their text so far; guarded by the first. */
    private static final List<String> pendingTokens = new ArrayList<String>();
    private static final List<StringBuilder> pendingText = new ArrayList<StringBuilder>();

    private RecorderControl() {
    }

    /** Called by the library on the attach listener thread; returns what the load returns to the tool. */
    public static int command(byte[] bytes) {
        String text = new String(bytes, Charset.forName("ISO-8859-1"));
        int lineEnd = text.indexOf('\n');
        String[] header = (lineEnd < 0 ? "" : text.substring(0, lineEnd)).split(" ");
        if (header.length != 3) {
            return BAD_COMMAND;
        }
        String token = header[0];
        int index;
        int count;
        try {
            index = Integer.parseInt(header[1]);
            count = Integer.parseInt(header[2]);
        } catch (NumberFormatException e) {
            return BAD_COMMAND;
        }
        String piece = text.substring(lineEnd + 1);
        String whole;
        synchronized (pendingTokens) {
            int at = pendingTokens.indexOf(token);
            if (index == 0) {
                if (at >= 0) {
                    forget(at);
                }
                pendingTokens.add(token);
                pendingText.add(new StringBuilder());
                if (pendingTokens.size() > MAX_PENDING) {
                    forget(0);
                }
                at = pendingTokens.size() - 1;
            }
            StringBuilder sb = at < 0 ? null : pendingText.get(at);
            if (sb == null || index < 0 || index >= count || sb.length() + piece.length() > MAX_COMMAND_CHARS) {
                if (at >= 0) {
                    forget(at);
                }
                return BAD_COMMAND;
            }
            sb.append(piece);
            if (index < count - 1) {
                return HANDLED;
            }
            forget(at);
            whole = sb.toString();
        }
        Properties p;
        try {
            p = properties(whole);
        } catch (IllegalArgumentException e) {
            return BAD_COMMAND;
        }
        String reply = p.getProperty("reply");
        if (reply == null || reply.isEmpty()) {
            return BAD_COMMAND;
        }
        String command = p.getProperty("command", "");
        boolean answered;
        if (command.equals("start")) {
            answered = RecorderAgent.recorder().startFor(p, reply);
        } else if (command.equals("stop") || command.equals("end") || command.equals("status")) {
            // Nothing to end where no recorder was ever made: no thread is started for the question.
            Recorder recorder = RecorderAgent.existing();
            answered = recorder == null ? write(reply, line("recordings", 0) + line("id", 0) + "end\n")
                    : command.equals("stop") ? recorder.stopFor(number(p.getProperty("id")), reply)
                    : command.equals("end") ? recorder.endFor(reply)
                    : write(reply, recorder.statusFor());
        } else {
            answered = write(reply, line("error", "unknown command " + command) + "end\n");
        }
        return answered ? HANDLED : BAD_COMMAND;
    }

    private static void forget(int at) {
        pendingTokens.remove(at);
        pendingText.remove(at);
    }

    /**
     * Reads properties text as {@link Properties#store} writes it (one
     * KEY=VALUE a line, # comments, backslash escapes). Read by hand, as
     * Properties.load would bring reader classes into the JVM that the JIT
     * may have counted on never seeing.
     *
     * @throws IllegalArgumentException for a malformed unicode escape
     */
    static Properties properties(String text) {
        Properties p = new Properties();
        for (String raw : text.split("\n")) {
            String line = raw.endsWith("\r") ? raw.substring(0, raw.length() - 1) : raw;
            int start = 0;
            while (start < line.length() && isBlank(line.charAt(start))) {
                start++;
            }
            if (start == line.length() || line.charAt(start) == '#' || line.charAt(start) == '!') {
                continue;
            }
            int end = start;
            while (end < line.length() && !isBlank(line.charAt(end)) && line.charAt(end) != '='
                    && line.charAt(end) != ':') {
                end += line.charAt(end) == '\\' ? 2 : 1;
            }
            end = Math.min(end, line.length());
            int value = end;
            while (value < line.length() && isBlank(line.charAt(value))) {
                value++;
            }
            if (value < line.length() && (line.charAt(value) == '=' || line.charAt(value) == ':')) {
                value++;
            }
            while (value < line.length() && isBlank(line.charAt(value))) {
                value++;
            }
            p.setProperty(unescapeProperty(line.substring(start, end)), unescapeProperty(line.substring(value)));
        }
        return p;
    }

    private static boolean isBlank(char c) {
        return c == ' ' || c == '\t' || c == '\f';
    }

    private static String unescapeProperty(String s) {
        StringBuilder sb = new StringBuilder(s.length());
        for (int i = 0; i < s.length(); i++) {
            char c = s.charAt(i);
            if (c != '\\' || i + 1 == s.length()) {
                sb.append(c);
                continue;
            }
            c = s.charAt(++i);
            if (c == 'u') {
                if (i + 4 >= s.length()) {
                    throw new IllegalArgumentException("malformed \\uxxxx escape");
                }
                try {
                    sb.append((char) Integer.parseInt(s.substring(i + 1, i + 5), 16));
                } catch (NumberFormatException e) {
                    throw new IllegalArgumentException("malformed \\uxxxx escape");
                }
                i += 4;
            } else {
                sb.append(c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c == 'f' ? '\f' : c);
            }
        }
        return sb.toString();
    }

    /** Writes a reply; false when the file is not there for it (the tool then learns nothing). */
    static boolean write(String reply, String text) {
        try {
            return JvmtiCallee.writeReply(Recorder.pathBytes(reply), text.getBytes("UTF-8"));
        } catch (IOException | LinkageError e) {
            return false;
        }
    }

    private static long number(String value) {
        try {
            return value == null ? 0 : Long.parseLong(value);
        } catch (NumberFormatException e) {
            return 0;
        }
    }

    /** One line of a reply. */
    static String line(String key, Object value) {
        return key + "=" + escape(String.valueOf(value)) + "\n";
    }

    /** A value on one line: backslash and line ends escaped as \\, \n and \r. */
    public static String escape(String value) {
        StringBuilder sb = new StringBuilder(value.length());
        for (int i = 0; i < value.length(); i++) {
            char c = value.charAt(i);
            if (c == '\\') {
                sb.append("\\\\");
            } else if (c == '\n') {
                sb.append("\\n");
            } else if (c == '\r') {
                sb.append("\\r");
            } else {
                sb.append(c);
            }
        }
        return sb.toString();
    }

    /** The inverse of {@link #escape}. */
    public static String unescape(String value) {
        StringBuilder sb = new StringBuilder(value.length());
        for (int i = 0; i < value.length(); i++) {
            char c = value.charAt(i);
            if (c == '\\' && i + 1 < value.length()) {
                char next = value.charAt(++i);
                sb.append(next == 'n' ? '\n' : next == 'r' ? '\r' : next);
            } else {
                sb.append(c);
            }
        }
        return sb.toString();
    }
}
