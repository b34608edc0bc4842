#include "GlobalsScope.h"

#include <algorithm>
#include <atomic>

#include "CallTree.h"
#include "ClassProfilingSession.h"
#include "Counter.h"
#include "CpuProfilingSession.h"
#include "FileDataWriter.h"
#include "LockProbe.h"
#include "ProfilingSession.h"
#include "Sampler.h"
#include "ThreadManager.h"

namespace {

template <typename T>
std::function<void()> keep(T& global) {
    T value = global;
    return [&global, value] { global = value; };
}

template <typename T>
std::function<void()> keep(std::atomic<T>& global) {
    T value = global.load();
    return [&global, value] { global.store(value); };
}

// The ignored class names are new[] copies the registry owns: the ones a
// test added are freed, the list goes back to what it was.
std::function<void()> keepIgnoredClassNames() {
    std::vector<char*> saved = ClassProfilingHelper::tolvaneIgnoredClassNames;
    return [saved] {
        for (char* name : ClassProfilingHelper::tolvaneIgnoredClassNames) {
            if (std::find(saved.begin(), saved.end(), name) == saved.end()) {
                delete[] name;
            }
        }
        ClassProfilingHelper::tolvaneIgnoredClassNames = saved;
    };
}

// The process's session object is shared by every test; tests change the
// parts of it the sampler reads.
std::function<void()> keepSessionFields() {
    ProfilingSession* session = g_profilingSession;
    if (session == nullptr) {
        return [] {};
    }
    CpuProfilingSession* threads = session->cpuProfilingSession;
    ClassProfilingSession* classes = session->classProfilingSession;
    int maxStackDepth = session->maxStackDepth;
    return [session, threads, classes, maxStackDepth] {
        session->cpuProfilingSession = threads;
        session->classProfilingSession = classes;
        session->maxStackDepth = maxStackDepth;
    };
}

}  // namespace

GlobalsScope::GlobalsScope() {
    Counter::getUsec();
    restores = {
        keep(g_profilingSession),
        keepSessionFields(),
        keep(g_profilingInterface),
        keep(g_safeThreadStart),
        keep(g_sampleAgentThreads),
        keep(g_sampleAgentClasses),
        keep(g_batchedCapture),
        keep(g_threadCpuTimeAvailable),
        keep(g_recordCpuTime),
        keep(g_recordLocks),
        keep(g_contendedMonitorAvailable),
        keep(g_monitorInfoAvailable),
        keep(g_asyncSampling),
        keep(g_singleCaptureLimit),
        keep(g_recording),
        keep(g_threadEndsReported),
        keep(g_recordStartTime),
        keep(g_recordingInProgress),
        keep(g_recordingThreadEnv),
        keep(Profiling::javaVm),
        keep(Profiling::_threadMonitor),
        keep(Profiling::_sleepMonitor),
        keep(Profiling::systemClass),
        keep(Profiling::getPropertyMethod),
        keep(Profiling::agentJarAdded),
        keep(Counter::initialized),
        keep(Counter::s_startTime),
        keep(Counter::s_initialUsec),
        keep(Counter::s_monotonicBase),
        keep(ClassProfilingHelper::liveClassProfilingSession),
        keep(ClassProfilingHelper::unknownMethodDesc),
        keep(ClassProfilingHelper::objectInitMethodDesc),
        keepIgnoredClassNames(),
        keep(LiveCpuProfilingHelper::liveCpuProfilingSession),
        keep(SamplerHelper::stopped),
        keep(SamplerHelper::liveSamplerSession),
        keep(SamplerHelper::initSamplingState),
        keep(SamplerHelper::getSamplingTransactionIds),
        keep(ThreadManager::nodeLimit),
        keep(ThreadManager::nodesCreated),
        keep(ThreadManager::nodeLimitReached),
        keep(FileDataWriter::stallLimitMillis),
    };
}

GlobalsScope::~GlobalsScope() {
    // Newest first, as a stack of saves unwinds.
    for (auto it = restores.rbegin(); it != restores.rend(); ++it) {
        (*it)();
    }
}
