#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "Counter.h"
#include "CpuProfilingSession.h"
#include "FakeJvm.h"
#include "GlobalsScope.h"
#include "MemoryDataWriter.h"
#include "ProfilingSession.h"
#include "ThreadDesc.h"
#include "ThreadManager.h"

namespace {

// --- prepareThread ----------------------------------------------------------

struct IgnoreCase {
    const char* threadName;
    const char* groupName;
    bool sampleAgentThreads;
    bool ignored;
};

TEST(ThreadRegistrationTest, PrepareThreadIgnoresAgentAndServiceThreads) {
    const IgnoreCase cases[] = {
        {"_tolvane sender", "main", false, true},
        {"_TOLVANE worker", "main", false, true},
        {"_ToLvAnE", "main", false, true},
        {"_tolvane sender", "main", true, false},
        // The recorder runs in the system group; the agent-threads choice decides.
        {"_tolvane recorder", "system", true, false},
        {"_tolvane recorder", "system", false, true},
        {"x_tolvane", "main", false, false},
        {"_tolvan", "main", false, false},
        {"AWT-Motif", "main", true, true},
        {"AWT-Windows", "main", true, true},
        {"AWT-Shutdown", "main", true, true},
        {"DestroyJavaVM", "main", true, true},
        {"Poller SunPKCS11-Darwin", "main", true, true},
        {"AWT-Motif2", "main", false, false},
        {"awt-motif", "main", false, false},
        {"Signal Dispatcher", "system", true, true},
        {"Common-Cleaner", "InnocuousThreadGroup", true, true},
        {"Common-Cleaner", "main", true, false},
        {"Reader", "InnocuousThreadGroup", true, false},
        {"worker-1", "main", false, false},
        {"worker-1", "", false, false},
        {nullptr, "main", false, false},
        {nullptr, nullptr, false, false},
        {nullptr, "system", false, true},
        {"Common-Cleaner", nullptr, false, false},
    };
    GlobalsScope globals;
    for (const IgnoreCase& c : cases) {
        SCOPED_TRACE(std::string(c.threadName ? c.threadName : "(null)") + " / " +
                     (c.groupName ? c.groupName : "(null)"));
        g_sampleAgentThreads = c.sampleAgentThreads;
        ThreadManager tm(nullptr, nullptr);
        jlong before = Counter::getUsec();
        LiveCpuProfilingHelper::prepareThread(nullptr, nullptr, &tm, c.threadName, c.groupName);
        EXPECT_EQ(c.ignored, tm.ignored);
        ASSERT_NE(nullptr, tm.threadDesc);
        EXPECT_EQ(&tm, tm.threadDesc->threadManager);
        if (c.threadName == nullptr) {
            EXPECT_EQ(nullptr, tm.threadDesc->getThreadName());
        } else {
            EXPECT_STREQ(c.threadName, tm.threadDesc->getThreadName());
            EXPECT_NE(c.threadName, tm.threadDesc->getThreadName()) << "names are copied";
        }
        EXPECT_GE(tm.threadDesc->getThreadStartTime(), before);
        EXPECT_EQ(-1, tm.threadDesc->getThreadEndTime());
    }
}

// --- thread section ---------------------------------------------------------

TEST(ThreadRegistrationTest, ThreadSectionListsOnlyManagersWithDescriptors) {
    CpuProfilingSession session;
    EXPECT_EQ(&session, LiveCpuProfilingHelper::liveCpuProfilingSession);
    {
        MemoryDataWriter empty;
        session.write(&empty);
        EXPECT_EQ((Bytes{0}), empty.bytes());
    }
    ThreadManager* bare = LiveCpuProfilingHelper::createThreadManager(nullptr, nullptr);
    session.addThreadManager(bare);
    {
        MemoryDataWriter onlyBare;
        session.write(&onlyBare);
        EXPECT_EQ((Bytes{0}), onlyBare.bytes());
    }

    GlobalsScope globals;
    g_recordStartTime = 0;
    ThreadManager* described = LiveCpuProfilingHelper::createThreadManager(nullptr, nullptr);
    described->setThreadDesc(new ThreadDesc(described, "main", "main", 5));
    session.addThreadManager(described);
    EXPECT_EQ((std::vector<ThreadManager*>{bare, described}), session.getThreadManagers());

    MemoryDataWriter writer;
    session.write(&writer);
    MemoryDataWriter record;
    described->write(&record);
    Bytes expected{1};
    Bytes recordBytes = record.bytes();
    expected.insert(expected.end(), recordBytes.begin(), recordBytes.end());
    expected.push_back(0);
    EXPECT_EQ(expected, writer.bytes());
}

// --- registration through a fake JVM -----------------------------------------

// What the fake JVM knows and what it saw.
struct FakeState {
    std::map<jthread, const void*> storage;   // thread-local storage per thread
    std::set<jthread> deadThreads;            // storage calls fail for these
    std::set<jobject> collected;              // weak references whose thread is gone
    std::set<jthread> unstarted;              // state 0: not alive yet, not ended either
    std::set<jthread> startAtStateRead;       // an unstarted thread that starts as its state is read
    std::set<jthread> invalidThreads;         // GetThreadState: not a thread
    std::set<jthread> stateUnknown;           // GetThreadState: an error that says nothing
    bool threadInfoFails = false;
    bool groupInfoFails = false;
    bool setStorageFails = false;
    const char* threadName = "worker";
    int weakRefsDeleted = 0;
    int threadInfoCalls = 0;
};
FakeState* g_state = nullptr;

_jobject g_group, g_parentGroup, g_loader;

using harness::FakeJvm;

class ThreadRegistrationJvmtiTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_state = &state;
        g_profilingInterface = jvm.jvmti();
        g_sampleAgentThreads = false;

