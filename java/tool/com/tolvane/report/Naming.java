package com.tolvane.report;

import com.tolvane.snapshot.CallNode;
import com.tolvane.snapshot.FrameElision;
import com.tolvane.snapshot.MethodRecord;
import com.tolvane.snapshot.Snapshot;
import com.tolvane.snapshot.ThreadRecord;

import java.util.HashMap;
import java.util.HashSet;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * The names the reports give a snapshot's methods. Classes the JVM generates
 * at run time carry a counter or an address that changes from run to run
 * (lambda forms, hidden classes, proxies, reflection accessors); those parts
 * are dropped so that two recordings of one program name the same code alike,
 * unless the raw names are asked for. A method gets its parameter types when
 * its class has another method of the same name, so overloads can be told
 * apart. Lambda classes of one host class all lose their counters to the same
 * name; where lambdas that call different methods would so look alike, each
 * gets the method it calls ("Truth$$Lambda.run → lambda$main$0"), found as its
 * callee in the call trees, while lambdas that call the same method keep one
 * name and so merge.
 */
public final class Naming {
    /** "Foo$$Lambda$163.0x00007fac2c134328", "Foo$$Lambda$14/123456": the lambda's counter and address. */
    private static final Pattern LAMBDA = Pattern.compile("\\$\\$Lambda(?:\\$\\d+)?(?:[./+]0x[0-9a-fA-F]+|/\\d+)?");
    /** The address a hidden class carries after its name: ".0x0000000800c0c400" or "/0x...". */
    private static final Pattern HIDDEN = Pattern.compile("[./+]0x[0-9a-fA-F]+(?=$|\\$)");
    /** Dynamic proxies: "$Proxy12" in "jdk.proxy2" or "com.sun.proxy". */
    private static final Pattern PROXY = Pattern.compile("\\$Proxy\\d+");
    private static final Pattern PROXY_MODULE = Pattern.compile("^jdk\\.proxy\\d+\\.");
    /** Reflection accessors of JDK 8 to 17: "GeneratedMethodAccessor12". */
    private static final Pattern ACCESSOR = Pattern.compile(
            "(Generated(?:Serialization)?(?:Method|Constructor)Accessor)\\d+");
    /** Byte-code generated subclasses: "$$EnhancerBySpringCGLIB$$1a2b3c4d", "$$SpringCGLIB$$0". */
    private static final Pattern CGLIB = Pattern.compile("(\\$\\$[A-Za-z]*CGLIB)\\$\\$[0-9a-fA-F]+");

    /** The JDK's method-handle plumbing: lambda forms and the holder classes of their pre-generated methods. */
    private static final Pattern INVOKE_PLUMBING = Pattern.compile(
            "java\\.lang\\.invoke\\.(?:LambdaForm\\$[A-Za-z]+|[A-Za-z]+\\$Holder)");
    /** Separates a lambda's name from the method it calls. */
    public static final String CALLS = " \u2192 ";

    private final boolean raw;
    private final Map<MethodRecord, String> names = new HashMap<>();

    /**
     * @param raw keep class names as the JVM gave them, addresses and counters included
     */
    public Naming(Snapshot snapshot, boolean raw) {
        this(List.of(snapshot), raw);
    }

    /**
     * Names for the methods of several snapshots that are compared: a method
     * overloaded in any of them gets its parameter types in all of them.
     */
    public Naming(List<Snapshot> snapshots, boolean raw) {
        this.raw = raw;
        // Methods whose class holds another method of the same name, with another signature.
        Map<String, Set<String>> signatures = new HashMap<>();
        for (Snapshot snapshot : snapshots) {
            for (MethodRecord m : snapshot.methods()) {
                if (!m.isInterception()) {
                    signatures.computeIfAbsent(className(m) + "." + m.name(), k -> new HashSet<>())
                            .add(m.signature());
                }
            }
        }
        for (Snapshot snapshot : snapshots) {
            name(snapshot, signatures);
        }
        if (!raw) {
            tellLambdasApart(snapshots);
        }
    }

    /**
     * The snapshot as the reports show it: without the JDK's method-handle
     * frames (lambda forms, {@code Invokers$Holder} and the like) between a
     * caller and the method it reaches, as the recorder collapses other JDK
     * frames; unchanged when the raw names are asked for.
     */
    public static Snapshot shown(Snapshot snapshot, boolean raw) {
        return raw ? snapshot : FrameElision.apply(snapshot, Naming::isInvokePlumbing);
    }

    /** Whether a method belongs to the JDK's generated method-handle adapters. */
    public static boolean isInvokePlumbing(MethodRecord m) {
        return !m.isInterception() && INVOKE_PLUMBING.matcher(normaliseClass(m.className())).matches();
    }

