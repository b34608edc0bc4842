package com.tolvane.cli;

import com.tolvane.tool.ToolException;
import picocli.CommandLine.ITypeConverter;
import picocli.CommandLine.TypeConversionException;

/**
 * An option's check, written with the tool's checked exception: its message
 * becomes the usage error the command line prints.
 */
abstract class CheckedConverter<T> implements ITypeConverter<T> {
    @Override
    public final T convert(String value) {
        try {
            return check(value);
        } catch (ToolException e) {
            throw new TypeConversionException(e.getMessage());
        }
    }

    /** The value of the option, or a usage error saying what is wrong with {@code value}. */
    abstract T check(String value) throws ToolException;
}
