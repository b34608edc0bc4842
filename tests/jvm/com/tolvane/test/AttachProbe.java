package com.tolvane.test;

import com.tolvane.agent.callee.JvmtiCallee;

/**
 * Child-JVM program for the attach and debug-log tests. Runs its arguments
 * as steps, in order:
 * <ul>
 * <li>{@code attach} attaches the library without options;</li>
 * <li>{@code attach=OPTIONS} attaches it with the option string OPTIONS;</li>
 * <li>{@code load} loads it as a JNI library only (no attach);</li>
 * <li>{@code debug=LEVEL=TEXT} calls debugOut0 with subsystem 0;</li>
 * <li>{@code debugsub=SUBSYSTEM=LEVEL=TEXT} calls debugOut0 with a subsystem.</li>
 * </ul>
 * Prints "done" on standard output when every step has run.
 */
public final class AttachProbe {

    public static void main(String[] args) throws Exception {
        for (String step : args) {
            if (step.equals("attach")) {
                SelfAttach.attach(null);
            } else if (step.startsWith("attach=")) {
                SelfAttach.attach(step.substring("attach=".length()));
            } else if (step.equals("load")) {
                SelfAttach.loadWithoutAttach();
            } else if (step.startsWith("debug=")) {
                String[] parts = step.split("=", 3);
                JvmtiCallee.debugOut0(0, Integer.parseInt(parts[1]), parts[2]);
            } else if (step.startsWith("debugsub=")) {
                String[] parts = step.split("=", 4);
                JvmtiCallee.debugOut0(Integer.parseInt(parts[1]), Integer.parseInt(parts[2]), parts[3]);
            } else {
                throw new IllegalArgumentException("unknown step " + step);
            }
        }
        System.out.println("done");
    }
}
