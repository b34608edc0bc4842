#ifndef TOLVANE_NATIVETHREADS_H
#define TOLVANE_NATIVETHREADS_H

#include <pthread.h>
#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <vector>

// The kernel's threads of this process: their ids and their CPU clocks.
// Knows nothing of the JVM; what a Java thread's id is, its caller keeps.
//
// The CPU clock of a thread is read by its kernel id alone: one system call,
// no descriptor, no search. The kernel answers only for threads of this
// process, so an id that belongs to no thread here (it ended) reads as
// unknown; an id reused by a later thread of this process reads that thread's
// clock, which is why callers forget an id when its thread ends.
namespace NativeThreads {

// Where ids and clocks come from: the kernel, or a test's stand-in.
struct Source {
    // The calling thread's id.
    pid_t (*currentId)();
    // CPU time (ns) of thread `id` of this process; -1 when it cannot be read.
    int64_t (*cpuTime)(pid_t id);
};

// The kernel's answers (gettid, the per-thread CPU clock).
const Source& kernelSource();
// Replaces the source for the whole process (null: the kernel again).
// Only tests do this, before any thread uses the functions below.
void setSource(const Source* source);

pid_t currentId();
int64_t cpuTime(pid_t id);

// The thread-specific data key under which the calling thread holds `value`;
// false when none does.
bool findKeyHolding(const void* value, pthread_key_t* key);

// One thread's answer to ask(): its kernel id and what it holds under the key.
struct Answer {
    pid_t id;
    const void* value;
};

// Every thread of the process names its own kernel id, and what it holds
// under `key`, from a signal handler that runs on it: the id of each thread
// that holds a value is then known exactly, without a clock or a guess. The
// calling thread answers for itself. Threads that do not answer within half
// a second (signal blocked, or ended meanwhile) are left out, as are those
// that hold nothing. The answers are values, never followed here. False when
// the signal handler cannot be installed or the threads cannot be listed.
bool ask(pthread_key_t key, std::vector<Answer>& answers);

// The process's one handler of the profiling signal, shared by ask() and the
// per-thread CPU timers: timer signals (SI_TIMER) go to the timer hook, the
// answers of ask() are taken here, anything else goes to the handler that was
// installed before. Installed once; false when it cannot be.
typedef void (*SignalHook)(int signo, siginfo_t* info, void* ucontext);
constexpr int PROFILING_SIGNAL = SIGPROF;
bool installSignalHandler();
// Where timer signals go from now on (null: to the earlier handler).
void setTimerHook(SignalHook hook);
// Hands a signal on to the handler installed before ours.
void chainSignal(int signo, siginfo_t* info, void* ucontext);

}  // namespace NativeThreads

#endif