        jvm.installMemory();
        jvmtiInterface_1_& f = jvm.jvmtiFunctions;
        f.GetThreadLocalStorage = [](jvmtiEnv*, jthread thread, void** data) {
            if (g_state->deadThreads.count(thread)) {
                return JVMTI_ERROR_THREAD_NOT_ALIVE;
            }
            auto it = g_state->storage.find(thread);
            *data = it == g_state->storage.end() ? nullptr : const_cast<void*>(it->second);
            return JVMTI_ERROR_NONE;
        };
        f.SetThreadLocalStorage = [](jvmtiEnv*, jthread thread, const void* data) {
            if (g_state->setStorageFails || g_state->deadThreads.count(thread) ||
                g_state->unstarted.count(thread)) {
                return JVMTI_ERROR_THREAD_NOT_ALIVE;
            }
            g_state->storage[thread] = data;
            return JVMTI_ERROR_NONE;
        };
        f.GetThreadState = [](jvmtiEnv*, jthread thread, jint* threadState) {
            if (g_state->startAtStateRead.erase(thread) != 0) {
                g_state->unstarted.erase(thread);
            }
            if (g_state->invalidThreads.count(thread)) {
                return JVMTI_ERROR_INVALID_THREAD;
            }
            if (g_state->stateUnknown.count(thread)) {
                return JVMTI_ERROR_WRONG_PHASE;
            }
            *threadState = g_state->deadThreads.count(thread) ? JVMTI_THREAD_STATE_TERMINATED
                         : g_state->unstarted.count(thread)   ? 0
                         : JVMTI_THREAD_STATE_ALIVE | JVMTI_THREAD_STATE_RUNNABLE;
            return JVMTI_ERROR_NONE;
        };
        f.GetThreadInfo = [](jvmtiEnv*, jthread, jvmtiThreadInfo* info) {
            ++g_state->threadInfoCalls;
            if (g_state->threadInfoFails) {
                return JVMTI_ERROR_INVALID_THREAD;
            }
            info->name = g_state->threadName == nullptr ? nullptr : FakeJvm::jvmtiCopy(g_state->threadName);
            info->thread_group = &g_group;
            info->context_class_loader = &g_loader;
            return JVMTI_ERROR_NONE;
        };
        f.GetThreadGroupInfo = [](jvmtiEnv*, jthreadGroup, jvmtiThreadGroupInfo* info) {
            if (g_state->groupInfoFails) {
                return JVMTI_ERROR_INVALID_THREAD_GROUP;
            }
            info->name = FakeJvm::jvmtiCopy("workers");
            info->parent = &g_parentGroup;
            return JVMTI_ERROR_NONE;
        };

