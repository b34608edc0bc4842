#ifndef TOLVANE_NATIVETHREADS_H
#define TOLVANE_NATIVETHREADS_H

#include <sys/types.h>

#include <cstdint>
#include <utility>
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
    // Appends the ids of the process's threads; false when they cannot be listed.
    bool (*listIds)(std::vector<pid_t>& ids);
};

// The kernel's answers (gettid, the per-thread CPU clock, /proc/self/task).
const Source& kernelSource();
// Replaces the source for the whole process (null: the kernel again).
// Only tests do this, before any thread uses the functions below.
void setSource(const Source* source);

pid_t currentId();
int64_t cpuTime(pid_t id);
bool listIds(std::vector<pid_t>& ids);

}  // namespace NativeThreads

// Finds the native id of a thread that was already running when it could
// have told its id itself, from the one thing both sides can read: its CPU
// time. A thread that did not run between two readings of its CPU time
// through the JVM (`before`, taken before read(), and `after`, taken after
// it) had that CPU time while every clock was read, so its own clock is among
// those equal to it; when exactly one clock is, that is its id. Threads that
// ran, or share their CPU time to the nanosecond with another thread, find
// no id now; a later try may.
class CpuClockIndex {
public:
    // Reads the clock of every thread of the process whose id is not in
    // `exclude` (sorted ascending). False when the threads cannot be listed.
    bool read(const std::vector<pid_t>& exclude);
    // The id, or 0 when the thread cannot be told apart (see above).
    pid_t match(int64_t before, int64_t after) const;
    size_t size() const { return clocks.size(); }

private:
    // (CPU time, id), sorted.
    std::vector<std::pair<int64_t, pid_t>> clocks;
};

#endif
