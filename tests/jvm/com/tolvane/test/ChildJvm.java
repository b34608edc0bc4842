package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.fail;

import java.io.BufferedReader;
import java.io.File;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import java.util.stream.Collectors;

/**
 * Starts a child JDK with the built library, agent jar, tool jar and test jar
 * at hand, runs a main class in it and captures its output. The child runs
 * with -Xcheck:jni and may attach to itself; it receives the same tolvane.*
 * system properties as the test JVM, so {@link SelfAttach} finds the library.
 *
 * <pre>
 * ChildJvm.Result r = ChildJvm.main(AttachProbe.class, "attach=agent-threads")
 *         .env("HOME", home.toString()).run();
 * r.assertSuccess();
 * r.assertTolvaneLines("tolvane> Protocol version 1", ...);
 * </pre>
 */
public final class ChildJvm {

    public static final String PREFIX = "tolvane> ";

    /** Lines that -Xcheck:jni writes (on either stream) when the library misuses JNI. */
    private static final List<String> JNI_CHECK_MARKERS = Arrays.asList(
            "in native method",
            "JNI call made",
            "WARNING: JNI",
            "FATAL ERROR in native");

    private static final String[] FORWARDED_PROPERTIES = {
        "tolvane.lib", "tolvane.agentJar", "tolvane.toolJar", "tolvane.testJar", "tolvane.java",
        "tolvane.root", "tolvane.buildDir", "tolvane.clockShim",
    };

    private final String mainClass;
    private final List<String> args;
    private final List<String> jvmArgs = new ArrayList<>();
    private final Map<String, String> envChanges = new LinkedHashMap<>();
    private Path workDir;
    private String java;
    private Duration timeout = Duration.ofSeconds(120);

    private ChildJvm(String mainClass, List<String> args) {
        this.mainClass = mainClass;
        this.args = args;
    }

    public static ChildJvm main(Class<?> mainClass, String... args) {
        return new ChildJvm(mainClass.getName(), Arrays.asList(args));
    }

    public static ChildJvm main(String mainClass, String... args) {
        return new ChildJvm(mainClass, Arrays.asList(args));
    }

    /** Path of a test-JVM system property that the build passes in. */
    /**
     * Waits for a started target's first line, which must begin with {@code readyPrefix}, then
     * copies the rest of its standard output into {@code sink} (synchronized on it) on a daemon
     * thread, so the target never blocks on a full pipe.
     */
    public static void followOutput(Process target, String readyPrefix, StringBuilder sink) throws IOException {
        BufferedReader in = new BufferedReader(
                new InputStreamReader(target.getInputStream(), StandardCharsets.UTF_8));
        String first = in.readLine();
        if (first == null || !first.startsWith(readyPrefix)) {
            throw new AssertionError("target did not start: " + first);
        }
        Thread drainer = new Thread(() -> {
            try {
                String l;
                while ((l = in.readLine()) != null) {
                    synchronized (sink) {
                        sink.append(l).append('\n');
                    }
                }
            } catch (IOException ignored) {
                // the target ended
            }
        });
        drainer.setDaemon(true);
        drainer.start();
    }

    public static String property(String name) {
        String value = System.getProperty(name);
        if (value == null || value.isEmpty()) {
            fail("system property " + name + " is not set; run the test through ctest");
        }
        return value;
    }

    public ChildJvm jvmArg(String arg) {
        jvmArgs.add(arg);
        return this;
    }

    /** Runs the child in this directory (default: the test JVM's). */
    public ChildJvm workDir(Path dir) {
        this.workDir = dir;
        return this;
    }

    /** Sets a variable in the child's environment (inherited otherwise). */
    public ChildJvm env(String name, String value) {
        envChanges.put(name, value);
        return this;
    }

    /** Removes a variable from the child's environment. */
    public ChildJvm unsetEnv(String name) {
        envChanges.put(name, null);
        return this;
    }

    /**
     * Runs the child on another JDK (21 or later: dynamic agent loading is
     * switched on for it).
     */
    public ChildJvm javaExecutable(String java) {
        this.java = java;
        jvmArgs.add(0, "-XX:+EnableDynamicAgentLoading");
        return this;
    }

    public ChildJvm timeout(Duration timeout) {
        this.timeout = timeout;
        return this;
    }

