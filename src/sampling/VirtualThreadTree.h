#ifndef TOLVANE_VIRTUALTHREADTREE_H
#define TOLVANE_VIRTUALTHREADTREE_H

#include <jni.h>
#include <jvmti.h>

#include <vector>

class CallTreeSampler;
class ClassProfilingSession;
class CpuProfilingSession;
class ThreadManager;

// Name and group of the one thread record that holds every virtual thread
// of a recording.
extern const char* const VIRTUAL_THREADS_NAME;
extern const char* const VIRTUAL_THREADS_GROUP;

// The call tree of all virtual threads of a recording: one synthetic thread
// record, listed after the real threads the first time a virtual thread is
// met, so a recording without any writes the same snapshot as before.
// Carriers hand it the samples and captures they take while they run a
// virtual thread, and the tick hands it the virtual threads' sampled waits.
//
// Used by the tick with the thread monitor held.
class VirtualThreadTree {
public:
    VirtualThreadTree() = default;
    ~VirtualThreadTree();
    VirtualThreadTree(const VirtualThreadTree&) = delete;
    VirtualThreadTree& operator=(const VirtualThreadTree&) = delete;

    // The index of the frame (frames innermost first) through which the
    // carrier entered a virtual thread's continuation: the frames below that
    // index are the virtual thread's. -1 when the stack runs no virtual thread.
    static jint continuationEntry(JNIEnv* env, ClassProfilingSession* registry, const jvmtiFrameInfo* frames,
                                  jint count);
    // Whether a carrier's own top frame (as JVMTI shows a carrier) says that
    // it has a virtual thread mounted.
    static bool isMountedTop(JNIEnv* env, ClassProfilingSession* registry, const jvmtiFrameInfo* frames, jint count);
    // Whether a virtual thread's own frames (those above its entry) are
    // just the JDK's frame that runs its task: it unmounts to end.
    static bool isTaskEnd(JNIEnv* env, ClassProfilingSession* registry, const jvmtiFrameInfo* frames, jint count);

    // Lists the tree in threadList if it is not yet; false when it cannot be had.
    bool ensure(CpuProfilingSession* threadList, jlong startTime, int maxDepth);
    bool exists() const { return manager != nullptr; }

    // Books `frames` (the virtual thread's part: frames innermost first,
    // `count` of them): cpuMicros of CPU and, when `time` > 0, `time` of
    // the state `state` (a JVMTI thread state). Under the transaction labels
    // `transactionIds` when labelsKnown, else under the labels last known.
    void book(JNIEnv* env, ClassProfilingSession* registry, const jvmtiFrameInfo* frames, jint count,
              jlongArray transactionIds, bool labelsKnown, jint state, jlong time, jlong cpuMicros, jlong timestamp);

    // Books cpuMicros more where the last book() left the tree.
    void bookCpu(jlong cpuMicros);

    // Renames the record to say how many virtual threads started.
    void setStarted(unsigned long long started);
    // Drops the labels last known (the end of a recording).
    void releaseLabels(JNIEnv* env);
    // Forgets the record (its manager belongs to the thread list, which
    // destroys it with the others).
    void reset();

private:
    ThreadManager* manager = nullptr;
    CallTreeSampler* sampler = nullptr;
    std::vector<jvmtiFrameInfo> scratch;
    // The labels last known (a global reference to the Java side's array,
    // which it never changes), for samples whose labels are not known.
    jlongArray lastLabels = nullptr;
};

#endif
