#include "Recording.h"

#include <cstring>
#include <utility>
#include <vector>

#include "AsyncSampling.h"
#include "Counter.h"
#include "CpuProfilingSession.h"
#include "JniUtil.h"
#include "JvmtiBuffer.h"
#include "LockTable.h"
#include "MessageUtil.h"
#include "ProfilingSession.h"
#include "Sampler.h"
#include "ThreadManager.h"

std::atomic<bool> g_recordingInProgress{false};
std::atomic<JNIEnv*> g_recordingThreadEnv{nullptr};

namespace {

// Pause between the end of sampling and the write, so that Java-side work
// finishing the recording (late associations) lands in this snapshot.
const int WRITE_PAUSE_MILLIS = 100;

// A new[] copy of the path bytes of a Java byte[]: the bytes up to the first
// zero byte, or the whole array when it has none, always terminated. Null
// when there is no array or its elements cannot be obtained.
char* copySnapshotPath(JNIEnv* env, jbyteArray snapshotPath) {
    if (env == nullptr || snapshotPath == nullptr) {
        return nullptr;
    }
    jsize length = env->GetArrayLength(snapshotPath);
    ByteArrayElements elements(env, snapshotPath);
    const jbyte* bytes = elements.get();
    if (bytes == nullptr) {
        return nullptr;
    }
    jsize used = 0;
    while (used < length && bytes[used] != 0) {
        used++;
    }
    char* path = new char[static_cast<size_t>(used) + 1];
    std::memcpy(path, bytes, static_cast<size_t>(used));
    path[used] = '\0';
    return path;
}

void setThreadReporting(JNIEnv* env, jclass calleeClass, jmethodID method, bool on) {
    if (method == nullptr) {
        return;
    }
    env->CallStaticVoidMethod(calleeClass, method, on ? JNI_TRUE : JNI_FALSE);
    clearPendingException(env);
}

void setThreadStartEvents(jvmtiEventMode mode) {
    if (!g_safeThreadStart) {
        g_profilingInterface->SetEventNotificationMode(mode, JVMTI_EVENT_THREAD_START, nullptr);
    }
    // Thread ends drop native ids, which only recordings hold; without the
    // event no id is given out.
    jvmtiError error = g_profilingInterface->SetEventNotificationMode(mode, JVMTI_EVENT_THREAD_END, nullptr);
    g_threadEndsReported = mode == JVMTI_ENABLE && error == JVMTI_ERROR_NONE;
}

// Whether this recording samples running threads asynchronously: the
// options and the JVM allow it. Thread ends are reported from before any
// thread is registered (setThreadStartEvents), so that no registered thread
// can end unseen and later be given a timer; without them nothing is
// sampled asynchronously. Called with the thread monitor held.
bool prepareAsyncSampling(JNIEnv* env, Sampler* sampler) {
    sampler->asyncActive = false;
    if (!g_asyncSampling || g_batchedCapture || !g_threadCpuTimeAvailable || !g_threadEndsReported ||
        !AsyncSampling::prepare() || !Profiling::enableAsyncEvents(env)) {
        return false;
    }
    AsyncSampling::setPeriodNanos(static_cast<long long>(sampler->periodMillis) * 1000000LL);
    AsyncSampling::resetCounters();
    sampler->asyncActive = true;
    return true;
}

// The end of asynchronous sampling: every timer goes, the snapshot learns
// what was lost and why, and the debug log says what the walks gave.
void stopAsyncSampling(Sampler* sampler, LostSamples* lostSamples) {
    if (!sampler->asyncActive) {
        return;
    }
    sampler->asyncActive = false;
    LiveCpuProfilingHelper::disarmAll();
    AsyncSampling::Counters counters = AsyncSampling::counters();
    uint64_t lost = counters.failed() + counters.dropped;
    lostSamples->samples = counters.samples;
    lostSamples->causes.clear();
    for (int kind = 0; kind < AsyncSampling::FAILURE_KINDS; kind++) {
        lostSamples->causes.emplace_back(AsyncSampling::failureName(kind), counters.failures[kind]);
    }
    lostSamples->causes.emplace_back("buffer full", counters.dropped);

    MessageUtil::debugOut(0, 4, "async sampling: %llu samples, %llu lost, %llu timers refused\n",
                          static_cast<unsigned long long>(counters.samples), static_cast<unsigned long long>(lost),
                          static_cast<unsigned long long>(counters.timerFailures));
    for (int kind = 0; kind < AsyncSampling::FAILURE_KINDS; kind++) {
        if (counters.failures[kind] != 0) {
            MessageUtil::debugOut(0, 4, "async sampling: %llu walks failed: %s\n",
                                  static_cast<unsigned long long>(counters.failures[kind]),
                                  AsyncSampling::failureName(kind));
        }
    }
    if (counters.dropped != 0) {
        MessageUtil::debugOut(0, 4, "async sampling: %llu samples dropped on full buffers\n",
                              static_cast<unsigned long long>(counters.dropped));
    }
}

// Registers every live thread. A thread that already has a listed manager
// (associated since the last run) keeps it, so no thread is listed twice.
// Then finds the native ids of the threads registered, through which ticks
// read their CPU clocks and their sampling timers are aimed.
// Called with the thread monitor held.
void registerLiveThreads(JNIEnv* env, CpuProfilingSession* threadList) {
    assertThreadMonitorHeld("registerLiveThreads");
    jvmtiEnv* jvmti = g_profilingInterface;
    jint count = 0;
    JvmtiBuffer<jthread> threads(jvmti);
    if (jvmti->GetAllThreads(&count, threads.out()) != JVMTI_ERROR_NONE || threads.get() == nullptr) {
        MessageUtil::message("Could not get all threads");
        return;
    }
    // GetAllThreads returned one local reference per thread; make room for
    // them and for the few that registration takes meanwhile.
    if (env->EnsureLocalCapacity(count + 16) != JNI_OK) {
        env->ExceptionClear();  // OutOfMemoryError: the refs exist anyway
    }
    for (jint i = 0; i < count; i++) {
        jthread thread = threads[i];
        ThreadManager* manager = threadList->getThreadManager(thread, env);
        if (manager == nullptr) {
            manager = LiveCpuProfilingHelper::createLiveThreadManager(thread, env);
        } else {
            // Kept from before the run (associateThread): its name, group and
            // whether it is ignored may have changed since.
            LiveCpuProfilingHelper::refreshThread(env, thread, manager);
        }
        jlong cpuNanos = -1;
        if (manager != nullptr && g_threadCpuTimeAvailable &&
            (jvmti->GetThreadCpuTime(thread, &cpuNanos) != JVMTI_ERROR_NONE || cpuNanos < 0)) {
            cpuNanos = -1;
        }
        // The CPU time it used before the recording is not the recording's.
        if (manager != nullptr && g_recordCpuTime && cpuNanos >= 0) {
            manager->cpuBaseline = cpuNanos;
        }
    }
    // Threads started from now on tell their ids at their start.
    if (g_threadCpuTimeAvailable) {
        threadList->findNativeIds(env);
    }
    for (jint i = 0; i < count; i++) {
        env->DeleteLocalRef(threads[i]);
    }
}

// Claims the one recording run of the process from construction to
// destruction, so that VM death can wait for its snapshot (see
// Profiling::dxVMDeath) and a second run cannot start meanwhile: its clean-up
// would destroy the managers of the first. A claim that finds a run in
// progress leaves that run's marks alone.
class RecordingInProgress {
public:
    explicit RecordingInProgress(JNIEnv* env) {
        bool expected = false;
        claimed = g_recordingInProgress.compare_exchange_strong(expected, true, std::memory_order_acq_rel);
        if (claimed) {
            g_recordingThreadEnv.store(env, std::memory_order_release);
        }
    }
    ~RecordingInProgress() {
        if (claimed) {
            g_recordingThreadEnv.store(nullptr, std::memory_order_release);
            g_recordingInProgress.store(false, std::memory_order_release);
        }
    }
    RecordingInProgress(const RecordingInProgress&) = delete;
    RecordingInProgress& operator=(const RecordingInProgress&) = delete;

