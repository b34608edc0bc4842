package com.tolvane.cli;

import com.tolvane.tool.ToolException;
import java.util.List;

/** Checks of a command's positional arguments, with messages that say what was expected. */
final class Positionals {
    private Positionals() {
    }

    /** The single positional argument, or a usage error naming what is expected. */
    static String single(List<String> positional, String what) throws ToolException {
        if (positional.isEmpty()) {
            throw ToolException.usage("missing " + what);
        }
        if (positional.size() > 1) {
            throw ToolException.usage("expected one " + what + ", got " + positional.size() + " arguments: "
                    + String.join(" ", positional));
        }
        return positional.get(0);
    }
}
