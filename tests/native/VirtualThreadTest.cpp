#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "CallTree.h"
#include "ClassProfilingSession.h"
#include "CpuProfilingSession.h"
#include "FakeJvm.h"
#include "GlobalsScope.h"
#include "JvmEnv.h"
#include "MethodDesc.h"
#include "ThreadDesc.h"
#include "ThreadManager.h"
#include "VirtualThreadEvents.h"
#include "VirtualThreadTree.h"

namespace {

jvmtiFrameInfo at(jmethodID method, jlocation location = 0) {
    jvmtiFrameInfo f;
    f.method = method;
    f.location = location;
    return f;
}

class VirtualThreadTreeTest : public ::testing::Test {
protected:
    GlobalsScope globals;
    harness::FakeJvm jvm;
    ClassProfilingSession* registry = nullptr;
    CpuProfilingSession* threads = nullptr;

    jmethodID runWorker, enterSpecial, enter, enter0, vthreadRun, handle, hash, sleep, take;

    void SetUp() override {
        g_profilingInterface = jvm.jvmti();
        g_sampleAgentClasses = false;
        jvm.installMethods();
        jvm.installArrays();
        registry = new ClassProfilingSession(nullptr);
        threads = new CpuProfilingSession();
        runWorker = jvm.newMethod("java.util.concurrent.ForkJoinPool", "runWorker");
        enterSpecial = jvm.newMethod("jdk.internal.vm.Continuation", "enterSpecial");
        enter = jvm.newMethod("jdk.internal.vm.Continuation", "enter");
        enter0 = jvm.newMethod("jdk.internal.vm.Continuation", "enter0");
        vthreadRun = jvm.newMethod("java.lang.VirtualThread", "run");
        handle = jvm.newMethod("test.vt.Server", "handle");
        hash = jvm.newMethod("test.vt.Server", "hash");
        sleep = jvm.newMethod("java.lang.Thread", "sleep");
        take = jvm.newMethod("test.vt.Server", "take");
    }

    void TearDown() override {
        jvm.releaseLineCache();
        delete threads;  // destroys the tree's record with the others
        delete registry;
    }

    // A carrier's stack that runs a virtual thread, innermost first.
    std::vector<jvmtiFrameInfo> carrierStack(std::vector<jvmtiFrameInfo> top) {
        for (jmethodID m : {vthreadRun, enter0, enter, enterSpecial, runWorker}) {
            top.push_back(at(m));
        }
        return top;
    }

