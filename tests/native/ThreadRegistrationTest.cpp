#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Counter.h"
#include "CpuProfilingSession.h"
#include "FakeJvm.h"
#include "GlobalsScope.h"
#include "MemoryDataWriter.h"
#include "ProfilingSession.h"
#include "StderrCapture.h"
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
        {"VirtualThread-unblocker", "InnocuousThreadGroup", true, true},
        {"VirtualThread-unblocker-2", "main", true, false},
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
        session.write(&empty, g_recordStartTime);
        EXPECT_EQ((Bytes{0}), empty.bytes());
    }
    ThreadManager* bare = LiveCpuProfilingHelper::createThreadManager(nullptr, nullptr);
    session.addThreadManager(bare);
    {
        MemoryDataWriter onlyBare;
        session.write(&onlyBare, g_recordStartTime);
        EXPECT_EQ((Bytes{0}), onlyBare.bytes());
    }

    GlobalsScope globals;
    g_recordStartTime = 0;
    ThreadManager* described = LiveCpuProfilingHelper::createThreadManager(nullptr, nullptr);
    described->setThreadDesc(new ThreadDesc(described, "main", "main", 5));
    session.addThreadManager(described);
    EXPECT_EQ((std::vector<ThreadManager*>{bare, described}), session.getThreadManagers());

    MemoryDataWriter writer;
    session.write(&writer, g_recordStartTime);
    MemoryDataWriter record;
    described->write(&record, g_recordStartTime);
    Bytes expected{1};
    Bytes recordBytes = record.bytes();
    expected.insert(expected.end(), recordBytes.begin(), recordBytes.end());
    expected.push_back(0);
    EXPECT_EQ(expected, writer.bytes());
}

// --- registration through a fake JVM -----------------------------------------

using harness::FakeJvm;

class ThreadRegistrationJvmtiTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_profilingInterface = jvm.jvmti();
        g_sampleAgentThreads = false;
        jvm.installThreads();
        jvm.jniFunctions.ExceptionCheck = [](JNIEnv*) -> jboolean { return JNI_FALSE; };
    }

    GlobalsScope globals;
    FakeJvm jvm;
    _jobject threadA, threadB, threadC;
};

TEST_F(ThreadRegistrationJvmtiTest, CreateLiveThreadManagerRegistersDescribesAndLinks) {
    CpuProfilingSession session;
    ThreadManager* tm = LiveCpuProfilingHelper::createLiveThreadManager(&threadA, jvm.jni());
    ASSERT_NE(nullptr, tm);
    EXPECT_EQ((std::vector<ThreadManager*>{tm}), session.getThreadManagers());
    EXPECT_EQ(static_cast<jobject>(&threadA), tm->getThreadHandle());
    EXPECT_EQ(tm, jvm.thread(&threadA).storage.load());
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
    jvm.groupInfoFails = true;
    jvm.setStorageFails = true;
    jvm.thread(&threadA).name = "_tolvane sender";
    StderrCapture console;
    ThreadManager* tm = LiveCpuProfilingHelper::createLiveThreadManager(&threadA, jvm.jni());
    std::string err = console.text();
    ASSERT_NE(nullptr, tm);
    EXPECT_NE(std::string::npos, err.find("Could not set thread local storage."));
    EXPECT_EQ(1u, session.getThreadManagers().size()) << "the manager stays listed";
    EXPECT_EQ(nullptr, session.getThreadManager(&threadA));
    EXPECT_STREQ("", tm->threadDesc->getGroupName());
    EXPECT_TRUE(tm->ignored);
    EXPECT_EQ(1, jvm.calls.deallocations);

    // A nameless thread registers without tripping the name rules.
    jvm.setStorageFails = false;
    jvm.thread(&threadB).name = nullptr;
    ThreadManager* nameless = LiveCpuProfilingHelper::createLiveThreadManager(&threadB, jvm.jni());
    ASSERT_NE(nullptr, nameless);
    EXPECT_EQ(nullptr, nameless->threadDesc->getThreadName());
    EXPECT_FALSE(nameless->ignored);

    jvm.threadInfoFails = true;
    EXPECT_EQ(nullptr, LiveCpuProfilingHelper::createLiveThreadManager(&threadC, jvm.jni()));
    EXPECT_EQ(2u, session.getThreadManagers().size());
    EXPECT_EQ(nullptr, jvm.thread(&threadC).storage.load());
    EXPECT_EQ(nullptr, LiveCpuProfilingHelper::createLiveThreadManager(&threadC, nullptr));
    session.destroyThreadManagers(jvm.jni());
}

