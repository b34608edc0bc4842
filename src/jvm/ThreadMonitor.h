#ifndef TOLVANE_THREADMONITOR_H
#define TOLVANE_THREADMONITOR_H

#include <jvmti.h>

// The two raw monitors of the agent. The attach sequence creates both or
// neither; they are null before it and then stay for the life of the process.
class ThreadMonitor {
public:
    // "_tolvane_native": the one lock for all shared agent data. Re-entrant.
    static jrawMonitorID threadMonitor;
    // "_tolvane_native_sleep": only ever waited on, for the sampling period.
    static jrawMonitorID sleepMonitor;

    // Enter and exit the thread monitor. They do nothing while the monitor
    // does not exist, which is only before the attach: the attach does not
    // complete without it. Debug builds record the holder and its depth.
    static void enter();
    static void exit();
#ifndef NDEBUG
    // Whether the calling thread holds the thread monitor; also true while
    // the monitor does not exist, as there is then nothing to hold.
    static bool isHeld();
#endif
    // Timed wait on the sleep monitor; never call with the thread monitor held.
    // True when a Java interrupt of the calling thread ended the wait: the
    // JVM then clears the thread's interrupt status, so the caller must
    // restore it before returning to Java.
    static bool sleep(int millis);
};

// Checks the contract "called with the thread monitor held" of `function`
// in debug and sanitizer builds: a caller without the monitor ends the
// process with an assertion message. Costs nothing in release builds.
#ifndef NDEBUG
void assertThreadMonitorHeld(const char* function);
#else
inline void assertThreadMonitorHeld(const char*) {}
#endif

// Holds the thread monitor for the lifetime of the object.
class ThreadMonitorLock {
public:
    ThreadMonitorLock() { ThreadMonitor::enter(); }
    ~ThreadMonitorLock() { ThreadMonitor::exit(); }
    ThreadMonitorLock(const ThreadMonitorLock&) = delete;
    ThreadMonitorLock& operator=(const ThreadMonitorLock&) = delete;
};

#endif
