#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

#include "CallTree.h"
#include "CallTreeSampler.h"
#include "ClassProfilingSession.h"
#include "Counter.h"
#include "CpuProfilingSession.h"
#include "FakeJvm.h"
#include "GlobalsScope.h"
#include "PointerHashMap.h"
#include "ProfilingSession.h"
#include "Sampler.h"
#include "ThreadDesc.h"
#include "ThreadManager.h"
#include "ThreadSampleBuffer.h"
#include "MethodDesc.h"

using harness::Array;
using harness::FakeJvm;
using harness::frame;

namespace {

const jint ALIVE = JVMTI_THREAD_STATE_ALIVE;

// What the fake JVM's Java side knows and what it saw during a test.
struct TickFakes {
    std::map<jobject, std::string> javaManagerNames;
    std::map<jobject, Array*> transactionIds;
    std::set<jobject> throwingManagers;
    int stopAtStackCall = -1;  // the batched capture that ends the run
    int findClassCalls = 0;
    int getMethodIdCalls = 0;
    std::vector<std::string> log;
    // Sleep monitor: each wait really sleeps; the listed wait (1-based)
    // reports an interrupt, and waitHook runs before every wait.
    int waits = 0;
    int interruptAtWait = -1;
    void (*waitHook)(int wait) = nullptr;
};

TickFakes& fakes() {
    static TickFakes f;
    return f;
}

jrawMonitorID const FAKE_MONITOR = reinterpret_cast<jrawMonitorID>(0x4d4f4e);

jrawMonitorID const FAKE_SLEEP_MONITOR = reinterpret_cast<jrawMonitorID>(0x534c50);

void installSleepFakes(FakeJvm& jvm) {
    jvm.jvmtiFunctions.RawMonitorWait = [](jvmtiEnv*, jrawMonitorID monitor, jlong millis) {
        EXPECT_EQ(monitor, FAKE_SLEEP_MONITOR);
        int wait = ++fakes().waits;
        if (fakes().waitHook != nullptr) {
            fakes().waitHook(wait);
        }
        if (wait == fakes().interruptAtWait) {
            return JVMTI_ERROR_INTERRUPT;
        }
        usleep(static_cast<useconds_t>(millis * 1000));
        return JVMTI_ERROR_NONE;
    };
}

// The C++ JNIEnv wrappers reach Java through the va_list variants.
void JNICALL fakeCallVoidMethod(JNIEnv*, jobject obj, jmethodID method, va_list) {
    EXPECT_EQ(method, SamplerHelper::initSamplingState);
    fakes().log.push_back("init:" + fakes().javaManagerNames[obj]);
    if (fakes().throwingManagers.count(obj) != 0) {
        FakeJvm::current().exceptionPending = true;
    }
}

jobject JNICALL fakeCallObjectMethod(JNIEnv*, jobject obj, jmethodID method, va_list) {
    EXPECT_EQ(method, SamplerHelper::getSamplingTransactionIds);
    fakes().log.push_back("ids:" + fakes().javaManagerNames[obj]);
    auto it = fakes().transactionIds.find(obj);
    jobject result = it != fakes().transactionIds.end() ? reinterpret_cast<jobject>(it->second) : nullptr;
    if (fakes().throwingManagers.count(obj) != 0) {
        FakeJvm::current().exceptionPending = true;
    }
    return result;
}

void installTickFakes(FakeJvm& jvm) {
    jvm.installThreadRefs();
    jvm.installStacks();
    jvm.installMonitors();
    jvm.beforeBatchCapture = [] {
        fakes().log.push_back("stacks");
        if (FakeJvm::current().calls.stackCalls == fakes().stopAtStackCall) {
            SamplerHelper::stopped = true;
        }
    };
    jvm.jniFunctions.CallVoidMethodV = &fakeCallVoidMethod;
    jvm.jniFunctions.CallObjectMethodV = &fakeCallObjectMethod;
    jvm.jniFunctions.FindClass = [](JNIEnv*, const char* name) -> jclass {
        fakes().findClassCalls++;
        EXPECT_STREQ(name, "com/tolvane/agent/callee/JvmtiCallee$JvmtiThreadManager");
        return reinterpret_cast<jclass>(0x77);
    };
    jvm.jniFunctions.GetMethodID = [](JNIEnv*, jclass, const char* name, const char* sig) -> jmethodID {
        fakes().getMethodIdCalls++;
        if (std::strcmp(name, "initSamplingState") == 0 && std::strcmp(sig, "()V") == 0) {
            return reinterpret_cast<jmethodID>(0x101);
        }
        if (std::strcmp(name, "getSamplingTransactionIds") == 0 && std::strcmp(sig, "()[J") == 0) {
            return reinterpret_cast<jmethodID>(0x102);
        }
        return nullptr;
    };
}

class SamplerTest : public ::testing::Test {
protected:
    GlobalsScope globals;
    FakeJvm jvm;
    CpuProfilingSession* threadList = nullptr;
    ClassProfilingSession* registry = nullptr;
    Sampler* sampler = nullptr;

    uintptr_t nextHandle = 0x7100000;

    void SetUp() override {
        fakes() = TickFakes();
        jvm.installMethods();
        jvm.installArrays();
        installTickFakes(jvm);

        // Without thread CPU times every candidate is captured in one batch.
        g_threadCpuTimeAvailable = false;
        g_batchedCapture = false;
        g_recordCpuTime = false;
        g_profilingInterface = jvm.jvmti();
        Profiling::_threadMonitor = FAKE_MONITOR;
        threadList = new CpuProfilingSession();
        registry = new ClassProfilingSession(nullptr);
        g_profilingSession->cpuProfilingSession = threadList;
        g_profilingSession->classProfilingSession = registry;
        g_profilingSession->maxStackDepth = 1000;
        SamplerHelper::stopped = false;
        SamplerHelper::initSamplingState = reinterpret_cast<jmethodID>(0x101);
        SamplerHelper::getSamplingTransactionIds = reinterpret_cast<jmethodID>(0x102);
        sampler = new Sampler(5, threadList, registry, 1000);
    }

    void TearDown() override {
        jvm.releaseLineCache();
        delete sampler;
        delete threadList;
        delete registry;
    }

    // Threads are checked for CPU use and the few that ran are captured one by one.
    void useSelectiveCapture() {
        jvm.installSingleCaptures();
        g_threadCpuTimeAvailable = true;
    }

    std::vector<jthread> handles(std::initializer_list<ThreadManager*> managers) {
        std::vector<jthread> result;
        for (ThreadManager* m : managers) {
            result.push_back(m->threadHandle);
        }
        return result;
    }

    static std::set<jthread> asSet(const std::vector<jthread>& threads) {
        return std::set<jthread>(threads.begin(), threads.end());
    }

    jobject newHandle() {
        nextHandle += 0x10;
        return reinterpret_cast<jobject>(nextHandle);
    }

    // A registered thread with a stack (outermost frame first) and a JVMTI state.
    ThreadManager* addThread(const std::vector<jvmtiFrameInfo>& bottomToTop, jint state = ALIVE | JVMTI_THREAD_STATE_RUNNABLE) {
        jobject handle = newHandle();
        ThreadManager* manager = new ThreadManager(static_cast<jweak>(handle), nullptr);
        manager->setThreadDesc(new ThreadDesc(manager, "worker", "main", 0));
        threadList->threadManagers.push_back(manager);
        harness::Thread& t = jvm.thread(handle);
        t.frames.assign(bottomToTop.rbegin(), bottomToTop.rend());
        t.state = state;
        return manager;
    }

    harness::Thread& threadOf(ThreadManager* manager) { return jvm.thread(manager->threadHandle); }

    jobject addJavaManager(ThreadManager* manager, const std::string& name) {
        jobject obj = newHandle();
        fakes().javaManagerNames[obj] = name;
        manager->javaThreadManager = obj;
        return obj;
    }

    void tick(jlong timestamp = 1000000, jlong time = 5000, bool transactions = false) {
        sampler->doThreadStatusSampling(jvm.jni(), timestamp, time, transactions ? 1 : 0);
        EXPECT_EQ(jvm.calls.monitorDepth, 0);
        EXPECT_EQ(jvm.calls.pushes, jvm.calls.pops);
        EXPECT_EQ(jvm.stackBuffer, nullptr) << "stack buffer not deallocated";
    }

    CallTreeSampler* samplerOf(ThreadManager* manager) {
        return sampler->threadSamplers != nullptr ? sampler->threadSamplers->get(manager) : nullptr;
    }