        JNINativeInterface_& j = jvm.jniFunctions;
        j.NewWeakGlobalRef = [](JNIEnv*, jobject obj) -> jweak { return obj; };
        j.NewLocalRef = [](JNIEnv*, jobject ref) -> jobject {
            return g_state->collected.count(ref) ? nullptr : ref;
        };
        j.DeleteLocalRef = [](JNIEnv*, jobject) { FakeJvm::current().calls.deleteLocalRefs++; };
        j.DeleteWeakGlobalRef = [](JNIEnv*, jweak) { ++g_state->weakRefsDeleted; };
        j.DeleteGlobalRef = [](JNIEnv*, jobject) {};
        j.ExceptionCheck = [](JNIEnv*) -> jboolean { return JNI_FALSE; };
        j.IsSameObject = [](JNIEnv*, jobject a, jobject b) -> jboolean { return a == b; };
    }

    void TearDown() override { g_state = nullptr; }

    GlobalsScope globals;
    FakeJvm jvm;
    FakeState state;
    _jobject threadA, threadB, threadC;
};

TEST_F(ThreadRegistrationJvmtiTest, CreateLiveThreadManagerRegistersDescribesAndLinks) {
    CpuProfilingSession session;
    ThreadManager* tm = LiveCpuProfilingHelper::createLiveThreadManager(&threadA, jvm.jni());
    ASSERT_NE(nullptr, tm);
    EXPECT_EQ((std::vector<ThreadManager*>{tm}), session.getThreadManagers());
    EXPECT_EQ(static_cast<jobject>(&threadA), tm->getThreadHandle());
    EXPECT_EQ(tm, state.storage[&threadA]);
    EXPECT_EQ(tm, session.getThreadManager(&threadA));
    ASSERT_NE(nullptr, tm->threadDesc);
    EXPECT_STREQ("worker", tm->threadDesc->getThreadName());
    EXPECT_STREQ("workers", tm->threadDesc->getGroupName());
    EXPECT_FALSE(tm->ignored);
    EXPECT_EQ(2, jvm.calls.deallocations) << "thread name and group name";
    EXPECT_EQ(3, jvm.calls.deleteLocalRefs) << "group, parent group and context loader";
    session.destroyThreadManagers(jvm.jni());
}

TEST_F(ThreadRegistrationJvmtiTest, RegistrationSurvivesGroupAndStorageFailures) {
    CpuProfilingSession session;
    state.groupInfoFails = true;
    state.setStorageFails = true;
    state.threadName = "_tolvane sender";
    testing::internal::CaptureStderr();
    ThreadManager* tm = LiveCpuProfilingHelper::createLiveThreadManager(&threadA, jvm.jni());
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_NE(nullptr, tm);
    EXPECT_NE(std::string::npos, err.find("Could not set thread local storage."));
    EXPECT_EQ(1u, session.getThreadManagers().size()) << "the manager stays listed";
    EXPECT_EQ(nullptr, session.getThreadManager(&threadA));
    EXPECT_STREQ("", tm->threadDesc->getGroupName());
    EXPECT_TRUE(tm->ignored);
    EXPECT_EQ(1, jvm.calls.deallocations);

    // A nameless thread registers without tripping the name rules.
    state.setStorageFails = false;
    state.threadName = nullptr;
    ThreadManager* nameless = LiveCpuProfilingHelper::createLiveThreadManager(&threadB, jvm.jni());
    ASSERT_NE(nullptr, nameless);
    EXPECT_EQ(nullptr, nameless->threadDesc->getThreadName());
    EXPECT_FALSE(nameless->ignored);

    state.threadInfoFails = true;
    EXPECT_EQ(nullptr, LiveCpuProfilingHelper::createLiveThreadManager(&threadC, jvm.jni()));
    EXPECT_EQ(2u, session.getThreadManagers().size());
    EXPECT_EQ(0u, state.storage.count(&threadC));
    EXPECT_EQ(nullptr, LiveCpuProfilingHelper::createLiveThreadManager(&threadC, nullptr));
    session.destroyThreadManagers(jvm.jni());
}

