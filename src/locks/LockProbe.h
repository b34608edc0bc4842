#ifndef TOLVANE_LOCKPROBE_H
#define TOLVANE_LOCKPROBE_H

#include <jni.h>
#include <jvmti.h>

#include <vector>

#include "LockTable.h"

class CpuProfilingSession;
class ThreadManager;

// Whether the JVM granted what reading a blocked thread's monitor takes:
// the monitor a thread waits to enter, and the monitor's owner.
extern bool g_contendedMonitorAvailable;
extern bool g_monitorInfoAvailable;

// Reads, for one sampling tick, what captured threads wait for and books
// the tick's time in a LockTable: for a thread blocked entering a monitor,
// the monitor's class and owner (JVMTI; where the JVM gives the contended
// monitor only to agents loaded at start-up, as HotSpot does, through the
// platform ThreadMXBean instead); for a thread parked with a blocker
// (LockSupport.park(blocker)), the blocker's class and, when it is an
// AbstractOwnableSynchronizer, its exclusive owner (JNI field reads).
//
// Lives on the stack of one tick, inside the tick's JNI local frame, with
// the thread monitor held. Without a table every call does nothing.
class LockProbe {
public:
    // Most monitor owners one tick reads: each read stops the JVM at a
    // safepoint. Threads whose monitor could not be read in full are read
    // again on the next ticks, until they are.
    static constexpr int MAX_OWNER_READS_PER_TICK = 4;

    LockProbe(JNIEnv* env, jvmtiEnv* jvmti, LockTable* table, CpuProfilingSession* threads);
    LockProbe(const LockProbe&) = delete;
    LockProbe& operator=(const LockProbe&) = delete;

    // A thread was captured in `state` and its tick booked on its tree:
    // reads what it waits for, remembers it, and books `micros` on it.
    void captured(jthread thread, ThreadManager* manager, jint state, jlong micros);
    // A thread that did not run since its last capture: its wait is the one
    // read then, or read now when the reads of that tick were used up.
    void unchanged(jthread thread, ThreadManager* manager, jlong micros);

    // Asks the JVM for the two monitor capabilities on their own, after the
    // others, so that a refusal changes none of those and prints nothing.
    static void requestCapabilities(jvmtiEnv* jvmti);

    // The dotted name of a JVM class signature: Ljava/lang/Object; gives
    // java.lang.Object, an array keeps its brackets ([Ljava.lang.Object).
    static std::string dottedName(const char* signature);

private:
    bool readMonitor(jthread thread, LockWait& wait);
    bool readParkBlocker(jthread thread, LockWait& wait);
    // The monitor's class and owner's name from ThreadMXBean.getThreadInfo.
    bool readMonitorThroughManagement(jthread thread, LockWait& wait);
    // Looks up the management methods, once per process.
    bool ensureManagement();
    // A Java string's characters interned in the table; NO_NAME for null.
    uint32_t internJavaString(jstring text);
    // The table index of an object's class name.
    uint32_t className(jobject object);
    // Sets the wait's holder from a thread reference (null: none).
    void setOwner(jthread owner, LockWait& wait);
    // Looks up the fields read from parked threads, once per process.
    bool ensureFields();

    JNIEnv* env;
    jvmtiEnv* jvmti;
    LockTable* table;
    CpuProfilingSession* threads;
    int ownerReads = 0;
    // Set by a monitor read that left something unread for want of reads.
    bool readsUsedUp = false;
    // Monitors whose owner this tick read, with what it found.
    struct KnownMonitor {
        jobject monitor;
        LockWait wait;
    };
    std::vector<KnownMonitor> knownMonitors;
};

#endif
