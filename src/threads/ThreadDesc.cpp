#include "ThreadDesc.h"

#include <algorithm>
#include <cstring>

#include "DataWriter.h"
#include "StringCopy.h"

namespace {

// Timeline times are kept in 10 ms units to fit 32 bits.
const jlong TIMELINE_UNIT_USEC = 10000;

}  // namespace

ThreadDesc::ThreadDesc(ThreadManager* manager, const char* name, const char* group, jlong startTime)
    : threadManager(manager), threadName(copyString(name)), groupName(copyString(group)),
      threadStartTime(startTime), threadEndTime(-1) {}

ThreadDesc::~ThreadDesc() {
    delete[] threadName;
    delete[] groupName;
}

void ThreadDesc::setThreadName(const char* name) {
    char* copy = copyString(name);
    delete[] threadName;
    threadName = copy;
}

void ThreadDesc::setGroupName(const char* name) {
    char* copy = copyString(name);
    delete[] groupName;
    groupName = copy;
}

void ThreadDesc::addStatus(unsigned char status, jlong timestamp) {
    threadStatusList.push_back(status);
    threadStatusTimeList.push_back(static_cast<jint>(timestamp / TIMELINE_UNIT_USEC));
}

void ThreadDesc::write(DataWriter* writer, jlong recordStartTime) {
    writer->writeID(threadManager);
    writer->writeString(threadName);
    writer->writeString(groupName);
    // Threads registered before the recording began are shown from its start.
    writer->writeJLong(threadStartTime < recordStartTime ? recordStartTime : threadStartTime);
    if (threadEndTime == -1) {
        writer->writeJLong(-1);
    } else {
        writer->writeJLong(threadEndTime < recordStartTime ? recordStartTime : threadEndTime);
    }
    // The two arrays grow together; min() only guards against a caller
    // that changed one of them through its accessor.
    size_t count = std::min(threadStatusTimeList.size(), threadStatusList.size());
    writer->writeU4(static_cast<int>(count));
    for (size_t i = 0; i < count; ++i) {
        writer->writeByte(threadStatusList[i]);
        writer->writeJLong(static_cast<jlong>(threadStatusTimeList[i]) * TIMELINE_UNIT_USEC);
    }
}
