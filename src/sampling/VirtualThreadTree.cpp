#include "VirtualThreadTree.h"

#include <cstdio>
#include <cstring>

#include "CallTreeSampler.h"
#include "ClassData.h"
#include "ClassProfilingSession.h"
#include "CpuProfilingSession.h"
#include "MethodDesc.h"
#include "ThreadDesc.h"
#include "ThreadManager.h"
#include "ThreadMonitor.h"

const char* const VIRTUAL_THREADS_NAME = "Virtual threads";
const char* const VIRTUAL_THREADS_GROUP = "VirtualThreads";

namespace {

// The continuation's entry lies below a carrier's own frames, a dozen deep
// in every JDK so far: the search stops after this many frames from the bottom.
const jint ENTRY_SEARCH_DEPTH = 64;

const char CONTINUATION_CLASS[] = "jdk.internal.vm.Continuation";
// java.lang.VirtualThread and its nested classes (the continuation's runner).
const char VIRTUAL_THREAD_CLASS[] = "java.lang.VirtualThread";

MethodDesc* descOf(JNIEnv* env, ClassProfilingSession* registry, jmethodID method) {
    return registry != nullptr ? registry->getMethodDesc(method, env, true) : nullptr;
}

}  // namespace

VirtualThreadTree::~VirtualThreadTree() {
    delete sampler;
}

jint VirtualThreadTree::continuationEntry(JNIEnv* env, ClassProfilingSession* registry, const jvmtiFrameInfo* frames,
                                          jint count) {
    jint lowest = count - ENTRY_SEARCH_DEPTH > 0 ? count - ENTRY_SEARCH_DEPTH : 0;
    for (jint i = count - 1; i >= lowest; i--) {
        MethodDesc* desc = descOf(env, registry, frames[i].method);
        if (desc == nullptr || !desc->isContinuationEntry) {
            continue;
        }
        // The entry is a short run of frames (enterSpecial, enter, enter0):
        // the virtual thread begins above its innermost one.
        while (i > 0) {
            MethodDesc* above = descOf(env, registry, frames[i - 1].method);
            if (above == nullptr || !above->isContinuationEntry) {
                break;
            }
            i--;
        }
        return i;
    }
    return -1;
}

bool VirtualThreadTree::isMountedTop(JNIEnv* env, ClassProfilingSession* registry, const jvmtiFrameInfo* frames,
                                     jint count) {
    if (count <= 0) {
        return false;
    }
    MethodDesc* desc = descOf(env, registry, frames[0].method);
    if (desc == nullptr) {
        return false;
    }
    if (desc->isContinuationEntry) {
        return true;
    }
    // JVMTI shows a carrier that runs a virtual thread as stopped in the
    // continuation's run, where it entered it.
    return desc->classData != nullptr && desc->classData->name != nullptr &&
           std::strcmp(desc->classData->name, CONTINUATION_CLASS) == 0 && std::strcmp(desc->methodName, "run") == 0;
}

bool VirtualThreadTree::isTaskEnd(JNIEnv* env, ClassProfilingSession* registry, const jvmtiFrameInfo* frames,
                                  jint count) {
    if (count != 1) {
        return false;
    }
    MethodDesc* desc = descOf(env, registry, frames[0].method);
    return desc != nullptr && desc->classData != nullptr && desc->classData->name != nullptr &&
           std::strncmp(desc->classData->name, VIRTUAL_THREAD_CLASS, sizeof VIRTUAL_THREAD_CLASS - 1) == 0 &&
           std::strcmp(desc->methodName, "run") == 0;
}

bool VirtualThreadTree::ensure(CpuProfilingSession* threadList, jlong startTime, int maxDepth) {
    assertThreadMonitorHeld("VirtualThreadTree::ensure");
    if (manager != nullptr) {
        return true;
    }
    if (threadList == nullptr) {
        return false;
    }
    ThreadManager* created = new ThreadManager(nullptr, nullptr);
    created->synthetic = true;
    created->setThreadDesc(new ThreadDesc(created, VIRTUAL_THREADS_NAME, VIRTUAL_THREADS_GROUP, startTime));
    threadList->addThreadManager(created);
    manager = created;
    sampler = new CallTreeSampler(created, maxDepth);
    // Its time is booked from the first sample on, whatever the tick's length.
    sampler->converted = true;
    return true;
}

void VirtualThreadTree::book(JNIEnv* env, ClassProfilingSession* registry, const jvmtiFrameInfo* frames, jint count,
                             jlongArray transactionIds, bool labelsKnown, jint state, jlong time, jlong cpuMicros,
                             jlong timestamp) {
    assertThreadMonitorHeld("VirtualThreadTree::book");
    if (manager == nullptr || sampler == nullptr) {
        return;
    }
    if (env != nullptr && labelsKnown) {
        if (transactionIds == nullptr || lastLabels == nullptr || !env->IsSameObject(transactionIds, lastLabels)) {
            if (lastLabels != nullptr) {
                env->DeleteGlobalRef(lastLabels);
            }
            lastLabels =
                transactionIds != nullptr ? static_cast<jlongArray>(env->NewGlobalRef(transactionIds)) : nullptr;
        }
    } else {
        transactionIds = lastLabels;
    }
    if (scratch.size() < static_cast<size_t>(count)) {
        scratch.resize(static_cast<size_t>(count));
    }
    if (count > 0) {
        std::memcpy(scratch.data(), frames, static_cast<size_t>(count) * sizeof(jvmtiFrameInfo));
    }
    jvmtiStackInfo info = jvmtiStackInfo();
    info.state = state;
    info.frame_buffer = scratch.data();
    info.frame_count = count;
    if ((state & JVMTI_THREAD_STATE_BLOCKED_ON_MONITOR_ENTER) != 0) {
        manager->setThreadStatus(THREAD_STATUS_BLOCKED);
    } else if ((state & JVMTI_THREAD_STATE_RUNNABLE) != 0) {
        manager->setThreadStatus(THREAD_STATUS_RUNNING);
    } else {
        manager->setThreadStatus(THREAD_STATUS_WAITING);
    }
    if (time > 0) {
        sampler->saveData(&info, time, registry, env, transactionIds, timestamp, false);
    } else {
        sampler->enterSample(&info, registry, env, transactionIds);
    }
    if (cpuMicros > 0) {
        sampler->sampleCpu(cpuMicros);
    }
}

void VirtualThreadTree::bookCpu(jlong cpuMicros) {
    if (sampler != nullptr && cpuMicros > 0) {
        sampler->sampleCpu(cpuMicros);
    }
}

void VirtualThreadTree::setStarted(unsigned long long started) {
    if (manager == nullptr || manager->threadDesc == nullptr) {
        return;
    }
    char name[64];
    std::snprintf(name, sizeof name, "%s (about %llu started)", VIRTUAL_THREADS_NAME, started);
    manager->threadDesc->setThreadName(name);
}

void VirtualThreadTree::releaseLabels(JNIEnv* env) {
    if (lastLabels != nullptr && env != nullptr) {
        env->DeleteGlobalRef(lastLabels);
    }
    lastLabels = nullptr;
}

void VirtualThreadTree::reset() {
    delete sampler;
    sampler = nullptr;
    manager = nullptr;
}
