#ifndef TOLVANE_SAMPLER_H
#define TOLVANE_SAMPLER_H

#include <jni.h>
#include <jvmti.h>

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "VirtualThreadEvents.h"
#include "VirtualThreadTree.h"

template <class V, class K> class PointerHashMap;
class CallTreeSampler;
class ClassProfilingSession;
class CpuProfilingSession;
class LockProbe;
class LockTable;
class ThreadManager;

// Sampling settings of the process, set by the attach sequence from the agent
// options and the JVM's capabilities, and read by every tick.
//
// "batched-capture" agent option: every candidate thread is walked in one
// batched capture on every tick, as before threads were checked for CPU use.
extern bool g_batchedCapture;
// True once the JVM granted thread CPU times; without them the sampler
// cannot tell which threads ran and walks every candidate.
extern bool g_threadCpuTimeAvailable;
// "cpu-time" agent option: each tick books the CPU time a thread used since
// the previous one on its call-tree node, and snapshots carry it in their
// CPU-time section (only when the JVM grants thread CPU times).
extern bool g_recordCpuTime;
// False with the "no-async-sampling" agent option: running threads are then
// captured by the tick as when there was no asynchronous sampling.
extern bool g_asyncSampling;

// The clock of a recording: every period it captures the stacks and states of
// the registered threads and hands each stack to that thread's
// CallTreeSampler. Runs on the thread that called record; there is one
// instance, owned by the agent state.
//
// Only threads that ran since their last capture are walked (their CPU time
// moved): a parked thread keeps the stack it had and is booked again without
// stopping it. Threads that ran are captured one by one, each with a
// handshake that pauses that thread alone, unless more than
// singleCaptureLimit of them are running Java code: those have to reach a
// safepoint poll first, and one by one each would wait for its own turn on
// a CPU, so they are walked in one batched capture (a global safepoint).
// Without thread CPU times, or with the "batched-capture" agent option,
// every candidate is walked in one batch on every tick.
class Sampler {
public:
    // Samples the threads listed in threadList, resolving their frames in
    // registry, at most maxStackDepth frames deep; without a list a tick
    // samples nothing.
    explicit Sampler(int periodMillis, CpuProfilingSession* threadList = nullptr,
                     ClassProfilingSession* registry = nullptr, int maxStackDepth = 0);
    ~Sampler();
    Sampler(const Sampler&) = delete;
    Sampler& operator=(const Sampler&) = delete;

    // The recording loop. Called without the thread monitor held; returns
    // once durationMillis have passed, the VM is dying or the calling thread
    // was interrupted. True in the last case: the wait consumed the thread's
    // interrupt status, which the caller has to restore.
    bool runThreadStatusSampler(JNIEnv* env, jlong durationMillis, unsigned char sampleTransactions);
    // One tick; takes the thread monitor for its whole duration.
    void doThreadStatusSampling(JNIEnv* env, jlong timestamp, jlong time, unsigned char sampleTransactions);
    // Frees the per-thread samplers at the end of a recording. Takes the
    // thread monitor. Keeps tickCount.
    void reset();

    // The default singleCaptureLimit: the number of processors the process
    // may run on (see the README's overhead figures for why).
    static int defaultSingleCaptureLimit();

    CpuProfilingSession* threadList;
    ClassProfilingSession* registry;
    jint maxStackDepth;
    jint tickCount;
    jint periodMillis;
    jint statusInterval;
    // ThreadManager -> its CallTreeSampler (owned); null between recordings.
    PointerHashMap<CallTreeSampler, void*>* threadSamplers;
    // Most threads running Java code that one tick walks one by one.
    int singleCaptureLimit;
    // Threads walked on the last tick.
    int lastCaptureCount;
    // Where blocked and parked time is booked per lock ("locks" agent
    // option); null when locks are not recorded.
    LockTable* lockTable;

    // What one tick knows of one candidate thread (Sampler.cpp).
    struct CandidateSlot;

    // True while a recording samples running threads asynchronously
    // (AsyncSampling): threads that ran are booked from their samples, and
    // only those without one are captured.
    bool asyncActive = false;