TEST_F(ThreadRegistrationJvmtiTest, ThreadRegisteredBeforeItStartsKeepsOneManagerOnceStarted) {
    CpuProfilingSession session;
    jvm.thread(&threadA).state = 0;
    StderrCapture console;
    ThreadManager* early = LiveCpuProfilingHelper::createLiveThreadManager(&threadA, jvm.jni());
    ASSERT_NE(nullptr, early);
    EXPECT_TRUE(early->awaitingStart);
    EXPECT_EQ(early, session.getThreadManager(&threadA, jvm.jni())) << "found before it starts too";
    EXPECT_TRUE(early->awaitingStart);
    early->threadDesc->threadStartTime = 5;

    // It starts during a recording: the start event finds the early manager.
    jvm.thread(&threadA).state = JVMTI_THREAD_STATE_ALIVE | JVMTI_THREAD_STATE_RUNNABLE;
    g_recording = true;
    LiveCpuProfilingHelper::dxThreadStart(jvm.jvmti(), jvm.jni(), &threadA);
    EXPECT_EQ((std::vector<ThreadManager*>{early}), session.getThreadManagers());
    EXPECT_EQ(early, jvm.thread(&threadA).storage.load());
    EXPECT_FALSE(early->awaitingStart);
    EXPECT_GT(early->threadDesc->getThreadStartTime(), 5) << "its life starts when the thread does";
    EXPECT_EQ(early, session.getThreadManager(&threadA));

    // A thread that ended between being listed and being registered needs no entry.
    jvm.thread(&threadB).state = JVMTI_THREAD_STATE_TERMINATED;
    EXPECT_NE(nullptr, LiveCpuProfilingHelper::createLiveThreadManager(&threadB, jvm.jni()));
    EXPECT_EQ("", console.text());
    session.destroyThreadManagers(jvm.jni());
}

TEST_F(ThreadRegistrationJvmtiTest, ThreadThatStartsDuringItsRegistrationGetsItsEntryAndOneManager) {
    // associateThread finds the thread unstarted, so its storage cannot be
    // set; by the time the state is read the thread runs.
    CpuProfilingSession session;
    jvm.thread(&threadA).state = 0;
    jvm.thread(&threadA).startsAtStateRead = true;
    StderrCapture console;
    ThreadManager* tm = LiveCpuProfilingHelper::createLiveThreadManager(&threadA, jvm.jni());
    EXPECT_EQ("", console.text());
    ASSERT_NE(nullptr, tm);
    EXPECT_FALSE(tm->awaitingStart);
    EXPECT_EQ(tm, jvm.thread(&threadA).storage.load());

    // Its start event, delivered next, finds that manager.
    g_recording = true;
    LiveCpuProfilingHelper::dxThreadStart(jvm.jvmti(), jvm.jni(), &threadA);
    EXPECT_EQ((std::vector<ThreadManager*>{tm}), session.getThreadManagers());
    session.destroyThreadManagers(jvm.jni());
}

