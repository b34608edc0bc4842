#ifndef TOLVANE_ASYNCSAMPLING_H
#define TOLVANE_ASYNCSAMPLING_H

#include <jni.h>
#include <jvmti.h>

#include <cstdint>
#include <sys/types.h>

class ThreadSampleBuffer;

// Asynchronous sampling of running threads on their own CPU clocks.
//
// Each sampled thread gets a POSIX timer on its thread CPU clock that sends
// SIGPROF to that thread after every period of CPU it uses. The handler, on
// the thread itself, walks the thread's stack with HotSpot's exported
// AsyncGetCallTrace into the thread's ThreadSampleBuffer; the recorder's tick
// collects the samples. The handler allocates nothing, takes no lock and
// calls nothing in the JVM but the walk; it walks only a thread whose armed
// buffer names it as owner.
//
// Everything here but the handler runs with the thread monitor held.
namespace AsyncSampling {

// Outcomes of a walk that gave no frames, by AsyncGetCallTrace's code
// (0 down to -10: index = -code), then the library's own.
constexpr int FAILURE_KINDS = 13;
// A frame of the walk named no method (its class had no method ids yet).
constexpr int FAILURE_NO_METHOD_ID = 11;
// Any other code the walk may return.
constexpr int FAILURE_OTHER = 12;

struct Counters {
    uint64_t samples = 0;
    // Samples dropped because the thread's ring was full.
    uint64_t dropped = 0;
    uint64_t failures[FAILURE_KINDS] = {};
    // Timers the kernel refused.
    uint64_t timerFailures = 0;

    uint64_t failed() const;
};

// Looks up the walk and installs the signal handler, once per process.
// False when this JVM cannot sample asynchronously (the reason is logged
// once); the tick then captures every thread as before.
bool prepare();
bool isPrepared();
// The CPU period of timers armed from now on.
void setPeriodNanos(long long nanos);

// Gives the thread a buffer and arms its timer; null when either cannot be
// had. `env` is the thread's own JNI environment.
ThreadSampleBuffer* arm(pid_t tid, JNIEnv* env, int maxDepth);
// Deletes the buffer's timer, waits out a handler working on it, and takes
// the buffer back for reuse. Callable from any thread.
void disarm(ThreadSampleBuffer* buffer);

// Counters since the last reset, over all threads.
Counters counters();
void resetCounters();
// A short name of a failure kind for logs and reports.
const char* failureName(int kind);

// Method ids for the walk: every method of every class loaded so far, then
// through ClassPrepare every later one. Without an id a frame cannot be
// named and its sample is lost.
void createMethodIds(jvmtiEnv* jvmti, JNIEnv* env);
void JNICALL onClassPrepare(jvmtiEnv* jvmti, JNIEnv* env, jthread thread, jclass klass);
// The walk refuses to run unless some agent receives ClassLoad events.
void JNICALL onClassLoad(jvmtiEnv* jvmti, JNIEnv* env, jthread thread, jclass klass);
// Compiled code carries debug information between safepoints only while
// some agent may receive CompiledMethodLoad events; the events themselves
// are not needed.
void JNICALL onCompiledMethodLoad(jvmtiEnv* jvmti, jmethodID method, jint codeSize, const void* codeAddress,
                                  jint mapLength, const jvmtiAddrLocationMap* map, const void* compileInfo);

}  // namespace AsyncSampling

#endif
