#include <gtest/gtest.h>

#include <vector>

#include "CallTree.h"
#include "ClassData.h"
#include "FakeJvm.h"
#include "GlobalsScope.h"
#include "MemoryDataWriter.h"
#include "MethodDesc.h"
#include "ProfilingSession.h"
#include "ThreadDesc.h"
#include "ThreadManager.h"

namespace {

typedef std::vector<unsigned char> Kinds;
typedef std::vector<unsigned short> Lines;

const unsigned char SKIPPED = ThreadManager::ENTRY_SKIPPED;
const unsigned char FILTERED = ThreadManager::ENTRY_FILTERED;
const unsigned char NORMAL = ThreadManager::ENTRY_NORMAL;

// Hand-made descriptors with the filter and net I/O flags set directly.
struct Methods {
    ClassData cls{"test.Foo", 0, nullptr};
    MethodDesc m{&cls, "m", 1, "()V", 3, nullptr};
    MethodDesc n{&cls, "n", 1, "()V", 3, nullptr};
    MethodDesc normal{&cls, "normal", 6, "()V", 3, nullptr};
    MethodDesc f1{&cls, "f1", 2, "()V", 3, nullptr};
    MethodDesc f2{&cls, "f2", 2, "()V", 3, nullptr};
    MethodDesc ignored{&cls, "ignored", 7, "()V", 3, nullptr};
    MethodDesc netio{&cls, "read", 4, "()I", 3, nullptr};
    Methods() {
        f1.isFiltered = true;
        f2.isFiltered = true;
        ignored.isIgnored = true;
        netio.isNetio = true;
    }
};

std::vector<CallTree*> children(CallTree* node) {
    std::vector<CallTree*> list;
    for (CallTree* child = node->firstChild; child != nullptr; child = child->getNextInstance()) {
        list.push_back(child);
    }
    return list;
}

TEST(ThreadManagerTest, NewManagerStandsAtTheRootAndBooksNothing) {
    ThreadManager tm(nullptr, nullptr);
    EXPECT_EQ(THREAD_STATUS_RUNNING, tm.threadStatus);
    EXPECT_EQ(tm.rootNode, tm.currentNode);
    EXPECT_EQ(nullptr, tm.rootNode->method);
    EXPECT_FALSE(tm.ignored);
    EXPECT_FALSE(tm.getIsDead());
    ThreadDesc* desc = new ThreadDesc(&tm, "t", "g", 0);
    tm.setThreadDesc(desc);
    tm.sampleTime(5000, 1000000, true);
    EXPECT_EQ(0, tm.rootNode->getValue());
    EXPECT_TRUE(desc->getThreadStatusList().empty());
    EXPECT_TRUE(desc->getThreadStatusTimeList().empty());
}

TEST(ThreadManagerTest, NodesAreKeyedByTheCallersLine) {
    Methods x;
    ThreadManager tm(nullptr, nullptr);
    tm.methodEntry(nullptr, &x.m, 12);
    tm.methodEntry(nullptr, &x.n, 30);
    CallTree* m = tm.rootNode->getChild(&x.m, 0);
    ASSERT_NE(nullptr, m);
    CallTree* n = m->getChild(&x.n, 12);
    ASSERT_NE(nullptr, n);
    EXPECT_EQ(n, tm.currentNode);
    EXPECT_EQ((Lines{12, 30}), tm.lineStack);
    EXPECT_EQ((Kinds{NORMAL, NORMAL}), tm.entryKinds);

    // Leaving and entering again from the same line reuses the node.
    tm.methodExit(nullptr, &x.n);
    EXPECT_EQ(m, tm.currentNode);
    EXPECT_EQ((Lines{12}), tm.lineStack);
    tm.methodEntry(nullptr, &x.n, 31);
    EXPECT_EQ(n, tm.currentNode);
    EXPECT_EQ(1u, children(m).size());
}

TEST(ThreadManagerTest, FilteredFramesCollapseIntoTheFirstAndExitBackToTheNormalNode) {
    Methods x;
    ThreadManager tm(nullptr, nullptr);
    tm.methodEntry(nullptr, &x.normal, 5);
    CallTree* normal = tm.currentNode;
    tm.methodEntry(nullptr, &x.f1, 6);
    tm.methodEntry(nullptr, &x.f2, 7);
    EXPECT_EQ((Kinds{NORMAL, FILTERED, SKIPPED}), tm.entryKinds);
    ASSERT_EQ(1u, children(normal).size());
    CallTree* f1 = normal->getChild(&x.f1, 5);
    ASSERT_NE(nullptr, f1);
    EXPECT_EQ(f1, tm.currentNode);
    EXPECT_FALSE(f1->hasChildren());

    // A normal method below the collapsed node gets a node keyed with line 0.
    tm.methodEntry(nullptr, &x.n, 40);
    CallTree* n = f1->getChild(&x.n, 0);
    ASSERT_NE(nullptr, n);
    EXPECT_EQ(n, tm.currentNode);
    tm.methodExit(nullptr, &x.n);

    tm.methodExit(nullptr, &x.f2);
    EXPECT_EQ(f1, tm.currentNode);
    tm.methodExit(nullptr, &x.f1);
    EXPECT_EQ(normal, tm.currentNode);
    EXPECT_EQ((Lines{5}), tm.lineStack);
    EXPECT_EQ((Kinds{NORMAL}), tm.entryKinds);
}

TEST(ThreadManagerTest, IgnoredMethodThenFilteredMethodCreateNoNodes) {
    Methods x;
    ThreadManager tm(nullptr, nullptr);
    tm.methodEntry(nullptr, &x.normal, 5);
    CallTree* normal = tm.currentNode;
    tm.methodEntry(nullptr, &x.ignored, 6);
    tm.methodEntry(nullptr, &x.f1, 7);
    EXPECT_EQ((Kinds{NORMAL, SKIPPED, SKIPPED}), tm.entryKinds);
    EXPECT_FALSE(normal->hasChildren());
    EXPECT_EQ(normal, tm.currentNode);
    tm.methodExit(nullptr, &x.f1);
    tm.methodExit(nullptr, &x.ignored);
    EXPECT_EQ(normal, tm.currentNode);
    EXPECT_EQ((Lines{5}), tm.lineStack);

    // A filtered method right below the root still gets its node.
    ThreadManager fromRoot(nullptr, nullptr);
    fromRoot.methodEntry(nullptr, &x.f1, 3);
    EXPECT_EQ((Kinds{FILTERED}), fromRoot.entryKinds);
    EXPECT_NE(nullptr, fromRoot.rootNode->getChild(&x.f1, 0));
}

TEST(ThreadManagerTest, NullAndUnbalancedCallsLeaveTheCursorAlone) {
    Methods x;
    ThreadManager tm(nullptr, nullptr);
    tm.methodEntry(nullptr, nullptr, 1);
    tm.methodExit(nullptr, nullptr);
    EXPECT_TRUE(tm.entryKinds.empty());
    tm.methodExit(nullptr, &x.m);
    tm.methodExit(nullptr, &x.m);
    EXPECT_EQ(tm.rootNode, tm.currentNode);
    EXPECT_FALSE(tm.rootNode->hasChildren());

    tm.methodEntry(nullptr, &x.m, 1);
    tm.methodEntry(nullptr, &x.n, 2);
    tm.reset();
    EXPECT_EQ(tm.rootNode, tm.currentNode);
    EXPECT_TRUE(tm.entryKinds.empty());
    EXPECT_TRUE(tm.lineStack.empty());

    tm.methodEntry(nullptr, &x.m, 1);
    tm.setIgnored(true, nullptr);
    EXPECT_TRUE(tm.ignored);
    EXPECT_EQ(tm.rootNode, tm.currentNode);
}

TEST(ThreadManagerTest, NetIODepthDrivesTheDisplayStatusAndNeverGoesNegative) {
    Methods x;
    ThreadManager tm(nullptr, nullptr);
    tm.setThreadStatus(THREAD_STATUS_BLOCKED);
    tm.methodEntry(nullptr, &x.netio, 1);
    tm.methodEntry(nullptr, &x.netio, 2);
    tm.methodExit(nullptr, &x.netio);
    EXPECT_EQ(1, tm.netIODepth);
    EXPECT_EQ(THREAD_STATUS_NET_IO, tm.getDisplayThreadStatus());
    EXPECT_EQ(THREAD_STATUS_BLOCKED, tm.threadStatus);

    tm.sampleTime(30, 0, false);
    CallTree* node = tm.currentNode;
    ASSERT_NE(nullptr, node->getMonitorTimeValues());
    EXPECT_EQ(30, node->getMonitorTimeValues()->netIOTime);
    EXPECT_EQ(0, node->getMonitorTimeValues()->blockingTime);

    tm.methodExit(nullptr, &x.netio);
    EXPECT_EQ(0, tm.netIODepth);
    EXPECT_EQ(THREAD_STATUS_BLOCKED, tm.getDisplayThreadStatus());
    tm.methodExit(nullptr, &x.netio);
    EXPECT_EQ(0, tm.netIODepth);
}

TEST(ThreadManagerTest, SampleTimeBooksByStatus) {
    Methods x;
    ThreadManager tm(nullptr, nullptr);
    tm.methodEntry(nullptr, &x.m, 1);
    tm.methodEntry(nullptr, &x.n, 2);
    CallTree* n = tm.currentNode;
    CallTree* m = n->getParent();

    tm.sampleTime(10, 0, false);
    tm.flushPendingTime();
    EXPECT_EQ(10, n->getValue());
    EXPECT_EQ(10, m->getValue());
    EXPECT_EQ(10, tm.rootNode->getValue());
    EXPECT_EQ(nullptr, n->getMonitorTimeValues());

    tm.setThreadStatus(THREAD_STATUS_BLOCKED);
    tm.sampleTime(3, 0, false);
    tm.setThreadStatus(THREAD_STATUS_WAITING);
    tm.sampleTime(4, 0, false);
    tm.setThreadStatus(THREAD_STATUS_DEAD);
    tm.sampleTime(100, 0, false);
    EXPECT_EQ(10, n->getValue());
    EXPECT_EQ(10, tm.rootNode->getValue());
    ASSERT_NE(nullptr, n->getMonitorTimeValues());
    EXPECT_EQ(3, n->getMonitorTimeValues()->blockingTime);
    EXPECT_EQ(4, n->getMonitorTimeValues()->waitingTime);
    EXPECT_EQ(0, n->getMonitorTimeValues()->netIOTime);
    EXPECT_EQ(nullptr, m->getMonitorTimeValues());
    EXPECT_TRUE(tm.getIsDead());
}

TEST(ThreadManagerTest, TimelineGetsPointsOnlyOnStatusTicksAndOnChange) {
    Methods x;
    ThreadManager tm(nullptr, nullptr);
    ThreadDesc* desc = new ThreadDesc(&tm, "t", "g", 0);
    tm.setThreadDesc(desc);
    tm.methodEntry(nullptr, &x.m, 1);

    tm.sampleTime(5, 1000000, true);
    tm.sampleTime(5, 1005000, false);
    tm.sampleTime(5, 1200000, true);
    tm.sampleTime(5, 1400000, true);
    EXPECT_EQ((std::vector<unsigned char>{THREAD_STATUS_RUNNING}), desc->getThreadStatusList());
    EXPECT_EQ((std::vector<jint>{100}), desc->getThreadStatusTimeList());

    tm.setThreadStatus(THREAD_STATUS_BLOCKED);
    tm.sampleTime(5, 1500000, false);  // not a status tick
    tm.sampleTime(5, 1600000, true);
    EXPECT_EQ((std::vector<unsigned char>{THREAD_STATUS_RUNNING, THREAD_STATUS_BLOCKED}), desc->getThreadStatusList());
    EXPECT_EQ((std::vector<jint>{100, 160}), desc->getThreadStatusTimeList());

    // Without a descriptor the time is still booked.
    ThreadManager bare(nullptr, nullptr);
    bare.methodEntry(nullptr, &x.m, 1);
    bare.sampleTime(5, 1000000, true);
    bare.flushPendingTime();
    EXPECT_EQ(5, bare.rootNode->getValue());
}

// Running time is folded into the values lazily; whatever order the cursor
// visits nodes in, once flushed (write flushes) every value is the same as
// with eager propagation.
TEST(ThreadManagerTest, DeferredRunningTimeAddsUpLikeEagerPropagation) {
    Methods x;
    ThreadManager tm(nullptr, nullptr);
    tm.methodEntry(nullptr, &x.m, 1);
    CallTree* m = tm.currentNode;
    tm.methodEntry(nullptr, &x.n, 2);
    CallTree* n = tm.currentNode;

    tm.sampleTime(10, 0, false);
    tm.sampleTime(10, 0, false);
    tm.methodExit(nullptr, &x.n);
    tm.sampleTime(7, 0, false);
    tm.flushPendingTime();
    EXPECT_EQ(20, n->getValue());
    EXPECT_EQ(27, m->getValue());
    EXPECT_EQ(27, tm.rootNode->getValue());
    tm.flushPendingTime();  // a second flush adds nothing
    EXPECT_EQ(27, tm.rootNode->getValue());
    tm.methodEntry(nullptr, &x.n, 2);
    tm.setThreadStatus(THREAD_STATUS_WAITING);
    tm.sampleTime(100, 0, false);  // only running time is deferred
    tm.setThreadStatus(THREAD_STATUS_RUNNING);
    tm.sampleTime(3, 0, false);

    MemoryDataWriter lazy;
    tm.write(&lazy, g_recordStartTime);
    EXPECT_EQ(23, n->getValue());
    EXPECT_EQ(30, m->getValue());
    EXPECT_EQ(30, tm.rootNode->getValue());

    // The same bookings, propagated eagerly, write the same tree.
    CallTree eager;
    eager.initialize(nullptr, nullptr, nullptr, 0);
    CallTree* em = eager.addChild(&x.m, 0);
    CallTree* en = em->addChild(&x.n, 1);
    en->addValue(20, true);
    em->addValue(7, true);
    en->addSleepingTime(100);
    en->addValue(3, true);
    MemoryDataWriter eagerTree;
    eager.write(&eagerTree, 54);
    MemoryDataWriter lazyTree;
    tm.rootNode->write(&lazyTree, 54);
    EXPECT_EQ(eagerTree.bytes(), lazyTree.bytes());
}

TEST(ThreadManagerTest, DescriptorStoresTenMillisecondUnitsAndRaisesTimesToTheRecordingStart) {
    GlobalsScope globals;
    g_recordStartTime = 2000000;
    ThreadDesc desc(nullptr, "worker", nullptr, 1500000);
    desc.addStatus(THREAD_STATUS_WAITING, 1234567);
    desc.addStatus(THREAD_STATUS_RUNNING, -15000);
    EXPECT_EQ((std::vector<jint>{123, -1}), desc.getThreadStatusTimeList());

    MemoryDataWriter writer;
    desc.write(&writer, g_recordStartTime);
    ExpectedBytes e;
    e.id(nullptr).str("worker").str(nullptr).jlong_(2000000).jlong_(-1).u4(2);
    e.u1(THREAD_STATUS_WAITING).jlong_(1230000).u1(THREAD_STATUS_RUNNING).jlong_(-10000);
    EXPECT_EQ(e.get(), writer.bytes());

    // An end time before the recording start is raised too; later times stay.
    ThreadDesc late(nullptr, "t", "g", 2500000);
    late.setThreadEndTime(1000);
    MemoryDataWriter lateWriter;
    late.write(&lateWriter, g_recordStartTime);
    ExpectedBytes e2;
    e2.id(nullptr).str("t").str("g").jlong_(2500000).jlong_(2000000).u4(0);
    EXPECT_EQ(e2.get(), lateWriter.bytes());

    late.setThreadName(nullptr);
    EXPECT_EQ(nullptr, late.getThreadName());
    late.setThreadName("renamed");
    EXPECT_STREQ("renamed", late.getThreadName());
}

TEST(ThreadManagerTest, RecordIsIdDescriptorTreeAndIgnoredByte) {
    Methods x;
    GlobalsScope globals;
    g_recordStartTime = 0;
    ThreadManager tm(nullptr, nullptr);
    tm.setThreadDesc(new ThreadDesc(&tm, "main", "main", 77));
    tm.methodEntry(nullptr, &x.m, 4);
    tm.sampleTime(9, 0, false);
    tm.setIgnored(true, nullptr);

    MemoryDataWriter writer;
    tm.write(&writer, g_recordStartTime);
    ExpectedBytes e;
    e.id(&tm);
    e.id(&tm).str("main").str("main").jlong_(77).jlong_(-1).u4(0);
    e.u1(1).u1(1).u1(0).id(&x.m).u2(0).jlong_(9).u1(0);
    e.u1(0).id(nullptr).u2(0).jlong_(9).u1(0);
    e.u1(1);
    EXPECT_EQ(e.get(), writer.bytes());
}

TEST(ThreadManagerTest, DeclaringNetIoWhileInsideTheMethodKeepsEntriesBalanced) {
    // A declaration can reach a method while a thread is in it: the exit
    // undoes what the entry did, not what the flag says at exit.
    Methods x;
    ThreadManager tm(nullptr, nullptr);
    tm.methodEntry(nullptr, &x.m, 1);
    x.m.isNetio = true;  // declared now
    tm.methodEntry(nullptr, &x.m, 2);  // a recursive call opens net I/O
    EXPECT_EQ(1, tm.netIODepth);
    tm.methodExit(nullptr, &x.m);
    tm.methodExit(nullptr, &x.m);  // the first entry opened nothing
    EXPECT_EQ(0, tm.netIODepth);
    EXPECT_EQ(tm.rootNode, tm.currentNode);
    EXPECT_TRUE(tm.entryKinds.empty());
}

TEST(ThreadManagerTest, CpuTimesAreWrittenInclusiveInTheOrderOfTheNodeEntries) {
    Methods x;
    ThreadManager tm(nullptr, nullptr);
    MemoryDataWriter unknown;
    tm.writeCpuTimes(&unknown);
    ExpectedBytes e0;
    e0.id(&tm).jlong_(-1).u4(1).jlong_(0);  // never read: total -1, the root alone
    EXPECT_EQ(e0.get(), unknown.bytes());

    tm.sampleCpuTime(3);  // on the root: no frame to show
    tm.methodEntry(nullptr, &x.m, 1);
    tm.sampleCpuTime(10);
    tm.methodEntry(nullptr, &x.n, 2);
    tm.sampleCpuTime(5);
    tm.methodExit(nullptr, &x.n);
    tm.methodEntry(nullptr, &x.normal, 3);
    tm.sampleCpuTime(7);
    tm.sampleCpuTime(-4);  // never books a negative time

    // Tree: root > m > {normal (newest first), n}; post-order normal, n, m, root.
    MemoryDataWriter writer;
    tm.writeCpuTimes(&writer);
    ExpectedBytes e;
    e.id(&tm).jlong_(25).u4(4).jlong_(7).jlong_(5).jlong_(22).jlong_(25);
    EXPECT_EQ(e.get(), writer.bytes());

    // Clearing the tree clears its CPU time with its other times.
    tm.rootNode->clearAll();
    MemoryDataWriter cleared;
    tm.writeCpuTimes(&cleared);
    ExpectedBytes e2;
    e2.id(&tm).jlong_(0).u4(4).jlong_(0).jlong_(0).jlong_(0).jlong_(0);
    EXPECT_EQ(e2.get(), cleared.bytes());
}

// JNI references released by setIsDead and cleanup.
std::vector<jobject> g_deletedWeak;
std::vector<jobject> g_deletedGlobal;

TEST(ThreadManagerTest, DeathAndCleanupReleaseTheReferences) {
    _jobject thread, javaManager;
    harness::FakeJvm jvm;
    jvm.jniFunctions.DeleteWeakGlobalRef = [](JNIEnv*, jweak ref) { g_deletedWeak.push_back(ref); };
    jvm.jniFunctions.DeleteGlobalRef = [](JNIEnv*, jobject ref) { g_deletedGlobal.push_back(ref); };
    g_deletedWeak.clear();
    g_deletedGlobal.clear();

    ThreadManager dying(&thread, nullptr);
    dying.javaThreadManager = &javaManager;
    dying.setIsDead(jvm.jni());
    EXPECT_TRUE(dying.getIsDead());
    EXPECT_EQ(nullptr, dying.getThreadHandle());
    EXPECT_EQ(nullptr, dying.javaThreadManager);
    EXPECT_EQ((std::vector<jobject>{&thread}), g_deletedWeak);
    EXPECT_EQ((std::vector<jobject>{&javaManager}), g_deletedGlobal);
    EXPECT_NE(nullptr, dying.rootNode) << "a dead thread keeps its tree for the snapshot";

    g_deletedWeak.clear();
    g_deletedGlobal.clear();
    ThreadManager tm(&thread, nullptr);
    tm.javaThreadManager = &javaManager;
    tm.setThreadDesc(new ThreadDesc(&tm, "t", "g", 0));
    Methods x;
    tm.methodEntry(nullptr, &x.m, 1);
    tm.cleanup(jvm.jni());
    EXPECT_EQ((std::vector<jobject>{&thread}), g_deletedWeak);
    EXPECT_EQ((std::vector<jobject>{&javaManager}), g_deletedGlobal);
    EXPECT_EQ(nullptr, tm.rootNode);
    EXPECT_EQ(nullptr, tm.currentNode);
    EXPECT_EQ(nullptr, tm.threadDesc);
    // A later cleanup or a stray call after it does no harm.
    tm.cleanup(jvm.jni());
    tm.methodEntry(nullptr, &x.m, 1);
    tm.sampleTime(1, 0, true);
    EXPECT_EQ(1u, g_deletedWeak.size());
}

// Past the node limit a new path enters no node: its time lands on the
// deepest node that exists and counts as folded, and the way back out
// leaves the cursor where it belongs.
TEST(ThreadManagerTest, PastTheNodeLimitNewPathsFoldOntoTheirDeepestNode) {
    Methods m;
    GlobalsScope globals;
    ThreadManager::nodeLimit = 2;
    ThreadManager::startRecording();
    ThreadManager tm(nullptr, nullptr);
    tm.methodEntry(nullptr, &m.m, 0);
    CallTree* nodeM = tm.currentNode;
    tm.methodEntry(nullptr, &m.n, 3);
    CallTree* nodeN = tm.currentNode;
    EXPECT_EQ(2, ThreadManager::nodesCreated);
    EXPECT_FALSE(ThreadManager::nodeLimitReached);

    tm.methodEntry(nullptr, &m.normal, 4);  // a third node would pass the limit
    tm.methodEntry(nullptr, &m.m, 5);       // below it: a node of that name exists elsewhere
    tm.methodEntry(nullptr, &m.f1, 6);
    EXPECT_TRUE(ThreadManager::nodeLimitReached);
    EXPECT_EQ(tm.currentNode, nodeN);
    EXPECT_TRUE(children(nodeN).empty());
    tm.sampleTime(5000, 1000, false);
    tm.flushPendingTime();
    EXPECT_EQ(5000, nodeN->getValue());
    EXPECT_EQ(5000, tm.foldedTime);

    tm.methodExit(nullptr, &m.f1);
    tm.methodExit(nullptr, &m.m);
    tm.methodExit(nullptr, &m.normal);
    EXPECT_EQ(tm.currentNode, nodeN);
    tm.sampleTime(1000, 1000, false);
    EXPECT_EQ(5000, tm.foldedTime) << "back on its own path: not folded";
    tm.methodExit(nullptr, &m.n);
    EXPECT_EQ(tm.currentNode, nodeM);
    // Existing paths are still followed.
    tm.methodEntry(nullptr, &m.n, 3);
    EXPECT_EQ(tm.currentNode, nodeN);
    EXPECT_EQ(2, ThreadManager::nodesCreated);
    ThreadManager::startRecording();
}

// A thread whose very first frame finds no node past the limit has no
// caller to fold onto: its root takes the time, by status and on the
// timeline, and all of it counts as folded.
TEST(ThreadManagerTest, PastTheNodeLimitAThreadWithNoNodeBooksOnItsRoot) {
    Methods m;
    GlobalsScope globals;
    ThreadManager::nodeLimit = 0;
    ThreadManager::startRecording();
    ThreadManager tm(nullptr, nullptr);
    ThreadDesc* desc = new ThreadDesc(&tm, "late", "main", 0);
    tm.setThreadDesc(desc);
    tm.methodEntry(nullptr, &m.m, 0);
    tm.methodEntry(nullptr, &m.netio, 1);
    EXPECT_EQ(tm.rootNode, tm.currentNode);
    EXPECT_TRUE(ThreadManager::nodeLimitReached);
    tm.sampleTime(3000, 10000, true);  // net I/O
    tm.methodExit(nullptr, &m.netio);
    tm.sampleTime(5000, 20000, true);  // running
    tm.setThreadStatus(THREAD_STATUS_BLOCKED);
    tm.sampleTime(700, 30000, true);
    tm.flushPendingTime();
    EXPECT_EQ(5000, tm.rootNode->getValue());
    ASSERT_NE(nullptr, tm.rootNode->getMonitorTimeValues());
    EXPECT_EQ(3000, tm.rootNode->getMonitorTimeValues()->netIOTime);
    EXPECT_EQ(700, tm.rootNode->getMonitorTimeValues()->blockingTime);
    EXPECT_EQ(3000 + 5000 + 700, tm.foldedTime);
    EXPECT_EQ((std::vector<unsigned char>{THREAD_STATUS_NET_IO, THREAD_STATUS_RUNNING, THREAD_STATUS_BLOCKED}),
              desc->getThreadStatusList());

    // Out of every frame, the thread has no stack: nothing is booked.
    tm.methodExit(nullptr, &m.m);
    tm.setThreadStatus(THREAD_STATUS_RUNNING);
    tm.sampleTime(9000, 40000, true);
    tm.flushPendingTime();
    EXPECT_EQ(5000, tm.rootNode->getValue());
    EXPECT_EQ(3000 + 5000 + 700, tm.foldedTime);
    EXPECT_EQ(3u, desc->getThreadStatusList().size());
    ThreadManager::startRecording();
}

}  // namespace