    std::vector<jvmtiFrameInfo> oneFrameStack(const char* cls) { return {frame(jvm.newMethod(cls, "run"), 0)}; }
};

TEST_F(SamplerTest, WithoutCandidatesATickOnlyTakesTheMonitor) {
    FakeJvm bare;
    bare.installMonitors();
    g_profilingInterface = bare.jvmti();

    sampler->doThreadStatusSampling(bare.jni(), 1000, 5000, 1);
    ASSERT_NE(sampler->threadSamplers, nullptr);
    EXPECT_EQ(sampler->threadSamplers->size(), 0);

    addThread({})->setThreadStatus(THREAD_STATUS_DEAD);
    addThread({})->ignored = true;
    addThread({})->threadHandle = nullptr;
    ThreadManager* noDesc = addThread({});
    delete noDesc->threadDesc;
    noDesc->threadDesc = nullptr;
    bare.calls.monitorEnters = 0;
    sampler->doThreadStatusSampling(bare.jni(), 1000, 5000, 1);
    EXPECT_EQ(sampler->threadSamplers->size(), 0);
    EXPECT_EQ(bare.calls.monitorEnters, 1);
    EXPECT_EQ(bare.calls.monitorDepth, 0);
    g_profilingInterface = jvm.jvmti();  // `bare` ends with this scope
}

TEST_F(SamplerTest, OneBatchedCaptureConvertsEveryCandidateAndCarriesSamplersOver) {
    ThreadManager* a = addThread(oneFrameStack("test.t2.A"));
    ThreadManager* b = addThread(oneFrameStack("test.t2.B"));
    addThread(oneFrameStack("test.t2.C"))->ignored = true;

    tick();
    EXPECT_EQ(jvm.calls.stackCalls, 1);
    EXPECT_TRUE(jvm.monitorHeldDuringCapture);
    EXPECT_EQ(jvm.lastMaxDepth, 1000);
    EXPECT_EQ(jvm.lastCapacity, 8);
    std::set<jthread> captured(jvm.lastThreads.begin(), jvm.lastThreads.end());
    EXPECT_EQ(captured, (std::set<jthread>{a->threadHandle, b->threadHandle}));
    EXPECT_EQ(jvm.calls.stackBuffersFreed, 1);
    EXPECT_NE(a->currentNode, a->rootNode);
    EXPECT_NE(b->currentNode, b->rootNode);
    EXPECT_EQ(a->currentNode->value, 5000);

    CallTreeSampler* samplerA = samplerOf(a);
    ASSERT_NE(samplerA, nullptr);
    EXPECT_EQ(samplerA->threadManager, a);
    tick();
    EXPECT_EQ(samplerOf(a), samplerA);
    EXPECT_EQ(sampler->threadSamplers->size(), 2);
    EXPECT_EQ(a->currentNode->value, 10000);

    int ticks = sampler->tickCount;
    sampler->reset();
    EXPECT_EQ(sampler->threadSamplers, nullptr);
    EXPECT_EQ(sampler->tickCount, ticks);
}

TEST_F(SamplerTest, StatusFollowsTheFirstMatchingStateBit) {
    ThreadManager* runningWaiting =
        addThread(oneFrameStack("test.t3.A"), ALIVE | JVMTI_THREAD_STATE_RUNNABLE | JVMTI_THREAD_STATE_WAITING);
    ThreadManager* blockedWaiting = addThread(
        oneFrameStack("test.t3.B"), ALIVE | JVMTI_THREAD_STATE_BLOCKED_ON_MONITOR_ENTER | JVMTI_THREAD_STATE_WAITING);
    ThreadManager* sleeping = addThread(
        oneFrameStack("test.t3.C"), ALIVE | JVMTI_THREAD_STATE_WAITING | JVMTI_THREAD_STATE_SLEEPING);
    ThreadManager* unknown = addThread(oneFrameStack("test.t3.D"), ALIVE);
    unknown->setThreadStatus(THREAD_STATUS_BLOCKED);
    runningWaiting->setThreadStatus(THREAD_STATUS_WAITING);

    tick();
    EXPECT_EQ(runningWaiting->threadStatus, THREAD_STATUS_RUNNING);
    EXPECT_EQ(blockedWaiting->threadStatus, THREAD_STATUS_BLOCKED);
    EXPECT_EQ(sleeping->threadStatus, THREAD_STATUS_WAITING);
    EXPECT_EQ(unknown->threadStatus, THREAD_STATUS_BLOCKED);
    // Every one of them is converted and booked by its status.
    ASSERT_NE(unknown->currentNode, unknown->rootNode);
    ASSERT_NE(unknown->currentNode->getMonitorTimeValues(), nullptr);
    EXPECT_EQ(unknown->currentNode->getMonitorTimeValues()->blockingTime, 5000);
    ASSERT_NE(sleeping->currentNode->getMonitorTimeValues(), nullptr);
    EXPECT_EQ(sleeping->currentNode->getMonitorTimeValues()->waitingTime, 5000);
}

TEST_F(SamplerTest, TerminatedThreadIsEndedWithoutConversionAndDropsOut) {
    ThreadManager* ended = addThread(oneFrameStack("test.t4.A"), JVMTI_THREAD_STATE_TERMINATED);
    ThreadManager* notExactly =
        addThread(oneFrameStack("test.t4.B"), JVMTI_THREAD_STATE_TERMINATED | JVMTI_THREAD_STATE_RUNNABLE);

    tick();
    EXPECT_TRUE(ended->getIsDead());
    EXPECT_NE(ended->threadDesc->getThreadEndTime(), -1);
    EXPECT_EQ(ended->threadHandle, nullptr);
    EXPECT_EQ(jvm.calls.weakDeletes, 1);
    EXPECT_FALSE(ended->rootNode->hasChildren());
    EXPECT_FALSE(notExactly->getIsDead());
    EXPECT_EQ(notExactly->threadStatus, THREAD_STATUS_RUNNING);
    EXPECT_TRUE(notExactly->rootNode->hasChildren());

    tick();
    EXPECT_EQ(jvm.lastThreads, std::vector<jthread>{notExactly->threadHandle});
    EXPECT_EQ(samplerOf(ended), nullptr);
    EXPECT_EQ(sampler->threadSamplers->size(), 1);
}

TEST_F(SamplerTest, ThreadWhoseObjectWasCollectedHasEnded) {
    ThreadManager* live = addThread(oneFrameStack("test.t5.A"));
    ThreadManager* gone = addThread(oneFrameStack("test.t5.B"));
    tick();
    jlong goneValue = gone->currentNode->value;

    jvm.thread(gone->threadHandle).collected = true;
    tick(2000000);
    EXPECT_EQ(jvm.lastThreads, std::vector<jthread>{live->threadHandle});
    EXPECT_TRUE(gone->getIsDead());
    EXPECT_GE(gone->threadDesc->getThreadEndTime(), 0) << "a collected thread is written as ended";
    EXPECT_EQ(gone->currentNode->value, goneValue);
    EXPECT_EQ(jvm.lastCapacity, 8);  // the frame is sized by candidates

    tick();
    EXPECT_EQ(samplerOf(gone), nullptr);
    EXPECT_EQ(sampler->threadSamplers->size(), 1);
}

TEST_F(SamplerTest, FailedCaptureDropsTheTickButInstallsTheNewMap) {
    ThreadManager* a = addThread(oneFrameStack("test.t6.A"), ALIVE | JVMTI_THREAD_STATE_WAITING);
    jvm.stackError = JVMTI_ERROR_INTERNAL;
    tick();
    EXPECT_EQ(jvm.calls.stackCalls, 1);
    EXPECT_EQ(a->threadStatus, THREAD_STATUS_RUNNING);
    EXPECT_FALSE(a->rootNode->hasChildren());
    ASSERT_NE(sampler->threadSamplers, nullptr);
    CallTreeSampler* kept = samplerOf(a);
    ASSERT_NE(kept, nullptr);

    jvm.stackError = JVMTI_ERROR_NONE;
    tick();
    EXPECT_EQ(samplerOf(a), kept);
    EXPECT_EQ(a->threadStatus, THREAD_STATUS_WAITING);
    EXPECT_TRUE(a->rootNode->hasChildren());
}

TEST_F(SamplerTest, SamplersOfThreadsNoLongerSampledAreDeleted) {
    ThreadManager* a = addThread(oneFrameStack("test.t7.A"));
    ThreadManager* b = addThread(oneFrameStack("test.t7.B"));
    ThreadManager* c = addThread(oneFrameStack("test.t7.C"));
    tick();
    EXPECT_EQ(sampler->threadSamplers->size(), 3);

    b->ignored = true;
    threadList->threadManagers.erase(std::find(threadList->threadManagers.begin(), threadList->threadManagers.end(), c));
    tick();
    EXPECT_EQ(sampler->threadSamplers->size(), 1);
    EXPECT_NE(samplerOf(a), nullptr);
    EXPECT_EQ(samplerOf(b), nullptr);
    EXPECT_EQ(samplerOf(c), nullptr);
    delete c;

    // A manager listed twice is sampled once.
    threadList->threadManagers.push_back(a);
    tick();
    EXPECT_EQ(jvm.lastThreads.size(), 1u);
    threadList->threadManagers.pop_back();
}

TEST_F(SamplerTest, StatusPointsEveryFortiethTickAcrossRecordings) {
    ThreadManager* a = addThread(oneFrameStack("test.t8.A"));
    const jint states[] = {ALIVE | JVMTI_THREAD_STATE_RUNNABLE, ALIVE | JVMTI_THREAD_STATE_BLOCKED_ON_MONITOR_ENTER,
                           ALIVE | JVMTI_THREAD_STATE_WAITING};
    for (int t = 1; t <= 130; t++) {
        threadOf(a).state = states[t % 3];
        tick(static_cast<jlong>(t) * 10000);
        if (t == 50) {
            sampler->reset();  // the end of one recording
        }
    }
    EXPECT_EQ(a->threadDesc->getThreadStatusTimeList(), (std::vector<jint>{40, 80, 120}));
    EXPECT_EQ(a->threadDesc->getThreadStatusList(),
              (std::vector<unsigned char>{THREAD_STATUS_BLOCKED, THREAD_STATUS_WAITING, THREAD_STATUS_RUNNING}));

    EXPECT_EQ(Sampler(200).statusInterval, 1);
    EXPECT_EQ(Sampler(300).statusInterval, 1);
    EXPECT_EQ(Sampler(7).statusInterval, 28);
    SamplerHelper::liveSamplerSession = sampler;
}

TEST_F(SamplerTest, TransactionHooksRunAroundTheCapture) {
    MethodDesc* t = new MethodDesc(ClassProfilingHelper::interceptionClassData, "tx", 2, "()V", 3, registry);
    registry->addMethodDesc(t);
    {
        ThreadMonitorLock lock;  // callers hold it, as the natives do
        ClassProfilingHelper::addInterceptionMethod(t);
    }
    Array ids = Array::ofLongs({1, static_cast<jlong>(reinterpret_cast<intptr_t>(t))});

    ThreadManager* withIds = addThread(oneFrameStack("test.t9.A"));
    ThreadManager* plain = addThread(oneFrameStack("test.t9.B"));
    ThreadManager* ending = addThread(oneFrameStack("test.t9.C"), JVMTI_THREAD_STATE_TERMINATED);
    ThreadManager* throwing = addThread(oneFrameStack("test.t9.D"));
    fakes().transactionIds[addJavaManager(withIds, "A")] = &ids;
    addJavaManager(ending, "C");
    jobject d = addJavaManager(throwing, "D");
    fakes().transactionIds[d] = &ids;
    fakes().throwingManagers.insert(d);

    tick(1000000, 5000, true);
    std::vector<std::string>& log = fakes().log;
    auto stacks = std::find(log.begin(), log.end(), "stacks");
    ASSERT_NE(stacks, log.end());
    std::set<std::string> before(log.begin(), stacks);
    std::set<std::string> after(stacks + 1, log.end());
    EXPECT_EQ(before, (std::set<std::string>{"init:A", "init:C", "init:D"}));
    EXPECT_EQ(after, (std::set<std::string>{"ids:A", "ids:D"}));
    EXPECT_FALSE(jvm.exceptionPending);
    EXPECT_EQ(jvm.calls.exceptionsCleared, 2);

    CallTree* nodeT = withIds->rootNode->getChild(t, 0);
    ASSERT_NE(nodeT, nullptr);
    EXPECT_EQ(withIds->currentNode->getParent(), nodeT);
    // An exception from the hook makes its result count as null.
    EXPECT_EQ(throwing->rootNode->getChild(t, 0), nullptr);
    EXPECT_EQ(throwing->currentNode->getParent(), throwing->rootNode);
    EXPECT_EQ(plain->currentNode->getParent(), plain->rootNode);

    log.clear();
    tick(1010000, 5000, false);
    EXPECT_EQ(log, std::vector<std::string>{"stacks"});
    EXPECT_EQ(withIds->currentNode->getParent(), withIds->rootNode);  // no ids: the transaction is left
}

TEST_F(SamplerTest, FailedLocalFrameDropsTheTickWithoutPopping) {
    ThreadManager* a = addThread(oneFrameStack("test.t10.A"));
    jvm.failPush = true;
    tick();
    EXPECT_EQ(jvm.calls.pops, 0);
    EXPECT_EQ(jvm.calls.stackCalls, 0);
    EXPECT_FALSE(jvm.exceptionPending);
    EXPECT_NE(samplerOf(a), nullptr);
    EXPECT_FALSE(a->rootNode->hasChildren());
}

TEST_F(SamplerTest, RecordingLoopLooksUpHooksAndStopsAtTheNextTick) {
    SamplerHelper::initSamplingState = nullptr;
    SamplerHelper::getSamplingTransactionIds = nullptr;
    addThread(oneFrameStack("test.t11.A"));

    sampler->runThreadStatusSampler(jvm.jni(), 0, 0);
    sampler->runThreadStatusSampler(jvm.jni(), -5, 0);
    EXPECT_EQ(jvm.calls.stackCalls, 0);
    EXPECT_EQ(sampler->tickCount, 0);
    EXPECT_EQ(fakes().findClassCalls, 1);  // looked up once, even without a tick
    EXPECT_EQ(SamplerHelper::initSamplingState, reinterpret_cast<jmethodID>(0x101));
    EXPECT_EQ(SamplerHelper::getSamplingTransactionIds, reinterpret_cast<jmethodID>(0x102));

    // A short recording ends once its length has passed.
    jlong start = Counter::getUsec();
    sampler->runThreadStatusSampler(jvm.jni(), 2, 0);
    EXPECT_GE(Counter::getUsec() - start, 2000);
    EXPECT_GE(jvm.calls.stackCalls, 1);
    EXPECT_EQ(jvm.calls.monitorDepth, 0);

    // VM death during a tick: that tick completes, the loop ends, and later
    // recordings take no tick at all.
    int before = jvm.calls.stackCalls;
    fakes().stopAtStackCall = before + 3;
    sampler->runThreadStatusSampler(jvm.jni(), 1000000, 0);
    EXPECT_EQ(jvm.calls.stackCalls, before + 3);
    int ticks = sampler->tickCount;
    sampler->runThreadStatusSampler(jvm.jni(), 1000000, 0);
    sampler->doThreadStatusSampling(jvm.jni(), 0, 0, 0);
    EXPECT_EQ(jvm.calls.stackCalls, before + 3);
    EXPECT_EQ(sampler->tickCount, ticks);
    EXPECT_EQ(fakes().findClassCalls, 1);
}

TEST_F(SamplerTest, InterruptedWaitEndsTheLoopAfterItsTickAndIsReported) {
    installSleepFakes(jvm);
    Profiling::_sleepMonitor = FAKE_SLEEP_MONITOR;
    addThread(oneFrameStack("test.t12.A"));
    fakes().interruptAtWait = 3;
    fakes().stopAtStackCall = 50;  // ends the loop should the interrupt go unseen

    EXPECT_TRUE(sampler->runThreadStatusSampler(jvm.jni(), 1000000, 0));
    EXPECT_EQ(fakes().waits, 3);
    EXPECT_EQ(jvm.calls.stackCalls, 3);  // the interrupted wait still ends in a tick
    EXPECT_EQ(jvm.calls.monitorDepth, 0);

    // Runs that end by their length or by VM death report no interrupt.
    fakes().interruptAtWait = -1;
    EXPECT_FALSE(sampler->runThreadStatusSampler(jvm.jni(), 10, 0));
    fakes().stopAtStackCall = jvm.calls.stackCalls + 2;
    EXPECT_FALSE(sampler->runThreadStatusSampler(jvm.jni(), 1000000, 0));
}

TEST_F(SamplerTest, WallClockSetBackDoesNotLengthenTheRun) {
    installSleepFakes(jvm);
    Profiling::_sleepMonitor = FAKE_SLEEP_MONITOR;
    addThread(oneFrameStack("test.t13.A"));
    // Moving the clock's base forward reads as the wall clock stepping back
    // an hour; it steps forward again at the 200th wait, which ends the run
    // of a loop that goes by the wall clock.
    fakes().waitHook = [](int wait) {
        if (wait == 1) {
            Counter::s_startTime += 3600;
        } else if (wait == 200) {
            Counter::s_startTime -= 3600;
        }
    };
    EXPECT_FALSE(sampler->runThreadStatusSampler(jvm.jni(), 30, 0));
    EXPECT_LT(fakes().waits, 100);
    EXPECT_GE(fakes().waits, 1);
}

TEST_F(SamplerTest, RunEndsAtTheFirstTickTakenAtOrAfterItsLength) {
    installSleepFakes(jvm);
    Profiling::_sleepMonitor = FAKE_SLEEP_MONITOR;
    addThread(oneFrameStack("test.t21.A"));
    // Each capture takes 150 ms. A 100 ms run: the first tick is taken at
    // about 5 ms, before the length has passed, so a second one follows even
    // though the first ended after 100 ms. The margins are wide so that a
    // loaded machine oversleeping the 5 ms cannot change the count.
    jvm.captureDelayMicros = 150000;
    sampler->runThreadStatusSampler(jvm.jni(), 100, 0);
    EXPECT_EQ(jvm.calls.stackCalls, 2);
}

TEST_F(SamplerTest, WallClockStepsAreNotBookedAsThreadTime) {
    installSleepFakes(jvm);
    Profiling::_sleepMonitor = FAKE_SLEEP_MONITOR;
    ThreadManager* a = addThread(oneFrameStack("test.t22.A"));
    // The wall clock goes an hour back before the third wait.
    fakes().waitHook = [](int wait) {
        if (wait == 3) {
            Counter::s_startTime += 3600;
        }
    };
    sampler->runThreadStatusSampler(jvm.jni(), 40, 0);
    jlong booked = a->currentNode->value;
    EXPECT_GE(booked, 30000);
    EXPECT_LT(booked, 1000000) << "booked " << booked << " us in a 40 ms run";
}

TEST_F(SamplerTest, FirstSampleOfAThreadBooksNothingFromBeforeItsStart) {
    ThreadManager* young = addThread(oneFrameStack("test.t23.A"));
    ThreadManager* old = addThread(oneFrameStack("test.t23.B"));
    young->threadDesc->threadStartTime = 998000;  // started 2 ms before the tick
    old->threadDesc->threadStartTime = 100000;
    tick(1000000, 5000);
    EXPECT_EQ(young->currentNode->value, 2000);
    EXPECT_EQ(old->currentNode->value, 5000);
    tick(1005000, 5000);
    EXPECT_EQ(young->currentNode->value, 7000) << "only the first sample is cut";
}

TEST_F(SamplerTest, ThreadsAreConvertedInTheOrderOfAGrowingElevenBucketMap) {
    std::vector<ThreadManager*> managers;
    for (int i = 0; i < 40; i++) {
        managers.push_back(addThread(oneFrameStack("test.t24.A")));
    }
    PointerHashMap<ThreadManager, void*> reference(11, 0.75f);
    for (ThreadManager* m : managers) {
        reference.put(m, m);
    }
    std::vector<jthread> expected;
    std::unique_ptr<PHMIterator<ThreadManager, void*>> it(reference.getPHMIterator());
    while (it->hasNext()) {
        expected.push_back(it->nextPHMEntry()->value->threadHandle);
    }
    tick();
    EXPECT_EQ(jvm.lastThreads, expected);

    // Kept while the candidates stay; taken again from a new map when they change.
    tick();
    EXPECT_EQ(jvm.lastThreads, expected);
    ThreadManager* late = addThread(oneFrameStack("test.t24.A"));
    reference.put(late, late);
    expected.clear();
    it.reset(reference.getPHMIterator());
    while (it->hasNext()) {
        expected.push_back(it->nextPHMEntry()->value->threadHandle);
    }
    tick();
    EXPECT_EQ(jvm.lastThreads, expected);
}

TEST_F(SamplerTest, LocalFrameCapacityStaysWithinWhatTheJvmAccepts) {
    addThread(oneFrameStack("test.t14.A"));
    addThread(oneFrameStack("test.t14.B"));
    addThread(oneFrameStack("test.t14.C"));
    tick();
    EXPECT_EQ(jvm.lastCapacity, 12);

    // 20000 threads would ask for 80000 references; the frame grows anyway.
    jvm.stackError = JVMTI_ERROR_INTERNAL;  // no conversion needed here
    std::vector<jvmtiFrameInfo> shared = oneFrameStack("test.t14.D");
    for (int i = 0; i < 20000; i++) {
        addThread(shared);
    }
    tick();
    EXPECT_EQ(jvm.lastCapacity, 65536);
    EXPECT_EQ(jvm.lastThreads.size(), 20003u);
    EXPECT_EQ(jvm.calls.pushes, 2);
}

TEST_F(SamplerTest, VmDeathOnTheRecordingThreadDoesNotWaitForItsOwnRun) {
    installSleepFakes(jvm);
    Profiling::_sleepMonitor = FAKE_SLEEP_MONITOR;
    JNIEnv_ otherThread;  // another thread's environment over the same functions
    otherThread.functions = &jvm.jniFunctions;
    g_recordingInProgress.store(true);
    g_recordingThreadEnv.store(jvm.jni());

    // Delivered on the recording thread: stop sampling, return at once.
    Profiling::dxVMDeath(jvm.jvmti(), jvm.jni());
    EXPECT_TRUE(SamplerHelper::stopped);
    EXPECT_EQ(fakes().waits, 0);

    // Delivered elsewhere: wait until the run has closed its snapshot.
    SamplerHelper::stopped = false;
    fakes().waitHook = [](int wait) {
        if (wait == 3) {
            g_recordingInProgress.store(false);
        }
    };
    Profiling::dxVMDeath(jvm.jvmti(), &otherThread);
    EXPECT_TRUE(SamplerHelper::stopped);
    EXPECT_EQ(fakes().waits, 3);
    EXPECT_EQ(jvm.calls.monitorDepth, 0);
    g_recordingThreadEnv.store(nullptr);
    g_recordingInProgress.store(false);
}

TEST_F(SamplerTest, StopNeedsASampler) {
    jvm.calls.monitorEnters = 0;
    SamplerHelper::liveSamplerSession = nullptr;
    SamplerHelper::stop(nullptr);
    EXPECT_FALSE(SamplerHelper::stopped);
    EXPECT_EQ(jvm.calls.monitorEnters, 0);

    SamplerHelper::liveSamplerSession = sampler;
    jvm.calls.monitorEnters = 0;
    SamplerHelper::stop(nullptr);
    EXPECT_TRUE(SamplerHelper::stopped);
    EXPECT_EQ(jvm.calls.monitorEnters, 1);
    EXPECT_EQ(jvm.calls.monitorDepth, 0);
}

TEST_F(SamplerTest, OnlyThreadsWhoseCpuTimeMovedAreWalked) {
    useSelectiveCapture();
    ThreadManager* busy = addThread(oneFrameStack("test.t15.Busy"));
    ThreadManager* parked = addThread(oneFrameStack("test.t15.Parked"), ALIVE | JVMTI_THREAD_STATE_WAITING);
    threadOf(parked).cpuNanos = 777;

    // New candidates are always captured; two threads take one handshake each.
    tick();
    EXPECT_EQ(asSet(jvm.singleCaptures), asSet(handles({busy, parked})));
    EXPECT_EQ(jvm.calls.stackCalls, 0);
    EXPECT_EQ(sampler->lastCaptureCount, 2);
    EXPECT_TRUE(jvm.monitorHeldDuringCapture);
    CallTree* parkedNode = parked->currentNode;
    ASSERT_NE(parkedNode, parked->rootNode);

    // Only the thread that ran is walked; the parked one is booked on its
    // remembered node under its remembered status, without a JVMTI call.
    jvm.singleCaptures.clear();
    threadOf(busy).cpuNanos += 1000000;
    int stateReads = jvm.calls.stateReads;
    tick();
    EXPECT_EQ(jvm.singleCaptures, handles({busy}));
    // Its state is read before and after its stack: they must agree.
    EXPECT_EQ(jvm.calls.stateReads, stateReads + 2) << "only the thread that ran";
    EXPECT_EQ(parked->currentNode, parkedNode);
    EXPECT_EQ(parked->threadStatus, THREAD_STATUS_WAITING);
    ASSERT_NE(parkedNode->getMonitorTimeValues(), nullptr);
    EXPECT_EQ(parkedNode->getMonitorTimeValues()->waitingTime, 10000);
    EXPECT_EQ(busy->currentNode->value, 10000);

    // A thread that wakes, runs and parks elsewhere between two ticks: its
    // CPU time moved by a hair, so it is captured at its new place.
    jvm.singleCaptures.clear();
    threadOf(parked).frames = {frame(jvm.newMethod("test.t15.Parked", "elsewhere"), 4)};
    threadOf(parked).cpuNanos += 1;
    threadOf(parked).state = ALIVE | JVMTI_THREAD_STATE_WAITING;
    tick();
    EXPECT_EQ(jvm.singleCaptures, handles({parked}));
    EXPECT_NE(parked->currentNode, parkedNode);
    EXPECT_EQ(parked->currentNode->getParent(), parked->rootNode);
    EXPECT_EQ(parked->currentNode->getMonitorTimeValues()->waitingTime, 5000);
}

TEST_F(SamplerTest, WithoutCpuTimesOrWithTheBatchOptionEveryCandidateIsWalkedInOneBatch) {
    ThreadManager* a = addThread(oneFrameStack("test.t16.A"));
    ThreadManager* b = addThread(oneFrameStack("test.t16.B"), ALIVE | JVMTI_THREAD_STATE_WAITING);
    // The JVM refused thread CPU times: nothing asks for them (the fake
    // table has no GetThreadCpuTime) and both threads are walked every tick.
    for (int i = 0; i < 2; i++) {
        tick();
        EXPECT_EQ(jvm.calls.stackCalls, i + 1);
        EXPECT_EQ(asSet(jvm.lastThreads), asSet(handles({a, b})));
    }

    useSelectiveCapture();
    g_batchedCapture = true;
    tick();
    tick();
    EXPECT_EQ(jvm.calls.stackCalls, 4);
    EXPECT_EQ(asSet(jvm.lastThreads), asSet(handles({a, b})));
    EXPECT_EQ(jvm.calls.cpuReads, 0);
    EXPECT_TRUE(jvm.singleCaptures.empty());
    EXPECT_EQ(b->currentNode->getMonitorTimeValues()->waitingTime, 20000);
}

TEST_F(SamplerTest, ThreadWhoseCpuTimeCannotBeReadIsCapturedEveryTick) {
    useSelectiveCapture();
    ThreadManager* unreadable = addThread(oneFrameStack("test.t17.A"), ALIVE | JVMTI_THREAD_STATE_WAITING);
    ThreadManager* parked = addThread(oneFrameStack("test.t17.B"), ALIVE | JVMTI_THREAD_STATE_WAITING);
    threadOf(unreadable).cpuUnreadable = true;
    tick();
    for (int i = 0; i < 3; i++) {
        jvm.singleCaptures.clear();
        tick();
        EXPECT_EQ(jvm.singleCaptures, handles({unreadable}));
    }
    EXPECT_EQ(unreadable->currentNode->getMonitorTimeValues()->waitingTime, 20000);
    EXPECT_EQ(parked->currentNode->getMonitorTimeValues()->waitingTime, 20000);
}

TEST_F(SamplerTest, CpuTimeIsBookedOnEveryTickWhetherTheThreadIsWalkedOrNot) {
    useSelectiveCapture();
    g_recordCpuTime = true;
    ThreadManager* busy = addThread(oneFrameStack("test.t22.Busy"));
    ThreadManager* parked = addThread(oneFrameStack("test.t22.Parked"), ALIVE | JVMTI_THREAD_STATE_WAITING);
    ThreadManager* unreadable = addThread(oneFrameStack("test.t22.Unreadable"));
    busy->cpuBaseline = 0;  // started during the recording
    threadOf(busy).cpuNanos = 3000000;
    threadOf(parked).cpuNanos = 9000000;  // before the recording: not its time
    threadOf(unreadable).cpuUnreadable = true;
    tick();
    EXPECT_EQ(busy->rootNode->sumCpuTimes(), 3000);
    EXPECT_EQ(parked->rootNode->sumCpuTimes(), 0);
    EXPECT_TRUE(parked->cpuKnown);
    EXPECT_FALSE(unreadable->cpuKnown);

    threadOf(busy).cpuNanos += 4000000;
    tick();
    EXPECT_EQ(busy->currentNode->cpuTime, 7000);
    EXPECT_EQ(parked->rootNode->sumCpuTimes(), 0);

    // The batched capture reads CPU times only to book them.
    g_batchedCapture = true;
    threadOf(busy).cpuNanos += 1000000;
    threadOf(unreadable).cpuUnreadable = false;
    threadOf(unreadable).cpuNanos = 5000000;
    tick();
    EXPECT_EQ(busy->currentNode->cpuTime, 8000);
    EXPECT_EQ(unreadable->rootNode->sumCpuTimes(), 0) << "its first reading starts the count";
    EXPECT_TRUE(unreadable->cpuKnown);
    g_recordCpuTime = false;
    int reads = jvm.calls.cpuReads;
    tick();
    EXPECT_EQ(jvm.calls.cpuReads, reads);
}

TEST_F(SamplerTest, ThreadsEndingBeforeOrDuringTheirCaptureAreEnded) {
    useSelectiveCapture();
    ThreadManager* endsAtCapture = addThread(oneFrameStack("test.t18.A"));
    ThreadManager* parked = addThread(oneFrameStack("test.t18.B"), ALIVE | JVMTI_THREAD_STATE_WAITING);
    ThreadManager* notStarted = addThread({}, 0);
    threadOf(notStarted).cpuUnreadable = true;
    threadOf(endsAtCapture).endsAtCapture = true;
    tick();
    EXPECT_TRUE(endsAtCapture->getIsDead());
    EXPECT_NE(endsAtCapture->threadDesc->getThreadEndTime(), -1);
    EXPECT_FALSE(endsAtCapture->rootNode->hasChildren());
    // A thread that has not started yet is no dead thread: no frames, no time.
    EXPECT_FALSE(notStarted->getIsDead());
    EXPECT_EQ(notStarted->currentNode, notStarted->rootNode);

    // A parked thread that has ended has no CPU time to read: it is looked at and ended.
    jvm.singleCaptures.clear();
    threadOf(parked).state = JVMTI_THREAD_STATE_TERMINATED;
    tick();
    EXPECT_TRUE(jvm.singleCaptures.empty()) << "a thread that has not started has no stack to walk";
    EXPECT_FALSE(notStarted->getIsDead());
    EXPECT_TRUE(parked->getIsDead());
    EXPECT_NE(parked->threadDesc->getThreadEndTime(), -1);
    EXPECT_EQ(parked->threadHandle, nullptr);

    tick();
    EXPECT_EQ(samplerOf(parked), nullptr);
    EXPECT_EQ(samplerOf(endsAtCapture), nullptr);
    EXPECT_EQ(sampler->threadSamplers->size(), 1);
}

TEST_F(SamplerTest, AboveTheLimitRunningThreadsAreWalkedInOneBatchAndBelowItOneByOne) {
    useSelectiveCapture();
    sampler->singleCaptureLimit = 2;
    ThreadManager* a = addThread(oneFrameStack("test.t19.A"));
    ThreadManager* b = addThread(oneFrameStack("test.t19.B"));
    ThreadManager* c = addThread(oneFrameStack("test.t19.C"));
    ThreadManager* parked = addThread(oneFrameStack("test.t19.D"), ALIVE | JVMTI_THREAD_STATE_WAITING);
    threadOf(parked).cpuNanos = 5;
    auto run = [this](std::initializer_list<ThreadManager*> managers) {
        for (ThreadManager* m : managers) {
            threadOf(m).cpuNanos += 1000;
        }
        jvm.singleCaptures.clear();
        jvm.lastThreads.clear();
        tick();
    };

    tick();  // four new threads: one batch
    EXPECT_EQ(jvm.calls.stackCalls, 1);
    EXPECT_EQ(asSet(jvm.lastThreads), asSet(handles({a, b, c, parked})));
    EXPECT_TRUE(jvm.singleCaptures.empty());

    run({a, b, c});  // three ran: still a batch, of exactly those
    EXPECT_EQ(jvm.calls.stackCalls, 2);
    EXPECT_EQ(asSet(jvm.lastThreads), asSet(handles({a, b, c})));

    run({b, c});  // at the limit: one handshake each
    EXPECT_EQ(jvm.calls.stackCalls, 2);
    EXPECT_EQ(asSet(jvm.singleCaptures), asSet(handles({b, c})));

    run({a, b, c});  // and back
    EXPECT_EQ(jvm.calls.stackCalls, 3);
    EXPECT_TRUE(jvm.singleCaptures.empty());

    // Only threads running Java code count: three ran, but two of them are
    // waiting again by now, so all three are walked one by one.
    threadOf(a).state = ALIVE | JVMTI_THREAD_STATE_WAITING;
    threadOf(b).state = ALIVE | JVMTI_THREAD_STATE_RUNNABLE | JVMTI_THREAD_STATE_IN_NATIVE;
    run({a, b, c});
    EXPECT_EQ(jvm.calls.stackCalls, 3);
    EXPECT_EQ(asSet(jvm.singleCaptures), asSet(handles({a, b, c})));
    threadOf(a).state = ALIVE | JVMTI_THREAD_STATE_RUNNABLE;
    threadOf(b).state = ALIVE | JVMTI_THREAD_STATE_RUNNABLE;

    run({});
    EXPECT_EQ(jvm.calls.stackCalls, 3);
    EXPECT_TRUE(jvm.singleCaptures.empty());
    EXPECT_EQ(sampler->lastCaptureCount, 0);
    EXPECT_EQ(c->currentNode->value, 30000);
    EXPECT_EQ(parked->currentNode->getMonitorTimeValues()->waitingTime, 30000);
}

TEST_F(SamplerTest, ThreadThatDidNotRunGetsNoTransactionCalls) {
    useSelectiveCapture();
    MethodDesc* t = new MethodDesc(ClassProfilingHelper::interceptionClassData, "tx19", 4, "()V", 3, registry);
    registry->addMethodDesc(t);
    {
        ThreadMonitorLock lock;  // callers hold it, as the natives do
        ClassProfilingHelper::addInterceptionMethod(t);
    }
    Array ids = Array::ofLongs({1, static_cast<jlong>(reinterpret_cast<intptr_t>(t))});
    ThreadManager* labelled = addThread(oneFrameStack("test.t20.A"), ALIVE | JVMTI_THREAD_STATE_WAITING);
    ThreadManager* busy = addThread(oneFrameStack("test.t20.B"));
    fakes().transactionIds[addJavaManager(labelled, "A")] = &ids;
    addJavaManager(busy, "B");

    tick(1000000, 5000, true);
    CallTree* nodeT = labelled->rootNode->getChild(t, 0);
    ASSERT_NE(nodeT, nullptr);
    EXPECT_EQ(labelled->currentNode->getParent(), nodeT);

    fakes().log.clear();
    threadOf(busy).cpuNanos += 10;
    tick(1005000, 5000, true);
    EXPECT_EQ(fakes().log, (std::vector<std::string>{"init:B", "ids:B"}));
    // The labels stay in place and the time lands below them.
    EXPECT_EQ(labelled->currentNode->getParent(), nodeT);
    EXPECT_EQ(labelled->currentNode->getMonitorTimeValues()->waitingTime, 10000);
}

}  // namespace

