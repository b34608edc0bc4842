#include "SnapshotWriter.h"

#include <cstdio>

#include "ClassProfilingSession.h"
#include "Counter.h"
#include "CpuProfilingSession.h"
#include "FileDataWriter.h"
#include "LockTable.h"
#include "MessageUtil.h"
#include "OutputFile.h"
#include "SnapshotFormat.h"
#include "ThreadManager.h"
#include "ThreadMonitor.h"

namespace {

const int SNAPSHOT_MAGIC = SnapshotFormat::MAGIC;
const int SNAPSHOT_VERSION = SnapshotFormat::VERSION;
const int SNAPSHOT_ID_WIDTH = SnapshotFormat::ID_WIDTH;
const int SECTION_COUNT = SnapshotFormat::SECTION_COUNT;
// Written only when the call trees of the recording reached their node
// limit; otherwise empty like the other reserved sections.
const int NODE_LIMIT_SECTION = SnapshotFormat::SECTION_NODE_LIMIT;
// Written when the library books CPU time; otherwise empty.
const int CPU_TIME_SECTION = SnapshotFormat::SECTION_CPU_TIME;
const int CLASS_SECTION = SnapshotFormat::SECTION_CLASSES;
// Written when the recording booked time per lock; otherwise empty.
const int LOCK_SECTION = SnapshotFormat::SECTION_LOCKS;
// Written when asynchronous samples were lost; otherwise empty.
const int LOST_SAMPLES_SECTION = SnapshotFormat::SECTION_LOST_SAMPLES;

struct SectionEntry {
    jlong length = 0;
    jlong position = 0;
    unsigned int crc = 0;
};

void writeDirectory(DataWriter* writer, const SectionEntry* sections) {
    for (int i = 0; i < SECTION_COUNT; i++) {
        writer->writeJLong(sections[i].length);
        writer->writeJLong(sections[i].position);
        writer->writeU4(static_cast<int>(sections[i].crc));
    }
}

// Body of the class section when there is no registry: the same end bytes
// and empty filter list a fresh registry would end with, so readers still
// find a well-formed section.
void writeEmptyClassSection(DataWriter* writer) {
    writer->writeByte(SnapshotFormat::TAG_END);
    writer->writeByte(SnapshotFormat::TAG_END);
    writer->writeU4(0);
    writer->writeByte(0);
}

// Counts are written as JLongs; one that does not fit stays at the largest.
jlong clampCount(uint64_t count) {
    const uint64_t max = 0x7fffffffffffffffULL;
    return static_cast<jlong>(count > max ? max : count);
}

void writeLostSamples(DataWriter* writer, const LostSamples& lost) {
    writer->writeJLong(clampCount(lost.samples));
    int count = 0;
    for (const std::pair<const char*, uint64_t>& cause : lost.causes) {
        if (cause.second != 0) {
            count++;
        }
    }
    writer->writeU4(count);
    for (const std::pair<const char*, uint64_t>& cause : lost.causes) {
        if (cause.second != 0) {
            writer->writeString(cause.first);
            writer->writeJLong(clampCount(cause.second));
        }
    }
}

}  // namespace

uint64_t LostSamples::lost() const {
    uint64_t sum = 0;
    for (const std::pair<const char*, uint64_t>& cause : causes) {
        sum += cause.second;
    }
    return sum;
}

namespace SnapshotWriter {

void writeHeader(DataWriter* writer, const SnapshotContents& contents) {
    writer->writeU4(SNAPSHOT_MAGIC);
    writer->writeU4(SNAPSHOT_VERSION);
    writer->writeString(contents.vmName);
    writer->writeString(contents.javaVersion);
    writer->writeJLong(contents.recordStartTime);
    writer->writeJLong(Counter::getUsec());
    writer->writeU4(SNAPSHOT_ID_WIDTH);
}

bool write(const char* path, JNIEnv* env, const SnapshotContents& contents) {
    assertThreadMonitorHeld("ProfilingSession::write");
    if (path == nullptr) {
        return false;
    }
    // Written with the thread monitor held: the output never blocks for good
    // (a pipe nobody drains fails the write after a while) and is never
    // reached through a link planted at the path since the recording began.
    FILE* file = OutputFile::open(path);
    if (file == nullptr) {
        return false;
    }
    CpuProfilingSession* threads = contents.threads;
    bool result = false;
    bool reported = false;
    {
        FileDataWriter writer(env, file);
        writeHeader(&writer, contents);

        // The directory goes out as zeros first and is filled in at the end:
        // a file that was not completed keeps a zero directory.
        long directoryPos = writer.getPos();
        SectionEntry sections[SECTION_COUNT];
        writeDirectory(&writer, sections);

        for (int i = 0; i < SECTION_COUNT; i++) {
            SectionEntry& section = sections[i];
            section.position = writer.getPos();
            writer.writeU4(SNAPSHOT_MAGIC);
            bool nodeLimitSection = i == NODE_LIMIT_SECTION && ThreadManager::nodeLimitReached &&
                                    threads != nullptr;
            bool cpuTimeSection = i == CPU_TIME_SECTION && contents.cpuTimes && threads != nullptr;
            bool lockSection = i == LOCK_SECTION && contents.locks != nullptr && threads != nullptr;
            bool lostSection =
                i == LOST_SAMPLES_SECTION && contents.lostSamples != nullptr && contents.lostSamples->lost() != 0;
            if (i > 1 && !nodeLimitSection && !cpuTimeSection && !lockSection && !lostSection) {
                continue;  // reserved sections: marker only
            }
            // The marker stays outside the CRC: resetCRC32 flushes it first.
            writer.resetCRC32();
            if (nodeLimitSection) {
                threads->writeNodeLimit(&writer);
            } else if (cpuTimeSection) {
                threads->writeCpuTimes(&writer);
            } else if (lockSection) {
                contents.locks->write(&writer, threads);
            } else if (lostSection) {
                writeLostSamples(&writer, *contents.lostSamples);
            } else if (i == CLASS_SECTION) {
                if (contents.classes != nullptr) {
                    contents.classes->write(&writer);
                } else {
                    writeEmptyClassSection(&writer);
                }
            } else if (threads != nullptr) {
                threads->write(&writer, contents.recordStartTime);
            } else {
                writer.writeByte(SnapshotFormat::TAG_END);
            }
            section.crc = writer.getCRC32();
            section.length = writer.getPos() - section.position - 4;
        }

        writer.getPos();
        // The stream buffers too; a write it failed to deliver counts as a
        // failed write, not as a failed seek.
        if (std::fflush(file) != 0) {
            writer.error = true;
        }
        if (writer.getError()) {
            MessageUtil::message("Your disk or partition might be full.");
            reported = true;
        } else if (directoryPos < 0 || writer.seek(directoryPos, SEEK_SET) != 0) {
            MessageUtil::message("Could not seek tmp file. Please check your TMP and TMPDIR environment variables.");
            reported = true;
        } else {
            writeDirectory(&writer, sections);
            writer.flush();
            result = !writer.getError();
        }
        writer.flush();
    }
    // The directory only counts as written once the stream delivered it.
    if (std::fflush(file) != 0) {
        result = false;
    }
    if (std::fclose(file) != 0) {
        result = false;
    }
    if (!result && !reported) {
        MessageUtil::message("Your disk or partition might be full.");
    }
    return result;
}

}  // namespace SnapshotWriter
