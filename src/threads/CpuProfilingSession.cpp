#include "CpuProfilingSession.h"

#include <algorithm>
#include <strings.h>
#include <cstring>

#include "AsyncSampling.h"
#include "Counter.h"
#include "DataWriter.h"
#include "JniUtil.h"
#include "JvmtiBuffer.h"
#include "MessageUtil.h"
#include "JvmEnv.h"
#include "NativeThreads.h"
#include "SnapshotFormat.h"
#include "ThreadMonitor.h"
#include "ThreadDesc.h"
#include "ThreadManager.h"

bool g_sampleAgentThreads = false;
bool g_recording = false;
bool g_threadEndsReported = false;

CpuProfilingSession* LiveCpuProfilingHelper::liveCpuProfilingSession = nullptr;

namespace {

// Names that begin with this (in any case) belong to the agent's own threads.
const char AGENT_THREAD_PREFIX[] = "_tolvane";
const size_t AGENT_THREAD_PREFIX_LENGTH = sizeof(AGENT_THREAD_PREFIX) - 1;

// JVM and toolkit service threads that never run application code worth
// sampling. The JDK's virtual-thread unblocker waits in native code for
// virtual threads to unblock; it would show as always running.
const char* const IGNORED_THREAD_NAMES[] = {
    "AWT-Motif", "AWT-Windows", "AWT-Shutdown", "DestroyJavaVM", "Poller SunPKCS11-Darwin", "VirtualThread-unblocker",
};

bool equalsText(const char* text, const char* expected) {
    return text != nullptr && std::strcmp(text, expected) == 0;
}

bool isIgnoredServiceThread(const char* threadName, const char* groupName) {
    for (const char* name : IGNORED_THREAD_NAMES) {
        if (equalsText(threadName, name)) {
            return true;
        }
    }
    if (equalsText(groupName, "system")) {
        return true;
    }
    return threadName != nullptr && std::strstr(threadName, "Cleaner") != nullptr &&
           equalsText(groupName, "InnocuousThreadGroup");
}

// Between recordings the list is swept for managers of ended threads once it
// holds at least this many and has doubled since the last sweep.
const size_t MIN_SWEEP_THRESHOLD = 32;

// True when the thread behind a manager has ended for good. Only a definite
// answer counts: a thread that has not started yet, or a JVMTI error that
// says nothing about the thread, keeps its manager.
bool isThreadGone(JNIEnv* env, jvmtiEnv* jvmti, ThreadManager* manager) {
    if (manager->threadHandle == nullptr) {
        return true;  // already marked dead, its reference dropped
    }
    LocalRef<jobject> thread(env, env->NewLocalRef(manager->threadHandle));
    if (thread.get() == nullptr) {
        return true;  // the Thread object was collected
    }
    jint state = 0;
    jvmtiError error = jvmti->GetThreadState(thread.get(), &state);
    if (error == JVMTI_ERROR_THREAD_NOT_ALIVE || error == JVMTI_ERROR_INVALID_THREAD) {
        return true;
    }
    return error == JVMTI_ERROR_NONE && (state & JVMTI_THREAD_STATE_TERMINATED) != 0;
}

}  // namespace

CpuProfilingSession::CpuProfilingSession() : sweepThreshold(MIN_SWEEP_THRESHOLD) {
    LiveCpuProfilingHelper::liveCpuProfilingSession = this;
}

CpuProfilingSession::~CpuProfilingSession() {
    for (ThreadManager* manager : threadManagers) {
        delete manager;
    }
    threadManagers.clear();
    if (LiveCpuProfilingHelper::liveCpuProfilingSession == this) {
        LiveCpuProfilingHelper::liveCpuProfilingSession = nullptr;
    }
}

void CpuProfilingSession::addThreadManager(ThreadManager* manager) {
    ThreadMonitorLock lock;
    threadManagers.push_back(manager);
}

bool CpuProfilingSession::containsThreadManager(ThreadManager* manager) const {
    // A linear scan of the list itself rather than a side index: lookups come
    // only from thread starts and associateThread, the list has one entry per
    // registered thread, and a scan can never disagree with the list that the
    // recording run and the sampler change directly.
    return std::find(threadManagers.begin(), threadManagers.end(), manager) != threadManagers.end();
}

ThreadManager* CpuProfilingSession::getThreadManager(jthread thread) {
    return getThreadManager(thread, nullptr);
}

