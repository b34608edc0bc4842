#include "NativeThreads.h"

#include <dirent.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

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

const NativeThreads::Source KERNEL = {&kernelCurrentId, &kernelCpuTime};

std::atomic<const NativeThreads::Source*> g_source{&KERNEL};

const NativeThreads::Source& source() {
    return *g_source.load(std::memory_order_relaxed);
}

// Threads one ask() can hear from.
const int MAX_ANSWERS = 1 << 14;
// How long ask() waits for the threads it signalled.
const long ASK_WAIT_MILLIS = 500;

struct Slot {
    std::atomic<bool> ready;
    pid_t id;
    const void* value;
};

std::mutex g_installLock;
bool g_installTried = false;
std::atomic<bool> g_installed{false};
struct sigaction g_previous;
std::atomic<NativeThreads::SignalHook> g_timerHook{nullptr};

// One ask() at a time; its key and answers, read by the handler.
std::mutex g_askLock;
std::atomic<bool> g_asking{false};
pthread_key_t g_askKey = 0;
std::atomic<int> g_answerCount{0};
Slot g_answers[MAX_ANSWERS];

void answer() {
    int slot = g_answerCount.fetch_add(1);
    if (slot >= MAX_ANSWERS) {
        return;
    }
    Slot& mine = g_answers[slot];
    mine.id = kernelCurrentId();
    mine.value = pthread_getspecific(g_askKey);
    mine.ready.store(true, std::memory_order_release);
}

void onSignal(int signo, siginfo_t* info, void* ucontext) {
    int savedErrno = errno;
    NativeThreads::SignalHook timer = g_timerHook.load(std::memory_order_acquire);
    if (info != nullptr && info->si_code == SI_TIMER && timer != nullptr) {
        timer(signo, info, ucontext);
    } else if (info != nullptr && info->si_code == SI_TKILL && info->si_pid == getpid() && g_asking.load()) {
        answer();
    } else {
        NativeThreads::chainSignal(signo, info, ucontext);
    }
    errno = savedErrno;
}

bool listIds(std::vector<pid_t>& ids) {
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

void sleepMillis(long millis) {
    struct timespec pause = {millis / 1000, (millis % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
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

bool findKeyHolding(const void* value, pthread_key_t* key) {
    if (value == nullptr) {
        return false;
    }
    for (pthread_key_t candidate = 0; candidate < PTHREAD_KEYS_MAX; candidate++) {
        if (pthread_getspecific(candidate) == value) {
            *key = candidate;
            return true;
        }
    }
    return false;
}

bool installSignalHandler() {
    std::lock_guard<std::mutex> guard(g_installLock);
    if (g_installTried) {
        return g_installed.load();
    }
    g_installTried = true;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = &onSignal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    if (sigaction(PROFILING_SIGNAL, &action, &g_previous) != 0) {
        return false;
    }
    g_installed.store(true);
    return true;
}

void setTimerHook(SignalHook hook) {
    g_timerHook.store(hook, std::memory_order_release);
}

void chainSignal(int signo, siginfo_t* info, void* ucontext) {
    if ((g_previous.sa_flags & SA_SIGINFO) != 0) {
        if (g_previous.sa_sigaction != nullptr) {
            g_previous.sa_sigaction(signo, info, ucontext);
        }
    } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN &&
               g_previous.sa_handler != nullptr) {
        g_previous.sa_handler(signo);
    }
    // SIG_DFL would end the process: a stray signal is dropped instead.
}

bool ask(pthread_key_t key, std::vector<Answer>& answers) {
    std::vector<pid_t> ids;
    if (!installSignalHandler() || !listIds(ids)) {
        return false;
    }
    std::lock_guard<std::mutex> guard(g_askLock);
    for (Slot& slot : g_answers) {
        slot.ready.store(false, std::memory_order_relaxed);
    }
    g_askKey = key;
    g_answerCount.store(0);
    g_asking.store(true);
    pid_t pid = getpid();
    pid_t self = kernelCurrentId();
    int sent = 0;
    for (pid_t id : ids) {
        if (id == self) {
            const void* value = pthread_getspecific(key);
            if (value != nullptr) {
                answers.push_back({id, value});
            }
        } else if (syscall(SYS_tgkill, pid, id, PROFILING_SIGNAL) == 0) {
            sent++;
        }
    }
    for (long waited = 0; g_answerCount.load() < sent && waited < ASK_WAIT_MILLIS; waited++) {
        sleepMillis(1);
    }
    g_asking.store(false);
    int count = std::min(g_answerCount.load(), MAX_ANSWERS);
    for (int i = 0; i < count; i++) {
        const Slot& slot = g_answers[i];
        if (slot.ready.load(std::memory_order_acquire) && slot.value != nullptr) {
            answers.push_back({slot.id, slot.value});
        }
    }
    return true;
}

}  // namespace NativeThreads
