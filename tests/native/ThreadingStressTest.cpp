// Thread starts, associateThread and the sampling loop at once, on real
// threads, against a fake JVM whose raw monitors really lock. Meant above all
// for the ThreadSanitizer build, which sees every access to shared agent data
// that the thread monitor does not order; the checks at the end catch lost
// or doubled registrations in any build.

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ClassProfilingSession.h"
#include "CpuProfilingSession.h"
#include "FakeJvm.h"
#include "GlobalsScope.h"
#include "ProfilingSession.h"
#include "Sampler.h"
#include "StderrCapture.h"
#include "ThreadDesc.h"
#include "ThreadManager.h"

extern "C" JNIEXPORT void JNICALL Java_com_tolvane_agent_callee_JvmtiCallee_associateThread(JNIEnv*, jobject, jobject,
                                                                                         jboolean, jobject);

namespace {

// The Java threads are the fake JVM's threads (harness::Thread), created
// before anything runs; their jthreads point into `handles`.
struct World {
    std::vector<_jobject> handles;
    std::vector<std::string> names;
    std::vector<jmethodID> methods;
    std::atomic<int> captures{0};
};

World* g_world = nullptr;
const jint RUNNING = JVMTI_THREAD_STATE_ALIVE | JVMTI_THREAD_STATE_RUNNABLE;

jthread handle(size_t index) {
    return &g_world->handles[index];
}

size_t indexOf(jthread thread) {
    return static_cast<size_t>(static_cast<_jobject*>(thread) - g_world->handles.data());
}

jvmtiError JNICALL setEventNotificationMode(jvmtiEnv*, jvmtiEventMode, jvmtiEvent, jthread, ...) {
    return JVMTI_ERROR_NONE;
}

void installJvmti(harness::FakeJvm& jvm) {
    jvmtiInterface_1_& f = jvm.jvmtiFunctions;
    f.GetSystemProperty = [](jvmtiEnv*, const char*, char**) { return JVMTI_ERROR_NOT_AVAILABLE; };
    // Only the sleep monitor is waited on, and nothing notifies it.
    f.RawMonitorWait = [](jvmtiEnv*, jrawMonitorID, jlong millis) {
        usleep(static_cast<useconds_t>(millis * 1000));
        return JVMTI_ERROR_NONE;
    };
    f.GetCapabilities = [](jvmtiEnv*, jvmtiCapabilities* caps) {
        std::memset(caps, 0, sizeof *caps);
        return JVMTI_ERROR_NONE;
    };
    f.GetPotentialCapabilities = [](jvmtiEnv*, jvmtiCapabilities* caps) {
        std::memset(caps, 0, sizeof *caps);  // no thread CPU times: every tick captures in one batch
        return JVMTI_ERROR_NONE;
    };
    f.AddCapabilities = [](jvmtiEnv*, const jvmtiCapabilities*) { return JVMTI_ERROR_NONE; };
    f.SetEventCallbacks = [](jvmtiEnv*, const jvmtiEventCallbacks*, jint) { return JVMTI_ERROR_NONE; };
    f.GetVersionNumber = [](jvmtiEnv*, jint* version) {
        *version = 0x30000000 | (17 << JVMTI_VERSION_SHIFT_MAJOR);
        return JVMTI_ERROR_NONE;
    };
    f.SetEventNotificationMode = &setEventNotificationMode;

    // Each capture shows every thread one, two or three frames deep, a
    // different depth from one capture to the next, so ticks enter and
    // leave nodes. A thread that has not started has no frames.
    f.GetThreadListStackTraces = [](jvmtiEnv*, jint count, const jthread* list, jint, jvmtiStackInfo** out) {
        int capture = g_world->captures.fetch_add(1, std::memory_order_relaxed);
        const std::vector<jmethodID>& methods = g_world->methods;
        size_t bytes = count * sizeof(jvmtiStackInfo) + count * methods.size() * sizeof(jvmtiFrameInfo);
        char* block = static_cast<char*>(std::malloc(bytes));
        jvmtiStackInfo* infos = reinterpret_cast<jvmtiStackInfo*>(block);
        jvmtiFrameInfo* frames = reinterpret_cast<jvmtiFrameInfo*>(block + count * sizeof(jvmtiStackInfo));
        jint methodCount = static_cast<jint>(methods.size());
        for (jint i = 0; i < count; i++) {
            bool started = harness::FakeJvm::current().thread(list[i]).alive();
            jint depth = started ? 1 + (static_cast<jint>(indexOf(list[i])) + capture) % methodCount : 0;
            for (jint d = 0; d < depth; d++) {
                frames[d] = harness::frame(methods[depth - 1 - d], d);  // innermost first
            }
            infos[i].thread = list[i];
            infos[i].state = started ? RUNNING : 0;
            infos[i].frame_buffer = frames;
            infos[i].frame_count = depth;
            frames += depth;
        }
        *out = infos;
        return JVMTI_ERROR_NONE;
    };
}

// The C++ JNIEnv wrappers reach Java through the va_list variants.
void JNICALL callVoidMethod(JNIEnv*, jobject, jmethodID, va_list) {}
jobject JNICALL callObjectMethod(JNIEnv*, jobject, jmethodID, va_list) {
    return nullptr;  // no transaction labels
}

void installJni(harness::FakeJvm& jvm) {
    JNINativeInterface_& j = jvm.jniFunctions;
    j.NewGlobalRef = [](JNIEnv*, jobject obj) { return obj; };
    j.ExceptionCheck = [](JNIEnv*) -> jboolean { return JNI_FALSE; };
    j.PushLocalFrame = [](JNIEnv*, jint) { return JNI_OK; };
    j.PopLocalFrame = [](JNIEnv*, jobject result) { return result; };
    j.CallVoidMethodV = &callVoidMethod;
    j.CallObjectMethodV = &callObjectMethod;
}

class ThreadingStressTest : public ::testing::Test {
protected:
    static constexpr int STARTERS = 2;
    static constexpr int THREADS_PER_STARTER = 60;