    bool isClaimed() const { return claimed; }

private:
    bool claimed;
};

// Sets the calling thread's interrupt status again (Thread.currentThread()
// .interrupt()) after a wait of the run consumed it, so that the caller of
// record still sees the interrupt (executor shutdown, Future.cancel).
void restoreInterruptStatus(JNIEnv* env) {
    clearPendingException(env);
    LocalRef<jclass> threadClass(env, env->FindClass("java/lang/Thread"));
    if (clearPendingException(env) || threadClass.get() == nullptr) {
        return;
    }
    jmethodID currentThread = env->GetStaticMethodID(threadClass.get(), "currentThread", "()Ljava/lang/Thread;");
    if (clearPendingException(env) || currentThread == nullptr) {
        return;
    }
    jmethodID interrupt = env->GetMethodID(threadClass.get(), "interrupt", "()V");
    if (clearPendingException(env) || interrupt == nullptr) {
        return;
    }
    LocalRef<jobject> self(env, env->CallStaticObjectMethod(threadClass.get(), currentThread));
    if (clearPendingException(env) || self.get() == nullptr) {
        return;
    }
    env->CallVoidMethod(self.get(), interrupt);
    clearPendingException(env);
}

}  // namespace

void Recording::run(JNIEnv* env, jclass calleeClass, jlong durationMillis, jboolean sampleTransactions,
                    jboolean recordAgentThreads, jbyteArray snapshotPath) {
    ProfilingSession* session = g_profilingSession;
    CpuProfilingSession* threadList = session->cpuProfilingSession;
    Sampler* sampler = session->sampler;
    if (env == nullptr || g_profilingInterface == nullptr || threadList == nullptr || sampler == nullptr) {
        return;
    }
    RecordingInProgress inProgress(env);
    if (!inProgress.isClaimed()) {
        return;  // another run is in progress: leave it and its file alone
    }

    // Optional on the Java side: without it the run just skips the two calls.
    jmethodID reportingMethod = env->GetStaticMethodID(calleeClass, "setThreadReporting", "(Z)V");
    if (reportingMethod == nullptr) {
        env->ExceptionClear();  // NoSuchMethodError
    }

    // Registration. Managers of threads that ended since the last run (listed
    // through associateThread) are dropped first, so the run neither lists
    // them nor keeps them.
    {
        ThreadMonitorLock lock;
        threadList->removeDeadThreadManagers(env);
        g_recordStartTime = Counter::getUsec();
        sampler->recordStartTime = g_recordStartTime;
        ThreadManager::startRecording();
        session->lostSamples = LostSamples();
        if (session->lockTable != nullptr) {
            session->lockTable->clear();
        }
        g_sampleAgentThreads = recordAgentThreads != JNI_FALSE;
        setThreadStartEvents(JVMTI_ENABLE);
        prepareAsyncSampling(env, sampler);
        g_recording = true;
        registerLiveThreads(env, threadList);
        setThreadReporting(env, calleeClass, reportingMethod, true);
    }

    // Sampling; each tick takes the thread monitor itself. An interrupt of
    // this thread ends sampling early; the run still winds down and writes.
    bool interrupted = sampler->runThreadStatusSampler(env, durationMillis, sampleTransactions);

    // Wind-down.
    {
        ThreadMonitorLock lock;
        setThreadReporting(env, calleeClass, reportingMethod, false);
        sampler->finishVirtualThreads(env);
        stopAsyncSampling(sampler, &session->lostSamples);
        setThreadStartEvents(JVMTI_DISABLE);
        g_recording = false;
        threadList->endGoneThreads(env);
    }

    if (ThreadMonitor::sleep(WRITE_PAUSE_MILLIS)) {
        interrupted = true;
    }

    // Write and clean up.
    {
        ThreadMonitorLock lock;
        char* path = copySnapshotPath(env, snapshotPath);
        if (path != nullptr) {
            session->write(path, env);
            delete[] path;
        }
        // Also clears the thread-local storage of threads still alive, so no
        // thread keeps pointing at a freed manager.
        threadList->destroyThreadManagers(env);
        sampler->reset();
    }

    if (interrupted) {
        restoreInterruptStatus(env);
    }
}