ThreadManager* CpuProfilingSession::getThreadManager(jthread thread, JNIEnv* env) {
    jvmtiEnv* jvmti = g_profilingInterface;
    if (jvmti == nullptr) {
        return nullptr;
    }
    ThreadMonitorLock lock;
    void* stored = nullptr;
    if (jvmti->GetThreadLocalStorage(thread, &stored) == JVMTI_ERROR_NONE && stored != nullptr) {
        // The entry may name a manager of an earlier run that is gone by now.
        ThreadManager* manager = static_cast<ThreadManager*>(stored);
        if (containsThreadManager(manager)) {
            return manager;
        }
    }
    return claimAwaitingStart(thread, env);
}

void CpuProfilingSession::addAwaitingStart(ThreadManager* manager) {
    ThreadMonitorLock lock;
    if (!manager->awaitingStart) {
        manager->awaitingStart = true;
        awaitingStartCount++;
    }
}

ThreadManager* CpuProfilingSession::claimAwaitingStart(jthread thread, JNIEnv* env) {
    assertThreadMonitorHeld("CpuProfilingSession::claimAwaitingStart");
    jvmtiEnv* jvmti = g_profilingInterface;
    if (awaitingStartCount == 0 || env == nullptr || thread == nullptr) {
        return nullptr;  // the common case costs nothing
    }
    for (ThreadManager* manager : threadManagers) {
        if (manager == nullptr || !manager->awaitingStart || manager->threadHandle == nullptr ||
            !env->IsSameObject(manager->threadHandle, thread)) {
            continue;
        }
        // Still not started: the entry cannot be stored yet, but the thread
        // has its manager all the same.
        if (jvmti->SetThreadLocalStorage(thread, manager) == JVMTI_ERROR_NONE) {
            manager->awaitingStart = false;
            awaitingStartCount--;
            if (manager->threadDesc != nullptr) {
                // Its life begins now, not when it was associated.
                manager->threadDesc->threadStartTime = Counter::getUsec();
            }
        }
        return manager;
    }
    return nullptr;
}

void CpuProfilingSession::countAwaitingStart() {
    awaitingStartCount = 0;
    for (ThreadManager* manager : threadManagers) {
        if (manager != nullptr && manager->awaitingStart) {
            awaitingStartCount++;
        }
    }
}

void CpuProfilingSession::destroyThreadManagers(JNIEnv* env) {
    ThreadMonitorLock lock;
    jvmtiEnv* jvmti = g_profilingInterface;
    for (ThreadManager* manager : threadManagers) {
        if (manager == nullptr) {
            continue;
        }
        if (jvmti != nullptr && env != nullptr && manager->threadHandle != nullptr) {
            // A strong local reference keeps the thread object from vanishing
            // between the check and the call; null means it was collected.
            LocalRef<jobject> thread(env, env->NewLocalRef(manager->threadHandle));
            if (thread.get() != nullptr) {
                void* stored = nullptr;
                // A thread that has ended reports an error here; nothing to clear then.
                if (jvmti->GetThreadLocalStorage(thread.get(), &stored) == JVMTI_ERROR_NONE &&
                    stored == manager) {
                    jvmti->SetThreadLocalStorage(thread.get(), nullptr);
                }
            }
        }
        manager->cleanup(env);
        delete manager;
    }
    threadManagers.clear();
    sweepThreshold = MIN_SWEEP_THRESHOLD;
    awaitingStartCount = 0;
}

void CpuProfilingSession::removeDeadThreadManagers(JNIEnv* env) {
    assertThreadMonitorHeld("CpuProfilingSession::removeDeadThreadManagers");
    jvmtiEnv* jvmti = g_profilingInterface;
    if (jvmti == nullptr || env == nullptr) {
        return;
    }
    ThreadMonitorLock lock;
    size_t kept = 0;
    for (ThreadManager* manager : threadManagers) {
        if (manager != nullptr && isThreadGone(env, jvmti, manager)) {
            manager->cleanup(env);
            delete manager;
            continue;
        }
        threadManagers[kept++] = manager;
    }
    threadManagers.resize(kept);
    sweepThreshold = std::max(MIN_SWEEP_THRESHOLD, 2 * kept);
    countAwaitingStart();
}

void CpuProfilingSession::endGoneThreads(JNIEnv* env) {
    assertThreadMonitorHeld("CpuProfilingSession::endGoneThreads");
    jvmtiEnv* jvmti = g_profilingInterface;
    if (jvmti == nullptr || env == nullptr) {
        return;
    }
    ThreadMonitorLock lock;
    for (ThreadManager* manager : threadManagers) {
        if (manager == nullptr || manager->getIsDead() || manager->threadDesc == nullptr || manager->synthetic) {
            continue;
        }
        if (isThreadGone(env, jvmti, manager)) {
            manager->threadDesc->setThreadEndTime(Counter::getUsec());
            manager->setIsDead(env);
        }
    }
}