    void SetUp() override {
        g_world = &world;
        jvm.installMethods();
        jvm.installThreads();
        jvm.installLockingMonitors();
        installJvmti(jvm);
        installJni(jvm);
        jvm.vmFunctions.GetEnv = [](JavaVM*, void** env, jint version) -> jint {
            if (version == JNI_VERSION_1_4) {
                return JNI_EDETACHED;  // the attach then needs no Java calls
            }
            *env = harness::FakeJvm::current().jvmti();
            return JNI_OK;
        };
        for (int i = 0; i < 3; i++) {
            world.methods.push_back(jvm.newMethod("test.stress.Worker", "step" + std::to_string(i), {{0, 10 + i}}));
        }
        const size_t threads = STARTERS * THREADS_PER_STARTER + 1;
        world.handles.resize(threads);
        for (size_t i = 0; i < threads; i++) {
            world.names.push_back("worker-" + std::to_string(i));
        }
        for (size_t i = 0; i < threads; i++) {
            harness::Thread& t = jvm.thread(handle(i));
            t.name = world.names[i].c_str();
            t.state = 0;  // not started
        }

        // The Java hooks are known, so the sampling loop looks nothing up.
        SamplerHelper::initSamplingState = reinterpret_cast<jmethodID>(0x101);
        SamplerHelper::getSamplingTransactionIds = reinterpret_cast<jmethodID>(0x102);
        SamplerHelper::stopped = false;
    }

    void TearDown() override {
        delete session;  // takes the thread monitor, so before the monitors go
        jvm.releaseLineCache();
        g_recordingInProgress.store(false);
        g_world = nullptr;
    }

