#include "Sampler.h"

#include <jvmti.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <sched.h>
#include <unistd.h>
#include <vector>

#include "AsyncSampling.h"
#include "CallTree.h"
#include "CallTreeSampler.h"
#include "ClassProfilingSession.h"
#include "Counter.h"
#include "CpuProfilingSession.h"
#include "FatalAssert.h"
#include "JniUtil.h"
#include "JvmtiBuffer.h"
#include "MethodDesc.h"
#include "MessageUtil.h"
#include "PointerHashMap.h"
#include "JvmEnv.h"
#include "LockProbe.h"
#include "NativeThreads.h"
#include "ThreadMonitor.h"
#include "ThreadDesc.h"
#include "ThreadManager.h"
#include "ThreadSampleBuffer.h"
#include "VirtualThreadEvents.h"

bool g_batchedCapture = false;
bool g_threadCpuTimeAvailable = false;
bool g_recordCpuTime = false;
bool g_asyncSampling = true;

std::atomic<bool> SamplerHelper::stopped{false};
Sampler* SamplerHelper::liveSamplerSession = nullptr;
jmethodID SamplerHelper::initSamplingState = nullptr;
jmethodID SamplerHelper::getSamplingTransactionIds = nullptr;
jclass SamplerHelper::calleeClass = nullptr;
jmethodID SamplerHelper::virtualTransactionIds = nullptr;

struct Sampler::CandidateSlot {
    jthread thread;
    CallTreeSampler* sampler;
    jobject javaManager;
    // CPU time read before this tick's capture, or -1 when it could not be read.
    jlong cpuTime;
    bool capture;
    // JVMTI state read before a single capture; STATE_UNREAD until then.
    jint state;
    // Booked from its asynchronous samples, state time included: not captured.
    bool booked;
    // Its CPU time was booked on its samples: the capture books none.
    bool cpuBooked;
    // Its place among the candidates (and the packed checks).
    uint32_t index;
};