void CpuProfilingSession::removeDeadThreadManagersIfGrown(JNIEnv* env) {
    assertThreadMonitorHeld("CpuProfilingSession::removeDeadThreadManagersIfGrown");
    ThreadMonitorLock lock;
    if (threadManagers.size() >= sweepThreshold) {
        removeDeadThreadManagers(env);
    }
}

void CpuProfilingSession::setNativeId(ThreadManager* manager, pid_t id) {
    assertThreadMonitorHeld("CpuProfilingSession::setNativeId");
    if (id != 0) {
        forgetNativeId(id);
    }
    manager->nativeId = g_threadEndsReported ? id : 0;
}

void CpuProfilingSession::forgetNativeId(pid_t id) {
    assertThreadMonitorHeld("CpuProfilingSession::forgetNativeId");
    // A scan, as for every other lookup of the list: thread starts and ends
    // are rare next to ticks, which never look ids up.
    for (ThreadManager* manager : threadManagers) {
        if (manager != nullptr && manager->nativeId == id) {
            manager->nativeId = 0;
        }
    }
}

int CpuProfilingSession::findNativeIds(const std::vector<NativeIdQuery>& queries) {
    assertThreadMonitorHeld("CpuProfilingSession::findNativeIds");
    jvmtiEnv* jvmti = g_profilingInterface;
    if (jvmti == nullptr || queries.empty() || !g_threadEndsReported) {
        return 0;
    }
    std::vector<pid_t> held;
    for (ThreadManager* manager : threadManagers) {
        if (manager != nullptr && manager->nativeId != 0) {
            held.push_back(manager->nativeId);
        }
    }
    std::sort(held.begin(), held.end());
    CpuClockIndex clocks;
    if (!clocks.read(held)) {
        return 0;
    }
    std::vector<pid_t> given;
    int found = 0;
    for (const NativeIdQuery& query : queries) {
        if (query.thread == nullptr || query.manager == nullptr || query.manager->nativeId != 0 ||
            query.cpuTimeBefore < 0) {
            continue;
        }
        jlong after = -1;
        if (jvmti->GetThreadCpuTime(query.thread, &after) != JVMTI_ERROR_NONE) {
            continue;
        }
        pid_t id = clocks.match(query.cpuTimeBefore, after);
        // Two queried threads with one CPU time both see the same two clocks
        // and find none; this only keeps an id from being given twice.
        if (id == 0 || std::find(given.begin(), given.end(), id) != given.end()) {
            continue;
        }
        given.push_back(id);
        setNativeId(query.manager, id);
        found++;
    }
    return found;
}

void CpuProfilingSession::write(DataWriter* writer, jlong recordStartTime) {
    ThreadMonitorLock lock;
    for (ThreadManager* manager : threadManagers) {
        if (manager != nullptr && manager->threadDesc != nullptr) {
            writer->writeByte(SnapshotFormat::TAG_RECORD);
            manager->write(writer, recordStartTime);
        }
    }
    writer->writeByte(SnapshotFormat::TAG_END);
}

void CpuProfilingSession::writeNodeLimit(DataWriter* writer) {
    ThreadMonitorLock lock;
    jlong total = 0;
    jint threads = 0;
    for (ThreadManager* manager : threadManagers) {
        if (manager != nullptr && manager->threadDesc != nullptr && manager->foldedTime > 0) {
            total += manager->foldedTime;
            threads++;
        }
    }
    writer->writeJLong(ThreadManager::nodeLimit);
    writer->writeJLong(ThreadManager::nodesCreated);
    writer->writeJLong(total);
    writer->writeU4(threads);
    for (ThreadManager* manager : threadManagers) {
        if (manager != nullptr && manager->threadDesc != nullptr && manager->foldedTime > 0) {
            writer->writeID(manager);
            writer->writeJLong(manager->foldedTime);
        }
    }
}

void CpuProfilingSession::writeCpuTimes(DataWriter* writer) {
    ThreadMonitorLock lock;
    jint threads = 0;
    for (ThreadManager* manager : threadManagers) {
        if (manager != nullptr && manager->threadDesc != nullptr) {
            threads++;
        }
    }
    writer->writeU4(threads);
    for (ThreadManager* manager : threadManagers) {
        if (manager != nullptr && manager->threadDesc != nullptr) {
            manager->writeCpuTimes(writer);
        }
    }
}