// --- CPU clocks read by native thread id ---------------------------------------

TEST_F(SamplerTest, ThreadWithANativeIdIsCheckedOnItsClockWithoutTheJvm) {
    useSelectiveCapture();
    g_recordCpuTime = true;
    ThreadManager* parked = addThread(oneFrameStack("test.t30.Parked"), ALIVE | JVMTI_THREAD_STATE_WAITING);
    ThreadManager* mover = addThread(oneFrameStack("test.t30.Mover"), ALIVE | JVMTI_THREAD_STATE_WAITING);
    threadOf(parked).nativeId = parked->nativeId = 301;
    threadOf(mover).nativeId = mover->nativeId = 302;
    threadOf(parked).cpuNanos = 4000000;
    threadOf(mover).cpuNanos = 6000000;
    parked->cpuBaseline = 0;
    mover->cpuBaseline = 0;
    tick();  // new candidates are captured
    CallTree* parkedNode = parked->currentNode;

    // Unchanged clocks: no JVMTI call at all, not even a reference.
    int cpuReads = jvm.calls.cpuReads;
    int stateReads = jvm.calls.stateReads;
    int refs = jvm.calls.newLocalRefs;
    int clockReads = jvm.calls.nativeClockReads;
    jvm.singleCaptures.clear();
    tick();
    tick();
    EXPECT_TRUE(jvm.singleCaptures.empty());
    EXPECT_EQ(jvm.calls.cpuReads, cpuReads);
    EXPECT_EQ(jvm.calls.stateReads, stateReads);
    EXPECT_EQ(jvm.calls.newLocalRefs, refs);
    EXPECT_EQ(jvm.calls.nativeClockReads, clockReads + 4) << "one read per thread per tick";
    EXPECT_EQ(parked->currentNode, parkedNode);
    EXPECT_EQ(parkedNode->getMonitorTimeValues()->waitingTime, 15000);

    // The mover wakes, runs and parks elsewhere: its clock moved, so it is
    // captured at its new place, and its CPU time is booked from the clock.
    threadOf(mover).frames = {frame(jvm.newMethod("test.t30.Mover", "elsewhere"), 4)};
    threadOf(mover).cpuNanos += 2000;
    tick();
    EXPECT_EQ(jvm.singleCaptures, handles({mover}));
    EXPECT_EQ(jvm.calls.cpuReads, cpuReads);
    EXPECT_EQ(mover->currentNode->getMonitorTimeValues()->waitingTime, 5000);
    EXPECT_EQ(mover->rootNode->sumCpuTimes(), 6002);
    EXPECT_EQ(parked->rootNode->sumCpuTimes(), 4000);
    EXPECT_EQ(parkedNode->getMonitorTimeValues()->waitingTime, 20000);
}

