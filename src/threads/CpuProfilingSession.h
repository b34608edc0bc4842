#ifndef TOLVANE_CPUPROFILINGSESSION_H
#define TOLVANE_CPUPROFILINGSESSION_H

#include <jni.h>
#include <jvmti.h>

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <vector>

#include "NativeThreads.h"

class ThreadManager;
class DataWriter;

// Whether the agent's own threads ("_tolvane..." names) are recorded; set by
// the agent options and by each recording run.
extern bool g_sampleAgentThreads;
// True while a recording run samples: only then do thread starts register
// their threads.
extern bool g_recording;
// True while thread ends are reported (the JVMTI ThreadEnd event is on): only
// then are native thread ids given to managers, since only then are they
// taken back before the kernel reuses them.
extern bool g_threadEndsReported;

// The list of all thread managers of the process, in order of registration.
// It owns the managers listed in it. One instance, created by the attach
// sequence; the list and every manager are guarded by the thread monitor.
//
// A thread reaches its manager through its JVMTI thread-local storage.
// Because a storage entry can outlive the manager it names, a stored
// manager only counts while it is still in this list.
class CpuProfilingSession {
public:
    // Registers the instance as LiveCpuProfilingHelper::liveCpuProfilingSession.
    CpuProfilingSession();
    // Destroys the managers still listed (without env their JNI references
    // cannot be released; use destroyThreadManagers first).
    ~CpuProfilingSession();
    CpuProfilingSession(const CpuProfilingSession&) = delete;
    CpuProfilingSession& operator=(const CpuProfilingSession&) = delete;

    // Appends under the thread monitor.
    void addThreadManager(ThreadManager* manager);
    // The listed manager stored in the thread's local storage (null thread:
    // the calling thread), or null. The result stays valid only while the
    // caller holds the thread monitor.
    ThreadManager* getThreadManager(jthread thread);
    // The same, and with env also a manager registered for the thread before
    // it started, which then gets the thread's storage entry.
    ThreadManager* getThreadManager(jthread thread, JNIEnv* env);
    // Notes a manager whose thread had not started when it was registered.
    void addAwaitingStart(ThreadManager* manager);
    bool containsThreadManager(ThreadManager* manager) const;
    std::vector<ThreadManager*>& getThreadManagers() { return threadManagers; }

    // The end of a recording run: under the thread monitor, for every listed
    // manager clears the storage entry of its thread when the thread is still
    // reachable, cleans it up and destroys it; then empties the list. Use this
    // instead of deleting managers by hand, so no thread keeps a storage
    // entry naming freed memory.
    void destroyThreadManagers(JNIEnv* env);

    // Cleans up and destroys every listed manager whose thread is gone: its
    // weak reference was cleared, or JVMTI reports the thread terminated or
    // not alive. Live threads keep their managers untouched. Called with the
    // thread monitor held, outside the sampling of a recording run (the run
    // keeps threads that end during it, marked dead, for its snapshot).
    void removeDeadThreadManagers(JNIEnv* env);
    // removeDeadThreadManagers once the list has doubled since the last
    // sweep, so that managers of threads that come and go between runs do
    // not pile up, at amortised constant cost per added manager. Called with
    // the thread monitor held while no recording run is in progress.
    void removeDeadThreadManagersIfGrown(JNIEnv* env);
    // The end of sampling: threads that ended after the last tick saw them
    // get their end time (now) and are marked dead, so the snapshot does not
    // list them as still running. Called with the thread monitor held.
    void endGoneThreads(JNIEnv* env);

    // Gives a manager its thread's native id and JNI environment; any other
    // manager that still holds the id loses it (its thread ended unseen: the
    // kernel reuses ids). Called with the thread monitor held.
    void setNativeId(ThreadManager* manager, pid_t id, JNIEnv* threadEnv);
    // The thread with this native id is ending: no manager keeps the id.
    // Called with the thread monitor held.
    void forgetNativeId(pid_t id);
    // Bumped whenever a native id is given or taken back, so that whoever
    // keeps copies of ids knows when to read them again. Under the monitor.
    static unsigned nativeIdChanges;