TEST_F(ThreadRegistrationJvmtiTest, ThreadRegisteredBeforeItStartsKeepsOneManagerOnceStarted) {
    CpuProfilingSession session;
    state.unstarted.insert(&threadA);
    testing::internal::CaptureStderr();
    ThreadManager* early = LiveCpuProfilingHelper::createLiveThreadManager(&threadA, jvm.jni());
    ASSERT_NE(nullptr, early);
    EXPECT_TRUE(early->awaitingStart);
    EXPECT_EQ(early, session.getThreadManager(&threadA, jvm.jni())) << "found before it starts too";
    EXPECT_TRUE(early->awaitingStart);
    early->threadDesc->threadStartTime = 5;

    // It starts during a recording: the start event finds the early manager.
    state.unstarted.clear();
    g_recording = true;
    LiveCpuProfilingHelper::dxThreadStart(jvm.jvmti(), jvm.jni(), &threadA);
    EXPECT_EQ((std::vector<ThreadManager*>{early}), session.getThreadManagers());
    EXPECT_EQ(early, state.storage[&threadA]);
    EXPECT_FALSE(early->awaitingStart);
    EXPECT_GT(early->threadDesc->getThreadStartTime(), 5) << "its life starts when the thread does";
    EXPECT_EQ(early, session.getThreadManager(&threadA));

    // A thread that ended between being listed and being registered needs no entry.
    state.deadThreads.insert(&threadB);
    EXPECT_NE(nullptr, LiveCpuProfilingHelper::createLiveThreadManager(&threadB, jvm.jni()));
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    session.destroyThreadManagers(jvm.jni());
}

TEST_F(ThreadRegistrationJvmtiTest, ThreadThatStartsDuringItsRegistrationGetsItsEntryAndOneManager) {
    // associateThread finds the thread unstarted, so its storage cannot be
    // set; by the time the state is read the thread runs.
    CpuProfilingSession session;
    state.unstarted.insert(&threadA);
    state.startAtStateRead.insert(&threadA);
    testing::internal::CaptureStderr();
    ThreadManager* tm = LiveCpuProfilingHelper::createLiveThreadManager(&threadA, jvm.jni());
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    ASSERT_NE(nullptr, tm);
    EXPECT_FALSE(tm->awaitingStart);
    EXPECT_EQ(tm, state.storage[&threadA]);

    // Its start event, delivered next, finds that manager.
    g_recording = true;
    LiveCpuProfilingHelper::dxThreadStart(jvm.jvmti(), jvm.jni(), &threadA);
    EXPECT_EQ((std::vector<ThreadManager*>{tm}), session.getThreadManagers());
    session.destroyThreadManagers(jvm.jni());
}

TEST_F(ThreadRegistrationJvmtiTest, KeptManagerTakesTheThreadsNewNameAndIgnoreDecision) {
    CpuProfilingSession session;
    state.threadName = "pool-1-thread-1";
    ThreadManager* tm = LiveCpuProfilingHelper::createLiveThreadManager(&threadA, jvm.jni());
    ASSERT_NE(nullptr, tm);
    EXPECT_FALSE(tm->ignored);

    state.threadName = "_tolvane helper";
    LiveCpuProfilingHelper::refreshThread(jvm.jni(), &threadA, tm);
    EXPECT_STREQ("_tolvane helper", tm->threadDesc->getThreadName());
    EXPECT_TRUE(tm->ignored);
    g_sampleAgentThreads = true;
    LiveCpuProfilingHelper::refreshThread(jvm.jni(), &threadA, tm);
    EXPECT_FALSE(tm->ignored) << "agent threads recorded on request";
    g_sampleAgentThreads = false;

    state.threadName = "checkout-7";
    LiveCpuProfilingHelper::refreshThread(jvm.jni(), &threadA, tm);
    EXPECT_STREQ("checkout-7", tm->threadDesc->getThreadName());
    EXPECT_STREQ("workers", tm->threadDesc->getGroupName());
    EXPECT_FALSE(tm->ignored);
    EXPECT_EQ(jvm.calls.deleteLocalRefs, 12) << "group, parent and loader of each of four lookups";
    session.destroyThreadManagers(jvm.jni());
}

