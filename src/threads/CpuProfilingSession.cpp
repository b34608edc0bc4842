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
unsigned CpuProfilingSession::nativeIdChanges = 0;

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

void CpuProfilingSession::setNativeId(ThreadManager* manager, pid_t id, JNIEnv* threadEnv) {
    assertThreadMonitorHeld("CpuProfilingSession::setNativeId");
    if (id != 0) {
        forgetNativeId(id);
    }
    bool kept = g_threadEndsReported && id > 0;
    manager->nativeId = kept ? id : 0;
    manager->nativeEnv = kept ? threadEnv : nullptr;
    nativeIdChanges++;
}

void CpuProfilingSession::forgetNativeId(pid_t id) {
    assertThreadMonitorHeld("CpuProfilingSession::forgetNativeId");
    // A scan, as for every other lookup of the list: thread starts and ends
    // are rare next to ticks, which never look ids up.
    for (ThreadManager* manager : threadManagers) {
        if (manager != nullptr && manager->nativeId == id) {
            manager->nativeId = 0;
            manager->nativeEnv = nullptr;
            nativeIdChanges++;
        }
    }
}

namespace {

// Where HotSpot keeps the thread record of each thread (a thread-specific
// key), where a thread's JNI environment lies in that record, and the field
// of java.lang.Thread that holds the record's address while the thread runs.
struct RecordLayout {
    bool tried = false;
    bool known = false;
    pthread_key_t key = 0;
    ptrdiff_t envOffset = 0;
    jfieldID recordField = nullptr;
};
RecordLayout g_layout;

// The JNI environment lies this close after the start of the record;
// anything farther is not what is looked for.
const ptrdiff_t MAX_ENV_OFFSET = 1 << 16;

// Learns the layout on the calling Java thread, whose own environment and
// record it compares. Tried once per process.
bool learnRecordLayout(JNIEnv* env) {
    if (g_layout.tried) {
        return g_layout.known;
    }
    g_layout.tried = true;
    LocalRef<jclass> threadClass(env, env->FindClass("java/lang/Thread"));
    if (clearPendingException(env) || threadClass.get() == nullptr) {
        return false;
    }
    jfieldID field = env->GetFieldID(threadClass.get(), "eetop", "J");
    if (clearPendingException(env) || field == nullptr) {
        MessageUtil::debugOut(0, 4, "native ids: java.lang.Thread has no eetop field\n");
        return false;
    }
    jmethodID currentThread = env->GetStaticMethodID(threadClass.get(), "currentThread", "()Ljava/lang/Thread;");
    if (clearPendingException(env) || currentThread == nullptr) {
        return false;
    }
    LocalRef<jobject> self(env, env->CallStaticObjectMethod(threadClass.get(), currentThread));
    if (clearPendingException(env) || self.get() == nullptr) {
        return false;
    }
    jlong record = env->GetLongField(self.get(), field);
    ptrdiff_t offset = reinterpret_cast<char*>(env) - reinterpret_cast<char*>(static_cast<intptr_t>(record));
    if (record == 0 || offset <= 0 || offset >= MAX_ENV_OFFSET) {
        MessageUtil::debugOut(0, 4, "native ids: JNI environment not within the thread record\n");
        return false;
    }
    pthread_key_t key = 0;
    if (!NativeThreads::findKeyHolding(reinterpret_cast<const void*>(static_cast<intptr_t>(record)), &key)) {
        MessageUtil::debugOut(0, 4, "native ids: no thread-specific key holds the thread record\n");
        return false;
    }
    g_layout.key = key;
    g_layout.envOffset = offset;
    g_layout.recordField = field;
    g_layout.known = true;
    return true;
}

}  // namespace

int CpuProfilingSession::findNativeIds(JNIEnv* env) {
    assertThreadMonitorHeld("CpuProfilingSession::findNativeIds");
    if (env == nullptr || !g_threadEndsReported || !learnRecordLayout(env)) {
        return 0;
    }
    std::vector<ThreadRecord> threads;
    for (ThreadManager* manager : threadManagers) {
        if (manager == nullptr || manager->nativeId != 0 || manager->ignored || manager->getIsDead() ||
            manager->threadHandle == nullptr) {
            continue;
        }
        LocalRef<jobject> thread(env, env->NewLocalRef(manager->threadHandle));
        if (thread.get() == nullptr) {
            continue;
        }
        // Zero once the thread has ended (or before it started). Only
        // compared below, never followed.
        jlong record = env->GetLongField(thread.get(), g_layout.recordField);
        if (record != 0) {
            threads.push_back({manager, reinterpret_cast<const void*>(static_cast<intptr_t>(record))});
        }
    }
    std::vector<NativeThreads::Answer> answers;
    if (threads.empty() || !NativeThreads::ask(g_layout.key, answers)) {
        return 0;
    }
    int found = giveNativeIds(threads, answers, g_layout.envOffset);
    MessageUtil::debugOut(0, 4, "native ids: %d of %d threads found\n", found, static_cast<int>(threads.size()));
    return found;
}

int CpuProfilingSession::giveNativeIds(const std::vector<ThreadRecord>& threads,
                                       const std::vector<NativeThreads::Answer>& answers, ptrdiff_t envOffset) {
    assertThreadMonitorHeld("CpuProfilingSession::giveNativeIds");
    std::vector<NativeThreads::Answer> sorted(answers);
    std::sort(sorted.begin(), sorted.end(),
              [](const NativeThreads::Answer& a, const NativeThreads::Answer& b) { return a.value < b.value; });
    auto byValue = [](const NativeThreads::Answer& a, const void* value) { return a.value < value; };
    int found = 0;
    for (const ThreadRecord& thread : threads) {
        if (thread.manager == nullptr || thread.record == nullptr || thread.manager->nativeId != 0) {
            continue;
        }
        auto first = std::lower_bound(sorted.begin(), sorted.end(), thread.record, byValue);
        if (first == sorted.end() || first->value != thread.record) {
            continue;  // it did not answer: checked through the JVM
        }
        auto next = first + 1;
        if (next != sorted.end() && next->value == thread.record) {
            continue;
        }
        JNIEnv* threadEnv = reinterpret_cast<JNIEnv*>(
            const_cast<char*>(static_cast<const char*>(thread.record)) + envOffset);
        setNativeId(thread.manager, first->id, threadEnv);
        if (thread.manager->nativeId != 0) {
            found++;
        }
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
        session->setNativeId(manager, NativeThreads::currentId(), env);
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