    World world;
    GlobalsScope globals;
    harness::FakeJvm jvm;
    ProfilingSession* session = nullptr;
};

TEST_F(ThreadingStressTest, ThreadStartsRaceTheSamplingLoopAndAssociateThread) {
    session = new ProfilingSession();
    g_profilingSession = session;
    {
        // Only around the attach: a race report must reach the console.
        StderrCapture console;
        session->init(jvm.vm(), nullptr);
    }
    ASSERT_TRUE(session->isAttached());
    JNIEnv* env = jvm.jni();
    CpuProfilingSession* threadList = session->cpuProfilingSession;

    // What record does before it samples, minus the live threads: there are
    // none yet, every thread starts during the run.
    g_recordingInProgress.store(true);
    {
        ThreadMonitorLock lock;
        ThreadManager::startRecording();
        g_recording = true;
    }

    std::thread recorder([&] {
        session->sampler->runThreadStatusSampler(env, 60000, 1);  // until VM death stops it
    });

    // Each starter starts its own share of the threads; a thread start event
    // is delivered after the thread is alive, as the JVM does.
    std::vector<std::thread> starters;
    for (int s = 0; s < STARTERS; s++) {
        starters.emplace_back([&, s] {
            for (int i = s * THREADS_PER_STARTER; i < (s + 1) * THREADS_PER_STARTER; i++) {
                harness::FakeJvm::setCurrentThread(handle(i));
                jvm.thread(handle(i)).state.store(RUNNING, std::memory_order_relaxed);
                LiveCpuProfilingHelper::dxThreadStart(jvm.jvmti(), env, handle(i));
                if (i % 8 == 0) {
                    usleep(500);  // let ticks fall between starts
                }
            }
        });
    }

    // Associates every odd thread, from the last one down, so that some are
    // associated before their start and others after; and itself, as the
    // calling thread.
    std::vector<_jobject> javaManagers(world.handles.size());
    std::thread associator([&] {
        size_t self = world.handles.size() - 1;
        harness::FakeJvm::setCurrentThread(handle(self));
        jvm.thread(handle(self)).state.store(RUNNING, std::memory_order_relaxed);
        Java_com_tolvane_agent_callee_JvmtiCallee_associateThread(env, nullptr, handle(self), JNI_TRUE,
                                                                  &javaManagers[self]);
        for (int i = STARTERS * THREADS_PER_STARTER - 1; i >= 0; i -= 2) {
            Java_com_tolvane_agent_callee_JvmtiCallee_associateThread(env, nullptr, handle(i), JNI_FALSE,
                                                                      &javaManagers[i]);
            if (i % 16 == 1) {
                usleep(300);
            }
        }
    });

    for (std::thread& starter : starters) {
        starter.join();
    }
    associator.join();
    // A few more ticks over the complete list, then VM death ends the loop.
    int capturesSoFar = world.captures.load();
    while (world.captures.load() < capturesSoFar + 3) {
        usleep(1000);
    }
    SamplerHelper::stop(env);
    recorder.join();

    ThreadMonitorLock lock;
    g_recording = false;
    std::vector<ThreadManager*>& managers = threadList->getThreadManagers();
    EXPECT_EQ(world.handles.size(), managers.size());
    for (size_t i = 0; i < world.handles.size(); i++) {
        SCOPED_TRACE(world.names[i]);
        ThreadManager* found = nullptr;
        int listed = 0;
        for (ThreadManager* manager : managers) {
            if (manager->threadHandle == handle(i)) {
                found = manager;
                listed++;
            }
        }
        ASSERT_EQ(1, listed) << "one manager per thread";
        EXPECT_EQ(found, jvm.thread(handle(i)).storage.load()) << "the thread's storage names its manager";
        EXPECT_FALSE(found->awaitingStart);
        bool associated = i % 2 == 1 || i == world.handles.size() - 1;
        EXPECT_EQ(associated ? &javaManagers[i] : nullptr, found->javaThreadManager);
        ASSERT_NE(nullptr, found->threadDesc);
        EXPECT_EQ(world.names[i], found->threadDesc->getThreadName());
    }
    threadList->destroyThreadManagers(env);
    session->sampler->reset();
}

}  // namespace
