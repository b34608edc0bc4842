#ifndef TOLVANE_PROFILINGSESSION_H
#define TOLVANE_PROFILINGSESSION_H

#include <jni.h>
#include <jvmti.h>

class CpuProfilingSession;
class ClassProfilingSession;
class Sampler;
class DataWriter;

// The one agent state of the process, reached through g_profilingSession.
// Created at library load, initialised by the attach sequence, never
// destroyed while the library is loaded.
class ProfilingSession {
public:
    ProfilingSession();
    ~ProfilingSession();
    ProfilingSession(const ProfilingSession&) = delete;
    ProfilingSession& operator=(const ProfilingSession&) = delete;

    // The attach sequence; runs once per process (a second attach is refused).
    void init(JavaVM* vm, char* options);

    // Writes the snapshot file; called by the recording run with the thread
    // monitor held. True when the file was completed without a write error.
    bool write(const char* path, JNIEnv* env);
    void writeHeader(DataWriter* writer);

    // Thread monitor ("_tolvane_native"): the one lock for all shared agent
    // data. Re-entrant. Does nothing while the monitor does not exist.
    static void enterMonitor();
    static void exitMonitor();
    // Timed wait on the sleep monitor; never call with the thread monitor held.
    static void sleep(int millis);

    // True once the attach sequence has completed; every native except
    // debugOut0 returns at once while it is false.
    bool isAttached() const { return attached; }

    CpuProfilingSession* cpuProfilingSession = nullptr;
    ClassProfilingSession* classProfilingSession = nullptr;
    Sampler* sampler = nullptr;
    char* vmName = nullptr;
    char* javaVersion = nullptr;
    int maxStackDepth = 1000;

private:
    bool attached = false;
    bool initStarted = false;
};

// Holds the thread monitor for the lifetime of the object.
class ThreadMonitorLock {
public:
    ThreadMonitorLock() { ProfilingSession::enterMonitor(); }
    ~ThreadMonitorLock() { ProfilingSession::exitMonitor(); }
    ThreadMonitorLock(const ThreadMonitorLock&) = delete;
    ThreadMonitorLock& operator=(const ThreadMonitorLock&) = delete;
};

// Static facade over the JVM for the agent core.
class Profiling {
public:
    static bool initializeInterface(JavaVM* vm);
    static bool enableEvents(JNIEnv* env);
    // A new[]-allocated copy of a Java system property, or null.
    static char* getProperty(JNIEnv* env, const char* propertyName);
    static void JNICALL dxVMDeath(jvmtiEnv* jvmti, JNIEnv* env);

    static jrawMonitorID _threadMonitor;
    static jrawMonitorID _sleepMonitor;
    static jclass systemClass;
    static jmethodID getPropertyMethod;
};

extern ProfilingSession* g_profilingSession;
extern jvmtiEnv* g_profilingInterface;
extern bool g_safeThreadStart;
extern bool g_sampleAgentThreads;
extern bool g_sampleAgentClasses;
extern bool g_recording;
extern jlong g_recordStartTime;

// True when g_profilingSession completed the attach sequence.
bool isAgentAttached();

#endif
