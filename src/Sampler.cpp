#include "Sampler.h"

#include <jvmti.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <time.h>
#include <vector>

#include "CallTreeSampler.h"
#include "ClassProfilingSession.h"
#include "Counter.h"
#include "CpuProfilingSession.h"
#include "FatalAssert.h"
#include "JniUtil.h"
#include "JvmtiBuffer.h"
#include "PointerHashMap.h"
#include "ProfilingSession.h"
#include "ThreadDesc.h"
#include "ThreadManager.h"

bool SamplerHelper::stopped = false;
Sampler* SamplerHelper::liveSamplerSession = nullptr;
jmethodID SamplerHelper::initSamplingState = nullptr;
jmethodID SamplerHelper::getSamplingTransactionIds = nullptr;

namespace {

typedef PointerHashMap<CallTreeSampler, void*> SamplerMap;

const int MIN_MAP_CAPACITY = 11;
// Largest local frame capacity HotSpot accepts (its default MaxJNILocalCapacity).
const jint MAX_LOCAL_FRAME_CAPACITY = 65536;

const char* const THREAD_MANAGER_CLASS = "com/tolvane/agent/callee/JvmtiCallee$JvmtiThreadManager";

// Nanoseconds on the monotonic clock, or -1 when it cannot be read.
jlong monotonicNanos() {
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        return -1;
    }
    return static_cast<jlong>(now.tv_sec) * 1000000000 + static_cast<jlong>(now.tv_nsec);
}

void deleteSamplerMap(SamplerMap* map) {
    if (map != nullptr) {
        map->deleteValues();
        delete map;
    }
}

// The first matching bit wins: a runnable thread that is also flagged
// waiting counts as running, a blocked one as blocked.
void applyThreadState(ThreadManager* manager, jint state) {
    if ((state & JVMTI_THREAD_STATE_RUNNABLE) != 0) {
        manager->setThreadStatus(THREAD_STATUS_RUNNING);
    } else if ((state & JVMTI_THREAD_STATE_BLOCKED_ON_MONITOR_ENTER) != 0) {
        manager->setThreadStatus(THREAD_STATUS_BLOCKED);
    } else if ((state & JVMTI_THREAD_STATE_WAITING) != 0) {
        manager->setThreadStatus(THREAD_STATUS_WAITING);
    }
}