    public List<String> command() {
        List<String> command = new ArrayList<>();
        command.add(java != null ? java : property("tolvane.java"));
        command.add("-Djdk.attach.allowAttachSelf=true");
        command.add("-Xcheck:jni");
        for (String name : FORWARDED_PROPERTIES) {
            String value = System.getProperty(name);
            if (value != null) {
                command.add("-D" + name + "=" + value);
            }
        }
        command.addAll(jvmArgs);
        command.add("-cp");
        command.add(String.join(File.pathSeparator,
                property("tolvane.testJar"), property("tolvane.agentJar"), property("tolvane.toolJar")));
        command.add(mainClass);
        command.addAll(args);
        return command;
    }

    /** Runs the child to its end; fails the test when it outlives the timeout. */
    public Result run() throws IOException, InterruptedException {
        Path outputDir = Files.createTempDirectory("tolvane-child");
        File stdout = outputDir.resolve("stdout").toFile();
        File stderr = outputDir.resolve("stderr").toFile();
        ProcessBuilder builder = new ProcessBuilder(command())
                .redirectOutput(stdout)
                .redirectError(stderr)
                .redirectInput(ProcessBuilder.Redirect.from(new File("/dev/null")));
        if (workDir != null) {
            builder.directory(workDir.toFile());
        }
        Map<String, String> env = builder.environment();
        for (Map.Entry<String, String> change : envChanges.entrySet()) {
            if (change.getValue() == null) {
                env.remove(change.getKey());
            } else {
                env.put(change.getKey(), change.getValue());
            }
        }
        Process process = builder.start();
        boolean finished = process.waitFor(timeout.toMillis(), TimeUnit.MILLISECONDS);
        if (!finished) {
            process.destroyForcibly();
            process.waitFor(10, TimeUnit.SECONDS);
        }
        Result result = new Result(finished ? process.exitValue() : -1,
                read(stdout.toPath()), read(stderr.toPath()), command());
        Files.deleteIfExists(stdout.toPath());
        Files.deleteIfExists(stderr.toPath());
        Files.deleteIfExists(outputDir);
        if (!finished) {
            fail("child JVM did not end within " + timeout + "\n" + result.describe());
        }
        return result;
    }

    private static String read(Path file) throws IOException {
        return new String(Files.readAllBytes(file), StandardCharsets.UTF_8);
    }

    /** What a finished child left behind, with the assertions the tests share. */
    public static final class Result {
        public final int exitCode;
        public final String stdout;
        public final String stderr;
        private final List<String> command;

        Result(int exitCode, String stdout, String stderr, List<String> command) {
            this.exitCode = exitCode;
            this.stdout = stdout;
            this.stderr = stderr;
            this.command = command;
        }

        public List<String> stdoutLines() {
            return lines(stdout);
        }

        public List<String> stderrLines() {
            return lines(stderr);
        }

        /** The library's console lines on standard error, prefix included, in order. */
        public List<String> tolvaneLines() {
            return stderrLines().stream().filter(l -> l.startsWith(PREFIX)).collect(Collectors.toList());
        }

        public Result assertExitCode(int expected) {
            assertEquals(expected, exitCode, () -> "exit code\n" + describe());
            return this;
        }

        /** Exit code 0 and not a word from the JNI checker. */
        public Result assertSuccess() {
            assertExitCode(0);
            return assertNoJniWarnings();
        }

        public Result assertNoJniWarnings() {
            for (String line : concat(stdoutLines(), stderrLines())) {
                for (String marker : JNI_CHECK_MARKERS) {
                    if (line.contains(marker)) {
                        fail("JNI check reported: " + line + "\n" + describe());
                    }
                }
            }
            return this;
        }

        /** Exactly these library console lines, in this order (each with its "tolvane> " prefix). */
        public Result assertTolvaneLines(String... expected) {
            assertEquals(Arrays.asList(expected), tolvaneLines(), () -> "console lines\n" + describe());
            return this;
        }

        public String describe() {
            return "command: " + String.join(" ", command) + "\nexit code: " + exitCode
                    + "\n--- stdout ---\n" + stdout + "--- stderr ---\n" + stderr + "---";
        }

        private static List<String> lines(String text) {
            List<String> lines = new ArrayList<>(Arrays.asList(text.split("\r?\n", -1)));
            if (!lines.isEmpty() && lines.get(lines.size() - 1).isEmpty()) {
                lines.remove(lines.size() - 1);
            }
            return lines;
        }

        private static List<String> concat(List<String> a, List<String> b) {
            List<String> all = new ArrayList<>(a);
            all.addAll(b);
            return all;
        }
    }
}
