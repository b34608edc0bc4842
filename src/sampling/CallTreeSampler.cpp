#include "CallTreeSampler.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "CallTree.h"
#include "ClassProfilingSession.h"
#include "JniUtil.h"
#include "JvmEnv.h"
#include "MethodDesc.h"
#include "PointerHashMap.h"
#include "ThreadDesc.h"
#include "ThreadManager.h"
#include "ThreadMonitor.h"

// Frames are compared in blocks with memcmp, which relies on the record
// having no padding between or after its two fields.
static_assert(sizeof(jvmtiFrameInfo) == sizeof(jmethodID) + sizeof(jlocation),
              "jvmtiFrameInfo must be compared field by field");

namespace {

// The descriptor a frame enters and leaves by, or null for frames that do
// not take part in the tree: unresolvable ones and java.lang.Object.<init>,
// which would otherwise show up under every constructor. Entry and exit use
// the same rule, so the manager's stacks stay balanced.
MethodDesc* frameMethodDesc(ClassProfilingSession* classSession, jmethodID method, JNIEnv* env) {
    if (classSession == nullptr) {
        return nullptr;
    }
    MethodDesc* desc = classSession->getMethodDesc(method, env, true);
    if (desc == nullptr || desc == ClassProfilingHelper::objectInitMethodDesc) {
        return nullptr;
    }
    return desc;
}

// Number of records compared at once while looking for the common bottom.
const jint COMPARE_BLOCK = 64;
// First size of a sampler's stack buffer.
const jint MIN_FRAMES_CAPACITY = 32;

}  // namespace

CallTreeSampler::CallTreeSampler(ThreadManager* threadManager, int maxDepth)
    : lastTransactionCount(0),
      lastTransactionIds(),
      frames(nullptr),
      lastFrames(nullptr),
      lastFrameCount(0),
      frameCount(0),
      commonFrameCount(0),
      maxDepth(maxDepth > 0 ? maxDepth : 0),
      threadManager(threadManager) {}

CallTreeSampler::~CallTreeSampler() {
    delete[] lastFrames;
}

bool CallTreeSampler::reserveLastFrames(jint count) {
    if (count <= lastFramesCapacity) {
        return true;
    }
    // Grown by need, doubling, up to the deepest stack ever asked for: most
    // threads are far shallower than that.
    jint capacity = lastFramesCapacity > 0 ? lastFramesCapacity : MIN_FRAMES_CAPACITY;
    while (capacity < count) {
        capacity = capacity > maxDepth / 2 ? maxDepth : capacity * 2;
    }
    jvmtiFrameInfo* grown = new (std::nothrow) jvmtiFrameInfo[capacity];
    if (grown == nullptr) {
        return false;
    }
    if (lastFrameCount > 0) {
        std::memcpy(grown, lastFrames, (size_t)lastFrameCount * sizeof(jvmtiFrameInfo));
    }
    delete[] lastFrames;
    lastFrames = grown;
    lastFramesCapacity = capacity;
    return true;
}

jint CallTreeSampler::countCommonFrames() const {
    jint limit = frameCount < lastFrameCount ? frameCount : lastFrameCount;
    // Both stacks are walked from their outermost frame; the pointers stand
    // one past it.
    const jvmtiFrameInfo* current = frames + frameCount;
    const jvmtiFrameInfo* previous = lastFrames + lastFrameCount;
    // The common case, an unchanged stack, is settled by one comparison.
    if (std::memcmp(current - limit, previous - limit, (size_t)limit * sizeof(jvmtiFrameInfo)) == 0) {
        return limit;
    }
    jint common = 0;
    while (limit - common >= COMPARE_BLOCK &&
           std::memcmp(current - common - COMPARE_BLOCK, previous - common - COMPARE_BLOCK,
                       COMPARE_BLOCK * sizeof(jvmtiFrameInfo)) == 0) {
        common += COMPARE_BLOCK;
    }
    while (common < limit) {
        const jvmtiFrameInfo& a = current[-common - 1];
        const jvmtiFrameInfo& b = previous[-common - 1];
        if (a.method != b.method || a.location != b.location) {
            break;
        }
        common++;
    }
    return common;
}

