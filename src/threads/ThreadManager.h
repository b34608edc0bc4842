#ifndef TOLVANE_THREADMANAGER_H
#define TOLVANE_THREADMANAGER_H

#include <jni.h>
#include <sys/types.h>

#include <vector>

#include "SnapshotFormat.h"

class CallTree;
class ThreadSampleBuffer;
class ThreadDesc;
class MethodDesc;
class DataWriter;

// Thread status codes; also the status bytes of the snapshot's timeline.
constexpr unsigned char THREAD_STATUS_DEAD = SnapshotFormat::STATUS_DEAD;
constexpr unsigned char THREAD_STATUS_RUNNING = SnapshotFormat::STATUS_RUNNING;
constexpr unsigned char THREAD_STATUS_BLOCKED = SnapshotFormat::STATUS_BLOCKED;
constexpr unsigned char THREAD_STATUS_WAITING = SnapshotFormat::STATUS_WAITING;
// Never stored; reported by getDisplayThreadStatus while net I/O methods are open.
constexpr unsigned char THREAD_STATUS_NET_IO = SnapshotFormat::STATUS_NET_IO;

// The library's record of one Java thread during a recording run: its JNI
// references, its call tree with a cursor (currentNode) that follows the
// thread's stack from one sample to the next, the stacks that keep entries
// and exits symmetric, its status and its open net I/O methods.
//
// Every operation runs with the thread monitor held; setIgnored and
// setIsDead take it themselves (it is re-entrant).
class ThreadManager {
public:
    static constexpr unsigned char THREAD_STATUS_DEAD = ::THREAD_STATUS_DEAD;
    static constexpr unsigned char THREAD_STATUS_RUNNING = ::THREAD_STATUS_RUNNING;
    static constexpr unsigned char THREAD_STATUS_BLOCKED = ::THREAD_STATUS_BLOCKED;
    static constexpr unsigned char THREAD_STATUS_WAITING = ::THREAD_STATUS_WAITING;
    static constexpr unsigned char THREAD_STATUS_NET_IO = ::THREAD_STATUS_NET_IO;

    // Entry kinds: what one methodEntry did, so that its methodExit undoes it.
    static constexpr unsigned char ENTRY_SKIPPED = 0;   // entered no node
    static constexpr unsigned char ENTRY_FILTERED = 1;  // entered a node that deeper filtered frames collapse into
    static constexpr unsigned char ENTRY_NORMAL = 2;    // entered a node for an unfiltered method
    static constexpr unsigned char ENTRY_FOLDED = 3;    // needed a new node past the node limit: entered none
    // Added to the kind when the entry opened a net I/O method. Its exit
    // closes it whatever the method's flag says by then: a net I/O
    // declaration can reach a method while a thread is inside it.
    static constexpr unsigned char ENTRY_NETIO = 0x80;

    // The call trees of one recording hold at most nodeLimit nodes besides
    // their roots, so that a workload of endless distinct paths cannot eat
    // the target's memory. Past the limit a new path's time is booked on its
    // deepest node that exists, the thread's root when not even its first
    // frame has a node (foldedTime). All under the thread monitor;
    // startRecording resets the count.
    static constexpr jlong DEFAULT_NODE_LIMIT = 600000;
    static jlong nodeLimit;
    static jlong nodesCreated;
    static bool nodeLimitReached;
    static void startRecording();

    // thread: a weak global reference that the manager takes over.
    ThreadManager(jweak thread, JNIEnv* env);
    // Frees whatever cleanup has not freed; JNI references need cleanup(env).
    ~ThreadManager();
    ThreadManager(const ThreadManager&) = delete;
    ThreadManager& operator=(const ThreadManager&) = delete;

    jweak getThreadHandle() const { return threadHandle; }
    void setThreadDesc(ThreadDesc* desc) { threadDesc = desc; }
    void setThreadStatus(unsigned char code) { threadStatus = code; }
    unsigned char getDisplayThreadStatus() const;
    bool getIsDead() const { return threadStatus == THREAD_STATUS_DEAD; }