TEST_F(ThreadRegistrationJvmtiTest, ThreadsGoneSinceTheLastTickAreEndedBeforeTheWrite) {
    CpuProfilingSession session;
    ThreadManager* collected = LiveCpuProfilingHelper::createLiveThreadManager(&threadA, jvm.jni());
    ThreadManager* ended = LiveCpuProfilingHelper::createLiveThreadManager(&threadB, jvm.jni());
    ThreadManager* alive = LiveCpuProfilingHelper::createLiveThreadManager(&threadC, jvm.jni());
    state.collected.insert(&threadA);
    state.deadThreads.insert(&threadB);
    session.endGoneThreads(jvm.jni());
    EXPECT_TRUE(collected->getIsDead());
    EXPECT_GE(collected->threadDesc->getThreadEndTime(), 0);
    EXPECT_TRUE(ended->getIsDead());
    EXPECT_GE(ended->threadDesc->getThreadEndTime(), 0);
    EXPECT_FALSE(alive->getIsDead());
    EXPECT_EQ(-1, alive->threadDesc->getThreadEndTime());
    EXPECT_EQ(3u, session.getThreadManagers().size()) << "ended threads stay for the snapshot";
    session.destroyThreadManagers(jvm.jni());
}

TEST_F(ThreadRegistrationJvmtiTest, ThreadStartRegistersOnlyWhileRecordingAndOnlyOnce) {
    CpuProfilingSession session;
    g_recording = false;
    LiveCpuProfilingHelper::dxThreadStart(jvm.jvmti(), jvm.jni(), &threadA);
    EXPECT_TRUE(session.getThreadManagers().empty());
    EXPECT_EQ(0, state.threadInfoCalls);

    g_recording = true;
    LiveCpuProfilingHelper::dxThreadStart(jvm.jvmti(), jvm.jni(), &threadA);
    LiveCpuProfilingHelper::dxThreadStart(jvm.jvmti(), jvm.jni(), &threadA);
    ASSERT_EQ(1u, session.getThreadManagers().size());
    EXPECT_EQ(session.getThreadManagers()[0], session.getThreadManager(&threadA));
    session.destroyThreadManagers(jvm.jni());
}

TEST_F(ThreadRegistrationJvmtiTest, StoredManagerCountsOnlyWhileListed) {
    CpuProfilingSession session;
    ThreadManager stranger(nullptr, nullptr);
    state.storage[&threadA] = &stranger;
    EXPECT_EQ(nullptr, session.getThreadManager(&threadA));
    state.deadThreads.insert(&threadB);
    EXPECT_EQ(nullptr, session.getThreadManager(&threadB));
}

TEST_F(ThreadRegistrationJvmtiTest, DestroyThreadManagersClearsStorageOfLiveThreadsAndEmptiesTheList) {
    CpuProfilingSession session;
    ThreadManager* live = LiveCpuProfilingHelper::createLiveThreadManager(&threadA, jvm.jni());
    ThreadManager* ended = LiveCpuProfilingHelper::createLiveThreadManager(&threadB, jvm.jni());
    ThreadManager* collected = LiveCpuProfilingHelper::createLiveThreadManager(&threadC, jvm.jni());
    ASSERT_NE(nullptr, live);
    ASSERT_NE(nullptr, ended);
    ASSERT_NE(nullptr, collected);
    state.deadThreads.insert(&threadB);
    state.collected.insert(&threadC);
    state.storage[&threadC] = collected;  // unreachable: must be left alone
    // A dead thread's manager has already dropped its thread reference.
    ended->setIsDead(jvm.jni());
    int weakBefore = state.weakRefsDeleted;

    session.destroyThreadManagers(jvm.jni());
    EXPECT_TRUE(session.getThreadManagers().empty());
    EXPECT_EQ(nullptr, state.storage[&threadA]);
    EXPECT_EQ(collected, state.storage[&threadC]);
    EXPECT_EQ(weakBefore + 2, state.weakRefsDeleted) << "live and collected still held theirs";

    // Registering again after the run gives the thread a fresh manager.
    ThreadManager* again = LiveCpuProfilingHelper::createLiveThreadManager(&threadA, jvm.jni());
    EXPECT_EQ(again, session.getThreadManager(&threadA));
    session.destroyThreadManagers(jvm.jni());
}