namespace {

typedef PointerHashMap<CallTreeSampler, void*> SamplerMap;
typedef Sampler::CandidateSlot CandidateSlot;

const int MIN_MAP_CAPACITY = 11;
// Largest local frame capacity HotSpot accepts (its default MaxJNILocalCapacity).
const jint MAX_LOCAL_FRAME_CAPACITY = 65536;

const char* const THREAD_MANAGER_CLASS = "com/tolvane/agent/callee/JvmtiCallee$JvmtiThreadManager";

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

// The thread behind a manager is gone: it gets its end time and is marked
// dead, which drops it from later ticks.
void endThread(JNIEnv* env, ThreadManager* manager) {
    if (manager->threadDesc != nullptr) {
        manager->threadDesc->setThreadEndTime(Counter::getUsec());
    }
    manager->setIsDead(env);
}

const jint STATE_UNREAD = -1;

// Frames above a sleep, wait or park that can still belong to it: the JDK's
// own bookkeeping around the wait (events, virtual-thread checks, deadlines).
const jint WAIT_HELPER_DEPTH = 8;

// A thread running Java code has to reach a safepoint poll before its stack
// can be walked; one that waits, sleeps, is blocked or runs native code is
// walked at once by whoever asks. Several threads that must be stopped are
// stopped together: one by one, each would wait for its own turn on a CPU.
bool mustBeStopped(jint state) {
    return state == STATE_UNREAD || ((state & JVMTI_THREAD_STATE_RUNNABLE) != 0 &&
                                     (state & JVMTI_THREAD_STATE_IN_NATIVE) == 0);
}

// Whether a thread has to be walked on this tick: it has never been captured,
// its CPU time could not be read, or it has run since its last capture. A
// thread that has not run since then still has the stack, the state and the
// transaction labels it had at that capture.
bool mustCapture(const CallTreeSampler* sampler, jlong cpuTime) {
    return cpuTime < 0 || sampler->lastCpuTime < 0 || cpuTime != sampler->lastCpuTime;
}

// Whether a frame's method is one in which threads sleep, wait or park.
bool isWaitMethod(JNIEnv* env, ClassProfilingSession* registry, jmethodID method) {
    MethodDesc* desc = registry != nullptr ? registry->getMethodDesc(method, env, true) : nullptr;
    return desc != nullptr && desc->isWaitMethod;
}

// Hands one thread's capture to its sampler: the dead-thread rule for a
// terminated thread, else its status, its transaction labels and its stack.
void convertCapture(JNIEnv* env, ClassProfilingSession* registry, const CandidateSlot& slot, jvmtiStackInfo* info,
                    jlong timestamp, jlong time, bool sampleTransactions, bool recordStatus, LockProbe& locks,
                    jlong carryLimit) {
    CallTreeSampler* sampler = slot.sampler;
    ThreadManager* manager = sampler->threadManager;
    if (info->state == JVMTI_THREAD_STATE_TERMINATED) {
        endThread(env, manager);
        return;
    }
    jint state = info->state;
    if ((state & JVMTI_THREAD_STATE_RUNNABLE) != 0 && info->frame_count > 0 &&
        isWaitMethod(env, registry, info->frame_buffer[0].method)) {
        // Woken in a sleep, wait or park and not out of it yet: still waiting.
        state = JVMTI_THREAD_STATE_ALIVE | JVMTI_THREAD_STATE_WAITING;
    }
    applyThreadState(manager, state);
    jlongArray transactionIds = nullptr;
    if (sampleTransactions && slot.javaManager != nullptr && SamplerHelper::getSamplingTransactionIds != nullptr) {
        transactionIds =
            static_cast<jlongArray>(env->CallObjectMethod(slot.javaManager, SamplerHelper::getSamplingTransactionIds));
        if (clearPendingException(env)) {
            transactionIds = nullptr;
        }
    }
    sampler->saveData(info, time, registry, env, transactionIds, timestamp, recordStatus);
    locks.captured(slot.thread, manager, info->state, time);
    sampler->stackFromSample = false;
    sampler->lastCpuTime = slot.cpuTime;
    if (g_recordCpuTime && !slot.cpuBooked) {
        sampler->bookCpuTime(slot.cpuTime);
    } else if (g_recordCpuTime && sampler->cpuCarryMicros > carryLimit &&
               (state & JVMTI_THREAD_STATE_RUNNABLE) != 0) {
        // Its walks keep failing and no sample says where it runs (a thread
        // that spends its CPU where they cannot go, such as the JVM's
        // allocation path): its CPU is booked where the capture finds it
        // running, as without samples, rather than never.
        sampler->sampleCpu(sampler->cpuCarryMicros);
        sampler->cpuCarryMicros = 0;
    }
}

// The Java side's transaction labels of a thread, or null.
jlongArray transactionIdsOf(JNIEnv* env, jobject javaManager, bool sampleTransactions) {
    if (!sampleTransactions || javaManager == nullptr || SamplerHelper::getSamplingTransactionIds == nullptr) {
        return nullptr;
    }
    jlongArray ids = static_cast<jlongArray>(env->CallObjectMethod(javaManager, SamplerHelper::getSamplingTransactionIds));
    return clearPendingException(env) ? nullptr : ids;
}

// A thread that runs Java code: its latest asynchronous sample is where it is.
bool runsJava(jint state) {
    return state != STATE_UNREAD && (state & JVMTI_THREAD_STATE_ALIVE) != 0 &&
           (state & JVMTI_THREAD_STATE_RUNNABLE) != 0 && (state & JVMTI_THREAD_STATE_IN_NATIVE) == 0;
}

// What a JVMTI state means for booking: not alive, running, blocked, waiting.
int stateKind(jint state) {
    if ((state & JVMTI_THREAD_STATE_ALIVE) == 0) {
        return 0;
    }
    if ((state & JVMTI_THREAD_STATE_RUNNABLE) != 0) {
        return 1;
    }
    if ((state & JVMTI_THREAD_STATE_BLOCKED_ON_MONITOR_ENTER) != 0) {
        return 2;
    }
    return 3;
}

// Books the tick on a thread that has not run since its last capture.
void bookUnchanged(const CandidateSlot& slot, jlong timestamp, jlong time, bool recordStatus, LockProbe& locks) {
    slot.sampler->bookUnchanged(time, timestamp, recordStatus);
    locks.unchanged(slot.thread, slot.sampler->threadManager, time);
    if (g_recordCpuTime) {
        // Nothing new by definition, unless this is its first reading.
        slot.sampler->bookCpuTime(slot.cpuTime);
    }
}

// Captures one thread with a handshake that pauses only that thread, into
// the sampler's scratch buffer. False when the tick has nothing to book for
// it (the JVM refused the capture for another reason than the thread's end).
bool captureOne(jvmtiEnv* jvmti, jthread thread, jint state, jint maxDepth, std::vector<jvmtiFrameInfo>& scratch,
                jvmtiStackInfo* info) {
    *info = jvmtiStackInfo();
    info->thread = thread;
    if (state == STATE_UNREAD) {
        return false;  // the state could not be read: nothing to book
    }
    info->state = state;
    if ((state & JVMTI_THREAD_STATE_ALIVE) == 0) {
        // Terminated, or not started yet: no frames, as a batched capture reports it.
        return true;
    }
    if (scratch.size() < static_cast<size_t>(maxDepth)) {
        scratch.resize(static_cast<size_t>(maxDepth));
    }
    // The state and the stack are read one after the other: a thread that
    // parks, wakes or enters a monitor in between would be booked under a
    // state that does not belong to its stack. The state is read again after
    // the stack; when the two readings disagree the thread is captured once
    // more, and when they disagree again its tick is dropped.
    for (int attempt = 0; attempt < 2; attempt++) {
        jint count = 0;
        jvmtiError err = jvmti->GetStackTrace(thread, 0, maxDepth, scratch.data(), &count);
        if (err == JVMTI_ERROR_THREAD_NOT_ALIVE) {
            // Ended between the state read and the capture.
            info->state = JVMTI_THREAD_STATE_TERMINATED;
            return true;
        }
        if (err != JVMTI_ERROR_NONE) {
            return false;
        }
        jint after = 0;
        err = jvmti->GetThreadState(thread, &after);
        if (err != JVMTI_ERROR_NONE) {
            return false;
        }
        if (stateKind(after) == stateKind(info->state)) {
            info->frame_buffer = scratch.data();
            info->frame_count = count;
            return true;
        }
        info->state = after;
        if ((after & JVMTI_THREAD_STATE_ALIVE) == 0) {
            return true;  // ended meanwhile: booked as a batched capture reports it
        }
    }
    return false;
}

// Gives a thread that has used CPU in the recording its sampling timer. A
// thread that could not have one is not asked again; one that is past its
// end event gets none.
void armTimer(ThreadManager* manager, jlong cpuTime, jint maxDepth) {
    if (manager->ended || manager->timerRefused || manager->nativeId <= 0 || manager->nativeEnv == nullptr ||
        cpuTime <= 0 || cpuTime == manager->cpuBaseline) {
        return;
    }
    manager->samples = AsyncSampling::arm(manager->nativeId, manager->nativeEnv, maxDepth);
    if (manager->samples == nullptr) {
        manager->timerRefused = true;
    }
}

// The labels of a waiting virtual thread, for VirtualThreadEvents::checkWaits.
bool readVirtualLabels(JNIEnv* env, jobject thread, jlong* labels) {
    jlongArray ids = static_cast<jlongArray>(
        env->CallStaticObjectMethod(SamplerHelper::calleeClass, SamplerHelper::virtualTransactionIds, thread));
    if (clearPendingException(env) || ids == nullptr) {
        return false;
    }
    jsize length = std::min<jsize>(env->GetArrayLength(ids), VirtualThreadEvents::MAX_LABELS + 1);
    env->GetLongArrayRegion(ids, 0, length, labels);
    env->DeleteLocalRef(ids);
    return !clearPendingException(env);
}

}  // namespace