jint CallTreeSampler::readTransactionIds(JNIEnv* env, jlongArray transactionIds, jlong* ids) {
    if (transactionIds == nullptr || env == nullptr) {
        return 0;
    }
    jsize length = env->GetArrayLength(transactionIds);
    if (length < 1) {
        return 0;
    }
    LongArrayElements array(env, transactionIds);
    const jlong* elements = array.get();
    if (elements == nullptr) {
        return 0;  // OutOfMemoryError: as if there were no array
    }
    // The count cannot reach past the array or beyond the ids a sampler keeps.
    jlong count = elements[0];
    jlong limit = length - 1 < MAX_TRANSACTIONS ? length - 1 : MAX_TRANSACTIONS;
    if (count > limit) {
        count = limit;
    }
    jint kept = 0;
    for (jlong i = 1; i <= count; i++) {
        // Only descriptors this library created for interception methods may
        // be used; anything else from Java (0 included) is dropped.
        jlong id = elements[i];
        if (id != 0 && ClassProfilingHelper::isInterceptionMethod(reinterpret_cast<const void*>((intptr_t)id))) {
            ids[kept++] = id;
        }
    }
    return kept;
}

void CallTreeSampler::saveData(jvmtiStackInfo* stackInfo, jlong time, ClassProfilingSession* classSession,
                               JNIEnv* env, jlongArray transactionIds, jlong timestamp, bool recordStatus) {
    convert(stackInfo, true, time, classSession, env, transactionIds, timestamp, recordStatus);
}

void CallTreeSampler::enterSample(jvmtiStackInfo* stackInfo, ClassProfilingSession* classSession, JNIEnv* env,
                                  jlongArray transactionIds) {
    convert(stackInfo, false, 0, classSession, env, transactionIds, 0, false);
}

void CallTreeSampler::convert(jvmtiStackInfo* stackInfo, bool bookTime, jlong time,
                              ClassProfilingSession* classSession, JNIEnv* env, jlongArray transactionIds,
                              jlong timestamp, bool recordStatus) {
    assertThreadMonitorHeld("CallTreeSampler::saveData");
    if (threadManager == nullptr || threadManager->getIsDead()) {
        return;
    }
    frames = stackInfo != nullptr ? stackInfo->frame_buffer : nullptr;
    frameCount = stackInfo != nullptr ? stackInfo->frame_count : 0;
    if (frames == nullptr || frameCount < 0) {
        frameCount = 0;
    }
    if (frameCount > maxDepth) {
        // More than was asked for: keep the innermost frames, as JVMTI does.
        frameCount = maxDepth;
    }

    commonFrameCount = (frameCount == 0 || lastFrameCount == 0) ? 0 : countCommonFrames();

    jlong ids[MAX_TRANSACTIONS];
    jint idCount = readTransactionIds(env, transactionIds, ids);
    bool idsChanged = idCount != lastTransactionCount;
    for (jint i = 0; i < idCount && !idsChanged; i++) {
        idsChanged = ids[i] != lastTransactionIds[i];
    }
    if (idsChanged) {
        // The frames hang below the transaction nodes, so all of them move.
        commonFrameCount = 0;
    }

    for (jint i = 0; i < lastFrameCount - commonFrameCount; i++) {
        MethodDesc* desc = frameMethodDesc(classSession, lastFrames[i].method, env);
        if (desc != nullptr) {
            threadManager->methodExit(env, desc);
        }
    }

    if (idsChanged) {
        // Kept ids passed the interception check when they were read, and
        // those descriptors are never freed.
        for (jint i = lastTransactionCount - 1; i >= 0; i--) {
            threadManager->methodExit(env, reinterpret_cast<MethodDesc*>((intptr_t)lastTransactionIds[i]));
        }
        for (jint i = 0; i < idCount; i++) {
            threadManager->methodEntry(env, reinterpret_cast<MethodDesc*>((intptr_t)ids[i]), 0);
            lastTransactionIds[i] = ids[i];
        }
    }
    lastTransactionCount = idCount;

    // Index of the first frame kept: frames above an agent method are dropped.
    jint keptFrom = 0;
    for (jint i = frameCount - commonFrameCount - 1; i >= 0; i--) {
        MethodDesc* desc = frameMethodDesc(classSession, frames[i].method, env);
        if (desc == nullptr) {
            continue;
        }
        if (desc->isSpecialMethod && !g_sampleAgentClasses) {
            keptFrom = i + 1;
            frameCount -= i + 1;
            break;
        }
        jint line = CallTreeHelper::translateLineNo(frames[i].method, (jint)frames[i].location);
        threadManager->methodEntry(env, desc, (unsigned short)line);
    }

    if (bookTime) {
        if (!converted) {
            // The thread's first sample: the time since the previous tick may
            // reach back before the thread existed.
            converted = true;
            ThreadDesc* desc = threadManager->threadDesc;
            jlong lived = desc != nullptr ? timestamp - desc->getThreadStartTime() : time;
            if (lived >= 0 && lived < time) {
                time = lived;
            }
        }
        threadManager->sampleTime(time, timestamp, recordStatus);
    }

    if (frameCount > 0 && !reserveLastFrames(frameCount)) {
        // No memory for the stack: forget it, so that the next tick leaves
        // nothing it cannot name and enters the whole stack again.
        for (jint i = 0; i < frameCount; i++) {
            MethodDesc* desc = frameMethodDesc(classSession, frames[keptFrom + i].method, env);
            if (desc != nullptr) {
                threadManager->methodExit(env, desc);
            }
        }
        frameCount = 0;
    }
    if (frameCount > 0) {
        // With an unchanged depth the common bottom is already in place; only
        // the records above it are copied.
        jint copyCount = frameCount == lastFrameCount ? frameCount - commonFrameCount : frameCount;
        std::memcpy(lastFrames, frames + keptFrom, (size_t)copyCount * sizeof(jvmtiFrameInfo));
    }
    lastFrameCount = frameCount;
    frames = nullptr;  // the buffer belongs to JVMTI and is released after the tick
}

