// Cost of a tick over parked threads inside the library, on real kernel
// threads: N threads of this process wait on a condition variable for good,
// and the fake JVM's threads stand for them (same native ids, a stack of
// depth 100, waiting). Prints the median tick per thread when the tick reads
// each thread's CPU clock by its native id, and when it asks the (fake) JVM
// instead, as for threads whose id is unknown. The fake JVM answers in
// constant time where HotSpot searches its thread list, so the second figure
// is the library's own share of the old path only. Ticks are timed on the
// CPU clock of the thread that runs them.

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <time.h>
#include <vector>

#include "ClassProfilingSession.h"
#include "CpuProfilingSession.h"
#include "FakeJvm.h"
#include "NativeThreads.h"
#include "ProfilingSession.h"
#include "Sampler.h"
#include "ThreadDesc.h"
#include "ThreadManager.h"

using harness::FakeJvm;
using harness::frame;

namespace {

const int DEPTH = 100;

struct Parked {
    std::mutex lock;
    std::condition_variable wake;
    bool done = false;
    std::vector<pid_t> ids;
    std::vector<std::thread> threads;

    void start(int count) {
        for (int i = 0; i < count; i++) {
            threads.emplace_back([this] {
                std::unique_lock<std::mutex> guard(lock);
                ids.push_back(NativeThreads::currentId());
                wake.notify_all();
                wake.wait(guard, [this] { return done; });
            });
        }
        std::unique_lock<std::mutex> guard(lock);
        wake.wait(guard, [&] { return ids.size() == static_cast<size_t>(count); });
    }

    ~Parked() {
        {
            std::lock_guard<std::mutex> guard(lock);
            done = true;
        }
        wake.notify_all();
        for (std::thread& t : threads) {
            t.join();
        }
    }
};

// The calling thread's CPU time: on a shared machine a tick preempted
// halfway would count the other programs' time in wall-clock terms.
double cpuNs() {
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e9 + ts.tv_nsec;
}

struct Figures {
    double tick;
    // The same threads' clocks read in a bare loop right after each tick.
    double bareReads;
};

Figures medianTickPerThread(JNIEnv* env, CpuProfilingSession* threadList, const std::vector<pid_t>& ids,
                            bool byNativeId) {
    FakeJvm& jvm = FakeJvm::current();
    std::vector<jmethodID> methods;
    for (int i = 0; i < DEPTH; i++) {
        methods.push_back(jvm.newMethod("bench.Parked" + std::to_string(i % 13), "m" + std::to_string(i)));
    }
    std::vector<jvmtiFrameInfo> frames;
    for (int level = DEPTH - 1; level >= 0; level--) {
        frames.push_back(frame(methods[level], 1));
    }
    int count = static_cast<int>(ids.size());
    for (int i = 0; i < count; i++) {
        jobject handle = reinterpret_cast<jobject>(static_cast<uintptr_t>(i + 1) * 16);
        harness::Thread& t = jvm.thread(handle);
        t.frames = frames;
        t.state = JVMTI_THREAD_STATE_ALIVE | JVMTI_THREAD_STATE_WAITING;
        ThreadManager* manager = new ThreadManager(static_cast<jweak>(handle), nullptr);
        manager->setThreadDesc(new ThreadDesc(manager, "parked", "main", 0));
        manager->nativeId = byNativeId ? ids[i] : 0;
        threadList->threadManagers.push_back(manager);
    }
    Sampler sampler(5, threadList, nullptr, DEPTH);
    jlong timestamp = 0;
    for (int i = 0; i < 3; i++) {
        sampler.doThreadStatusSampling(env, timestamp += 5000, 5000, 0);
    }
    std::vector<double> ticks;
    std::vector<double> bare;
    int64_t sink = 0;
    for (int i = 0; i < 150; i++) {
        double start = cpuNs();
        sampler.doThreadStatusSampling(env, timestamp += 5000, 5000, 0);
        double middle = cpuNs();
        for (pid_t id : ids) {
            sink += NativeThreads::cpuTime(id);
        }
        double end = cpuNs();
        ticks.push_back(middle - start);
        bare.push_back(end - middle);
    }
    if (sink == 42) {
        std::printf(" ");
    }
    sampler.reset();
    for (ThreadManager* manager : threadList->threadManagers) {
        delete manager;
    }
    threadList->threadManagers.clear();
    jvm.threads.clear();
    std::sort(ticks.begin(), ticks.end());
    std::sort(bare.begin(), bare.end());
    return {ticks[ticks.size() / 2] / count, bare[bare.size() / 2] / count};
}

}  // namespace

int main(int argc, char** argv) {
    FakeJvm jvm;
    jvm.installMethods();
    jvm.installThreadRefs();
    jvm.installStacks();
    jvm.installMonitors();
    jvm.installSingleCaptures();
    jvm.jniFunctions.PushLocalFrame = [](JNIEnv*, jint) -> jint { return JNI_OK; };
    jvm.jniFunctions.PopLocalFrame = [](JNIEnv*, jobject result) -> jobject { return result; };
    NativeThreads::setSource(nullptr);  // the kernel's clocks of the parked threads
    g_profilingInterface = jvm.jvmti();
    g_threadCpuTimeAvailable = true;
    ClassProfilingSession* registry = new ClassProfilingSession(nullptr);
    CpuProfilingSession* threadList = new CpuProfilingSession();
    g_profilingSession->classProfilingSession = registry;
    g_profilingSession->cpuProfilingSession = threadList;

    std::vector<int> counts = {100, 1000, 5000};
    if (argc == 2) {
        counts = {std::atoi(argv[1])};
    }
    std::printf("tick over parked threads (depth %d, real kernel threads, fake JVMTI): median ns per thread\n",
                DEPTH);
    std::printf("%8s | %16s %22s %22s\n", "threads", "by native id", "through JVMTI (fake)", "bare clock reads");
    for (int count : counts) {
        Parked parked;
        parked.start(count);
        Figures native = medianTickPerThread(jvm.jni(), threadList, parked.ids, true);
        Figures jvmti = medianTickPerThread(jvm.jni(), threadList, parked.ids, false);
        std::printf("%8d | %16.1f %22.1f %22.1f\n", count, native.tick, jvmti.tick, native.bareReads);
    }
    delete threadList;
    return 0;
}