    // Clock time at which the recording began: the virtual threads' tree
    // starts there.
    jlong recordStartTime = 0;
    // End of a recording, before the snapshot is written: books the waits of
    // virtual threads still going on and names the tree with the count of
    // virtual threads started. Takes the thread monitor.
    void finishVirtualThreads(JNIEnv* env);

private:
    // Every virtual thread of the recording, in one tree.
    VirtualThreadTree virtualThreads;
    // Lists that tree the first time a virtual thread is met and switches
    // the sampling of their waits on; false when it cannot be had.
    bool ensureVirtualThreads(JNIEnv* env);
    // The virtual thread a carrier runs now (a new local reference), or null.
    jobject mountedVirtualThread(JNIEnv* env, ThreadManager* carrier);
    // The transaction labels of a virtual thread, or null.
    jlongArray virtualTransactionIdsOf(JNIEnv* env, jobject vthread);
    // Books the waits of virtual threads that ended since the last tick
    // (with `all`, also those still going on).
    void bookVirtualThreadWaits(JNIEnv* env, jlong timestamp, bool all);
    // Books a tick of a carrier that JVMTI shows inside a mounted virtual
    // thread on that virtual thread's stack and state; false when it cannot.
    bool bookMountedCapture(JNIEnv* env, const CandidateSlot& slot, jlong timestamp, jlong time, bool sampleTransactions);
    std::vector<VirtualThreadEvents::Wait> waitScratch;
    std::vector<jvmtiFrameInfo> mountedScratch;
    // The labels of this tick are read (transactions recorded).
    bool sampleTransactionsNow = false;

    void sampleCandidates(JNIEnv* env, const std::vector<CallTreeSampler*>& samplers, jint maxDepth,
                          jlong timestamp, jlong time, bool sampleTransactions, bool recordStatus);

    // The candidates of the last tick as the thread list gave them, and
    // their samplers in the order of threadSamplers. While the list gives
    // the same candidates, the map would be built again the same, and its
    // order is taken from here instead.
    std::vector<ThreadManager*> lastCandidates;
    std::vector<CallTreeSampler*> candidateOrder;
    // What a tick needs to tell that a candidate has not run, one entry per
    // candidate in candidateOrder's order, packed together: over thousands
    // of parked threads a tick reads this array and one clock per thread,
    // and touches a thread's own records only to book it. Mirrors the
    // sampler's and the manager's fields; refreshed from them whenever a
    // tick went the long way for a thread, and the ids whenever any native
    // id changed hands (CpuProfilingSession::nativeIdChanges).
    struct ClockCheck {
        ThreadManager* manager;
        pid_t id;
        // The sampler's lastCpuTime, and the larger of it and bookedCpuTime.
        jlong lastCpuTime;
        jlong floor;
        // The CPU time up to lastCpuTime is booked: an unchanged tick books none.
        bool settled;
    };
    std::vector<ClockCheck> checks;
    unsigned checkedIdChanges = 0;
    // Candidates (indexes) whose clocks showed they did not run; reused.
    std::vector<uint32_t> unchangedScratch;
    void refreshCheck(size_t index);
    void refreshChecks();
    // Books this tick on every candidate in unchangedScratch.
    void bookUnchangedByClock(const std::vector<CallTreeSampler*>& samplers, jlong timestamp, jlong time,
                              bool recordStatus, LockProbe& locks);
    // Books the samples of a thread that ran; true when the tick need not
    // capture it (it is running Java code and its latest sample stands for
    // where it is).
    bool bookSamples(JNIEnv* env, CallTreeSampler* sampler, jlong cpuTime, jint state, jlongArray transactionIds,
                     jlong timestamp, jlong time, bool recordStatus);

    // Frames of single-thread captures; reused from tick to tick.
    std::vector<jvmtiFrameInfo> frameScratch;
    // The candidates of a tick; reused from tick to tick.
    std::vector<CandidateSlot> slotScratch;
    // One asynchronous sample converted for the stack conversion.
    std::vector<jvmtiFrameInfo> sampleScratch;
};

class SamplerHelper {
public:
    // Looks up the two Java-side hooks once per process; a missing one is fatal.
    static void initRefs(JNIEnv* env);
    // Looks up JvmtiCallee.virtualTransactionIds once per process, when a
    // recording first meets a virtual thread; agent classes without it leave
    // virtual threads unlabelled.
    static void initVirtualRefs(JNIEnv* env);
    // VM death: ends the current recording at its next tick and every later
    // one at once. Takes the thread monitor.
    static void stop(JNIEnv* env);

    // Set by VM death; the sampling loop reads it between ticks without the
    // thread monitor, hence atomic.
    static std::atomic<bool> stopped;
    static Sampler* liveSamplerSession;
    static jmethodID initSamplingState;
    static jmethodID getSamplingTransactionIds;
    // JvmtiCallee.virtualTransactionIds(Thread): the labels of a virtual
    // thread; null when the agent classes lack it.
    static jclass calleeClass;
    static jmethodID virtualTransactionIds;
};

#endif
