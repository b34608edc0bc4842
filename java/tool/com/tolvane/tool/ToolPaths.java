package com.tolvane.tool;

import java.net.URISyntaxException;
import java.nio.file.Files;
import java.nio.file.Path;

/**
 * Where the parts of tolvane are: the native library, the agent jar and the
 * tool jar. The launcher script passes them as system properties
 * ("tolvane.lib", "tolvane.agentJar"); without them they are found next to
 * the tool jar in the build tree (build/jars/*.jar, build/libtolvane.so).
 */
public final class ToolPaths {
    private ToolPaths() {
    }

    /** The tool jar (or class directory) this code was loaded from. */
    public static Path toolJar() {
        try {
            return Path.of(ToolPaths.class.getProtectionDomain().getCodeSource().getLocation().toURI());
        } catch (URISyntaxException | RuntimeException e) {
            return Path.of("tolvane-tool.jar").toAbsolutePath();
        }
    }

    public static Path library() throws ToolException {
        return existing("tolvane.lib", toolJar().resolveSibling("..").resolve("libtolvane.so"),
                "native library libtolvane.so");
    }

    public static Path agentJar() throws ToolException {
        return existing("tolvane.agentJar", toolJar().resolveSibling("tolvane-agent.jar"), "agent jar");
    }

    /** The java launcher of the JDK running this tool. */
    public static Path java() {
        return Path.of(System.getProperty("java.home"), "bin", "java");
    }

    private static Path existing(String property, Path fallback, String what) throws ToolException {
        String configured = System.getProperty(property);
        Path path = (configured != null && !configured.isEmpty() ? Path.of(configured) : fallback)
                .toAbsolutePath().normalize();
        if (!Files.isRegularFile(path)) {
            throw new ToolException(what + " not found at " + path + " (build it first, or set " + property + ")");
        }
        return path;
    }
}