TEST_F(ThreadRegistrationJvmtiTest, KeptManagerTakesTheThreadsNewNameAndIgnoreDecision) {
    CpuProfilingSession session;
    jvm.thread(&threadA).name = "pool-1-thread-1";
    ThreadManager* tm = LiveCpuProfilingHelper::createLiveThreadManager(&threadA, jvm.jni());
    ASSERT_NE(nullptr, tm);
    EXPECT_FALSE(tm->ignored);

    jvm.thread(&threadA).name = "_tolvane helper";
    LiveCpuProfilingHelper::refreshThread(jvm.jni(), &threadA, tm);
    EXPECT_STREQ("_tolvane helper", tm->threadDesc->getThreadName());
    EXPECT_TRUE(tm->ignored);
    g_sampleAgentThreads = true;
    LiveCpuProfilingHelper::refreshThread(jvm.jni(), &threadA, tm);
    EXPECT_FALSE(tm->ignored) << "agent threads recorded on request";
    g_sampleAgentThreads = false;

    jvm.thread(&threadA).name = "checkout-7";
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
    jvm.thread(&threadA).collected = true;
    jvm.thread(&threadB).state = JVMTI_THREAD_STATE_TERMINATED;
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
    EXPECT_EQ(0, jvm.calls.threadInfos);

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
    jvm.thread(&threadA).storage = &stranger;
    EXPECT_EQ(nullptr, session.getThreadManager(&threadA));
    jvm.thread(&threadB).state = JVMTI_THREAD_STATE_TERMINATED;
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
    jvm.thread(&threadB).state = JVMTI_THREAD_STATE_TERMINATED;
    jvm.thread(&threadC).collected = true;
    jvm.thread(&threadC).storage = collected;  // unreachable: must be left alone
    // A dead thread's manager has already dropped its thread reference.
    ended->setIsDead(jvm.jni());
    int weakBefore = jvm.calls.weakDeletes;

    session.destroyThreadManagers(jvm.jni());
    EXPECT_TRUE(session.getThreadManagers().empty());
    EXPECT_EQ(nullptr, jvm.thread(&threadA).storage.load());
    EXPECT_EQ(collected, jvm.thread(&threadC).storage.load());
    EXPECT_EQ(weakBefore + 2, jvm.calls.weakDeletes) << "live and collected still held theirs";

    // Registering again after the run gives the thread a fresh manager.
    ThreadManager* again = LiveCpuProfilingHelper::createLiveThreadManager(&threadA, jvm.jni());
    EXPECT_EQ(again, session.getThreadManager(&threadA));
    session.destroyThreadManagers(jvm.jni());
}