bool Sampler::bookSamples(JNIEnv* env, CallTreeSampler* sampler, jlong cpuTime, jint state, jlongArray transactionIds,
                          jlong timestamp, jlong time, bool recordStatus) {
    ThreadManager* manager = sampler->threadManager;
    ThreadSampleBuffer* buffer = manager->samples;
    jlong period = periodMillis * 1000LL;
    int count = buffer->pending();
    jlong delta = sampler->takeCpuDelta(cpuTime);
    if (delta > 0) {
        sampler->cpuCarryMicros += delta;
    } else if (delta < 0) {
        // No reading (the thread has ended): each sample stands for its period.
        sampler->cpuCarryMicros += count * period;
    }
    bool running = runsJava(state);
    // Whether the latest sample is in a sleep, wait or park, or in the JDK
    // code a sleep runs around its wait: no CPU that the samples did not
    // put there is booked on it.
    bool latestWaits = false;
    if (count > 0) {
        jint frameCount = 0;
        const AsyncFrame* latest = buffer->sample(count - 1, &frameCount);
        // Its latest sample in a sleep, wait or park: the capture tells.
        running = running && frameCount > 0 && !isWaitMethod(env, registry, latest[0].method);
        latestWaits = frameCount <= 0;
        for (jint f = 0; f < frameCount && f < WAIT_HELPER_DEPTH && !latestWaits; f++) {
            latestWaits = isWaitMethod(env, registry, latest[f].method);
        }
    }
    if (sampleScratch.size() < static_cast<size_t>(buffer->maxDepth)) {
        sampleScratch.resize(static_cast<size_t>(buffer->maxDepth));
    }
    // Each sample stands for one period of CPU, booked on its stack; the
    // latest one also gets the running time of a thread still running Java.
    // When samples were lost (a full ring behind a late tick, a walk that
    // failed), the CPU they stood for is spread over the samples that came
    // rather than put on one of them, which would let a single sample weigh
    // as much as all the others; one period stays for the next sample.
    jlong toBook = 0;
    if (count > 0) {
        toBook = std::min(sampler->cpuCarryMicros, count * period);
        toBook = std::max(toBook, sampler->cpuCarryMicros - period);
    }
    bool carried = false;
    bool lastVirtual = false;
    // The virtual thread the carrier runs now, looked up at its first sample
    // of a virtual thread: its labels stand for all of this tick's.
    bool mountedKnown = false;
    jobject mounted = nullptr;
    jlongArray mountedIds = nullptr;
    jint mountedState = 0;
    for (int i = 0; i < count; i++) {
        jint frameCount = 0;
        const AsyncFrame* frames = buffer->sample(i, &frameCount);
        for (jint f = 0; f < frameCount; f++) {
            sampleScratch[f].method = frames[f].method;
            sampleScratch[f].location = frames[f].bci >= 0 ? frames[f].bci : -1;
        }
        jlong cpu = toBook / count + (i == count - 1 ? toBook % count : 0);
        jint entry = VirtualThreadTree::continuationEntry(env, registry, sampleScratch.data(), frameCount);
        lastVirtual = false;
        if (entry >= 0 && ensureVirtualThreads(env)) {
            if (!mountedKnown) {
                mountedKnown = true;
                mounted = mountedVirtualThread(env, manager);
                if (mounted != nullptr) {
                    mountedIds = virtualTransactionIdsOf(env, mounted);
                    if (g_profilingInterface->GetThreadState(mounted, &mountedState) != JVMTI_ERROR_NONE) {
                        mountedState = 0;
                    }
                }
            }
            // The carrier ran a virtual thread: the sample and its CPU are
            // that thread's, and so is the tick's running time when the
            // carrier still runs it.
            bool latest = i == count - 1 && mounted != nullptr && runsJava(mountedState);
            virtualThreads.book(env, registry, sampleScratch.data(), entry, mountedIds, mounted != nullptr,
                                JVMTI_THREAD_STATE_ALIVE | JVMTI_THREAD_STATE_RUNNABLE, latest ? time : 0, cpu,
                                timestamp);
            sampler->cpuCarryMicros -= cpu;
            sampler->sampleCpu(0);  // its CPU is known, though booked elsewhere
            carried = latest;
            lastVirtual = true;
            continue;
        }
        jvmtiStackInfo info = jvmtiStackInfo();
        info.state = JVMTI_THREAD_STATE_ALIVE | JVMTI_THREAD_STATE_RUNNABLE;
        info.frame_buffer = sampleScratch.data();
        info.frame_count = frameCount;
        if (i == count - 1 && running) {
            applyThreadState(manager, state);
            sampler->saveData(&info, time, registry, env, transactionIds, timestamp, recordStatus);
        } else {
            sampler->enterSample(&info, registry, env, transactionIds);
        }
        sampler->sampleCpu(cpu);
        sampler->cpuCarryMicros -= cpu;
    }
    if (mounted != nullptr) {
        env->DeleteLocalRef(mounted);
    }
    buffer->consume(count);
    uint32_t dropped = buffer->takeDropped();
    if (count > 0) {
        // A virtual thread's sample names no node of the carrier's own.
        sampler->lastSampleNode = latestWaits || lastVirtual ? nullptr : manager->currentNode;
        sampler->stackFromSample = true;
    } else if (running && sampler->stackFromSample && sampler->cpuCarryMicros <= 2 * period) {
        // Still running Java code and less than a period or two since its
        // latest sample: it is booked where that sample found it, and the
        // CPU waits for its next sample.
        applyThreadState(manager, state);
        sampler->bookUnchanged(time, timestamp, recordStatus);
        sampler->lastCpuTime = cpuTime;
        return true;
    }
    if (dropped != 0) {
        MessageUtil::debugOut(0, 4, "async sampling: %u samples dropped on a full ring\n", dropped);
    }
    if (carried) {
        // Its time went to the virtual thread it ran; a carrier is booked
        // only while it carries nothing. Captured again on the next tick
        // even if it does not run: it may be pinned.
        sampler->lastCpuTime = -1;
        sampler->stackFromSample = false;
        return true;
    }
    if (count > 0 && running) {
        sampler->lastCpuTime = cpuTime;
        return true;
    }
    if (!runsJava(state) || latestWaits || sampler->cpuCarryMicros > 2 * period) {
        // Not running Java code, or its walks are failing: the CPU it used
        // since its latest sample goes where that sample found it rather
        // than waiting for a sample that may never come.
        if (lastVirtual && !latestWaits) {
            virtualThreads.bookCpu(sampler->cpuCarryMicros);
            sampler->cpuCarryMicros = 0;
        } else {
            sampler->settleCarry();
        }
    }
    return false;
}