    /**
     * Gives lambdas whose names coincide but that call different methods the
     * name of the method each calls. A lambda's callee is its child in the
     * call trees with the most time.
     */
    private void tellLambdasApart(List<Snapshot> snapshots) {
        Map<MethodRecord, CallNode> callee = new HashMap<>();
        for (Snapshot snapshot : snapshots) {
            for (ThreadRecord t : snapshot.threads()) {
                t.root().walk(n -> {
                    MethodRecord m = n.method();
                    if (m == null || m.isInterception() || !m.className().contains("$$Lambda")) {
                        return;
                    }
                    for (CallNode c : n.children()) {
                        CallNode best = callee.get(m);
                        if (!c.method().isInterception() && (best == null || c.value() > best.value())) {
                            callee.put(m, c);
                        }
                    }
                });
            }
        }
        Map<String, Set<String>> targets = new HashMap<>();
        Map<MethodRecord, String> targetOf = new HashMap<>();
        callee.forEach((m, c) -> {
            String target = target(m, c.method());
            targetOf.put(m, target);
            targets.computeIfAbsent(names.get(m), k -> new HashSet<>()).add(target);
        });
        targetOf.forEach((m, target) -> {
            String name = names.get(m);
            if (targets.get(name).size() > 1) {
                names.put(m, name + CALLS + target);
            }
        });
    }

    /** The called method as a lambda's name shows it: without its class when that is the lambda's host. */
    private String target(MethodRecord lambda, MethodRecord called) {
        String host = className(lambda);
        int at = host.indexOf("$$Lambda");
        host = at >= 0 ? host.substring(0, at) : host;
        String cls = className(called);
        String simple = cls.substring(cls.lastIndexOf('.') + 1);
        return Names.printable(cls.equals(host) ? called.name() : simple + "." + called.name());
    }

    private void name(Snapshot snapshot, Map<String, Set<String>> signatures) {
        for (MethodRecord m : snapshot.methods()) {
            String name;
            if (m.isInterception()) {
                name = "[" + m.name() + "]";
            } else {
                name = className(m) + "." + m.name();
                if (signatures.get(name).size() > 1) {
                    name += parameters(m.signature());
                }
            }
            names.put(m, Names.printable(name));
        }
    }

    /** The name of a frame: "Class.method", with "(parameters)" for overloads; "[label]" for transactions. */
    public String frame(MethodRecord m) {
        if (m == null) {
            return "(root)";
        }
        String name = names.get(m);
        return name != null ? name : Names.frame(m);
    }

    /** The name of a frame in folded stacks, where ';' separates frames. */
    public String folded(MethodRecord m) {
        return frame(m).replace(';', ',');
    }

    /** The method's class as the reports show it. */
    public String className(MethodRecord m) {
        return raw ? m.className() : normaliseClass(m.className());
    }

    public boolean raw() {
        return raw;
    }

    /** A generated class's name without the parts that change from run to run. */
    public static String normaliseClass(String name) {
        String n = LAMBDA.matcher(name).replaceAll(Matcher.quoteReplacement("$$Lambda"));
        n = HIDDEN.matcher(n).replaceAll("");
        n = PROXY.matcher(n).replaceAll(Matcher.quoteReplacement("$Proxy"));
        n = PROXY_MODULE.matcher(n).replaceFirst("jdk.proxy.");
        n = ACCESSOR.matcher(n).replaceAll("$1");
        n = CGLIB.matcher(n).replaceAll("$1");
        return n;
    }

    /** "(Ljava/lang/String;[IJ)V" as "(String,int[],long)": simple type names, no return type. */
    static String parameters(String descriptor) {
        StringBuilder sb = new StringBuilder("(");
        int i = descriptor.indexOf('(') + 1;
        int end = descriptor.indexOf(')');
        if (i <= 0 || end < i) {
            return "(" + descriptor + ")";
        }
        boolean first = true;
        while (i < end) {
            int dims = 0;
            while (i < end && descriptor.charAt(i) == '[') {
                dims++;
                i++;
            }
            if (i >= end) {
                break;
            }
            String type;
            char c = descriptor.charAt(i);
            if (c == 'L') {
                int semi = descriptor.indexOf(';', i);
                if (semi < 0 || semi > end) {
                    semi = end;
                }
                String cls = descriptor.substring(i + 1, semi);
                type = cls.substring(cls.lastIndexOf('/') + 1);
                i = semi + 1;
            } else {
                type = primitive(c);
                i++;
            }
            sb.append(first ? "" : ",").append(type).append("[]".repeat(dims));
            first = false;
        }
        return sb.append(')').toString();
    }

    private static String primitive(char c) {
        switch (c) {
            case 'Z': return "boolean";
            case 'B': return "byte";
            case 'C': return "char";
            case 'S': return "short";
            case 'I': return "int";
            case 'J': return "long";
            case 'F': return "float";
            case 'D': return "double";
            default: return String.valueOf(c);
        }
    }
}
