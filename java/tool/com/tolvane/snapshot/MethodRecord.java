package com.tolvane.snapshot;

/**
 * A method known to the recorder.
 *
 * @param id        the method's identity in this file; call-tree nodes refer to it
 * @param owner     the class record the method belongs to
 * @param name      method name
 * @param signature JVM method descriptor such as "()V"
 */
public record MethodRecord(long id, ClassRecord owner, String name, String signature) {

    /** Dotted name of the declaring class. */
    public String className() {
        return owner.name();
    }

    /** "class.method", or the bare label for a transaction label. */
    public String qualifiedName() {
        return owner.isInterception() ? name : owner.name() + "." + name;
    }

    /** True when this method is a transaction label rather than Java code. */
    public boolean isInterception() {
        return owner.isInterception();
    }

    @Override
    public String toString() {
        return qualifiedName() + signature;
    }
}