bool Sampler::bookMountedCapture(JNIEnv* env, const CandidateSlot& slot, jlong timestamp, jlong time,
                                 bool sampleTransactions) {
    jvmtiEnv* jvmti = g_profilingInterface;
    if (!ensureVirtualThreads(env)) {
        return false;
    }
    LocalRef<jobject> vthread(env, VirtualThreadEvents::mountedVirtualThread(env, jvmti, slot.thread));
    if (vthread.get() == nullptr) {
        return false;
    }
    if (mountedScratch.size() < static_cast<size_t>(maxStackDepth)) {
        mountedScratch.resize(static_cast<size_t>(maxStackDepth));
    }
    jint state = 0;
    jint count = 0;
    if (jvmti->GetThreadState(vthread.get(), &state) != JVMTI_ERROR_NONE ||
        jvmti->GetStackTrace(vthread.get(), 0, maxStackDepth, mountedScratch.data(), &count) != JVMTI_ERROR_NONE) {
        return false;
    }
    if ((state & JVMTI_THREAD_STATE_RUNNABLE) != 0 && count > 0 &&
        isWaitMethod(env, registry, mountedScratch[0].method)) {
        state = JVMTI_THREAD_STATE_ALIVE | JVMTI_THREAD_STATE_WAITING;  // woken, not out yet
    }
    jint entry = VirtualThreadTree::continuationEntry(env, registry, mountedScratch.data(), count);
    jlongArray ids = virtualTransactionIdsOf(env, vthread.get());
    CallTreeSampler* sampler = slot.sampler;
    jlong cpu = 0;
    if (g_recordCpuTime && !slot.cpuBooked) {
        cpu = std::max<jlong>(0, sampler->takeCpuDelta(slot.cpuTime));
    }
    virtualThreads.book(env, registry, mountedScratch.data(), entry >= 0 ? entry : count, ids, true, state, time,
                        cpu, timestamp);
    // Captured again on the next tick even if it does not run: a pinned
    // virtual thread's state is its own, not the carrier's.
    sampler->lastCpuTime = -1;
    sampler->stackFromSample = false;
    return true;
}

bool Sampler::ensureVirtualThreads(JNIEnv* env) {
    if (virtualThreads.exists()) {
        return true;
    }
    if (!virtualThreads.ensure(threadList, recordStartTime, maxStackDepth)) {
        return false;
    }
    SamplerHelper::initVirtualRefs(env);
    // Met for the first time: from now on the virtual threads' waits are
    // sampled too, where the JVM can tell them.
    if (VirtualThreadEvents::enable(env, g_profilingInterface, maxStackDepth)) {
        VirtualThreadEvents::setActive(true);
    }
    return true;
}