    ThreadManager* record() {
        for (ThreadManager* m : threads->getThreadManagers()) {
            if (m != nullptr && m->synthetic) {
                return m;
            }
        }
        return nullptr;
    }
};

TEST_F(VirtualThreadTreeTest, TheVirtualThreadBeginsAboveTheInnermostEntryFrame) {
    std::vector<jvmtiFrameInfo> carried = carrierStack({at(hash), at(handle)});
    EXPECT_EQ(3, VirtualThreadTree::continuationEntry(jvm.jni(), registry, carried.data(),
                                                      static_cast<jint>(carried.size())));

    // The carrier's own frames: no virtual thread.
    std::vector<jvmtiFrameInfo> own = {at(take), at(runWorker)};
    EXPECT_EQ(-1, VirtualThreadTree::continuationEntry(jvm.jni(), registry, own.data(), 2));
    EXPECT_EQ(-1, VirtualThreadTree::continuationEntry(jvm.jni(), registry, own.data(), 0));

    // JVMTI shows a carrier that carries one as stopped in the entry or in Continuation.run.
    jmethodID run = jvm.newMethod("jdk.internal.vm.Continuation", "run");
    std::vector<jvmtiFrameInfo> shown = {at(run), at(runWorker)};
    EXPECT_TRUE(VirtualThreadTree::isMountedTop(jvm.jni(), registry, shown.data(), 2));
    shown[0] = at(enterSpecial);
    EXPECT_TRUE(VirtualThreadTree::isMountedTop(jvm.jni(), registry, shown.data(), 2));
    EXPECT_FALSE(VirtualThreadTree::isMountedTop(jvm.jni(), registry, own.data(), 2));
    EXPECT_FALSE(VirtualThreadTree::isMountedTop(jvm.jni(), registry, own.data(), 0));
}

TEST_F(VirtualThreadTreeTest, AnUnmountWithOnlyTheTaskRunnerAboveTheEntryIsTheEnd) {
    jmethodID runner = jvm.newMethod("java.lang.VirtualThread$VThreadContinuation$1", "run");
    std::vector<jvmtiFrameInfo> ending = {at(runner), at(enter0), at(enter), at(enterSpecial)};
    jint above = VirtualThreadTree::continuationEntry(jvm.jni(), registry, ending.data(), 4);
    EXPECT_EQ(1, above);
    EXPECT_TRUE(VirtualThreadTree::isTaskEnd(jvm.jni(), registry, ending.data(), above));
    // A wait cut to one frame (as JVMTI may show one blocked entering a
    // monitor) or with the task's code above the runner is a wait.
    std::vector<jvmtiFrameInfo> cut = {at(sleep)};
    EXPECT_FALSE(VirtualThreadTree::isTaskEnd(jvm.jni(), registry, cut.data(), 1));
    std::vector<jvmtiFrameInfo> waiting = {at(sleep), at(handle), at(runner)};
    EXPECT_FALSE(VirtualThreadTree::isTaskEnd(jvm.jni(), registry, waiting.data(), 3));
    EXPECT_FALSE(VirtualThreadTree::isTaskEnd(jvm.jni(), registry, waiting.data(), 0));
}

TEST_F(VirtualThreadTreeTest, OneRecordHoldsTheRunningCpuAndWaitsOfEveryVirtualThread) {
    VirtualThreadTree tree;
    EXPECT_FALSE(tree.exists());
    ASSERT_TRUE(tree.ensure(threads, 5000, 100));
    ASSERT_TRUE(tree.ensure(threads, 9000, 100));  // listed once
    ASSERT_EQ(1u, threads->getThreadManagers().size());
    ThreadManager* m = record();
    ASSERT_NE(nullptr, m);
    EXPECT_STREQ(VIRTUAL_THREADS_NAME, m->threadDesc->getThreadName());
    EXPECT_STREQ(VIRTUAL_THREADS_GROUP, m->threadDesc->getGroupName());
    EXPECT_EQ(5000, m->threadDesc->getThreadStartTime());

    const jint runnable = JVMTI_THREAD_STATE_ALIVE | JVMTI_THREAD_STATE_RUNNABLE;
    std::vector<jvmtiFrameInfo> hashing = {at(hash), at(handle), at(vthreadRun)};
    std::vector<jvmtiFrameInfo> sleeping = {at(sleep), at(handle), at(vthreadRun)};
    std::vector<jvmtiFrameInfo> blocked = {at(take), at(handle), at(vthreadRun)};
    // Two carriers' samples: CPU only, then CPU with the tick's running time.
    tree.book(jvm.jni(), registry, hashing.data(), 3, nullptr, true, runnable, 0, 5000, 1000000);
    tree.book(jvm.jni(), registry, hashing.data(), 3, nullptr, true, runnable, 4000, 5000, 1000000);
    tree.bookCpu(700);
    // Waits: waiting on the sleep, blocked where a monitor is entered.
    tree.book(jvm.jni(), registry, sleeping.data(), 3, nullptr, true, JVMTI_THREAD_STATE_ALIVE | JVMTI_THREAD_STATE_SLEEPING,
              60000, 0, 1000000);
    tree.book(jvm.jni(), registry, blocked.data(), 3, nullptr, true,
              JVMTI_THREAD_STATE_ALIVE | JVMTI_THREAD_STATE_BLOCKED_ON_MONITOR_ENTER, 3000, 0, 1000000);
    m->flushPendingTime();

    CallTree* run = m->rootNode->getChild(ClassProfilingHelper::_methodIdToMethodDesc.get((void*)vthreadRun), 0);
    ASSERT_NE(nullptr, run);
    EXPECT_EQ(4000, run->value);  // running time only while a carrier ran it
    jlong cpu = 0, waiting = 0, blocking = 0;
    std::vector<CallTree*> stack = {m->rootNode};
    while (!stack.empty()) {
        CallTree* n = stack.back();
        stack.pop_back();
        cpu += n->cpuTime;
        if (n->monitorTimeValues != nullptr) {
            waiting += n->monitorTimeValues->waitingTime;
            blocking += n->monitorTimeValues->blockingTime;
        }
        for (CallTree* c = n->firstChild; c != nullptr; c = c->nextInstance) {
            stack.push_back(c);
        }
    }
    EXPECT_EQ(10700, cpu);
    EXPECT_EQ(60000, waiting);
    EXPECT_EQ(3000, blocking);
    EXPECT_TRUE(m->cpuKnown);

    tree.setStarted(1234);
    EXPECT_STREQ("Virtual threads (about 1234 started)", m->threadDesc->getThreadName());
    tree.reset();
    EXPECT_FALSE(tree.exists());
    EXPECT_EQ(1u, threads->getThreadManagers().size());  // the list keeps and frees it
}

// The mount and unmount events against the fake JVM: the extension events
// are found and their callbacks caught when the library enables them.
struct EventFakes {
    static jvmtiExtensionEvent mount;
    static jvmtiExtensionEvent unmount;
    static int capabilityCalls;
    // Events switched on (+1) and off (-1) by their index.
    static int enabled[2];
};
jvmtiExtensionEvent EventFakes::mount = nullptr;
jvmtiExtensionEvent EventFakes::unmount = nullptr;
int EventFakes::capabilityCalls = 0;
int EventFakes::enabled[2] = {0, 0};

typedef void(JNICALL* ThreadEvent)(jvmtiEnv*, JNIEnv*, jthread);

jvmtiError JNICALL setEventNotificationMode(jvmtiEnv*, jvmtiEventMode mode, jvmtiEvent event, jthread thread, ...) {
    if ((event != 86 && event != 87) || thread != nullptr) {
        return JVMTI_ERROR_ILLEGAL_ARGUMENT;
    }
    EventFakes::enabled[event - 86] = mode == JVMTI_ENABLE ? 1 : 0;
    return JVMTI_ERROR_NONE;
}

void installEventFakes(harness::FakeJvm& jvm) {
    jvm.jvmtiFunctions.GetVersionNumber = [](jvmtiEnv*, jint* version) {
        *version = 0x30000000 | (25 << 16);
        return JVMTI_ERROR_NONE;
    };
    jvm.jvmtiFunctions.GetExtensionEvents = [](jvmtiEnv*, jint* count, jvmtiExtensionEventInfo** events) {
        const char* ids[] = {"com.sun.hotspot.events.ClassUnload", "com.sun.hotspot.events.VirtualThreadMount",
                             "com.sun.hotspot.events.VirtualThreadUnmount"};
        jvmtiExtensionEventInfo* out = static_cast<jvmtiExtensionEventInfo*>(calloc(3, sizeof *out));
        for (int i = 0; i < 3; i++) {
            out[i].extension_event_index = 85 + i;
            out[i].id = harness::FakeJvm::jvmtiCopy(ids[i]);
            out[i].short_description = harness::FakeJvm::jvmtiCopy("");
        }
        *count = 3;
        *events = out;
        return JVMTI_ERROR_NONE;
    };
    jvm.jvmtiFunctions.GetExtensionFunctions = [](jvmtiEnv*, jint* count, jvmtiExtensionFunctionInfo** functions) {
        *count = 0;
        *functions = nullptr;
        return JVMTI_ERROR_NONE;
    };
    jvm.jvmtiFunctions.AddCapabilities = [](jvmtiEnv*, const jvmtiCapabilities*) {
        EventFakes::capabilityCalls++;
        return JVMTI_ERROR_NONE;
    };
    jvm.jvmtiFunctions.SetExtensionEventCallback = [](jvmtiEnv*, jint index, jvmtiExtensionEvent callback) {
        (index == 86 ? EventFakes::mount : EventFakes::unmount) = callback;
        return JVMTI_ERROR_NONE;
    };
    jvm.jvmtiFunctions.SetEventNotificationMode = &setEventNotificationMode;
    // A virtual thread's id is its handle's value here.
    jvm.jniFunctions.FindClass = [](JNIEnv*, const char* name) -> jclass {
        return std::strcmp(name, "java/lang/Thread") == 0 ? reinterpret_cast<jclass>(0x7e) : nullptr;
    };
    jvm.jniFunctions.GetFieldID = [](JNIEnv*, jclass, const char* name, const char* sig) -> jfieldID {
        return std::strcmp(name, "tid") == 0 && std::strcmp(sig, "J") == 0 ? reinterpret_cast<jfieldID>(0x1d)
                                                                            : nullptr;
    };
    jvm.jniFunctions.GetLongField = [](JNIEnv*, jobject obj, jfieldID) -> jlong {
        return static_cast<jlong>(reinterpret_cast<uintptr_t>(obj));
    };
}

// Waits past the shortest window the events stay on.
void pastShortestWindow() {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

TEST_F(VirtualThreadTreeTest, UnmountsSampledInWindowsBecomeWaitsThatEndAtMountWakeOrEnd) {
    jvm.installMemory();
    jvm.installThreads();
    jvm.installSingleCaptures();
    installEventFakes(jvm);
    ASSERT_TRUE(VirtualThreadEvents::enable(jvm.jni(), jvm.jvmti(), 100));
    ASSERT_NE(nullptr, EventFakes::mount);
    ASSERT_NE(nullptr, EventFakes::unmount);
    EXPECT_EQ(1, EventFakes::capabilityCalls);
    EXPECT_TRUE(VirtualThreadEvents::enable(jvm.jni(), jvm.jvmti(), 100));  // once per process
    EXPECT_EQ(1, EventFakes::capabilityCalls);
    ThreadEvent onMount = reinterpret_cast<ThreadEvent>(EventFakes::mount);
    ThreadEvent onUnmount = reinterpret_cast<ThreadEvent>(EventFakes::unmount);

    jthread a = reinterpret_cast<jthread>(0xa1);
    jthread b = reinterpret_cast<jthread>(0xb1);
    jthread c = reinterpret_cast<jthread>(0xc1);
    jthread d = reinterpret_cast<jthread>(0xd1);
    jthread e = reinterpret_cast<jthread>(0xe1);
    for (jthread t : {a, b, c, d, e}) {
        jvm.thread(t).frames = {at(sleep), at(handle), at(vthreadRun)};
        jvm.thread(t).state = JVMTI_THREAD_STATE_ALIVE | JVMTI_THREAD_STATE_RUNNABLE;
    }
    const jint waiting = JVMTI_THREAD_STATE_ALIVE | JVMTI_THREAD_STATE_SLEEPING | JVMTI_THREAD_STATE_WAITING;
    std::vector<VirtualThreadEvents::Wait> waits;

    // Inactive, or active outside a window: the events are off, and an
    // unmount still delivered samples nothing.
    onUnmount(jvm.jvmti(), jvm.jni(), a);
    EXPECT_EQ(nullptr, jvm.thread(a).storage.load());
    VirtualThreadEvents::setActive(true);
    EXPECT_EQ(0, EventFakes::enabled[0] + EventFakes::enabled[1]);
    onUnmount(jvm.jvmti(), jvm.jni(), a);
    EXPECT_EQ(nullptr, jvm.thread(a).storage.load());

    // The first tick opens a window: both events on. A carrier's first
    // window samples every unmount.
    VirtualThreadEvents::cycle();
    EXPECT_EQ(1, EventFakes::enabled[0]);
    EXPECT_EQ(1, EventFakes::enabled[1]);
    onUnmount(jvm.jvmti(), jvm.jni(), a);
    EXPECT_NE(nullptr, jvm.thread(a).storage.load());
    jvm.thread(a).state = waiting;
    onMount(jvm.jvmti(), jvm.jni(), a);
    EXPECT_EQ(nullptr, jvm.thread(a).storage.load());
    // Ended, but held until its window closes and its scale is known.
    VirtualThreadEvents::takeWaits(waits, false);
    EXPECT_TRUE(waits.empty());

    // b wakes (runnable, no carrier yet) and c ends without mounting again
    // while watched: its unmount was its end, no wait.
    onUnmount(jvm.jvmti(), jvm.jni(), b);
    onUnmount(jvm.jvmti(), jvm.jni(), c);
    pastShortestWindow();
    jvm.thread(b).state = JVMTI_THREAD_STATE_ALIVE | JVMTI_THREAD_STATE_BLOCKED_ON_MONITOR_ENTER;
    jvm.thread(c).state = JVMTI_THREAD_STATE_TERMINATED;
    VirtualThreadEvents::checkWaits(jvm.jni(), jvm.jvmti(), nullptr);  // b still waits, now known to be blocked
    jvm.thread(b).state = JVMTI_THREAD_STATE_ALIVE | JVMTI_THREAD_STATE_RUNNABLE;
    VirtualThreadEvents::checkWaits(jvm.jni(), jvm.jvmti(), nullptr);
    // d unmounts and still waits as the window closes.
    onUnmount(jvm.jvmti(), jvm.jni(), d);
    jvm.thread(d).state = waiting;
    VirtualThreadEvents::cycle();
    EXPECT_EQ(0, EventFakes::enabled[0] + EventFakes::enabled[1]);
    VirtualThreadEvents::takeWaits(waits, false);
    ASSERT_EQ(3u, waits.size());  // a, b, and c's empty one
    int booked = 0;
    for (const VirtualThreadEvents::Wait& w : waits) {
        // Each stands for its unmount and those of the cycle's other
        // (CYCLE / window length), and no more than a cycle's worth of windows.
        EXPECT_GT(w.weight, 1.0);
        EXPECT_LE(w.weight, 100.0);
        EXPECT_EQ(sleep, w.frames[0].method);
        if (w.end > w.start) {
            booked++;
        }
    }
    EXPECT_EQ(2, booked);
    VirtualThreadEvents::release(jvm.jni(), waits);
    // b mounts later: its record was closed already and is not booked twice.
    onMount(jvm.jvmti(), jvm.jni(), b);
    VirtualThreadEvents::takeWaits(waits, false);
    EXPECT_TRUE(waits.empty());

    // Unwatched since the window closed, d runs to its end unseen: its
    // wait ended somewhere before the tick that finds it ended.
    jvm.thread(d).state = JVMTI_THREAD_STATE_TERMINATED;
    pastShortestWindow();
    VirtualThreadEvents::checkWaits(jvm.jni(), jvm.jvmti(), nullptr);
    VirtualThreadEvents::takeWaits(waits, false);
    ASSERT_EQ(1u, waits.size());
    EXPECT_GT(waits[0].end, waits[0].start);
    VirtualThreadEvents::release(jvm.jni(), waits);

    // The next window opens only a cycle later.
    VirtualThreadEvents::cycle();
    EXPECT_EQ(0, EventFakes::enabled[1]);
    onUnmount(jvm.jvmti(), jvm.jni(), e);
    EXPECT_EQ(nullptr, jvm.thread(e).storage.load());

    // At the end a window opened since is closed, e's wait still going on is
    // booked up to now, and its later mount finds a mark that no longer
    // matches.
    std::this_thread::sleep_for(std::chrono::milliseconds(101));
    VirtualThreadEvents::cycle();
    EXPECT_EQ(1, EventFakes::enabled[1]);
    onUnmount(jvm.jvmti(), jvm.jni(), e);
    jvm.thread(e).state = waiting;
    VirtualThreadEvents::takeWaits(waits, true);
    EXPECT_EQ(0, EventFakes::enabled[0] + EventFakes::enabled[1]);
    ASSERT_EQ(1u, waits.size());
    EXPECT_GE(waits[0].weight, 1.0);
    VirtualThreadEvents::release(jvm.jni(), waits);
    VirtualThreadEvents::setActive(false);
    onMount(jvm.jvmti(), jvm.jni(), e);
    EXPECT_EQ(nullptr, jvm.thread(e).storage.load());
    VirtualThreadEvents::takeWaits(waits, true);
    EXPECT_TRUE(waits.empty());

    VirtualThreadEvents::Counts counts = VirtualThreadEvents::counts();
    EXPECT_EQ(5u, counts.sampled);
    EXPECT_EQ(0u, counts.lost);
    EXPECT_EQ(2u, counts.windows);
    // Ids 0xa1 to 0xe1 were seen: about 65 threads started.
    EXPECT_EQ(0xe1u - 0xa1u + 1, counts.started);

    // A carrier's burst of unmounts in one window is sampled ever more
    // sparsely instead of filling the pool, and the samples still stand for
    // about all of them.
    VirtualThreadEvents::setActive(true);
    VirtualThreadEvents::cycle();
    std::thread carrier([&] {
        for (int i = 0; i < 4000; i++) {
            onUnmount(jvm.jvmti(), jvm.jni(), a);
        }
    });
    carrier.join();
    counts = VirtualThreadEvents::counts();
    EXPECT_LE(counts.sampled, 300u);
    EXPECT_EQ(0u, counts.lost);
    EXPECT_GE(counts.unmounts, 1000u);
    EXPECT_LE(counts.unmounts, 16000u);
    VirtualThreadEvents::takeWaits(waits, true);
    VirtualThreadEvents::release(jvm.jni(), waits);
    VirtualThreadEvents::setActive(false);

    // A wait left over from one recording is worth nothing to the next.
    VirtualThreadEvents::setActive(true);
    VirtualThreadEvents::cycle();
    onUnmount(jvm.jvmti(), jvm.jni(), a);
    VirtualThreadEvents::setActive(true);
    EXPECT_EQ(0, EventFakes::enabled[0] + EventFakes::enabled[1]);
    EXPECT_EQ(0u, VirtualThreadEvents::counts().sampled);
    EXPECT_EQ(0u, VirtualThreadEvents::counts().started);
    VirtualThreadEvents::takeWaits(waits, true);
    ASSERT_EQ(1u, waits.size());
    EXPECT_EQ(waits[0].start, waits[0].end);
    VirtualThreadEvents::release(jvm.jni(), waits);
    VirtualThreadEvents::setActive(false);
}

}  // namespace