TEST_F(SamplerTest, ThreadWithoutAReadableNativeClockFallsBackToTheJvm) {
    useSelectiveCapture();
    ThreadManager* unknown = addThread(oneFrameStack("test.t31.Unknown"), ALIVE | JVMTI_THREAD_STATE_WAITING);
    ThreadManager* unreadable = addThread(oneFrameStack("test.t31.Unreadable"), ALIVE | JVMTI_THREAD_STATE_WAITING);
    threadOf(unknown).cpuNanos = 1000;
    threadOf(unreadable).cpuNanos = 2000;
    threadOf(unreadable).nativeId = unreadable->nativeId = 311;
    threadOf(unreadable).nativeClockUnreadable = true;
    tick();
    EXPECT_EQ(unreadable->nativeId, 0) << "an id whose clock cannot be read is dropped";
    int clockReads = jvm.calls.nativeClockReads;

    // Both are checked through the JVM as before: not walked while their
    // CPU time stands, walked once it moves.
    jvm.singleCaptures.clear();
    int cpuReads = jvm.calls.cpuReads;
    tick();
    EXPECT_TRUE(jvm.singleCaptures.empty());
    EXPECT_EQ(jvm.calls.cpuReads, cpuReads + 2);
    EXPECT_EQ(jvm.calls.nativeClockReads, clockReads);
    threadOf(unknown).cpuNanos += 1;
    threadOf(unreadable).cpuNanos += 1;
    tick();
    EXPECT_EQ(asSet(jvm.singleCaptures), asSet(handles({unknown, unreadable})));
    EXPECT_EQ(unknown->currentNode->getMonitorTimeValues()->waitingTime, 15000);
    EXPECT_EQ(unreadable->currentNode->getMonitorTimeValues()->waitingTime, 15000);
}