jobject Sampler::mountedVirtualThread(JNIEnv* env, ThreadManager* carrier) {
    if (carrier == nullptr || carrier->threadHandle == nullptr) {
        return nullptr;
    }
    LocalRef<jobject> thread(env, env->NewLocalRef(carrier->threadHandle));
    if (thread.get() == nullptr) {
        return nullptr;
    }
    return VirtualThreadEvents::mountedVirtualThread(env, g_profilingInterface, thread.get());
}

jlongArray Sampler::virtualTransactionIdsOf(JNIEnv* env, jobject vthread) {
    if (!sampleTransactionsNow || SamplerHelper::virtualTransactionIds == nullptr || vthread == nullptr) {
        return nullptr;
    }
    jlongArray ids = static_cast<jlongArray>(
        env->CallStaticObjectMethod(SamplerHelper::calleeClass, SamplerHelper::virtualTransactionIds, vthread));
    return clearPendingException(env) ? nullptr : ids;
}

void Sampler::bookVirtualThreadWaits(JNIEnv* env, jlong timestamp, bool all) {
    if (!virtualThreads.exists() || !VirtualThreadEvents::isEnabled()) {
        return;
    }
    if (!all) {
        VirtualThreadEvents::cycle();
    }
    VirtualThreadEvents::checkWaits(env, g_profilingInterface,
                                    sampleTransactionsNow && SamplerHelper::virtualTransactionIds != nullptr
                                        ? &readVirtualLabels
                                        : nullptr);
    VirtualThreadEvents::takeWaits(waitScratch, all);
    for (const VirtualThreadEvents::Wait& wait : waitScratch) {
        jlong span = wait.end - wait.start;
        if (span <= 0 || wait.frameCount <= 0) {
            continue;
        }
        jint entry = VirtualThreadTree::continuationEntry(env, registry, wait.frames, wait.frameCount);
        jint count = entry >= 0 ? entry : wait.frameCount;
        if (VirtualThreadTree::isTaskEnd(env, registry, wait.frames, count)) {
            // Nothing above the JDK's frame that runs its task: the virtual
            // thread unmounted to end, which is no wait. Once the events'
            // window has closed nothing else tells that from a wait.
            continue;
        }
        jint state = wait.state & ~JVMTI_THREAD_STATE_RUNNABLE;
        jlongArray ids = nullptr;
        if (wait.labelsRead) {
            ids = env->NewLongArray(VirtualThreadEvents::MAX_LABELS + 1);
            if (ids != nullptr) {
                env->SetLongArrayRegion(ids, 0, VirtualThreadEvents::MAX_LABELS + 1, wait.labels);
            }
            if (clearPendingException(env)) {
                ids = nullptr;
            }
        }
        virtualThreads.book(env, registry, wait.frames, count, ids, wait.labelsRead, state,
                            static_cast<jlong>(static_cast<double>(span) * wait.weight + 0.5), 0, timestamp);
        if (ids != nullptr) {
            env->DeleteLocalRef(ids);
        }
    }
    VirtualThreadEvents::release(env, waitScratch);
    waitScratch.clear();
}

void Sampler::finishVirtualThreads(JNIEnv* env) {
    ThreadMonitorLock lock;
    if (!virtualThreads.exists()) {
        return;
    }
    bookVirtualThreadWaits(env, Counter::getUsec(), true);
    virtualThreads.releaseLabels(env);
    VirtualThreadEvents::setActive(false);
    VirtualThreadEvents::Counts counts = VirtualThreadEvents::counts();
    virtualThreads.setStarted(counts.started);
    MessageUtil::debugOut(0, 4,
                          "virtual threads: about %llu started, %llu unmounts, %llu waits sampled, %llu samples lost, "
                          "%llu windows\n",
                          static_cast<unsigned long long>(counts.started),
                          static_cast<unsigned long long>(counts.unmounts),
                          static_cast<unsigned long long>(counts.sampled),
                          static_cast<unsigned long long>(counts.lost),
                          static_cast<unsigned long long>(counts.windows));
}