void CallTreeSampler::bookUnchanged(jlong time, jlong timestamp, bool recordStatus) {
    assertThreadMonitorHeld("CallTreeSampler::bookUnchanged");
    if (threadManager == nullptr || threadManager->getIsDead()) {
        return;
    }
    threadManager->sampleTime(time, timestamp, recordStatus);
}

void CallTreeSampler::bookCpuTime(jlong cpuNanos) {
    assertThreadMonitorHeld("CallTreeSampler::bookCpuTime");
    jlong micros = takeCpuDelta(cpuNanos);
    if (micros >= 0) {
        threadManager->sampleCpuTime(micros);
    }
}

jlong CallTreeSampler::takeCpuDelta(jlong cpuNanos) {
    if (cpuNanos < 0 || threadManager == nullptr || threadManager->getIsDead()) {
        return -1;
    }
    jlong since = bookedCpuTime >= 0 ? bookedCpuTime : threadManager->cpuBaseline;
    if (since < 0 || since > cpuNanos) {
        since = cpuNanos;  // no earlier reading: this one is where counting starts
    }
    bookedCpuTime = cpuNanos;
    // Whole microseconds of each reading, subtracted: the nanoseconds left
    // over are booked with a later tick instead of being lost on each one.
    return cpuNanos / 1000 - since / 1000;
}

void CallTreeSampler::sampleCpu(jlong micros) {
    assertThreadMonitorHeld("CallTreeSampler::sampleCpu");
    if (micros < 0 || threadManager == nullptr || threadManager->getIsDead()) {
        return;
    }
    threadManager->sampleCpuTime(micros);
}

void CallTreeSampler::settleCarry() {
    assertThreadMonitorHeld("CallTreeSampler::settleCarry");
    if (lastSampleNode == nullptr || cpuCarryMicros <= 0 || threadManager == nullptr ||
        threadManager->getIsDead() || threadManager->rootNode == nullptr) {
        return;
    }
    lastSampleNode->cpuTime += cpuCarryMicros;
    threadManager->cpuKnown = true;
    cpuCarryMicros = 0;
}

jint CallTreeHelper::translateLineNo(jmethodID method, jint location) {
    LineNumberTableStruct* record = methodId2LineNumberTableStruct.get(method);
    if (record == nullptr) {
        if (g_profilingInterface == nullptr) {
            return 0;
        }
        record = new LineNumberTableStruct{0, nullptr};
        jvmtiError err = g_profilingInterface->GetLineNumberTable(method, &record->entryCount, &record->table);
        if (err != JVMTI_ERROR_NONE) {
            // Native methods and classes without line numbers: remembered as
            // the shared empty record so JVMTI is asked only once.
            delete record;
            record = emptyStruct;
        }
        methodId2LineNumberTableStruct.put(method, record);
    }
    if (record == nullptr || record == emptyStruct || record->entryCount < 1 || record->table == nullptr) {
        return 0;
    }
    const jvmtiLineNumberEntry* table = record->table;
    for (jint i = 1; i < record->entryCount; i++) {
        if (table[i].start_location > location) {
            return table[i - 1].line_number;
        }
    }
    return table[record->entryCount - 1].line_number;
}
