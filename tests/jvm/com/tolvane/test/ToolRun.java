package com.tolvane.test;

import com.tolvane.cli.Main;

import java.io.ByteArrayOutputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;

/** One tolvane command line run in the test's own JVM: its exit code and what it printed. */
final class ToolRun {
    final int code;
    final String out;
    final String err;

    private ToolRun(int code, String out, String err) {
        this.code = code;
        this.out = out;
        this.err = err;
    }

    static ToolRun of(String... args) {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        ByteArrayOutputStream err = new ByteArrayOutputStream();
        int code = Main.run(args, new PrintStream(out, true, StandardCharsets.UTF_8),
                new PrintStream(err, true, StandardCharsets.UTF_8));
        return new ToolRun(code, out.toString(StandardCharsets.UTF_8), err.toString(StandardCharsets.UTF_8));
    }

    int code() {
        return code;
    }

    String out() {
        return out;
    }

    String err() {
        return err;
    }

    @Override
    public String toString() {
        return "exit " + code + "\n--- stdout\n" + out + "--- stderr\n" + err;
    }
}