TEST_F(ThreadRegistrationJvmtiTest, DestroyThreadManagersDoesNotTouchAnEntryNamingAnotherManager) {
    CpuProfilingSession session;
    ThreadManager* first = LiveCpuProfilingHelper::createLiveThreadManager(&threadA, jvm.jni());
    ThreadManager other(nullptr, nullptr);
    jvm.thread(&threadA).storage = &other;
    ASSERT_NE(nullptr, first);
    session.destroyThreadManagers(jvm.jni());
    EXPECT_EQ(&other, jvm.thread(&threadA).storage.load());
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
    jvm.thread(&threadB).state = JVMTI_THREAD_STATE_TERMINATED;
    jvm.thread(&threadC).collected = true;
    jvm.thread(&unstarted).state = 0;
    jvm.thread(&invalid).stateError = JVMTI_ERROR_INVALID_THREAD;
    jvm.thread(&unknown).stateError = JVMTI_ERROR_WRONG_PHASE;
    managers[6]->setIsDead(jvm.jni());
    int weakBefore = jvm.calls.weakDeletes;

    session.removeDeadThreadManagers(jvm.jni());
    // Live, not yet started and undecided threads keep their managers, in
    // order, with their associations and storage entries.
    EXPECT_EQ((std::vector<ThreadManager*>{managers[0], managers[3], managers[5]}), session.getThreadManagers());
    EXPECT_EQ(&javaManager, managers[0]->javaThreadManager);
    EXPECT_EQ(managers[0], session.getThreadManager(&threadA));
    EXPECT_NE(nullptr, managers[0]->threadDesc);
    EXPECT_EQ(weakBefore + 3, jvm.calls.weakDeletes) << "ended, collected and invalid held theirs";
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
            jvm.thread(&threads[i]).state = JVMTI_THREAD_STATE_TERMINATED;
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

// --- native thread ids ---------------------------------------------------------

TEST_F(ThreadRegistrationJvmtiTest, ThreadStartGivesTheNativeIdAndThreadEndTakesItBeforeTheKernelReusesIt) {
    CpuProfilingSession session;
    g_recording = true;
    jvm.currentNativeId = 701;
    // Without thread ends reported an id could outlive its thread: none is given.
    g_threadEndsReported = false;
    LiveCpuProfilingHelper::dxThreadStart(jvm.jvmti(), jvm.jni(), &threadA);
    ThreadManager* a = session.getThreadManager(&threadA);
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(0, a->nativeId);
    g_threadEndsReported = true;
    LiveCpuProfilingHelper::dxThreadStart(jvm.jvmti(), jvm.jni(), &threadA);
    EXPECT_EQ(701, a->nativeId);

    // A ends; the kernel gives its id to B, which starts: B has it, A not.
    LiveCpuProfilingHelper::dxThreadEnd(jvm.jvmti(), jvm.jni(), &threadA);
    EXPECT_EQ(0, a->nativeId);
    LiveCpuProfilingHelper::dxThreadStart(jvm.jvmti(), jvm.jni(), &threadB);
    ThreadManager* b = session.getThreadManager(&threadB);
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(701, b->nativeId);
    EXPECT_EQ(0, a->nativeId);

    // Had B's end gone unseen, C starting on the same id would still be the
    // only one holding it.
    LiveCpuProfilingHelper::dxThreadStart(jvm.jvmti(), jvm.jni(), &threadC);
    EXPECT_EQ(701, session.getThreadManager(&threadC)->nativeId);
    EXPECT_EQ(0, b->nativeId);
    g_recording = false;
    session.destroyThreadManagers(jvm.jni());
}

TEST_F(ThreadRegistrationJvmtiTest, ThreadsAlreadyRunningGetTheIdOfTheOneThreadThatNamedTheirRecord) {
    CpuProfilingSession session;
    _jobject threadD, threadE, threadF;
    std::vector<ThreadManager*> managers;
    ThreadManager* stale = LiveCpuProfilingHelper::createLiveThreadManager(&threadF, jvm.jni());
    for (jthread thread : {&threadA, &threadB, &threadC, &threadD, &threadE}) {
        managers.push_back(LiveCpuProfilingHelper::createLiveThreadManager(thread, jvm.jni()));
    }
    char records[5][64];
    const ptrdiff_t envOffset = 16;
    g_threadEndsReported = true;
    ThreadMonitorLock lock;
    // E already has an id. Another manager held 13, whose thread ended
    // unseen: the kernel gave 13 to C, which now answers with it.
    session.setNativeId(managers[4], 15, jvm.jni());
    session.setNativeId(stale, 13, jvm.jni());
    std::vector<CpuProfilingSession::ThreadRecord> threads;
    for (int i = 0; i < 5; i++) {
        threads.push_back({managers[i], records[i]});
    }
    // A and B answer with their records; C too, on the reused id 13; D's
    // record is named by two answers (freed and reused meanwhile); E answers
    // with another id, but keeps the one it has; a thread of no record
    // answers as well.
    std::vector<NativeThreads::Answer> answers = {{12, records[1]}, {11, records[0]}, {13, records[2]},
                                                  {14, records[3]}, {24, records[3]}, {25, records[4]},
                                                  {30, "not a thread of the list"}};
    EXPECT_EQ(3, session.giveNativeIds(threads, answers, envOffset));
    EXPECT_EQ(11, managers[0]->nativeId);
    EXPECT_EQ(reinterpret_cast<JNIEnv*>(records[0] + envOffset), managers[0]->nativeEnv);
    EXPECT_EQ(12, managers[1]->nativeId);
    EXPECT_EQ(13, managers[2]->nativeId);
    EXPECT_EQ(0, stale->nativeId) << "an id now named by another thread is not the old one's";
    EXPECT_EQ(nullptr, stale->nativeEnv);
    EXPECT_EQ(0, managers[3]->nativeId);
    EXPECT_EQ(nullptr, managers[3]->nativeEnv);
    EXPECT_EQ(15, managers[4]->nativeId);

    // Without thread ends reported no id is given: none could be taken back.
    g_threadEndsReported = false;
    threads = {{managers[3], records[3]}};
    answers = {{14, records[3]}};
    EXPECT_EQ(0, session.giveNativeIds(threads, answers, envOffset));
    EXPECT_EQ(0, managers[3]->nativeId);
    session.destroyThreadManagers(jvm.jni());
}
