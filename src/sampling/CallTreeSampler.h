#ifndef TOLVANE_CALLTREESAMPLER_H
#define TOLVANE_CALLTREESAMPLER_H

#include <jni.h>
#include <jvmti.h>

template <class V, class K> class PointerHashMap;
class CallTree;
class ThreadManager;
class ClassProfilingSession;

// A method's line-number table as JVMTI returned it. Records and tables are
// kept for the life of the library.
struct LineNumberTableStruct {
    jint entryCount;
    jvmtiLineNumberEntry* table;
};

// Turns the successive stack samples of one thread into moves of its
// ThreadManager's cursor. It keeps the previous stack so that only the frames
// that changed since the last tick are left and entered.
//
// Used only by the sampling tick, with the thread monitor held.
class CallTreeSampler {
public:
    // Most transaction nodes a thread can carry above its frames.
    static const int MAX_TRANSACTIONS = 10;

    CallTreeSampler(ThreadManager* threadManager, int maxDepth);
    ~CallTreeSampler();
    CallTreeSampler(const CallTreeSampler&) = delete;
    CallTreeSampler& operator=(const CallTreeSampler&) = delete;

    // Converts one stack sample (frames innermost first) and books `time` at
    // the node where the thread then stands. `transactionIds` is the Java
    // side's long[] (count, then up to ten ids, outermost first) or null; it
    // is validated here and never trusted as pointers.
    void saveData(jvmtiStackInfo* stackInfo, jlong time, ClassProfilingSession* classSession, JNIEnv* env,
                  jlongArray transactionIds, jlong timestamp, bool recordStatus);

    // Moves the cursor to one stack sample without booking any time: the
    // CPU of an asynchronous sample is booked there next (sampleCpu).
    void enterSample(jvmtiStackInfo* stackInfo, ClassProfilingSession* classSession, JNIEnv* env,
                     jlongArray transactionIds);

    // Books `time` on the node where the thread stands, for a thread that has
    // not run since its last conversion: same stack, same transactions.
    void bookUnchanged(jlong time, jlong timestamp, bool recordStatus);

    jint lastTransactionCount;
    jlong lastTransactionIds[MAX_TRANSACTIONS];
    jvmtiFrameInfo* frames;
    jvmtiFrameInfo* lastFrames;
    jint lastFrameCount;
    jint frameCount;
    jint commonFrameCount;
    jint maxDepth;
    ThreadManager* threadManager;
    // Records lastFrames has room for; grown by need up to maxDepth.
    jint lastFramesCapacity = 0;
    // The thread's CPU time (ns) read before the capture that produced
    // lastFrames; -1 when unknown, which makes the next tick capture again.
    jlong lastCpuTime = -1;

    // True once the sampler has converted a stack of its thread.
    bool converted = false;

    // Books the CPU time the thread used since the last reading booked here
    // on the node where it now stands (call after saveData or bookUnchanged
    // of the same tick). A reading of -1 (the clock could not be read) books
    // nothing: the next good reading books the whole span. The first reading
    // books what the thread used since the recording began, when that is
    // known (ThreadManager::cpuBaseline), else nothing.
    void bookCpuTime(jlong cpuNanos);
    // The CPU time (ns) of the last reading booked; -1 before the first.
    jlong bookedCpuTime = -1;
    // The microseconds of CPU since the last reading taken (as bookCpuTime
    // counts them), without booking them; -1 for a reading of -1.
    jlong takeCpuDelta(jlong cpuNanos);
    // Books micros of CPU at the node where the thread now stands.
    void sampleCpu(jlong micros);

    // Asynchronous sampling: CPU read from the thread's clock and not booked
    // yet; it is booked on the thread's next samples, one period each.
    jlong cpuCarryMicros = 0;
    // lastFrames came from an asynchronous sample, not from a capture.
    bool stackFromSample = false;
    // The node of the thread's latest asynchronous sample, where it was last
    // seen running; null before the first and when that sample was in a
    // sleep, wait or park. Nodes live as long as their thread's tree.
    CallTree* lastSampleNode = nullptr;
    // Books the CPU still carried on lastSampleNode, for a thread found not
    // running or whose walks keep failing: it may never take the sample
    // that would carry it.
    void settleCarry();

private:
    // The stack conversion of saveData and enterSample; books `time` when bookTime.
    void convert(jvmtiStackInfo* stackInfo, bool bookTime, jlong time, ClassProfilingSession* classSession,
                 JNIEnv* env, jlongArray transactionIds, jlong timestamp, bool recordStatus);
    jint countCommonFrames() const;
    // Makes room for `count` records in lastFrames, keeping the valid ones;
    // false when the memory cannot be had.
    bool reserveLastFrames(jint count);
    // Reads and validates the transaction ids into `ids`; returns their number.
    static jint readTransactionIds(JNIEnv* env, jlongArray transactionIds, jlong* ids);
};

// Statics of the stack conversion: the per-method line-number cache.
class CallTreeHelper {
public:
    // The source line of a bytecode location; 0 when the method has no
    // line-number table. Each method's table is asked for once and cached.
    static jint translateLineNo(jmethodID method, jint location);

    // Shared record standing for every method without a line-number table.
    static LineNumberTableStruct* emptyStruct;
    // JVMTI method identifier -> its line-number table record.
    static PointerHashMap<LineNumberTableStruct, void*> methodId2LineNumberTableStruct;
};

#endif
