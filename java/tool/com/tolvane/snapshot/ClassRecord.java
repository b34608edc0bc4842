package com.tolvane.snapshot;

/**
 * A class known to the recorder.
 *
 * @param id   the class's identity in this file
 * @param name dotted class name, such as java.lang.String
 * @param kind 0 for ordinary classes, {@link #KIND_INTERCEPTION} for the pseudo-class of transaction labels
 */
public record ClassRecord(long id, String name, int kind) {

    public static final int KIND_INTERCEPTION = FormatConstants.CLASS_KIND_INTERCEPTION;

    /** True for the pseudo-class whose methods are transaction labels. */
    public boolean isInterception() {
        return kind == KIND_INTERCEPTION;
    }
}