    // Finds the native ids of listed threads that have none, which threads
    // running before the recording could not tell at their start: every
    // thread of the process names its kernel id and its HotSpot thread
    // record in a signal handler on itself (NativeThreads::ask), and each
    // listed thread's record is read from its Thread object. Learns once,
    // on the calling Java thread, where the record is kept (a thread-specific
    // key) and where the JNI environment lies in it; where that cannot be
    // learnt nothing is found and the threads are checked through the JVM.
    // Returns how many ids were given. Called with the thread monitor held,
    // which keeps ids from being given or taken meanwhile.
    int findNativeIds(JNIEnv* env);

    // A listed thread and its HotSpot thread record, read from its Thread
    // object.
    struct ThreadRecord {
        ThreadManager* manager;
        const void* record;
    };
    // Gives each thread the id of the one answer that names its record,
    // with its environment (record + envOffset). A record named by two
    // answers gives none: a record freed and reused meanwhile could be
    // either. Managers that have an id keep it. Returns how many were given.
    int giveNativeIds(const std::vector<ThreadRecord>& threads, const std::vector<NativeThreads::Answer>& answers,
                      ptrdiff_t envOffset);

    // Thread section body: 1 + record per manager with a descriptor, then 0.
    // Times before recordStartTime are written as recordStartTime.
    void write(DataWriter* writer, jlong recordStartTime);
    // Body of the node-limit section, written when the trees of a recording
    // reached ThreadManager::nodeLimit: the limit, the nodes made, the time
    // folded onto existing nodes in all, then the number of threads with
    // folded time and for each its ID and folded time.
    void writeNodeLimit(DataWriter* writer);
    // Body of the CPU-time section: the number of thread entries, then one
    // entry per thread record of write(), in the same order
    // (ThreadManager::writeCpuTimes).
    void writeCpuTimes(DataWriter* writer);

    std::vector<ThreadManager*> threadManagers;

private:
    // Finds the manager registered for this not-yet-started thread, stores
    // it in the thread's local storage now that it can, and returns it.
    ThreadManager* claimAwaitingStart(jthread thread, JNIEnv* env);
    void countAwaitingStart();

    // List size at which removeDeadThreadManagersIfGrown sweeps next.
    size_t sweepThreshold;
    // Listed managers still awaiting their thread's start.
    size_t awaitingStartCount = 0;
};

// Thread registration: static operations over the one CpuProfilingSession.
class LiveCpuProfilingHelper {
public:
    static ThreadManager* createThreadManager(jweak thread, JNIEnv* env);
    // Registers one thread: manager, list entry, thread-local storage,
    // descriptor and ignore rules. Null when the thread cannot be registered.
    static ThreadManager* createLiveThreadManager(jthread thread, JNIEnv* env);
    // Attaches a new ThreadDesc and marks agent and JVM service threads ignored.
    static void prepareThread(JNIEnv* env, jthread thread, ThreadManager* manager,
                              const char* threadName, const char* groupName);
    // A manager kept from before a run: reads the thread's name and group
    // again and decides anew whether it is ignored, since a pool thread may
    // have been renamed since it was registered.
    static void refreshThread(JNIEnv* env, jthread thread, ThreadManager* manager);
    // Whether a thread of this name and group is left out of recordings.
    static bool isIgnoredThread(const char* threadName, const char* groupName);
    // JVMTI ThreadStart callback: registers a new thread while recording.
    // It also notes the thread's native id and environment, since it runs
    // on the thread.
    static void JNICALL dxThreadStart(jvmtiEnv* jvmti, JNIEnv* env, jthread thread);
    // JVMTI ThreadEnd callback, on the ending thread: disarms its sampling
    // timer, so no signal walks a thread that is going away, and forgets its
    // native id before the kernel can give it to another thread.
    static void JNICALL dxThreadEnd(jvmtiEnv* jvmti, JNIEnv* env, jthread thread);
    // Disarms the sampling timers of every listed thread (end of a recording).
    static void disarmAll();
    // Body of JvmtiCallee.associateThread: finds or registers the manager of
    // a thread (the calling one with currentThread) and gives it the Java
    // side's thread manager, unless it has one already. Between recording
    // runs (recordingInProgress false, read under the thread monitor) the
    // list is swept of ended threads once it has grown.
    static void associateThread(JNIEnv* env, jobject thread, bool currentThread, jobject threadManager,
                                const std::atomic<bool>& recordingInProgress);

    static CpuProfilingSession* liveCpuProfilingSession;
};

#endif