    // Takes the thread monitor; also moves the cursor back to the root.
    void setIgnored(bool isIgnored, JNIEnv* env);

    void methodEntry(JNIEnv* env, MethodDesc* method, int lineNumber);
    void methodExit(JNIEnv* env, MethodDesc* method);
    // Books time elapsed microseconds at the cursor by the display status;
    // with recordStatus, adds a timeline point when the status changed. At
    // the root it books nothing, unless the thread's frames found no node
    // past the node limit.
    // Running time is booked as pending on the cursor's node (see
    // flushPendingTime).
    void sampleTime(jlong time, jlong timestamp, bool recordStatus);
    // Folds the running time booked since the last flush into the inclusive
    // values of the tree. Booking it eagerly would walk up the whole stack
    // depth on every tick of a running thread; deferred, a tick costs only
    // the frames that changed, and one pass over the tree settles it all.
    // write() calls it; call it before reading values of the tree otherwise.
    void flushPendingTime();
    // Books CPU time (microseconds) at the cursor, whatever the status, and
    // marks the thread's CPU time as known. At the root it stays on the
    // root: the thread used the CPU with no frame the tree could show.
    void sampleCpuTime(jlong micros);
    void reset();

    // Marks the thread dead, then under the monitor drops its JNI references.
    void setIsDead(JNIEnv* env);
    // Drops the JNI references, the call tree and the descriptor.
    void cleanup(JNIEnv* env);

    // The thread's record; times before recordStartTime are written as
    // recordStartTime (ThreadDesc::write).
    void write(DataWriter* writer, jlong recordStartTime);
    // The thread's entry of the CPU-time section: its ID, its CPU time in
    // the recording (-1 when never read), its node count, then each node's
    // CPU time with its descendants' in the order write() puts out nodes.
    void writeCpuTimes(DataWriter* writer);

    jweak threadHandle;
    jobject javaThreadManager;
    CallTree* currentNode;
    unsigned char threadStatus;
    ThreadDesc* threadDesc;
    CallTree* rootNode;
    bool ignored;
    // Stands for no thread of its own (the tree of all virtual threads): it
    // has no thread to end, and the tick does not sample it.
    bool synthetic = false;
    // Registered before its thread started (through associateThread): the
    // thread had no local storage to point here yet. Cleared once the
    // started thread has been given its entry.
    bool awaitingStart = false;
    int netIODepth;
    // Time booked while the thread stood below its deepest existing node.
    jlong foldedTime = 0;
    // Some reading of the thread's CPU clock has been booked.
    bool cpuKnown = false;
    // The thread's CPU time (ns) when the recording began: read when it was
    // registered at the start, 0 for a thread that started during the
    // recording, -1 when unknown (its first reading in a tick stands in).
    jlong cpuBaseline = -1;
    // The kernel's id of the thread (NativeThreads), through which a tick
    // reads its CPU clock without asking the JVM and its sampling timer is
    // aimed, and the thread's JNI environment, which its stack walks need;
    // 0 and null when not known. Set only while the thread is alive and
    // cleared when it ends, so that an id the kernel hands to a later thread
    // is never taken for this one (CpuProfilingSession::setNativeId and
    // forgetNativeId).
    pid_t nativeId = 0;
    JNIEnv* nativeEnv = nullptr;
    std::vector<unsigned char> entryKinds;
    std::vector<unsigned short> lineStack;

    // Asynchronous sampling (AsyncSampling): the thread's armed sample buffer
    // (null while it has none), whether the kernel refused it a timer (it is
    // not asked again), and whether the thread has passed its end event,
    // after which it gets no timer.
    ThreadSampleBuffer* samples = nullptr;
    bool timerRefused = false;
    bool ended = false;

private:
    // Deletes the weak thread reference and the Java-side global reference
    // (JNI references need an environment; without one they stay).
    void releaseReferences(JNIEnv* env);

    // Some node holds running time not yet folded into the values.
    bool hasPendingTime = false;
    // Open ENTRY_FOLDED entries: the thread's stack reaches below the cursor.
    int foldedDepth = 0;
};

#endif
