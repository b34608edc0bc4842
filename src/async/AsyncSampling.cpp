#include "AsyncSampling.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <ucontext.h>
#include <time.h>
#include <unistd.h>

#include "JniUtil.h"
#include "JvmtiBuffer.h"
#include "MessageUtil.h"
#include "NativeThreads.h"
#include "ThreadSampleBuffer.h"

namespace {

// The walk's argument, laid out as HotSpot declares it.
struct CallTrace {
    JNIEnv* envId;
    jint frameCount;
    AsyncFrame* frames;
};
typedef void (*WalkFunction)(CallTrace* trace, jint depth, void* ucontext);

const int SAMPLE_SIGNAL = NativeThreads::PROFILING_SIGNAL;
// Buffers ever handed out; a signal names its buffer by index, so the handler
// never follows a pointer it did not make.
const int MAX_BUFFERS = 1 << 15;

WalkFunction g_walk = nullptr;
bool g_prepareTried = false;
std::atomic<bool> g_prepared{false};
long long g_periodNanos = 5000000;

std::atomic<ThreadSampleBuffer*> g_buffers[MAX_BUFFERS];
int g_bufferCount = 0;
std::vector<ThreadSampleBuffer*> g_freeBuffers;

std::atomic<uint64_t> g_samples{0};
std::atomic<uint64_t> g_dropped{0};
std::atomic<uint64_t> g_failures[AsyncSampling::FAILURE_KINDS];
std::atomic<uint64_t> g_timerFailures{0};

pid_t gettidRaw() {
    return static_cast<pid_t>(syscall(SYS_gettid));
}

// AsyncGetCallTrace's code for a thread in Java code whose top frame it
// cannot read: the program counter lies in a stub the JIT calls (the SHA,
// AES and array intrinsics), which has no Java frame of its own.
const jint WALK_UNKNOWN_JAVA = -5;
// Stub frames stepped over to reach the Java frame that called them.
const int MAX_STUB_FRAMES = 2;

// Reads `size` bytes of this process at `address` without faulting: the
// kernel copies them or fails. For words a signal handler is not sure are
// mapped.
bool readMemory(uintptr_t address, void* out, size_t size) {
    struct iovec local = {out, size};
    struct iovec remote = {reinterpret_cast<void*>(address), size};
    return syscall(SYS_process_vm_readv, getpid(), &local, 1UL, &remote, 1UL, 0UL) == static_cast<long>(size);
}

// Walks the stack of a thread stopped in a stub as if it had returned from
// it: the stub's frame, found through the frame pointer that the stubs set
// up, gives the caller's program counter, stack and frame pointers, which
// AsyncGetCallTrace can walk from. x86-64 only; elsewhere the walk just fails.
void walkAboveStub(CallTrace* trace, jint depth, void* ucontext) {
#if defined(__x86_64__)
    ucontext_t context;
    std::memcpy(&context, ucontext, sizeof context);
    for (int step = 0; step < MAX_STUB_FRAMES && trace->frameCount == WALK_UNKNOWN_JAVA; step++) {
        greg_t* regs = context.uc_mcontext.gregs;
        uintptr_t sp = static_cast<uintptr_t>(regs[REG_RSP]);
        uintptr_t fp = static_cast<uintptr_t>(regs[REG_RBP]);
        // A frame pointer of this stack lies above the stack pointer, close by.
        if (fp <= sp || fp - sp > 64 * 1024 || (fp & 7) != 0) {
            return;
        }
        uintptr_t saved[2];  // the caller's frame pointer, then the return address
        if (!readMemory(fp, saved, sizeof saved) || saved[1] == 0) {
            return;
        }
        regs[REG_RBP] = static_cast<greg_t>(saved[0]);
        regs[REG_RIP] = static_cast<greg_t>(saved[1]);
        regs[REG_RSP] = static_cast<greg_t>(fp + 2 * sizeof(uintptr_t));
        trace->frameCount = 0;
        g_walk(trace, depth, &context);
    }
#else
    (void)trace;
    (void)depth;
    (void)ucontext;
#endif
}

void takeSample(ThreadSampleBuffer* buffer, void* ucontext) {
    AsyncFrame* frames = buffer->beginSample();
    if (frames == nullptr) {
        g_dropped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    CallTrace trace = {buffer->env, 0, frames};
    g_walk(&trace, buffer->maxDepth, ucontext);
    if (trace.frameCount == WALK_UNKNOWN_JAVA) {
        walkAboveStub(&trace, buffer->maxDepth, ucontext);
    }
    jint count = trace.frameCount;
    if (count <= 0) {
        int kind = count >= -10 ? -count : AsyncSampling::FAILURE_OTHER;
        g_failures[kind].fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (count > buffer->maxDepth) {
        count = buffer->maxDepth;
    }
    for (jint i = 0; i < count; i++) {
        if (frames[i].method == nullptr) {
            g_failures[AsyncSampling::FAILURE_NO_METHOD_ID].fetch_add(1, std::memory_order_relaxed);
            return;
        }
    }
    buffer->commitSample(count);
    g_samples.fetch_add(1, std::memory_order_relaxed);
}

void onTimer(int signo, siginfo_t* info, void* ucontext) {
    int index = info->si_value.sival_int - 1;
    ThreadSampleBuffer* buffer =
        index >= 0 && index < MAX_BUFFERS ? g_buffers[index].load(std::memory_order_acquire) : nullptr;
    if (buffer == nullptr) {
        NativeThreads::chainSignal(signo, info, ucontext);
        return;
    }
    pid_t self = gettidRaw();
    if (buffer->owner.load() != self) {
        return;  // a late signal of a timer deleted since, or another thread's
    }
    buffer->busy.fetch_add(1);
    if (buffer->magic.load() == ThreadSampleBuffer::MAGIC && buffer->state.load() == ThreadSampleBuffer::ARMED &&
        buffer->owner.load() == self && g_walk != nullptr) {
        takeSample(buffer, ucontext);
    }
    buffer->busy.fetch_sub(1);
}

// The kernel's clock id of a thread's CPU time (scheduler clock, per thread).
clockid_t threadCpuClock(pid_t tid) {
    return static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | 4 | 2);
}

ThreadSampleBuffer* takeBuffer(int maxDepth) {
    while (!g_freeBuffers.empty()) {
        ThreadSampleBuffer* buffer = g_freeBuffers.back();
        g_freeBuffers.pop_back();
        if (buffer->maxDepth >= maxDepth) {
            return buffer;
        }
        // Too shallow for this depth: left unused, never freed (a late
        // signal may still name it).
    }
    if (g_bufferCount >= MAX_BUFFERS) {
        return nullptr;
    }
    ThreadSampleBuffer* buffer = new (std::nothrow) ThreadSampleBuffer(g_bufferCount, maxDepth);
    if (buffer == nullptr) {
        return nullptr;
    }
    g_buffers[g_bufferCount++].store(buffer, std::memory_order_release);
    return buffer;
}

}  // namespace

uint64_t AsyncSampling::Counters::failed() const {
    uint64_t sum = 0;
    for (uint64_t f : failures) {
        sum += f;
    }
    return sum;
}

bool AsyncSampling::prepare() {
    if (g_prepareTried) {
        return g_prepared.load();
    }
    g_prepareTried = true;
    g_walk = reinterpret_cast<WalkFunction>(dlsym(RTLD_DEFAULT, "AsyncGetCallTrace"));
    if (g_walk == nullptr) {
        MessageUtil::message("This JVM has no asynchronous stack walk: running threads are captured at safepoint polls");
        return false;
    }
    if (!NativeThreads::installSignalHandler()) {
        MessageUtil::message("Could not install the sampling signal handler: running threads are captured at safepoint polls");
        g_walk = nullptr;
        return false;
    }
    NativeThreads::setTimerHook(&onTimer);
    g_prepared.store(true);
    return true;
}

bool AsyncSampling::isPrepared() {
    return g_prepared.load();
}

void AsyncSampling::setPeriodNanos(long long nanos) {
    g_periodNanos = nanos > 0 ? nanos : 5000000;
}

ThreadSampleBuffer* AsyncSampling::arm(pid_t tid, JNIEnv* env, int maxDepth) {
    if (!g_prepared.load() || tid <= 0 || env == nullptr) {
        return nullptr;
    }
    ThreadSampleBuffer* buffer = takeBuffer(maxDepth);
    if (buffer == nullptr) {
        return nullptr;
    }
    buffer->assign(tid, env);
    struct sigevent event;
    std::memset(&event, 0, sizeof event);
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = SAMPLE_SIGNAL;
    event.sigev_value.sival_int = buffer->index + 1;
    event._sigev_un._tid = tid;
    if (timer_create(threadCpuClock(tid), &event, &buffer->timer) != 0) {
        g_timerFailures.fetch_add(1, std::memory_order_relaxed);
        MessageUtil::debugOut(0, 4, "async sampling: no timer for thread %d: %s\n", static_cast<int>(tid), strerror(errno));
        buffer->owner.store(0);
        g_freeBuffers.push_back(buffer);
        return nullptr;
    }
    buffer->timerCreated = true;
    buffer->state.store(ThreadSampleBuffer::ARMED);
    struct itimerspec period;
    period.it_interval.tv_sec = static_cast<time_t>(g_periodNanos / 1000000000LL);
    period.it_interval.tv_nsec = static_cast<long>(g_periodNanos % 1000000000LL);
    period.it_value = period.it_interval;
    if (timer_settime(buffer->timer, 0, &period, nullptr) != 0) {
        g_timerFailures.fetch_add(1, std::memory_order_relaxed);
        disarm(buffer);
        return nullptr;
    }
    return buffer;
}

void AsyncSampling::disarm(ThreadSampleBuffer* buffer) {
    if (buffer == nullptr) {
        return;
    }
    buffer->state.store(ThreadSampleBuffer::FREE);
    if (buffer->timerCreated) {
        timer_delete(buffer->timer);
        buffer->timerCreated = false;
    }
    // A handler that saw the buffer armed finishes its walk first.
    while (buffer->busy.load() != 0) {
        sched_yield();
    }
    buffer->owner.store(0);
    buffer->env = nullptr;
    g_freeBuffers.push_back(buffer);
}

AsyncSampling::Counters AsyncSampling::counters() {
    Counters c;
    c.samples = g_samples.load(std::memory_order_relaxed);
    c.dropped = g_dropped.load(std::memory_order_relaxed);
    for (int i = 0; i < FAILURE_KINDS; i++) {
        c.failures[i] = g_failures[i].load(std::memory_order_relaxed);
    }
    c.timerFailures = g_timerFailures.load(std::memory_order_relaxed);
    return c;
}

void AsyncSampling::resetCounters() {
    g_samples.store(0);
    g_dropped.store(0);
    for (std::atomic<uint64_t>& f : g_failures) {
        f.store(0);
    }
    g_timerFailures.store(0);
}

const char* AsyncSampling::failureName(int kind) {
    static const char* const NAMES[FAILURE_KINDS] = {
        "no Java frame",   "class loading not reported", "GC active",        "unknown native state",
        "native stack not walkable", "unknown Java state", "Java stack not walkable", "unknown thread state",
        "thread exiting",  "deoptimizing",              "at a safepoint",   "method without id",
        "other",
    };
    return kind >= 0 && kind < FAILURE_KINDS ? NAMES[kind] : "other";
}

void AsyncSampling::createMethodIds(jvmtiEnv* jvmti, JNIEnv* env) {
    if (jvmti == nullptr || env == nullptr) {
        return;
    }
    jint count = 0;
    JvmtiBuffer<jclass> classes(jvmti);
    if (jvmti->GetLoadedClasses(&count, classes.out()) != JVMTI_ERROR_NONE || classes.get() == nullptr) {
        return;
    }
    // One local reference per class exists already; the capacity is
    // declared so that the JNI checks accept them.
    if (env->EnsureLocalCapacity(count + 16) != JNI_OK) {
        env->ExceptionClear();
    }
    for (jint i = 0; i < count; i++) {
        jint methodCount = 0;
        JvmtiBuffer<jmethodID> methods(jvmti);
        // Classes not prepared yet get theirs through ClassPrepare.
        jvmti->GetClassMethods(classes[i], &methodCount, methods.out());
        env->DeleteLocalRef(classes[i]);
    }
}

void JNICALL AsyncSampling::onClassPrepare(jvmtiEnv* jvmti, JNIEnv* env, jthread thread, jclass klass) {
    jint methodCount = 0;
    JvmtiBuffer<jmethodID> methods(jvmti);
    jvmti->GetClassMethods(klass, &methodCount, methods.out());
}

void JNICALL AsyncSampling::onClassLoad(jvmtiEnv* jvmti, JNIEnv* env, jthread thread, jclass klass) {}

void JNICALL AsyncSampling::onCompiledMethodLoad(jvmtiEnv* jvmti, jmethodID method, jint codeSize,
                                                 const void* codeAddress, jint mapLength,
                                                 const jvmtiAddrLocationMap* map, const void* compileInfo) {}
