package com.tolvane.snapshot;

/**
 * The fixed part at the start of a snapshot file.
 *
 * @param version           format version (10001)
 * @param vmName            the recorded JVM's "java.vm.name", empty when unknown
 * @param javaVersion       the recorded JVM's "java.version", empty when unknown
 * @param recordStartMicros clock time at which the recording began
 * @param writeTimeMicros   clock time at which the file was written
 * @param idWidth           width of every ID field in bytes (8)
 * @param length            byte length of the header; the section directory follows it
 */
public record Header(int version, String vmName, String javaVersion, long recordStartMicros,
                     long writeTimeMicros, int idWidth, int length) {

    /** Time from the start of the recording to the writing of the file. */
    public long durationMicros() {
        return writeTimeMicros - recordStartMicros;
    }
}
