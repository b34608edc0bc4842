package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.tolvane.cli.Main;
import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Enumeration;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.TreeMap;
import java.util.TreeSet;
import java.util.jar.JarEntry;
import java.util.jar.JarFile;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import picocli.CommandLine;
import picocli.CommandLine.Model.ArgSpec;
import picocli.CommandLine.Model.CommandSpec;

/**
 * The command line as declared: every command, argument and option explains
 * itself in the help, the dispatcher keeps its conventions, and the packages
 * depend on each other in one direction only.
 */
class CommandLineDeclarationTest {

    private static boolean described(String[] description) {
        return description.length > 0 && !String.join("", description).isBlank();
    }

    @Test
    void everyCommandArgumentAndOptionIsExplainedInItsHelp() {
        CommandLine tolvane = Main.commandLine();
        String overview = ToolRun.of("help").out();
        assertTrue(tolvane.getSubcommands().keySet().containsAll(
                List.of("list", "record", "run", "stop", "verify", "demo", "report", "diff", "help")));
        tolvane.getSubcommands().forEach((name, command) -> {
            CommandSpec spec = command.getCommandSpec();
            assertTrue(described(spec.usageMessage().header()), name + " has no summary");
            assertTrue(overview.contains(String.format("  %-8s %s%n", name, spec.usageMessage().header()[0])),
                    overview);
            ToolRun help = ToolRun.of("help", name);
            assertEquals(0, help.code(), help.toString());
            assertEquals(help.out(), ToolRun.of(name, "-h").out(), name);
            for (ArgSpec arg : spec.args()) {
                String what = name + " " + (arg.isOption() ? ((CommandLine.Model.OptionSpec) arg).longestName()
                        : arg.paramLabel());
                assertTrue(described(arg.description()), what + " has no description");
                if (arg instanceof CommandLine.Model.OptionSpec option) {
                    for (String n : option.names()) {
                        assertTrue(help.out().contains(n), what + ": " + n + " missing from the help\n" + help.out());
                    }
                } else {
                    assertTrue(help.out().contains(arg.paramLabel()), what + " missing from the help");
                }
            }
        });
    }

    @Test
    void theDispatcherKeepsItsConventions(@TempDir Path dir) throws IOException {
        ToolRun none = ToolRun.of();
        assertEquals(2, none.code());
        assertTrue(none.out().startsWith("usage: tolvane <command>"), none.toString());
        assertEquals(0, ToolRun.of("--help").code());
        assertEquals(none.out(), ToolRun.of("help", "no-such-command").out());

        // -h among a command's own arguments wins over anything wrong beside it.
        ToolRun help = ToolRun.of("record", "--bogus", "-h");
        assertEquals(0, help.code(), help.toString());
        assertTrue(help.out().contains("usage: tolvane record"), help.toString());

        // After -- everything belongs to the java command, -h included.
        ToolRun notJava = ToolRun.of("run", "--", "/bin/true", "-h");
        assertEquals(2, notJava.code(), notJava.toString());
        assertTrue(notJava.err().contains("java launcher") && notJava.out().isEmpty(), notJava.toString());
        // Arguments are taken as they are: '@' names no file of further arguments.
        Path atFile = Files.writeString(dir.resolve("args"), "--help\n");
        ToolRun at = ToolRun.of("verify", "@" + atFile);
        assertEquals(1, at.code(), at.toString());
        assertTrue(at.err().contains("@" + atFile + ": no such file"), at.toString());

        String[][] cases = {
            {"give the java command after --", "run", "-d", "10s", "java", "-version"},
            {"give the java command after --", "run", "-d", "10s", "--"},
            {"unexpected app before --", "run", "app", "--", "java", "-version"},
            {"tolvane demo: demo takes options only, not extra", "demo", "extra"},
            {"tolvane list: list takes no arguments, not x", "list", "x"},
            {"tolvane report: unknown option -x", "report", "-xyz", "a.tsnap"},
            {"tolvane report: option --min-percent needs a value", "report", "a.tsnap", "--min-percent"},
            {"tolvane report: --min-percent needs a number from 0 to 100, not \"lots\"", "report",
                "--min-percent=lots", "a.tsnap"},
            {"tolvane diff: option --raw-names takes no value", "diff", "a", "b", "--raw-names=1"},
            {"tolvane: unknown command 'frobnicate' (commands: list, record, run,", "frobnicate"},
        };
        for (String[] c : cases) {
            ToolRun r = ToolRun.of(java.util.Arrays.copyOfRange(c, 1, c.length));
            assertEquals(2, r.code(), r.toString());
            assertTrue(r.err().contains(c[0]), c[0] + "\n" + r);
            assertEquals(1, r.err().lines().count(), r.toString());
        }
    }

    /** The top-level packages under com/tolvane/ that each top-level package's classes refer to. */
    private static Map<String, Set<String>> references(Path jar) throws IOException {
        Pattern reference = Pattern.compile("com/tolvane/([a-z]+)/|(picocli)/");
        Map<String, Set<String>> refs = new TreeMap<>();
        try (JarFile file = new JarFile(jar.toFile())) {
            for (Enumeration<JarEntry> e = file.entries(); e.hasMoreElements(); ) {
                JarEntry entry = e.nextElement();
                Matcher own = Pattern.compile("com/tolvane/([a-z]+)/.*\\.class").matcher(entry.getName());
                if (!own.matches()) {
                    continue;
                }
                String text;
                try (InputStream in = file.getInputStream(entry)) {
                    // Class names in the constant pool are plain ASCII.
                    text = new String(in.readAllBytes(), StandardCharsets.ISO_8859_1);
                }
                Set<String> used = refs.computeIfAbsent(own.group(1), k -> new TreeSet<>());
                for (Matcher m = reference.matcher(text); m.find(); ) {
                    used.add(m.group(1) != null ? m.group(1) : m.group(2));
                }
            }
        }
        return refs;
    }

    @Test
    void packagesDependDownwardsAndOnlyTheCommandLineOnPicocli() throws IOException {
        Map<String, Set<String>> tool = references(Path.of(System.getProperty("tolvane.toolJar")));
        assertTrue(tool.keySet().containsAll(List.of("cli", "report", "diff", "tool", "snapshot")), tool.toString());
        Map<String, Set<String>> forbidden = Map.of(
                "snapshot", Set.of("cli", "tool", "report", "diff", "picocli"),
                "report", Set.of("cli", "tool", "diff", "picocli"),
                "diff", Set.of("cli", "tool", "picocli"),
                "tool", Set.of("cli", "diff", "picocli"),
                "demo", Set.of("cli", "tool", "report", "diff", "picocli"));
        forbidden.forEach((pkg, banned) -> {
            Set<String> wrong = new TreeSet<>(tool.getOrDefault(pkg, Set.of()));
            wrong.retainAll(banned);
            assertTrue(wrong.isEmpty(), "com.tolvane." + pkg + " refers to " + wrong);
        });
        assertTrue(tool.get("cli").contains("picocli"), "the scan finds nothing: " + tool);

        Map<String, Set<String>> agent = references(Path.of(System.getProperty("tolvane.agentJar")));
        assertFalse(agent.isEmpty());
        agent.forEach((pkg, used) -> assertEquals(Set.of("agent"), used, "com.tolvane." + pkg + " in the agent jar"));
    }
}