// Captures and converts the stacks of the candidate threads, in the order
// given. Every local reference made here lives in one local frame. When that
// frame cannot be pushed the tick is dropped: popping would release a frame
// that belongs to the caller of the native.
void Sampler::sampleCandidates(JNIEnv* env, const std::vector<CallTreeSampler*>& samplers, jint maxDepth,
                               jlong timestamp, jlong time, bool sampleTransactions, bool recordStatus) {
    jvmtiEnv* jvmti = g_profilingInterface;
    if (env == nullptr || jvmti == nullptr) {
        return;
    }
    int candidates = static_cast<int>(samplers.size());
    // The capacity is only a hint, frames grow past it; but HotSpot refuses
    // a hint above its MaxJNILocalCapacity, which would drop every tick.
    jint capacity =
        static_cast<jint>(std::min<int64_t>(4 * static_cast<int64_t>(candidates), MAX_LOCAL_FRAME_CAPACITY));
    LocalFrame frame(env, capacity);
    if (!frame.isPushed()) {
        return;
    }
    // Without CPU times every candidate is walked, in one batch, each tick.
    bool selective = g_threadCpuTimeAvailable && !g_batchedCapture;
    bool readCpuTime = selective || (g_threadCpuTimeAvailable && g_recordCpuTime);
    std::vector<CandidateSlot>& slots = slotScratch;
    slots.clear();
    LockProbe locks(env, jvmti, lockTable, threadList);
    int captureCount = 0;

    std::vector<uint32_t>& unchanged = unchangedScratch;
    unchanged.clear();

    for (size_t index = 0; index < samplers.size(); index++) {
        CallTreeSampler* sampler = samplers[index];
        const ClockCheck& check = checks[index];
        CandidateSlot slot = {nullptr, sampler, nullptr, -1, true, STATE_UNREAD, false, false,
                              static_cast<uint32_t>(index)};
        if (readCpuTime && check.id != 0) {
            // Read before the capture, as below, but from the kernel by the
            // thread's id: one system call, where the JVM would first search
            // its thread list for the thread.
            jlong nanos = NativeThreads::cpuTime(check.id);
            if (nanos >= 0 && nanos >= check.floor) {
                if (selective && nanos == check.lastCpuTime) {
                    // Its clock is readable, so the thread is alive (its id
                    // is dropped as it ends) and its Thread object with it:
                    // booked without a reference to it, and without a look
                    // at its records until then.
                    unchanged.push_back(static_cast<uint32_t>(index));
                    continue;
                }
                slot.cpuTime = nanos;
            } else {
                // Gone, or a clock that runs backwards is not this thread's:
                // the JVM answers for it from now on.
                sampler->threadManager->nativeId = 0;
                sampler->threadManager->nativeEnv = nullptr;
            }
        }
        ThreadManager* manager = sampler->threadManager;
        slot.thread = static_cast<jthread>(env->NewLocalRef(manager->threadHandle));
        if (slot.thread == nullptr) {
            // The Thread object was collected, so the thread has ended.
            endThread(env, manager);
            continue;
        }
        if (readCpuTime && slot.cpuTime < 0) {
            // Read before the capture: a thread that runs after this reading
            // shows it at the next tick.
            jlong nanos = 0;
            if (jvmti->GetThreadCpuTime(slot.thread, &nanos) == JVMTI_ERROR_NONE && nanos >= 0) {
                slot.cpuTime = nanos;
            }
        }
        if (selective) {
            slot.capture = mustCapture(slot.sampler, slot.cpuTime);
        }
        if (slot.capture) {
            captureCount++;
            if (sampleTransactions) {
                // A local reference keeps the object usable even if a Java hook
                // replaces the manager's global reference during this tick.
                if (manager->javaThreadManager != nullptr) {
                    slot.javaManager = env->NewLocalRef(manager->javaThreadManager);
                }
                if (slot.javaManager != nullptr && SamplerHelper::initSamplingState != nullptr) {
                    env->CallVoidMethod(slot.javaManager, SamplerHelper::initSamplingState);
                    clearPendingException(env);
                }
            }
        }
        slots.push_back(slot);
    }
    if (asyncActive && selective) {
        // Threads that ran and have a sampling timer are booked from their
        // samples; only those the samples cannot settle are captured.
        for (CandidateSlot& slot : slots) {
            if (!slot.capture) {
                continue;
            }
            ThreadManager* manager = slot.sampler->threadManager;
            if (manager->samples == nullptr) {
                armTimer(manager, slot.cpuTime, maxDepth);
                if (manager->samples != nullptr) {
                    // Armed now: its CPU so far waits for its first sample
                    // too, rather than landing where the capture finds it.
                    jlong delta = slot.sampler->takeCpuDelta(slot.cpuTime);
                    if (delta > 0) {
                        slot.sampler->cpuCarryMicros += delta;
                    }
                    slot.cpuBooked = true;
                }
                continue;
            }
            jint state = 0;
            if (jvmti->GetThreadState(slot.thread, &state) == JVMTI_ERROR_NONE) {
                slot.state = state;
            }
            jlongArray ids = transactionIdsOf(env, slot.javaManager, sampleTransactions);
            // Its CPU waits for its samples: the capture books none.
            slot.cpuBooked = true;
            if (bookSamples(env, slot.sampler, slot.cpuTime, slot.state, ids, timestamp, time, recordStatus)) {
                slot.booked = true;
                slot.capture = false;
                captureCount--;
            }
        }
    }
    lastCaptureCount = captureCount;
    // CPU carried past two periods without a sample: the walks are failing
    // (bookSamples waits that long for a running thread's next sample).
    jlong carryLimit = 2 * periodMillis * 1000LL;

    // Threads that ran are walked one by one unless more than
    // singleCaptureLimit of them have to be stopped for it.
    bool single = selective;
    if (selective) {
        int toStop = 0;
        for (CandidateSlot& slot : slots) {
            if (slot.capture && slot.state == STATE_UNREAD) {
                jint state = 0;
                if (jvmti->GetThreadState(slot.thread, &state) == JVMTI_ERROR_NONE) {
                    slot.state = state;
                }
            }
            if (slot.capture && mustBeStopped(slot.state)) {
                toStop++;
            }
        }
        single = toStop <= singleCaptureLimit;
    }
    if (single) {
        bookUnchangedByClock(samplers, timestamp, time, recordStatus, locks);
        // One handshake per thread that ran; the other threads go on.
        for (const CandidateSlot& slot : slots) {
            if (slot.booked) {
                continue;
            }
            if (!slot.capture) {
                // Its remembered stack gets the time under its remembered
                // status. Nothing can have changed without the thread
                // running: a thread leaves a wait, a sleep or a monitor queue,
                // and ends, only by running, and one that has ended has no
                // CPU time to read (so it is captured and found terminated).
                bookUnchanged(slot, timestamp, time, recordStatus, locks);
                continue;
            }
            jvmtiStackInfo info;
            if (captureOne(jvmti, slot.thread, slot.state, maxDepth, frameScratch, &info)) {
                if (VirtualThreadTree::isMountedTop(env, registry, info.frame_buffer, info.frame_count) &&
                    bookMountedCapture(env, slot, timestamp, time, sampleTransactions)) {
                    continue;
                }
                convertCapture(env, registry, slot, &info, timestamp, time, sampleTransactions, recordStatus, locks,
                               carryLimit);
            }
        }
    } else {
        std::vector<jthread> threads;
        threads.reserve(static_cast<size_t>(captureCount));
        for (const CandidateSlot& slot : slots) {
            if (slot.capture) {
                threads.push_back(slot.thread);
            }
        }
        JvmtiBuffer<jvmtiStackInfo> stackInfo(jvmti);
        jvmtiError err =
            jvmti->GetThreadListStackTraces(captureCount, threads.data(), maxDepth, stackInfo.out());
        // A failed capture changes nothing on this tick, for any thread.
        if (err == JVMTI_ERROR_NONE && stackInfo.get() != nullptr) {
            bookUnchangedByClock(samplers, timestamp, time, recordStatus, locks);
            int captured = 0;
            for (const CandidateSlot& slot : slots) {
                if (slot.capture) {
                    jvmtiStackInfo& info = stackInfo[captured++];
                    if (VirtualThreadTree::isMountedTop(env, registry, info.frame_buffer, info.frame_count) &&
                        bookMountedCapture(env, slot, timestamp, time, sampleTransactions)) {
                        continue;
                    }
                    convertCapture(env, registry, slot, &info, timestamp, time, sampleTransactions, recordStatus,
                                   locks, carryLimit);
                } else if (!slot.booked) {
                    bookUnchanged(slot, timestamp, time, recordStatus, locks);
                }
            }
        }
    }

    for (const CandidateSlot& slot : slots) {
        refreshCheck(slot.index);
    }
}

