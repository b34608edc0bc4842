#include "ThreadMonitor.h"

#include "FatalAssert.h"
#include "JvmEnv.h"

#ifndef NDEBUG
#include <atomic>
#include <thread>
#endif

jrawMonitorID ThreadMonitor::threadMonitor = nullptr;
jrawMonitorID ThreadMonitor::sleepMonitor = nullptr;

namespace {

// Holds a raw monitor for the lifetime of the object; a monitor that could
// not be entered is not exited.
class RawMonitorHold {
public:
    RawMonitorHold(jvmtiEnv* jvmti, jrawMonitorID monitor)
        : jvmti(jvmti), monitor(monitor), entered(jvmti->RawMonitorEnter(monitor) == JVMTI_ERROR_NONE) {}
    ~RawMonitorHold() {
        if (entered) {
            jvmti->RawMonitorExit(monitor);
        }
    }
    RawMonitorHold(const RawMonitorHold&) = delete;
    RawMonitorHold& operator=(const RawMonitorHold&) = delete;

    bool isEntered() const { return entered; }

private:
    jvmtiEnv* jvmti;
    jrawMonitorID monitor;
    bool entered;
};

#ifndef NDEBUG
// Debug builds keep the holder of the thread monitor: its owner is read by
// any thread that checks whether it holds the monitor itself; the depth is
// only touched by the holder.
std::atomic<std::thread::id> threadMonitorOwner{};
int threadMonitorDepth = 0;

void noteThreadMonitorEntered(jvmtiError result) {
    if (result != JVMTI_ERROR_NONE) {
        return;
    }
    std::thread::id self = std::this_thread::get_id();
    if (threadMonitorOwner.load(std::memory_order_relaxed) != self) {
        threadMonitorOwner.store(self, std::memory_order_relaxed);
        threadMonitorDepth = 0;
    }
    threadMonitorDepth++;
}

void noteThreadMonitorExiting() {
    if (threadMonitorOwner.load(std::memory_order_relaxed) != std::this_thread::get_id() || threadMonitorDepth < 1) {
        fatalAssert("thread monitor held", "shared/ProfilingSession", "ProfilingSession::exitMonitor");
    }
    if (--threadMonitorDepth == 0) {
        threadMonitorOwner.store(std::thread::id(), std::memory_order_relaxed);
    }
}
#else
void noteThreadMonitorEntered(jvmtiError) {}
void noteThreadMonitorExiting() {}
#endif

}  // namespace

void ThreadMonitor::enter() {
    if (g_profilingInterface != nullptr && threadMonitor != nullptr) {
        noteThreadMonitorEntered(g_profilingInterface->RawMonitorEnter(threadMonitor));
    }
}

void ThreadMonitor::exit() {
    if (g_profilingInterface != nullptr && threadMonitor != nullptr) {
        noteThreadMonitorExiting();
        g_profilingInterface->RawMonitorExit(threadMonitor);
    }
}

#ifndef NDEBUG
bool ThreadMonitor::isHeld() {
    if (g_profilingInterface == nullptr || threadMonitor == nullptr) {
        return true;
    }
    return threadMonitorOwner.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

void assertThreadMonitorHeld(const char* function) {
    if (!ThreadMonitor::isHeld()) {
        fatalAssert("thread monitor held", "shared/ProfilingSession", function);
    }
}
#endif

bool ThreadMonitor::sleep(int millis) {
    // Nothing notifies the sleep monitor: the wait lasts its full timeout
    // unless the JVM ends it early (an interrupt). Without the monitor there
    // is nothing to wait on.
    jvmtiEnv* jvmti = g_profilingInterface;
    if (jvmti == nullptr || sleepMonitor == nullptr) {
        return false;
    }
    RawMonitorHold hold(jvmti, sleepMonitor);
    if (!hold.isEntered()) {
        return false;
    }
    return jvmti->RawMonitorWait(sleepMonitor, static_cast<jlong>(millis)) == JVMTI_ERROR_INTERRUPT;
}