// Captures and converts the stacks of the candidate threads in `samplers`.
// Every local reference made here lives in one local frame. When that frame
// cannot be pushed the tick is dropped: popping would release a frame that
// belongs to the caller of the native.
void sampleCandidates(JNIEnv* env, SamplerMap* samplers, int candidates, jint maxDepth, jlong timestamp,
                      jlong time, bool sampleTransactions, bool recordStatus) {
    if (env == nullptr || g_profilingInterface == nullptr) {
        return;
    }
    // The capacity is only a hint, frames grow past it; but HotSpot refuses
    // a hint above its MaxJNILocalCapacity, which would drop every tick.
    jint capacity =
        static_cast<jint>(std::min<int64_t>(4 * static_cast<int64_t>(candidates), MAX_LOCAL_FRAME_CAPACITY));
    if (env->PushLocalFrame(capacity) != JNI_OK) {
        clearPendingException(env);
        return;
    }
    std::vector<jthread> threads(candidates);
    std::vector<CallTreeSampler*> threadSamplers(candidates);
    std::vector<jobject> javaManagers(sampleTransactions ? candidates : 0);

    int usedCount = 0;
    std::unique_ptr<PHMIterator<CallTreeSampler, void*>> it(samplers->getPHMIterator());
    while (it->hasNext()) {
        PHMEntry<CallTreeSampler, void*>* entry = it->nextPHMEntry();
        if (usedCount >= candidates) {
            fatalAssert("usedCount < threadCount", "shared/Sampler", "doThreadStatusSampling", env);
        }
        CallTreeSampler* sampler = entry->value;
        ThreadManager* manager = sampler->threadManager;
        jthread thread = static_cast<jthread>(env->NewLocalRef(manager->threadHandle));
        if (thread == nullptr) {
            continue;  // the Thread object was collected; the sampler stays
        }
        if (sampleTransactions) {
            // A local reference keeps the object usable even if a Java hook
            // replaces the manager's global reference during this tick.
            jobject javaManager = nullptr;
            if (manager->javaThreadManager != nullptr) {
                javaManager = env->NewLocalRef(manager->javaThreadManager);
            }
            if (javaManager != nullptr && SamplerHelper::initSamplingState != nullptr) {
                env->CallVoidMethod(javaManager, SamplerHelper::initSamplingState);
                clearPendingException(env);
            }
            javaManagers[usedCount] = javaManager;
        }
        threads[usedCount] = thread;
        threadSamplers[usedCount] = sampler;
        usedCount++;
    }

    JvmtiBuffer<jvmtiStackInfo> stackInfo(g_profilingInterface);
    jvmtiError err = g_profilingInterface->GetThreadListStackTraces(usedCount, threads.data(), maxDepth,
                                                                    stackInfo.out());
    if (err == JVMTI_ERROR_NONE && stackInfo.get() != nullptr) {
        ClassProfilingSession* classSession = g_profilingSession->classProfilingSession;
        for (int i = 0; i < usedCount; i++) {
            jvmtiStackInfo* info = &stackInfo[i];
            CallTreeSampler* sampler = threadSamplers[i];
            ThreadManager* manager = sampler->threadManager;
            if (info->state == JVMTI_THREAD_STATE_TERMINATED) {
                if (manager->threadDesc != nullptr) {
                    manager->threadDesc->setThreadEndTime(Counter::getUsec());
                }
                manager->setIsDead(env);
                continue;
            }
            applyThreadState(manager, info->state);
            jlongArray transactionIds = nullptr;
            if (sampleTransactions && javaManagers[i] != nullptr &&
                SamplerHelper::getSamplingTransactionIds != nullptr) {
                transactionIds = static_cast<jlongArray>(
                    env->CallObjectMethod(javaManagers[i], SamplerHelper::getSamplingTransactionIds));
                if (clearPendingException(env)) {
                    transactionIds = nullptr;
                }
            }
            sampler->saveData(info, time, classSession, env, transactionIds, timestamp, recordStatus);
        }
    }
    stackInfo.reset();
    env->PopLocalFrame(nullptr);
}

}  // namespace

Sampler::Sampler(int periodMillis)
    : tickCount(0),
      periodMillis(periodMillis),
      statusInterval(periodMillis > 0 ? 200 / periodMillis : 1),
      threadSamplers(nullptr) {
    if (statusInterval < 1) {
        statusInterval = 1;
    }
    SamplerHelper::liveSamplerSession = this;
}

Sampler::~Sampler() {
    deleteSamplerMap(threadSamplers);
    threadSamplers = nullptr;
    if (SamplerHelper::liveSamplerSession == this) {
        SamplerHelper::liveSamplerSession = nullptr;
    }
}

bool Sampler::runThreadStatusSampler(JNIEnv* env, jlong durationMillis, unsigned char sampleTransactions) {
    SamplerHelper::initRefs(env);
    if (SamplerHelper::stopped || durationMillis <= 0) {
        return false;
    }
    // Ticks are stamped with the library clock, which follows the wall clock;
    // the length of the run is measured on the monotonic clock, so that the
    // wall clock being set back cannot keep the caller recording.
    jlong last = Counter::getUsec();
    jlong startNanos = monotonicNanos();
    // Nominal time slept; ends the loop instead of the clock when the clock
    // cannot be read, so a broken clock cannot keep the caller forever.
    jlong sleptMillis = 0;
    for (;;) {
        bool interrupted = ProfilingSession::sleep(periodMillis);
        sleptMillis += periodMillis;
        jlong now = Counter::getUsec();
        jlong elapsed = now - last;
        last = now;
        doThreadStatusSampling(env, now, elapsed, sampleTransactions);
        if (interrupted) {
            return true;
        }
        if (SamplerHelper::stopped) {
            return false;
        }
        jlong nowNanos = monotonicNanos();
        if (startNanos >= 0 && nowNanos >= 0) {
            if ((nowNanos - startNanos) / 1000000 >= durationMillis) {
                return false;
            }
        } else if (sleptMillis >= durationMillis) {
            return false;
        }
    }
}

