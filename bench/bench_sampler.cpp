// Cost of the sampling tick inside the library, without a JVM: the fake JVMTI
// hands out prebuilt stacks, so the figures are the library's own work per
// thread (carry-over of samplers, stack comparison, cursor moves, booking).
//
// For 100 and 1000 threads with stacks of depth 50 and 500 it prints
//  - ns per thread per tick when no frame changed, next to a baseline of the
//    same tick over empty stacks (the fixed per-thread cost);
//  - ns per changed frame when the top 5 frames of every thread change on
//    every tick (their locations alternate): the whole tick divided by the
//    changed frames, and the part above the unchanged tick.
// Each for running threads and for waiting ones (see main).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "CallTreeSampler.h"
#include "ClassProfilingSession.h"
#include "CpuProfilingSession.h"
#include "FakeJvm.h"
#include "PointerHashMap.h"
#include "ProfilingSession.h"
#include "Sampler.h"
#include "ThreadDesc.h"
#include "ThreadManager.h"

using harness::FakeJvm;
using harness::frame;

namespace {

const int CHANGED_FRAMES = 5;
const uintptr_t HANDLE_STEP = 16;

// Prebuilt stacks of every thread in two variants that differ in the
// locations of the top CHANGED_FRAMES frames.
struct Stacks {
    std::vector<std::vector<jvmtiFrameInfo>> variant[2];
    int current = 0;
    std::vector<jvmtiStackInfo> infos;
};

Stacks* g_stacks = nullptr;
jint g_threadState = JVMTI_THREAD_STATE_ALIVE | JVMTI_THREAD_STATE_RUNNABLE;

jobject handleOf(int index) {
    return reinterpret_cast<jobject>((uintptr_t)(index + 1) * HANDLE_STEP);
}

int indexOf(jobject handle) {
    return (int)(reinterpret_cast<uintptr_t>(handle) / HANDLE_STEP) - 1;
}

void installTickFakes(FakeJvm& jvm) {
    jvm.jvmtiFunctions.GetThreadListStackTraces = [](jvmtiEnv*, jint count, const jthread* list, jint,
                                                  jvmtiStackInfo** out) {
        Stacks& s = *g_stacks;
        for (jint i = 0; i < count; i++) {
            std::vector<jvmtiFrameInfo>& frames = s.variant[s.current][indexOf(list[i])];
            jvmtiStackInfo& info = s.infos[i];
            info.thread = list[i];
            info.state = g_threadState;
            info.frame_buffer = frames.data();
            info.frame_count = (jint)frames.size();
        }
        *out = s.infos.data();
        return JVMTI_ERROR_NONE;
    };
    jvm.jvmtiFunctions.Deallocate = [](jvmtiEnv*, unsigned char* mem) {
        if (g_stacks == nullptr || mem != reinterpret_cast<unsigned char*>(g_stacks->infos.data())) {
            std::free(mem);
        }
        return JVMTI_ERROR_NONE;
    };
    jvm.jniFunctions.PushLocalFrame = [](JNIEnv*, jint) -> jint { return JNI_OK; };
    jvm.jniFunctions.PopLocalFrame = [](JNIEnv*, jobject result) -> jobject { return result; };
    jvm.jniFunctions.NewLocalRef = [](JNIEnv*, jobject ref) -> jobject { return ref; };
}

double nowNs() {
    return (double)std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double median(std::vector<double>& values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct Result {
    double unchangedPerThread;
    double changedPerThread;
};

Result measure(JNIEnv* env, CpuProfilingSession* threadList, int threadCount, int depth, jint state) {
    g_threadState = state;
    std::vector<jmethodID> methods;
    for (int i = 0; i < depth; i++) {
        std::vector<jvmtiLineNumberEntry> lines = {{0, 10 + i}, {8, 11 + i}, {16, 12 + i}};
        methods.push_back(FakeJvm::current().newMethod("bench.Level" + std::to_string(i % 37), "m" + std::to_string(i), lines));
    }
    Stacks stacks;
    stacks.infos.resize(threadCount);
    for (int v = 0; v < 2; v++) {
        stacks.variant[v].resize(threadCount);
        for (int t = 0; t < threadCount; t++) {
            std::vector<jvmtiFrameInfo>& frames = stacks.variant[v][t];
            for (int level = depth - 1; level >= 0; level--) {  // innermost first
                int fromTop = depth - 1 - level;
                jlocation location = (fromTop < CHANGED_FRAMES && v == 1) ? 9 : 1;
                frames.push_back(frame(methods[level], location));
            }
        }
    }
    g_stacks = &stacks;
    for (int t = 0; t < threadCount; t++) {
        ThreadManager* manager = new ThreadManager(static_cast<jweak>(handleOf(t)), nullptr);
        manager->setThreadDesc(new ThreadDesc(manager, "bench", "main", 0));
        threadList->threadManagers.push_back(manager);
    }

    Sampler sampler(5);
    jlong timestamp = 0;
    // Warm up: trees, descriptors and line tables exist for both variants.
    for (int i = 0; i < 4; i++) {
        stacks.current = i % 2;
        sampler.doThreadStatusSampling(env, timestamp += 5000, 5000, 0);
    }

    // Each tick is timed on its own and the median taken: the machine is
    // shared, and a tick that was preempted says nothing about the library.
    const int ticks = threadCount * (depth + 10) > 100000 ? 100 : 400;
    stacks.current = 0;
    sampler.doThreadStatusSampling(env, timestamp += 5000, 5000, 0);
    std::vector<double> unchangedTicks;
    for (int i = 0; i < ticks; i++) {
        double start = nowNs();
        sampler.doThreadStatusSampling(env, timestamp += 5000, 5000, 0);
        unchangedTicks.push_back(nowNs() - start);
    }
    std::vector<double> changedTicks;
    for (int i = 0; i < ticks; i++) {
        stacks.current ^= 1;
        double start = nowNs();
        sampler.doThreadStatusSampling(env, timestamp += 5000, 5000, 0);
        changedTicks.push_back(nowNs() - start);
    }
    double unchanged = median(unchangedTicks) / threadCount;
    double changed = median(changedTicks) / threadCount;

    sampler.reset();
    for (ThreadManager* manager : threadList->threadManagers) {
        delete manager;
    }
    threadList->threadManagers.clear();
    g_stacks = nullptr;
    return {unchanged, changed};
}

}  // namespace

// Optional arguments "threads depth" measure one configuration only (for profiling).
int main(int argc, char** argv) {
    FakeJvm jvm;
    jvm.installMethods();
    installTickFakes(jvm);
    g_profilingInterface = jvm.jvmti();
    ClassProfilingSession* registry = new ClassProfilingSession(nullptr);
    CpuProfilingSession* threadList = new CpuProfilingSession();
    g_profilingSession->classProfilingSession = registry;
    g_profilingSession->cpuProfilingSession = threadList;

    // Running threads book inclusive time, which the call tree adds to every
    // ancestor of the current node; waiting threads book self time at the
    // node only. The waiting figures are the sampler's own cost.
    const jint running = JVMTI_THREAD_STATE_ALIVE | JVMTI_THREAD_STATE_RUNNABLE;
    const jint waiting = JVMTI_THREAD_STATE_ALIVE | JVMTI_THREAD_STATE_WAITING;
    std::printf("sampling tick, library cost only (fake JVMTI); changed: top %d frames move every tick\n",
                CHANGED_FRAMES);
    std::printf("%7s %5s | %-36s | %-44s\n", "", "", "unchanged stack: ns per thread per tick",
                "changed stack: ns per changed frame");
    std::printf("%7s %5s | %10s %10s %14s | %10s %10s %20s\n", "threads", "depth", "running", "waiting",
                "baseline(d=0)", "running", "waiting", "waiting above unch.");
    std::vector<int> threadCounts = {100, 1000};
    std::vector<int> depths = {50, 500};
    if (argc == 3) {
        threadCounts = {std::atoi(argv[1])};
        depths = {std::atoi(argv[2])};
    }
    for (int threads : threadCounts) {
        Result baseline = measure(jvm.jni(), threadList, threads, 0, running);
        for (int depth : depths) {
            Result r = measure(jvm.jni(), threadList, threads, depth, running);
            Result w = measure(jvm.jni(), threadList, threads, depth, waiting);
            std::printf("%7d %5d | %10.1f %10.1f %14.1f | %10.1f %10.1f %20.1f\n", threads, depth,
                        r.unchangedPerThread, w.unchangedPerThread, baseline.unchangedPerThread,
                        r.changedPerThread / CHANGED_FRAMES, w.changedPerThread / CHANGED_FRAMES,
                        (w.changedPerThread - w.unchangedPerThread) / CHANGED_FRAMES);
        }
    }
    delete threadList;
    return 0;
}