TEST_F(SamplerTest, AnIdTakenOverByANewThreadIsNotTakenForTheOldOne) {
    useSelectiveCapture();
    ThreadManager* old = addThread(oneFrameStack("test.t32.Old"), ALIVE | JVMTI_THREAD_STATE_WAITING);
    threadOf(old).nativeId = old->nativeId = 321;
    threadOf(old).cpuNanos = 9000000;
    tick();
    // The old thread ended without its end being seen, and the kernel gave
    // its id to a new thread that has used less CPU: a clock that went back
    // is not the old thread's. The JVM says it ended.
    threadOf(old).state = JVMTI_THREAD_STATE_TERMINATED;
    threadOf(old).nativeId = 0;
    _jobject newcomer;
    jvm.thread(&newcomer).nativeId = 321;
    jvm.thread(&newcomer).cpuNanos = 50000;
    tick();
    EXPECT_EQ(old->nativeId, 0);
    EXPECT_TRUE(old->getIsDead());
    EXPECT_NE(old->threadDesc->getThreadEndTime(), -1);
}

// --- asynchronous samples ----------------------------------------------------

TEST(ThreadSampleBufferTest, RingHoldsItsSlotsDropsTheRestAndRestartsEmpty) {
    ThreadSampleBuffer buffer(0, 3);
    jmethodID method = reinterpret_cast<jmethodID>(0x10);
    for (int i = 0; i < ThreadSampleBuffer::SLOTS; i++) {
        AsyncFrame* frames = buffer.beginSample();
        ASSERT_NE(frames, nullptr);
        frames[0] = {i, method};
        buffer.commitSample(1);
    }
    // Full: the next samples are dropped and counted, the ring kept.
    EXPECT_EQ(buffer.beginSample(), nullptr);
    EXPECT_EQ(buffer.beginSample(), nullptr);
    EXPECT_EQ(buffer.pending(), ThreadSampleBuffer::SLOTS);
    EXPECT_EQ(buffer.takeDropped(), 2u);
    EXPECT_EQ(buffer.takeDropped(), 0u);
    for (int i = 0; i < ThreadSampleBuffer::SLOTS; i++) {
        jint count = 0;
        const AsyncFrame* frames = buffer.sample(i, &count);
        EXPECT_EQ(count, 1);
        EXPECT_EQ(frames[0].bci, i) << "oldest first";
    }
    buffer.consume(2);
    EXPECT_EQ(buffer.pending(), ThreadSampleBuffer::SLOTS - 2);
    ASSERT_NE(buffer.beginSample(), nullptr) << "consumed slots are free again";
    buffer.commitSample(1);
    jint count = 0;
    EXPECT_EQ(buffer.sample(0, &count)[0].bci, 2);

    // Handed to another thread: nothing of the first one's is left.
    buffer.beginSample();
    buffer.assign(1234, nullptr);
    EXPECT_EQ(buffer.pending(), 0);
    EXPECT_EQ(buffer.takeDropped(), 0u);
    EXPECT_EQ(buffer.owner.load(), 1234);
}

