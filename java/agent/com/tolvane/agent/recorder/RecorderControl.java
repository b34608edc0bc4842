package com.tolvane.agent.recorder;

import com.tolvane.agent.callee.JvmtiCallee;
import java.io.IOException;
import java.io.StringReader;
import java.nio.charset.Charset;
import java.util.Iterator;
import java.util.LinkedHashMap;
import java.util.Map;
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

    private static final Map<String, StringBuilder> pending = new LinkedHashMap<String, StringBuilder>();

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
        synchronized (pending) {
            StringBuilder sb = pending.get(token);
            if (index == 0) {
                sb = new StringBuilder();
                pending.put(token, sb);
                Iterator<String> oldest = pending.keySet().iterator();
                while (pending.size() > MAX_PENDING) {
                    oldest.next();
                    oldest.remove();
                }
            }
            if (sb == null || index < 0 || index >= count || sb.length() + piece.length() > MAX_COMMAND_CHARS) {
                pending.remove(token);
                return BAD_COMMAND;
            }
            sb.append(piece);
            if (index < count - 1) {
                return HANDLED;
            }
            pending.remove(token);
            whole = sb.toString();
        }
        Properties p = new Properties();
        try {
            p.load(new StringReader(whole));
        } catch (IOException | IllegalArgumentException e) {
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
