#ifndef TOLVANE_SNAPSHOTWRITER_H
#define TOLVANE_SNAPSHOTWRITER_H

#include <jni.h>

#include <cstdint>
#include <utility>
#include <vector>

class ClassProfilingSession;
class CpuProfilingSession;
class DataWriter;
class LockTable;

// The asynchronous samples of a recording: how many walks gave a stack, and
// how many were lost, by cause.
struct LostSamples {
    uint64_t samples = 0;
    // Causes with their samples lost; the names are static texts.
    std::vector<std::pair<const char*, uint64_t>> causes;

    uint64_t lost() const;
};

// Everything a snapshot file is made of, handed in by its owner.
struct SnapshotContents {
    const char* vmName = nullptr;
    const char* javaVersion = nullptr;
    // Library-clock time the recording began; earlier thread times are
    // written as this.
    jlong recordStartTime = 0;
    // The class section's registry; null writes an empty, well-formed section.
    ClassProfilingSession* classes = nullptr;
    // The threads; null writes an empty thread section and no optional one.
    CpuProfilingSession* threads = nullptr;
    // Write the CPU-time section (CPU time was booked during the recording).
    bool cpuTimes = false;
    // Blocked and parked time per lock; null leaves the lock section empty.
    LockTable* locks = nullptr;
    // The recording's asynchronous samples; the lost-samples section is
    // written only when this is set and some were lost.
    const LostSamples* lostSamples = nullptr;
};

// The snapshot file: a header, a directory of the sections (length, position,
// CRC-32 each) and the sections.
namespace SnapshotWriter {

// Writes the file at path; called with the thread monitor held. True when the
// file was completed without a write error; a failure is one console line.
bool write(const char* path, JNIEnv* env, const SnapshotContents& contents);

void writeHeader(DataWriter* writer, const SnapshotContents& contents);

}  // namespace SnapshotWriter

#endif