TEST_F(ThreadRegistrationJvmtiTest, DestroyThreadManagersDoesNotTouchAnEntryNamingAnotherManager) {
    CpuProfilingSession session;
    ThreadManager* first = LiveCpuProfilingHelper::createLiveThreadManager(&threadA, jvm.jni());
    ThreadManager other(nullptr, nullptr);
    state.storage[&threadA] = &other;
    ASSERT_NE(nullptr, first);
    session.destroyThreadManagers(jvm.jni());
    EXPECT_EQ(&other, state.storage[&threadA]);
}

TEST_F(ThreadRegistrationJvmtiTest, RemoveDeadThreadManagersDropsOnlyThreadsThatAreGone) {
    CpuProfilingSession session;
    _jobject unstarted, invalid, unknown, markedDead;
    jthread all[] = {&threadA, &threadB, &threadC, &unstarted, &invalid, &unknown, &markedDead};
    std::vector<ThreadManager*> managers;
    for (jthread t : all) {
        managers.push_back(LiveCpuProfilingHelper::createLiveThreadManager(t, jvm.jni()));
        ASSERT_NE(nullptr, managers.back());
    }
    _jobject javaManager;
    managers[0]->javaThreadManager = &javaManager;
    state.deadThreads.insert(&threadB);
    state.collected.insert(&threadC);
    state.unstarted.insert(&unstarted);
    state.invalidThreads.insert(&invalid);
    state.stateUnknown.insert(&unknown);
    managers[6]->setIsDead(jvm.jni());
    int weakBefore = state.weakRefsDeleted;

    session.removeDeadThreadManagers(jvm.jni());
    // Live, not yet started and undecided threads keep their managers, in
    // order, with their associations and storage entries.
    EXPECT_EQ((std::vector<ThreadManager*>{managers[0], managers[3], managers[5]}), session.getThreadManagers());
    EXPECT_EQ(&javaManager, managers[0]->javaThreadManager);
    EXPECT_EQ(managers[0], session.getThreadManager(&threadA));
    EXPECT_NE(nullptr, managers[0]->threadDesc);
    EXPECT_EQ(weakBefore + 3, state.weakRefsDeleted) << "ended, collected and invalid held theirs";
    EXPECT_EQ(nullptr, session.getThreadManager(&threadC)) << "no longer listed";

    session.removeDeadThreadManagers(jvm.jni());
    EXPECT_EQ(3u, session.getThreadManagers().size());
    session.destroyThreadManagers(jvm.jni());
}

TEST_F(ThreadRegistrationJvmtiTest, SweepBetweenRunsWaitsUntilTheListHasDoubled) {
    CpuProfilingSession session;
    std::vector<_jobject> threads(64);
    auto add = [&](int from, int to) {
        for (int i = from; i < to; i++) {
            ASSERT_NE(nullptr, LiveCpuProfilingHelper::createLiveThreadManager(&threads[i], jvm.jni()));
        }
    };
    auto end = [&](int from, int to) {
        for (int i = from; i < to; i++) {
            state.deadThreads.insert(&threads[i]);
        }
    };
    add(0, 31);
    end(0, 16);
    session.removeDeadThreadManagersIfGrown(jvm.jni());
    EXPECT_EQ(31u, session.getThreadManagers().size()) << "too few to sweep";
    add(31, 32);
    session.removeDeadThreadManagersIfGrown(jvm.jni());
    EXPECT_EQ(16u, session.getThreadManagers().size());

    // Sixteen kept: the next sweep comes at 32.
    end(16, 24);
    session.removeDeadThreadManagersIfGrown(jvm.jni());
    EXPECT_EQ(16u, session.getThreadManagers().size());
    add(32, 48);
    session.removeDeadThreadManagersIfGrown(jvm.jni());
    EXPECT_EQ(24u, session.getThreadManagers().size());

    // Twenty-four kept: not before 48.
    end(24, 40);
    add(48, 64);
    session.removeDeadThreadManagersIfGrown(jvm.jni());
    EXPECT_EQ(40u, session.getThreadManagers().size());
    session.removeDeadThreadManagers(jvm.jni());
    EXPECT_EQ(24u, session.getThreadManagers().size());
    session.destroyThreadManagers(jvm.jni());
}

}  // namespace
