#include "NativeThreads.h"

#include <dirent.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>

namespace {

// The kernel's clock id for the CPU time of one thread, from its id: the
// clock a thread's pthread_getcpuclockid names (the id inverted, shifted
// left by 3, the per-thread bit 4 and the scheduler-clock value 2).
clockid_t threadCpuClock(pid_t id) {
    return static_cast<clockid_t>((~static_cast<unsigned>(id) << 3) | 4u | 2u);
}

pid_t kernelCurrentId() {
    return static_cast<pid_t>(syscall(SYS_gettid));
}

int64_t kernelCpuTime(pid_t id) {
    if (id <= 0) {
        return -1;
    }
    struct timespec ts;
    if (clock_gettime(threadCpuClock(id), &ts) != 0) {
        return -1;
    }
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

bool kernelListIds(std::vector<pid_t>& ids) {
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        return false;
    }
    while (struct dirent* entry = readdir(dir)) {
        char* end = nullptr;
        errno = 0;
        long id = std::strtol(entry->d_name, &end, 10);
        if (errno == 0 && end != entry->d_name && *end == '\0' && id > 0) {
            ids.push_back(static_cast<pid_t>(id));
        }
    }
    closedir(dir);
    return true;
}

const NativeThreads::Source KERNEL = {&kernelCurrentId, &kernelCpuTime, &kernelListIds};

std::atomic<const NativeThreads::Source*> g_source{&KERNEL};

const NativeThreads::Source& source() {
    return *g_source.load(std::memory_order_relaxed);
}

}  // namespace

namespace NativeThreads {

const Source& kernelSource() {
    return KERNEL;
}

void setSource(const Source* replacement) {
    g_source.store(replacement != nullptr ? replacement : &KERNEL, std::memory_order_relaxed);
}

pid_t currentId() {
    return source().currentId();
}

int64_t cpuTime(pid_t id) {
    return source().cpuTime(id);
}

bool listIds(std::vector<pid_t>& ids) {
    return source().listIds(ids);
}

}  // namespace NativeThreads

bool CpuClockIndex::read(const std::vector<pid_t>& exclude) {
    clocks.clear();
    std::vector<pid_t> ids;
    if (!NativeThreads::listIds(ids)) {
        return false;
    }
    for (pid_t id : ids) {
        if (std::binary_search(exclude.begin(), exclude.end(), id)) {
            continue;
        }
        int64_t nanos = NativeThreads::cpuTime(id);
        if (nanos >= 0) {
            clocks.emplace_back(nanos, id);
        }
    }
    std::sort(clocks.begin(), clocks.end());
    return true;
}

pid_t CpuClockIndex::match(int64_t before, int64_t after) const {
    if (before < 0 || before != after) {
        return 0;
    }
    auto first = std::lower_bound(clocks.begin(), clocks.end(), std::make_pair(before, static_cast<pid_t>(0)));
    if (first == clocks.end() || first->first != before) {
        return 0;
    }
    auto next = first + 1;
    if (next != clocks.end() && next->first == before) {
        return 0;  // two threads with this CPU time: either could be it
    }
    return first->second;
}