class AsyncTickTest : public SamplerTest {
protected:
    void SetUp() override {
        SamplerTest::SetUp();
        useSelectiveCapture();
        g_recordCpuTime = true;
        sampler->asyncActive = true;
    }

    void TearDown() override {
        // The buffers are the test's: the managers must not hand them back.
        for (ThreadManager* manager : threadList->threadManagers) {
            manager->samples = nullptr;
        }
        for (ThreadSampleBuffer* buffer : buffers) {
            delete buffer;
        }
        SamplerTest::TearDown();
    }

    ThreadSampleBuffer* giveBuffer(ThreadManager* manager) {
        buffers.push_back(new ThreadSampleBuffer(static_cast<int>(buffers.size()), 16));
        manager->samples = buffers.back();
        return buffers.back();
    }

    // A sample as the handler writes it: innermost frame first.
    static void push(ThreadSampleBuffer* buffer, const std::vector<jvmtiFrameInfo>& bottomToTop) {
        AsyncFrame* frames = buffer->beginSample();
        ASSERT_NE(frames, nullptr);
        jint count = 0;
        for (auto it = bottomToTop.rbegin(); it != bottomToTop.rend(); ++it) {
            frames[count++] = {static_cast<jint>(it->location), it->method};
        }
        buffer->commitSample(count);
    }

