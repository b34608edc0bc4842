package com.tolvane.test;

import java.io.File;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;

/**
 * Runs Debian's headless chromium on local pages: each run gets a fresh
 * profile directory and every background service that could reach the
 * network is switched off.
 */
public final class Chromium {
    private static final long TIMEOUT_SECONDS = 120;

    private final Path binary;

    private Chromium(Path binary) {
        this.binary = binary;
    }

    /** The installed chromium, or null when there is none. */
    public static Chromium find() {
        List<Path> candidates = new ArrayList<>();
        String path = System.getenv("PATH");
        if (path != null) {
            for (String dir : path.split(File.pathSeparator)) {
                for (String name : List.of("chromium", "chromium-browser")) {
                    candidates.add(Path.of(dir, name));
                }
            }
        }
        candidates.add(Path.of("/usr/bin/chromium"));
        for (Path p : candidates) {
            if (Files.isExecutable(p)) {
                return new Chromium(p);
            }
        }
        return null;
    }

    /** The page's DOM after it has loaded and its load handlers have run. */
    public String dumpDom(Path page) throws IOException, InterruptedException {
        return run(page, "--dump-dom");
    }

    /** The page's DOM after loading in a window of the given size. */
    public String dumpDom(Path page, int width, int height) throws IOException, InterruptedException {
        return run(page, "--dump-dom", "--window-size=" + width + "," + height);
    }

    /** Saves a screenshot of the page at the given window size. */
    public void screenshot(Path page, Path png, int width, int height) throws IOException, InterruptedException {
        Files.createDirectories(png.toAbsolutePath().getParent());
        run(page, "--screenshot=" + png.toAbsolutePath(), "--window-size=" + width + "," + height,
                "--hide-scrollbars");
        if (!Files.isRegularFile(png)) {
            throw new IOException("chromium wrote no screenshot to " + png);
        }
    }

    private String run(Path page, String... extra) throws IOException, InterruptedException {
        Path profile = Files.createTempDirectory("tolvane-chromium-");
        Path log = profile.resolveSibling(profile.getFileName() + ".log");
        try {
            List<String> cmd = new ArrayList<>(List.of(binary.toString(), "--headless", "--no-sandbox",
                    "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
                    "--disable-component-update", "--disable-sync", "--disable-extensions",
                    "--user-data-dir=" + profile));
            cmd.addAll(List.of(extra));
            cmd.add(page.toAbsolutePath().toUri().toString());
            Path dump = profile.resolveSibling(profile.getFileName() + ".out");
            Process p = new ProcessBuilder(cmd).redirectOutput(dump.toFile()).redirectError(log.toFile()).start();
            byte[] out;
            try {
                p.getOutputStream().close();
                if (!p.waitFor(TIMEOUT_SECONDS, TimeUnit.SECONDS)) {
                    throw new IOException("chromium did not finish within " + TIMEOUT_SECONDS + " s");
                }
                out = Files.readAllBytes(dump);
            } finally {
                p.destroyForcibly();
                Files.deleteIfExists(dump);
            }
            if (p.exitValue() != 0) {
                throw new IOException("chromium exited with " + p.exitValue() + ":\n" + Files.readString(log));
            }
            return new String(out, StandardCharsets.UTF_8);
        } finally {
            Files.deleteIfExists(log);
            try (Stream<Path> files = Files.walk(profile)) {
                files.sorted(Comparator.reverseOrder()).forEach(f -> f.toFile().delete());
            }
        }
    }
}
