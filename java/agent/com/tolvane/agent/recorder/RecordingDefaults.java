package com.tolvane.agent.recorder;

import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.regex.Pattern;

/**
 * What a recording collapses and counts as net I/O unless told otherwise;
 * shared by the tolvane command and by recordings started with the JVM.
 */
public final class RecordingDefaults {
    /** The JDK's own packages: collapsed into the first call from application code. */
    public static final List<String> FILTERS = Collections.unmodifiableList(
            Arrays.asList("java.", "javax.", "jdk.", "sun.", "com.sun."));

    /**
     * Socket read, write, connect and accept of the JDKs the tool supports:
     * the NIO-based socket implementation and channels of JDK 13 and later,
     * and the classic socket streams and implementation of JDK 8 to 12; and
     * the waits of NIO selectors on Linux (epoll of JDK 11 and later and of
     * JDK 8, the poll selector), where pollers such as Tomcat's and Netty's
     * idle in a native method that the JVM reports as runnable.
     */
    public static final List<String> NETIO = Collections.unmodifiableList(Arrays.asList(
            "sun.nio.ch.NioSocketImpl#read", "sun.nio.ch.NioSocketImpl#write",
            "sun.nio.ch.NioSocketImpl#connect", "sun.nio.ch.NioSocketImpl#accept",
            "sun.nio.ch.SocketChannelImpl#read", "sun.nio.ch.SocketChannelImpl#write",
            "sun.nio.ch.SocketChannelImpl#connect", "sun.nio.ch.SocketChannelImpl#finishConnect",
            "sun.nio.ch.SocketChannelImpl#blockingRead", "sun.nio.ch.SocketChannelImpl#blockingWriteFully",
            "sun.nio.ch.SocketChannelImpl#blockingConnect",
            "sun.nio.ch.ServerSocketChannelImpl#accept", "sun.nio.ch.ServerSocketChannelImpl#blockingAccept",
            "java.net.SocketInputStream#read", "java.net.SocketOutputStream#write",
            "java.net.AbstractPlainSocketImpl#connect", "java.net.AbstractPlainSocketImpl#accept",
            "sun.nio.ch.EPoll#wait", "sun.nio.ch.EPollArrayWrapper#epollWait", "sun.nio.ch.PollSelectorImpl#poll"));

    private static final Pattern CLASS_NAME =
            Pattern.compile("[\\p{L}_$][\\p{L}\\p{N}_$]*(\\.[\\p{L}_$][\\p{L}\\p{N}_$]*)*");

    private RecordingDefaults() {
    }

    /** "com.sun.tools.javac." for "jdk.compiler/com.sun.tools.javac.Main"; null for a jar or no package. */
    public static String applicationPackage(String mainClass) {
        if (mainClass == null || mainClass.endsWith(".jar")) {
            return null;
        }
        String cls = mainClass.substring(mainClass.indexOf('/') + 1);
        int dot = cls.lastIndexOf('.');
        return dot <= 0 || !CLASS_NAME.matcher(cls).matches() ? null : cls.substring(0, dot + 1);
    }

    /**
     * The default filters, followed by an exemption for the package of the
     * application's main class when they would collapse it (javac's main
     * class is com.sun.tools.javac.Main).
     */
    public static List<String> filtersFor(String mainClass) {
        String pkg = applicationPackage(mainClass);
        List<String> filters = new java.util.ArrayList<String>(FILTERS);
        if (pkg != null) {
            for (String f : FILTERS) {
                if (pkg.startsWith(f)) {
                    filters.add("-" + pkg);
                    break;
                }
            }
        }
        return filters;
    }
}