    MethodDesc* desc(jmethodID method) {
        ThreadMonitorLock lock;  // the registry is read under the thread monitor, as a tick does
        return registry->getMethodDesc(method, jvm.jni(), true);
    }

    std::vector<ThreadSampleBuffer*> buffers;
};

TEST_F(AsyncTickTest, CpuIsBookedWhereSamplesLandedAndARunningThreadIsNotCaptured) {
    jmethodID run = jvm.newMethod("test.a1.Loop", "run");
    jmethodID hot = jvm.newMethod("test.a1.Loop", "hot");
    jmethodID cold = jvm.newMethod("test.a1.Loop", "cold");
    ThreadManager* t = addThread({frame(run, 0)});
    tick();  // a new thread is captured
    ThreadSampleBuffer* buffer = giveBuffer(t);
    CallTree* runNode = t->currentNode;

    // Two samples, 10 ms of CPU: one period on each, the running time on
    // the latest, and no capture.
    push(buffer, {frame(run, 0), frame(hot, 3)});
    push(buffer, {frame(run, 0), frame(cold, 7)});
    threadOf(t).cpuNanos += 10000000;
    jvm.singleCaptures.clear();
    tick();
    EXPECT_TRUE(jvm.singleCaptures.empty());
    EXPECT_EQ(buffer->pending(), 0);
    CallTree* hotNode = runNode->getChild(desc(hot), 0);
    CallTree* coldNode = runNode->getChild(desc(cold), 0);
    ASSERT_NE(hotNode, nullptr);
    ASSERT_NE(coldNode, nullptr);
    EXPECT_EQ(hotNode->cpuTime, 5000);
    EXPECT_EQ(coldNode->cpuTime, 5000);
    EXPECT_EQ(t->currentNode, coldNode);
    EXPECT_EQ(t->threadStatus, THREAD_STATUS_RUNNING);
    EXPECT_EQ(coldNode->value, 5000);
    EXPECT_EQ(hotNode->value, 0);

    // A tick with no sample, still running Java code: booked where the
    // latest sample found it, not captured, its CPU kept for the next sample.
    threadOf(t).cpuNanos += 3000000;
    tick();
    EXPECT_TRUE(jvm.singleCaptures.empty());
    EXPECT_EQ(coldNode->value, 10000);
    EXPECT_EQ(coldNode->cpuTime, 5000);
    push(buffer, {frame(run, 0), frame(hot, 3)});
    threadOf(t).cpuNanos += 2000000;
    tick();
    EXPECT_EQ(hotNode->cpuTime, 10000) << "the CPU of both ticks on the sample";
    EXPECT_EQ(t->currentNode, hotNode);
}

TEST_F(AsyncTickTest, AThreadThatRanAndWentToSleepIsCapturedForItsStateAndKeepsItsCpuOffTheSleep) {
    jmethodID run = jvm.newMethod("test.a2.Worker", "run");
    jmethodID work = jvm.newMethod("test.a2.Worker", "work");
    jmethodID sleep = jvm.newMethod("java.lang.Thread", "sleep");
    ThreadManager* t = addThread({frame(run, 0)});
    tick();
    ThreadSampleBuffer* buffer = giveBuffer(t);
    CallTree* runNode = t->currentNode;

    push(buffer, {frame(run, 0), frame(work, 1)});
    threadOf(t).cpuNanos += 8000000;
    threadOf(t).frames = {frame(sleep, -1), frame(run, 2)};
    threadOf(t).state = ALIVE | JVMTI_THREAD_STATE_WAITING | JVMTI_THREAD_STATE_SLEEPING;
    jvm.singleCaptures.clear();
    tick();
    EXPECT_EQ(jvm.singleCaptures, handles({t}));
    CallTree* workNode = runNode->getChild(desc(work), 0);
    ASSERT_NE(workNode, nullptr);
    EXPECT_EQ(workNode->cpuTime, 8000) << "its period and the CPU after it";
    EXPECT_EQ(t->threadStatus, THREAD_STATUS_WAITING);
    ASSERT_NE(t->currentNode->getMonitorTimeValues(), nullptr);
    EXPECT_EQ(t->currentNode->getMonitorTimeValues()->waitingTime, 5000);
    EXPECT_EQ(t->currentNode->cpuTime, 0) << "no CPU on the sleep";

    // Woken and runnable while still in sleep: waiting, not running.
    threadOf(t).cpuNanos += 100000;
    threadOf(t).state = ALIVE | JVMTI_THREAD_STATE_RUNNABLE;
    tick();
    EXPECT_EQ(t->threadStatus, THREAD_STATUS_WAITING);
    EXPECT_EQ(t->currentNode->value, 0);
}

TEST_F(AsyncTickTest, SamplesOfAThreadThatEndedAreBookedAndTheThreadEnds) {
    jmethodID run = jvm.newMethod("test.a3.Short", "run");
    jmethodID last = jvm.newMethod("test.a3.Short", "last");
    ThreadManager* t = addThread({frame(run, 0)});
    tick();
    ThreadSampleBuffer* buffer = giveBuffer(t);
    push(buffer, {frame(run, 0), frame(last, 0)});
    threadOf(t).cpuNanos += 6000000;
    threadOf(t).state = JVMTI_THREAD_STATE_TERMINATED;
    CallTree* runNode = t->currentNode;
    tick();
    CallTree* lastNode = runNode->getChild(desc(last), 0);
    ASSERT_NE(lastNode, nullptr);
    EXPECT_EQ(lastNode->cpuTime, 5000);
    EXPECT_TRUE(t->getIsDead());
}

TEST_F(AsyncTickTest, AFullRingLosesSamplesNotCpu) {
    jmethodID run = jvm.newMethod("test.a4.Spin", "run");
    jmethodID spin = jvm.newMethod("test.a4.Spin", "spin");
    ThreadManager* t = addThread({frame(run, 0)});
    tick();
    ThreadSampleBuffer* buffer = giveBuffer(t);
    CallTree* runNode = t->currentNode;
    jmethodID step = jvm.newMethod("test.a4.Spin", "step");
    for (int i = 0; i < ThreadSampleBuffer::SLOTS; i++) {
        push(buffer, {frame(run, 0), frame(i < ThreadSampleBuffer::SLOTS - 1 ? spin : step, 0)});
    }
    EXPECT_EQ(buffer->beginSample(), nullptr);
    // Eight periods of CPU, four samples: what the lost samples stood for is
    // spread over the samples that came, not heaped on the latest, but for
    // one period kept for the next sample.
    threadOf(t).cpuNanos += 40000000;
    tick();
    CallTree* spinNode = runNode->getChild(desc(spin), 0);
    CallTree* stepNode = runNode->getChild(desc(step), 0);
    ASSERT_NE(spinNode, nullptr);
    ASSERT_NE(stepNode, nullptr);
    EXPECT_EQ(spinNode->cpuTime, 3 * 35000 / 4);
    EXPECT_EQ(stepNode->cpuTime, 35000 / 4);
    EXPECT_EQ(samplerOf(t)->cpuCarryMicros, 5000);
}