void Sampler::bookUnchangedByClock(const std::vector<CallTreeSampler*>& samplers, jlong timestamp, jlong time,
                                   bool recordStatus, LockProbe& locks) {
    // Booking a thread follows a chain of records scattered over the heap:
    // its sampler, its manager, the manager's node and the node's wait
    // times. Over thousands of threads each link is a cache miss, so the
    // records are fetched a few threads ahead, and the misses overlap
    // instead of adding up.
    const std::vector<uint32_t>& unchanged = unchangedScratch;
    size_t count = unchanged.size();
    for (size_t j = 0; j < count; j++) {
        if (j + 12 < count) {
            const ThreadManager* manager = checks[unchanged[j + 12]].manager;
            __builtin_prefetch(samplers[unchanged[j + 12]]);
            __builtin_prefetch(manager);
            __builtin_prefetch(reinterpret_cast<const char*>(manager) + sizeof(ThreadManager) - 1);
        }
        if (j + 8 < count) {
            __builtin_prefetch(checks[unchanged[j + 8]].manager->currentNode);
        }
        if (j + 4 < count) {
            const CallTree* node = checks[unchanged[j + 4]].manager->currentNode;
            if (node != nullptr) {
                __builtin_prefetch(node->getMonitorTimeValues());
            }
        }
        uint32_t index = unchanged[j];
        CallTreeSampler* sampler = samplers[index];
        ClockCheck& check = checks[index];
        sampler->bookUnchanged(time, timestamp, recordStatus);
        locks.unchanged(nullptr, check.manager, time);
        if (g_recordCpuTime && !check.settled) {
            // Nothing new by definition, unless this is its first reading.
            sampler->bookCpuTime(check.lastCpuTime);
            refreshCheck(index);
        }
    }
}

void Sampler::refreshCheck(size_t index) {
    CallTreeSampler* sampler = candidateOrder[index];
    ThreadManager* manager = sampler->threadManager;
    ClockCheck& check = checks[index];
    check.manager = manager;
    check.id = manager->nativeId;
    check.lastCpuTime = sampler->lastCpuTime;
    check.floor = std::max(sampler->lastCpuTime, sampler->bookedCpuTime);
    check.settled = sampler->bookedCpuTime == sampler->lastCpuTime && manager->cpuKnown;
}

void Sampler::refreshChecks() {
    checks.resize(candidateOrder.size());
    for (size_t index = 0; index < candidateOrder.size(); index++) {
        refreshCheck(index);
    }
    checkedIdChanges = CpuProfilingSession::nativeIdChanges;
}

