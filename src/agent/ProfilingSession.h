#ifndef TOLVANE_PROFILINGSESSION_H
#define TOLVANE_PROFILINGSESSION_H

#include <jni.h>
#include <jvmti.h>

#include <atomic>

// The JVM handles and the thread monitor that the attach sequence sets up.
#include "JvmEnv.h"
#include "SnapshotWriter.h"
#include "ThreadMonitor.h"

class CpuProfilingSession;
class ClassProfilingSession;
class Sampler;
class LockTable;

// The one agent state of the process, reached through g_profilingSession.
// Created at library load, initialised by the attach sequence, never
// destroyed while the library is loaded.
class ProfilingSession {
public:
    ProfilingSession();
    ~ProfilingSession();
    ProfilingSession(const ProfilingSession&) = delete;
    ProfilingSession& operator=(const ProfilingSession&) = delete;

    // The attach sequence; runs once per process (a second attach or load is
    // refused). With atLoad (Agent_OnLoad, the library given on the java
    // command line) there is no JNI yet: the Java version is read and the
    // recorder started once the VM is initialised (Profiling::dxVMInit).
    void init(JavaVM* vm, char* options, bool atLoad = false);

    // Writes the snapshot file (see SnapshotWriter); called by the recording
    // run with the thread monitor held. True when the file was completed
    // without a write error.
    bool write(const char* path, JNIEnv* env);

    // True once the attach sequence has completed; every native except
    // debugOut0 returns at once while it is false.
    bool isAttached() const { return attached.load(std::memory_order_acquire); }

    CpuProfilingSession* cpuProfilingSession = nullptr;
    ClassProfilingSession* classProfilingSession = nullptr;
    Sampler* sampler = nullptr;
    // Blocked and parked time per lock; only with the "locks" option.
    LockTable* lockTable = nullptr;
    char* vmName = nullptr;
    char* javaVersion = nullptr;
    int maxStackDepth = 1000;
    // What the last recording's asynchronous sampling lost; set as it ends,
    // cleared as the next one begins.
    LostSamples lostSamples;

private:
    // Natives on other threads read attached without the thread monitor.
    std::atomic<bool> attached{false};
    std::atomic<bool> initStarted{false};
};

// Static facade over the JVM for the agent core.
class Profiling {
public:
    static bool initializeInterface(JavaVM* vm);
    // Sets the option flags from the agent option string (may be null) and
    // announces each option found.
    static void parseOptions(const char* options);
    static bool enableEvents(JNIEnv* env);
    // The event callbacks of the library, with those of asynchronous
    // sampling or without them.
    static void installCallbacks(jvmtiEnv* jvmti, bool asyncSampling);
    // Once per process, at the first recording that samples asynchronously:
    // the events and method ids the asynchronous walk needs. False when the
    // JVM refuses them.
    static bool enableAsyncEvents(JNIEnv* env);
    // Asks for thread CPU times, which the sampler uses to skip threads that
    // have not run; a JVM that refuses them only costs that saving.
    static void requestThreadCpuTime(jvmtiEnv* jvmti);
    // A new[]-allocated copy of a Java system property, or null.
    static char* getProperty(JNIEnv* env, const char* propertyName);
    static void JNICALL dxVMDeath(jvmtiEnv* jvmti, JNIEnv* env);
    // Enabled only for a library loaded with the JVM: reads the Java version
    // and hands the load options to the recorder in the agent jar.
    static void JNICALL dxVMInit(jvmtiEnv* jvmti, JNIEnv* env, jthread thread);
    // Puts the agent jar on the system class path for the recorder started
    // at VM init: the jar= option, else tolvane-agent.jar next to the library
    // or in its jars/ directory. False when no jar could be added.
    static bool addAgentJar(jvmtiEnv* jvmti, const char* options);

    // The VM of the attach (g_javaVm) and the two raw monitors
    // (ThreadMonitor), under the names the attach sequence has always used;
    // the state itself lives with the JVM layer that uses it.
    static JavaVM*& javaVm;
    static jrawMonitorID& _threadMonitor;
    static jrawMonitorID& _sleepMonitor;
    static jclass systemClass;
    static jmethodID getPropertyMethod;
    // The options of Agent_OnLoad, kept for VM init; null after an attach.
    static char* loadOptions;
    // True when the agent jar was put on the class path at load.
    static bool agentJarAdded;
};

extern ProfilingSession* g_profilingSession;
extern bool g_safeThreadStart;
// "locks" agent option: blocked and parked time is booked per monitor or
// park blocker and its holder, and snapshots carry it in their lock section.
extern bool g_recordLocks;
// "single-capture-limit=N" agent option: replaces the sampler's default
// number of threads captured one handshake each; -1 when not given.
extern int g_singleCaptureLimit;
// Library-clock time at which the current (or last) recording began.
extern jlong g_recordStartTime;
// True while JvmtiCallee.record runs, from its start until its snapshot is
// closed and its state freed; VM death waits on it (Profiling::dxVMDeath),
// and a record call that finds it set returns at once.
extern std::atomic<bool> g_recordingInProgress;
// The JNI environment of the thread running that recording, null between
// runs; VM death delivered on that very thread must not wait for it.
extern std::atomic<JNIEnv*> g_recordingThreadEnv;

// True when g_profilingSession completed the attach sequence.
bool isAgentAttached();

#endif
