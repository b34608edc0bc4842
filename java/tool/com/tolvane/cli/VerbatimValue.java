package com.tolvane.cli;

import java.util.ArrayList;
import java.util.List;
import java.util.Stack;
import picocli.CommandLine.IParameterConsumer;
import picocli.CommandLine.ITypeConverter;
import picocli.CommandLine.MissingParameterException;
import picocli.CommandLine.Model.ArgSpec;
import picocli.CommandLine.Model.CommandSpec;
import picocli.CommandLine.ParameterException;
import picocli.CommandLine.TypeConversionException;

/**
 * Takes the next argument as the option's value whatever it looks like. For
 * options whose values may begin with '-': exemption patterns
 * (--filter -org.acme.web.), file names and regular expressions. picocli on
 * its own refuses a value that starts like one of the command's options
 * (-o, -d), even written as --filter=-org.acme.web.
 *
 * <p>The value still goes through the option's converter, if it has one.
 * Options taking their values this way must not have a picocli default
 * value, which would be applied over the value taken here.
 */
final class VerbatimValue implements IParameterConsumer {
    @Override
    public void consumeParameters(Stack<String> args, ArgSpec argSpec, CommandSpec command) {
        if (args.isEmpty()) {
            throw new MissingParameterException(command.commandLine(), argSpec, "missing value");
        }
        String value = args.pop();
        Object converted = value;
        ITypeConverter<?>[] converters = argSpec.converters();
        if (converters.length > 0) {
            try {
                converted = converters[0].convert(value);
            } catch (TypeConversionException e) {
                throw new ParameterException(command.commandLine(), e.getMessage(), e, argSpec, value);
            } catch (Exception e) {
                throw new ParameterException(command.commandLine(), "invalid value '" + value + "': " + e,
                        e, argSpec, value);
            }
        }
        if (argSpec.isMultiValue()) {
            List<Object> list = argSpec.getValue();
            if (list == null) {
                list = new ArrayList<>();
                argSpec.setValue(list);
            }
            list.add(converted);
        } else {
            argSpec.setValue(converted);
        }
    }
}
