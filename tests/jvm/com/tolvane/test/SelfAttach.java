package com.tolvane.test;

import com.sun.tools.attach.VirtualMachine;

/**
 * Used inside a child JVM started by {@link ChildJvm}: attaches the built
 * library to the running JVM itself through the Attach API, the way the
 * agent does it in production, and detaches again.
 */
public final class SelfAttach {

    private SelfAttach() {
    }

    /** The library path the test JVM passed down. */
    public static String libraryPath() {
        String lib = System.getProperty("tolvane.lib");
        if (lib == null || lib.isEmpty()) {
            throw new IllegalStateException("tolvane.lib is not set");
        }
        return lib;
    }

    /** Attaches the library with these options (null: no option string). */
    public static void attach(String options) throws Exception {
        VirtualMachine vm = VirtualMachine.attach(String.valueOf(ProcessHandle.current().pid()));
        try {
            if (options == null) {
                vm.loadAgentPath(libraryPath());
            } else {
                vm.loadAgentPath(libraryPath(), options);
            }
        } finally {
            vm.detach();
        }
    }

    /** Loads the library as a plain JNI library, without the attach. */
    public static void loadWithoutAttach() {
        System.load(libraryPath());
    }
}