ThreadManager* LiveCpuProfilingHelper::createThreadManager(jweak thread, JNIEnv* env) {
    return new ThreadManager(thread, env);
}

ThreadManager* LiveCpuProfilingHelper::createLiveThreadManager(jthread thread, JNIEnv* env) {
    jvmtiEnv* jvmti = g_profilingInterface;
    CpuProfilingSession* session = liveCpuProfilingSession;
    // The manager keeps a weak reference to the thread, which needs a JNI
    // environment and a real thread object.
    if (jvmti == nullptr || session == nullptr || env == nullptr || thread == nullptr) {
        return nullptr;
    }
    jvmtiThreadInfo threadInfo;
    std::memset(&threadInfo, 0, sizeof threadInfo);
    if (jvmti->GetThreadInfo(thread, &threadInfo) != JVMTI_ERROR_NONE) {
        return nullptr;
    }
    JvmtiBuffer<char> threadName(jvmti);
    *threadName.out() = threadInfo.name;
    LocalRef<jthreadGroup> threadGroup(env, threadInfo.thread_group);
    LocalRef<jobject> contextClassLoader(env, threadInfo.context_class_loader);

    jweak weakThread = env->NewWeakGlobalRef(thread);
    if (weakThread == nullptr) {
        clearPendingException(env);
        return nullptr;
    }
    ThreadManager* manager = createThreadManager(weakThread, env);
    session->addThreadManager(manager);
    if (jvmti->SetThreadLocalStorage(thread, manager) != JVMTI_ERROR_NONE) {
        // A thread that has not started yet gets its entry when it starts
        // (getThreadManager finds it then); one that has just ended needs
        // none. Only a live thread without an entry is worth a word.
        jint state = 0;
        bool known = jvmti->GetThreadState(thread, &state) == JVMTI_ERROR_NONE;
        if (known && (state & (JVMTI_THREAD_STATE_ALIVE | JVMTI_THREAD_STATE_TERMINATED)) == 0) {
            session->addAwaitingStart(manager);
        } else if (known && (state & JVMTI_THREAD_STATE_ALIVE) != 0 &&
                   jvmti->SetThreadLocalStorage(thread, manager) == JVMTI_ERROR_NONE) {
            // It started between the two calls. Stored now, the entry is what
            // its start event finds; without it the event would register the
            // thread a second time.
        } else if (!known || (state & JVMTI_THREAD_STATE_TERMINATED) == 0) {
            MessageUtil::message("Could not set thread local storage.");
        }
    }

    jvmtiThreadGroupInfo groupInfo;
    std::memset(&groupInfo, 0, sizeof groupInfo);
    if (threadGroup.get() != nullptr &&
        jvmti->GetThreadGroupInfo(threadGroup.get(), &groupInfo) == JVMTI_ERROR_NONE) {
        JvmtiBuffer<char> groupName(jvmti);
        *groupName.out() = groupInfo.name;
        LocalRef<jthreadGroup> parentGroup(env, groupInfo.parent);
        prepareThread(env, thread, manager, threadName.get(), groupName.get());
    } else {
        prepareThread(env, thread, manager, threadName.get(), "");
    }
    return manager;
}

void LiveCpuProfilingHelper::prepareThread(JNIEnv* env, jthread thread, ThreadManager* manager,
                                           const char* threadName, const char* groupName) {
    ThreadDesc* desc = new ThreadDesc(manager, threadName, groupName, Counter::getUsec());
    ThreadMonitorLock lock;
    manager->setThreadDesc(desc);
    if (isIgnoredThread(threadName, groupName)) {
        manager->setIgnored(true, env);
    }
}

bool LiveCpuProfilingHelper::isIgnoredThread(const char* threadName, const char* groupName) {
    // The agent's own threads follow the agent-threads choice alone, in
    // whatever group they run.
    if (threadName != nullptr && strncasecmp(threadName, AGENT_THREAD_PREFIX, AGENT_THREAD_PREFIX_LENGTH) == 0) {
        return !g_sampleAgentThreads;
    }
    return isIgnoredServiceThread(threadName, groupName);
}