TEST_F(AsyncTickTest, CpuAfterTheLatestSampleIsBookedThereWhenTheThreadStopsRunning) {
    jmethodID run = jvm.newMethod("test.a5.Burst", "run");
    jmethodID burn = jvm.newMethod("test.a5.Burst", "burn");
    jmethodID sleep = jvm.newMethod("java.lang.Thread", "sleep");
    ThreadManager* t = addThread({frame(run, 0)});
    tick();
    ThreadSampleBuffer* buffer = giveBuffer(t);
    CallTree* runNode = t->currentNode;

    // One sample for 8 ms of CPU, then to sleep for good: the 3 ms after the
    // sample go to burn at once, none to the sleep, none left waiting.
    push(buffer, {frame(run, 0), frame(burn, 4)});
    threadOf(t).cpuNanos += 8000000;
    threadOf(t).frames = {frame(sleep, -1), frame(run, 2)};
    threadOf(t).state = ALIVE | JVMTI_THREAD_STATE_WAITING | JVMTI_THREAD_STATE_SLEEPING;
    tick();
    CallTree* burnNode = runNode->getChild(desc(burn), 0);
    ASSERT_NE(burnNode, nullptr);
    EXPECT_EQ(burnNode->cpuTime, 8000);
    EXPECT_EQ(samplerOf(t)->cpuCarryMicros, 0);
    EXPECT_EQ(t->currentNode->cpuTime, 0) << "no CPU on the sleep";

    // Woken, it burns under one period without a sample and sleeps again:
    // that CPU too goes where it was last seen running, though the tick's
    // cursor stands on the sleep.
    threadOf(t).cpuNanos += 2000000;
    tick();
    EXPECT_EQ(burnNode->cpuTime, 10000);
    EXPECT_EQ(t->currentNode->cpuTime, 0);
    EXPECT_EQ(samplerOf(t)->cpuCarryMicros, 0);

    // A latest sample that is itself in the sleep names no place to book on:
    // the CPU waits for the next sample rather than landing on the sleep.
    push(buffer, {frame(run, 2), frame(sleep, -1)});
    threadOf(t).cpuNanos += 6000000;
    tick();
    EXPECT_EQ(t->currentNode->cpuTime, 5000) << "the sample's own period only";
    EXPECT_EQ(samplerOf(t)->cpuCarryMicros, 1000);
    EXPECT_EQ(burnNode->cpuTime, 10000);
}

TEST_F(AsyncTickTest, CpuOfARunningThreadStillWaitsForItsNextSample) {
    jmethodID run = jvm.newMethod("test.a6.Loop", "run");
    jmethodID step = jvm.newMethod("test.a6.Loop", "step");
    ThreadManager* t = addThread({frame(run, 0)});
    tick();
    ThreadSampleBuffer* buffer = giveBuffer(t);
    push(buffer, {frame(run, 0), frame(step, 1)});
    threadOf(t).cpuNanos += 7000000;
    threadOf(t).frames = {frame(step, 1), frame(run, 0)};
    tick();
    CallTree* stepNode = t->currentNode;
    EXPECT_EQ(stepNode->cpuTime, 5000);
    EXPECT_EQ(samplerOf(t)->cpuCarryMicros, 2000) << "still running: the remainder waits";
}

TEST_F(AsyncTickTest, CpuOfAThreadWhoseWalksKeepFailingIsBookedWhereTheCaptureFindsItRunning) {
    jmethodID run = jvm.newMethod("test.a7.Alloc", "run");
    jmethodID fill = jvm.newMethod("test.a7.Alloc", "fill");
    jmethodID sleep = jvm.newMethod("java.lang.Thread", "sleep");
    ThreadManager* t = addThread({frame(run, 0)});
    tick();
    ThreadSampleBuffer* samples = giveBuffer(t);
    threadOf(t).frames = {frame(fill, 2), frame(run, 1)};

    // No sample, running: up to two periods wait for the next sample.
    threadOf(t).cpuNanos += 8000000;
    tick();
    EXPECT_EQ(samplerOf(t)->cpuCarryMicros, 8000);
    EXPECT_EQ(t->currentNode->cpuTime, 0);
    // Past two periods without one, the capture's stack gets it all.
    threadOf(t).cpuNanos += 4000000;
    tick();
    EXPECT_EQ(t->currentNode->cpuTime, 12000);
    EXPECT_EQ(samplerOf(t)->cpuCarryMicros, 0);

    // Found asleep instead, it keeps its CPU off the sleep.
    threadOf(t).cpuNanos += 11000000;
    threadOf(t).frames = {frame(sleep, -1), frame(run, 3)};
    threadOf(t).state = ALIVE | JVMTI_THREAD_STATE_WAITING | JVMTI_THREAD_STATE_SLEEPING;
    tick();
    EXPECT_EQ(t->currentNode->cpuTime, 0);
    EXPECT_EQ(samplerOf(t)->cpuCarryMicros, 11000);

    // With a sample to go by, CPU the failing walks left over goes where
    // that sample landed, not on the stack the capture finds.
    jmethodID mark = jvm.newMethod("test.a7.Alloc", "mark");
    threadOf(t).state = ALIVE | JVMTI_THREAD_STATE_RUNNABLE;
    threadOf(t).frames = {frame(fill, 2), frame(run, 1)};
    push(samples, {frame(run, 1), frame(mark, 5)});
    threadOf(t).cpuNanos += 1000000;
    tick();
    CallTree* markNode = t->currentNode;
    // Its period, and what lost samples stood for beyond the one period
    // kept for the next sample.
    EXPECT_EQ(markNode->cpuTime, 7000);
    EXPECT_EQ(samplerOf(t)->cpuCarryMicros, 5000);
    threadOf(t).cpuNanos += 13000000;
    tick();
    EXPECT_EQ(markNode->cpuTime, 7000 + 5000 + 13000);
    EXPECT_EQ(samplerOf(t)->cpuCarryMicros, 0);
}

// A single capture reads the state, then the stack: a thread that parks or
// wakes in between must not be booked under a state its stack does not have.
TEST_F(SamplerTest, ASingleCaptureWhoseStateChangedIsTakenAgainOrDropped) {
    useSelectiveCapture();
    const jint running = ALIVE | JVMTI_THREAD_STATE_RUNNABLE;
    const jint waiting = ALIVE | JVMTI_THREAD_STATE_WAITING;
    ThreadManager* t = addThread(oneFrameStack("test.s11.A"));
    tick();
    ASSERT_EQ(t->threadStatus, THREAD_STATUS_RUNNING);

    // Parked right after its stack was taken: captured again, and booked
    // as waiting on the stack of that second capture.
    threadOf(t).cpuNanos += 1000;
    threadOf(t).statesAfterCapture = {waiting};
    jvm.singleCaptures.clear();
    tick();
    EXPECT_EQ(jvm.singleCaptures.size(), 2u);
    EXPECT_EQ(t->threadStatus, THREAD_STATUS_WAITING);
    ASSERT_NE(t->currentNode->getMonitorTimeValues(), nullptr);
    EXPECT_EQ(t->currentNode->getMonitorTimeValues()->waitingTime, 5000);

    // Woken and parked again around both captures: the tick books nothing
    // for it, and the next one captures it again.
    CallTree* node = t->currentNode;
    jlong value = node->value;
    threadOf(t).cpuNanos += 1000;
    threadOf(t).state = running;
    threadOf(t).statesAfterCapture = {waiting, running};
    jvm.singleCaptures.clear();
    tick();
    EXPECT_EQ(jvm.singleCaptures.size(), 2u);
    EXPECT_EQ(t->currentNode, node);
    EXPECT_EQ(node->value, value);
    EXPECT_EQ(node->getMonitorTimeValues()->waitingTime, 5000);
    jvm.singleCaptures.clear();
    tick();
    EXPECT_EQ(jvm.singleCaptures, handles({t}));
    EXPECT_EQ(t->threadStatus, THREAD_STATUS_RUNNING);
}