Sampler::Sampler(int periodMillis, CpuProfilingSession* threadList, ClassProfilingSession* registry,
                 int maxStackDepth)
    : threadList(threadList),
      registry(registry),
      maxStackDepth(maxStackDepth),
      tickCount(0),
      periodMillis(periodMillis),
      statusInterval(periodMillis > 0 ? 200 / periodMillis : 1),
      threadSamplers(nullptr),
      singleCaptureLimit(defaultSingleCaptureLimit()),
      lastCaptureCount(0),
      lockTable(nullptr) {
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
    // Ticks are stamped with the library clock: the wall-clock time of its
    // first read, advanced from then on by the monotonic clock. The time
    // between ticks and the length of the run are measured on the monotonic
    // clock itself, which stays true also where the library clock had to
    // fall back to the wall clock: a wall clock set back or forward, or a
    // machine resuming from suspend, must not book hours on a thread or keep
    // the caller recording.
    jlong startMicros = Counter::monotonicUsec();
    jlong lastMicros = startMicros;
    // Nominal time slept; stands in for the clock when it cannot be read, so
    // a broken clock cannot keep the caller forever.
    jlong sleptMillis = 0;
    for (;;) {
        bool interrupted = ThreadMonitor::sleep(periodMillis);
        sleptMillis += periodMillis;
        jlong now = Counter::getUsec();
        jlong nowMicros = Counter::monotonicUsec();
        jlong elapsed = nowMicros >= 0 && lastMicros >= 0 ? nowMicros - lastMicros : periodMillis * 1000LL;
        lastMicros = nowMicros;
        doThreadStatusSampling(env, now, elapsed, sampleTransactions);
        if (interrupted) {
            return true;
        }
        if (SamplerHelper::stopped) {
            return false;
        }
        // Decided on the time read before the tick: the last tick is the
        // first one taken at or after the requested length.
        if (startMicros >= 0 && nowMicros >= 0) {
            if ((nowMicros - startMicros) / 1000 >= durationMillis) {
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

    jint maxDepth = maxStackDepth;

    // Samplers move from the previous map into this one, which carries each
    // thread's previous stack over to this tick. The map starts small and
    // grows: its bucket order is the order in which threads are converted,
    // and so the order in which new methods enter the registry. That order
    // depends only on the candidates in list order, so while they stay the
    // same the map is kept and its order taken from the last tick.
    std::vector<ThreadManager*>* managers = threadList != nullptr ? &threadList->getThreadManagers() : nullptr;
    bool sameCandidates = threadSamplers != nullptr;
    size_t listed = 0;
    if (managers != nullptr) {
        for (ThreadManager* manager : *managers) {
            if (manager == nullptr || manager->getIsDead() || manager->ignored || manager->threadHandle == nullptr ||
                manager->threadDesc == nullptr) {
                continue;
            }
            if (sameCandidates && (listed >= lastCandidates.size() || lastCandidates[listed] != manager)) {
                sameCandidates = false;
                lastCandidates.resize(listed);
            }
            if (!sameCandidates) {
                lastCandidates.push_back(manager);
            }
            listed++;
        }
    }
    if (sameCandidates && listed != lastCandidates.size()) {
        sameCandidates = false;
        lastCandidates.resize(listed);
    }
    if (!sameCandidates) {
        SamplerMap* newMap = new SamplerMap(MIN_MAP_CAPACITY, 0.75f);
        for (ThreadManager* manager : lastCandidates) {
            if (newMap->get(manager) != nullptr) {
                continue;  // listed twice: sampled once
            }
            CallTreeSampler* sampler = threadSamplers != nullptr ? threadSamplers->remove(manager) : nullptr;
            if (sampler == nullptr) {
                sampler = new CallTreeSampler(manager, maxDepth);
            }
            newMap->put(manager, sampler);
        }
        // What is left in the previous map belongs to threads that are no
        // longer sampled.
        deleteSamplerMap(threadSamplers);
        threadSamplers = newMap;
        candidateOrder.clear();
        std::unique_ptr<PHMIterator<CallTreeSampler, void*>> it(newMap->getPHMIterator());
        while (it->hasNext()) {
            candidateOrder.push_back(it->nextPHMEntry()->value);
        }
    }

    if (!sameCandidates || checkedIdChanges != CpuProfilingSession::nativeIdChanges) {
        refreshChecks();
    }
    sampleTransactionsNow = sampleTransactions != 0;
    if (!candidateOrder.empty()) {
        sampleCandidates(env, candidateOrder, maxDepth, timestamp, time, sampleTransactions != 0, recordStatus);
    }
    bookVirtualThreadWaits(env, timestamp, false);
}

int Sampler::defaultSingleCaptureLimit() {
    // The processors this process may run on: up to that many running
    // threads can be on a CPU at once and answer a handshake right away.
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    if (sched_getaffinity(0, sizeof cpus, &cpus) == 0 && CPU_COUNT(&cpus) > 0) {
        return CPU_COUNT(&cpus);
    }
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<int>(online) : 1;
}

void Sampler::reset() {
    ThreadMonitorLock lock;
    deleteSamplerMap(threadSamplers);
    threadSamplers = nullptr;
    virtualThreads.reset();
    lastCandidates.clear();
    candidateOrder.clear();
    checks.clear();
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

void SamplerHelper::initVirtualRefs(JNIEnv* env) {
    static bool tried = false;
    if (tried || env == nullptr) {
        return;
    }
    tried = true;
    LocalRef<jclass> callee(env, env->FindClass("com/tolvane/agent/callee/JvmtiCallee"));
    if (callee.get() == nullptr) {
        env->ExceptionClear();
        return;
    }
    jmethodID virtualIds = env->GetStaticMethodID(callee.get(), "virtualTransactionIds", "(Ljava/lang/Thread;)[J");
    if (virtualIds == nullptr) {
        env->ExceptionClear();  // older agent classes: virtual threads go unlabelled
        return;
    }
    calleeClass = static_cast<jclass>(env->NewGlobalRef(callee.get()));
    if (calleeClass != nullptr) {
        virtualTransactionIds = virtualIds;
    }
}

void SamplerHelper::stop(JNIEnv* env) {
    if (liveSamplerSession == nullptr) {
        return;
    }
    ThreadMonitorLock lock;
    stopped = true;
}