void LiveCpuProfilingHelper::refreshThread(JNIEnv* env, jthread thread, ThreadManager* manager) {
    jvmtiEnv* jvmti = g_profilingInterface;
    if (jvmti == nullptr || env == nullptr || thread == nullptr || manager == nullptr ||
        manager->threadDesc == nullptr) {
        return;
    }
    jvmtiThreadInfo threadInfo;
    std::memset(&threadInfo, 0, sizeof threadInfo);
    if (jvmti->GetThreadInfo(thread, &threadInfo) != JVMTI_ERROR_NONE) {
        return;
    }
    JvmtiBuffer<char> threadName(jvmti);
    *threadName.out() = threadInfo.name;
    LocalRef<jthreadGroup> threadGroup(env, threadInfo.thread_group);
    LocalRef<jobject> contextClassLoader(env, threadInfo.context_class_loader);
    JvmtiBuffer<char> groupName(jvmti);
    jvmtiThreadGroupInfo groupInfo;
    std::memset(&groupInfo, 0, sizeof groupInfo);
    if (threadGroup.get() != nullptr &&
        jvmti->GetThreadGroupInfo(threadGroup.get(), &groupInfo) == JVMTI_ERROR_NONE) {
        *groupName.out() = groupInfo.name;
        LocalRef<jthreadGroup> parentGroup(env, groupInfo.parent);
    }
    const char* group = groupName.get() != nullptr ? groupName.get() : "";
    ThreadMonitorLock lock;
    manager->threadDesc->setThreadName(threadName.get());
    manager->threadDesc->setGroupName(group);
    bool ignore = isIgnoredThread(threadName.get(), group);
    if (ignore != manager->ignored) {
        manager->setIgnored(ignore, env);
    }
}

void JNICALL LiveCpuProfilingHelper::dxThreadStart(jvmtiEnv* jvmti, JNIEnv* env, jthread thread) {
    ThreadMonitorLock lock;
    CpuProfilingSession* session = liveCpuProfilingSession;
    if (!g_recording || session == nullptr) {
        return;
    }
    ThreadManager* manager = session->getThreadManager(thread, env);
    if (manager == nullptr) {
        manager = createLiveThreadManager(thread, env);
    }
    if (manager != nullptr) {
        manager->cpuBaseline = 0;  // a new thread: all its CPU time is the recording's
        session->setNativeId(manager, NativeThreads::currentId());
        // On the thread itself: its kernel id and environment for its timer.
        manager->nativeTid = AsyncSampling::currentTid();
        manager->nativeEnv = env;
    }
}

void JNICALL LiveCpuProfilingHelper::dxThreadEnd(jvmtiEnv* jvmti, JNIEnv* env, jthread thread) {
    ThreadMonitorLock lock;
    CpuProfilingSession* session = liveCpuProfilingSession;
    if (session == nullptr) {
        return;
    }
    session->forgetNativeId(NativeThreads::currentId());
    ThreadManager* manager = session->getThreadManager(thread);
    if (manager == nullptr) {
        return;
    }
    manager->ended = true;
    AsyncSampling::disarm(manager->samples);
    manager->samples = nullptr;
}

void LiveCpuProfilingHelper::disarmAll() {
    assertThreadMonitorHeld("LiveCpuProfilingHelper::disarmAll");
    CpuProfilingSession* session = liveCpuProfilingSession;
    if (session == nullptr) {
        return;
    }
    for (ThreadManager* manager : session->threadManagers) {
        if (manager != nullptr && manager->samples != nullptr) {
            AsyncSampling::disarm(manager->samples);
            manager->samples = nullptr;
        }
    }
}

void LiveCpuProfilingHelper::associateThread(JNIEnv* env, jobject thread, bool currentThread, jobject threadManager,
                                             const std::atomic<bool>& recordingInProgress) {
    // One critical section from lookup to store, so that a thread-start event
    // or a recording run registering at the same moment cannot give this
    // thread a second manager.
    ThreadMonitorLock lock;
    CpuProfilingSession* session = liveCpuProfilingSession;
    if (session == nullptr) {
        return;
    }
    // A null thread argument would make the lookup fall back to the calling
    // thread; only currentThread asks for that.
    // Threads that label work and end between recordings would otherwise
    // leave their managers listed until the next run.
    if (!recordingInProgress.load(std::memory_order_acquire)) {
        session->removeDeadThreadManagersIfGrown(env);
    }
    ThreadManager* manager = nullptr;
    if (currentThread) {
        manager = session->getThreadManager(nullptr);
    } else if (thread != nullptr) {
        manager = session->getThreadManager(static_cast<jthread>(thread), env);
    }
    if (manager == nullptr) {
        manager = createLiveThreadManager(static_cast<jthread>(thread), env);
        if (manager == nullptr) {
            return;
        }
    }
    if (manager->javaThreadManager != nullptr) {
        return;  // the first association of a thread stays
    }
    if (threadManager == nullptr) {
        return;
    }
    jobject ref = env->NewGlobalRef(threadManager);
    if (ref == nullptr) {
        clearPendingException(env);
        return;
    }
    manager->javaThreadManager = ref;
}
