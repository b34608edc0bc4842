package com.tolvane.tool;

import java.util.ArrayList;
import java.util.HashMap;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/**
 * A small command-line option parser. Options are declared with a long name
 * and an optional one-letter short name; valued options accept
 * "--name value", "--name=value", "-n value" and "-nvalue"; "--" ends the
 * options. Unknown options and missing values are usage errors.
 */
public final class Args {
    private final Map<String, Option> byName = new HashMap<>();
    private final Map<String, List<String>> values = new LinkedHashMap<>();
    private final List<String> positional = new ArrayList<>();

    private static final class Option {
        final String longName;
        final boolean takesValue;

        Option(String longName, boolean takesValue) {
            this.longName = longName;
            this.takesValue = takesValue;
        }
    }

    /** Declares an option without value. */
    public Args flag(String longName, Character shortName) {
        return declare(longName, shortName, false);
    }

    /** Declares an option that takes a value; it may be given several times. */
    public Args valued(String longName, Character shortName) {
        return declare(longName, shortName, true);
    }

    private Args declare(String longName, Character shortName, boolean takesValue) {
        Option option = new Option(longName, takesValue);
        byName.put("--" + longName, option);
        if (shortName != null) {
            byName.put("-" + shortName, option);
        }
        return this;
    }

    /** Parses the arguments; throws a usage error for anything not declared. */
    public Args parse(String[] args) throws ToolException {
        boolean optionsEnded = false;
        for (int i = 0; i < args.length; i++) {
            String arg = args[i];
            if (optionsEnded || !arg.startsWith("-") || arg.equals("-")) {
                positional.add(arg);
                continue;
            }
            if (arg.equals("--")) {
                optionsEnded = true;
                continue;
            }
            String key = arg;
            String inlineValue = null;
            if (arg.startsWith("--")) {
                int eq = arg.indexOf('=');
                if (eq > 0) {
                    key = arg.substring(0, eq);
                    inlineValue = arg.substring(eq + 1);
                }
            } else if (arg.length() > 2) {
                key = arg.substring(0, 2);
                inlineValue = arg.substring(2);
            }
            Option option = byName.get(key);
            if (option == null) {
                throw ToolException.usage("unknown option " + key);
            }
            if (!option.takesValue) {
                if (inlineValue != null) {
                    throw ToolException.usage("option " + key + " takes no value");
                }
                values.computeIfAbsent(option.longName, k -> new ArrayList<>()).add("true");
                continue;
            }
            String value = inlineValue;
            if (value == null) {
                if (i + 1 >= args.length) {
                    throw ToolException.usage("option " + key + " needs a value");
                }
                value = args[++i];
            }
            values.computeIfAbsent(option.longName, k -> new ArrayList<>()).add(value);
        }
        return this;
    }

    public boolean has(String longName) {
        return values.containsKey(longName);
    }

    /** The last value given for an option, or the default. */
    public String value(String longName, String defaultValue) {
        List<String> list = values.get(longName);
        return list == null ? defaultValue : list.get(list.size() - 1);
    }

    /** Every value given for a repeatable option, in order. */
    public List<String> all(String longName) {
        List<String> list = values.get(longName);
        return list == null ? List.of() : List.copyOf(list);
    }

    public List<String> positional() {
        return List.copyOf(positional);
    }

    /** The single positional argument, or a usage error naming what is expected. */
    public String single(String what) throws ToolException {
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