void Sampler::doThreadStatusSampling(JNIEnv* env, jlong timestamp, jlong time, unsigned char sampleTransactions) {
    ThreadMonitorLock lock;
    if (SamplerHelper::stopped) {
        return;
    }
    tickCount++;
    if (tickCount >= statusInterval) {
        tickCount = 0;
    }
    bool recordStatus = tickCount == 0;

    ProfilingSession* session = g_profilingSession;
    jint maxDepth = session != nullptr ? session->maxStackDepth : 0;
    CpuProfilingSession* threadList = session != nullptr ? session->cpuProfilingSession : nullptr;

    // Samplers move from the previous map into this one, which carries each
    // thread's previous stack over to this tick. Sized for the whole list so
    // that filling it never rehashes.
    std::vector<ThreadManager*>* managers = threadList != nullptr ? &threadList->getThreadManagers() : nullptr;
    size_t listed = managers != nullptr ? managers->size() : 0;
    size_t capacity = std::min<size_t>(std::max<size_t>(MIN_MAP_CAPACITY, 2 * listed + 1), INT32_MAX);
    SamplerMap* newMap = new SamplerMap((int)capacity, 0.75f);
    if (managers != nullptr) {
        for (ThreadManager* manager : *managers) {
            if (manager == nullptr || manager->getIsDead() || manager->ignored || manager->threadHandle == nullptr ||
                manager->threadDesc == nullptr) {
                continue;
            }
            if (newMap->get(manager) != nullptr) {
                continue;  // listed twice: sampled once
            }
            CallTreeSampler* sampler = threadSamplers != nullptr ? threadSamplers->remove(manager) : nullptr;
            if (sampler == nullptr) {
                sampler = new CallTreeSampler(manager, maxDepth);
            }
            newMap->put(manager, sampler);
        }
    }

    int candidates = newMap->size();
    if (candidates > 0) {
        sampleCandidates(env, newMap, candidates, maxDepth, timestamp, time, sampleTransactions != 0, recordStatus);
    }

    // What is left in the previous map belongs to threads that are no longer
    // sampled.
    deleteSamplerMap(threadSamplers);
    threadSamplers = newMap;
}

void Sampler::reset() {
    ThreadMonitorLock lock;
    deleteSamplerMap(threadSamplers);
    threadSamplers = nullptr;
}

void SamplerHelper::initRefs(JNIEnv* env) {
    if (getSamplingTransactionIds != nullptr || env == nullptr) {
        return;
    }
    LocalRef<jclass> threadManagerClass(env, env->FindClass(THREAD_MANAGER_CLASS));
    if (threadManagerClass.get() == nullptr) {
        fatalAssert("threadManagerClass", "shared/Sampler", "initRefs", env);
    }
    initSamplingState = env->GetMethodID(threadManagerClass.get(), "initSamplingState", "()V");
    if (initSamplingState == nullptr) {
        fatalAssert("initSamplingState", "shared/Sampler", "initRefs", env);
    }
    jmethodID transactionIds = env->GetMethodID(threadManagerClass.get(), "getSamplingTransactionIds", "()[J");
    if (transactionIds == nullptr) {
        fatalAssert("getSamplingTransactionIds", "shared/Sampler", "initRefs", env);
    }
    getSamplingTransactionIds = transactionIds;
}

void SamplerHelper::stop(JNIEnv* env) {
    if (liveSamplerSession == nullptr) {
        return;
    }
    ThreadMonitorLock lock;
    stopped = true;
}
