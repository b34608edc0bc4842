#include <gtest/gtest.h>

#include <vector>

#include "CallTree.h"
#include "CallTreeSampler.h"
#include "ClassProfilingSession.h"
#include "FakeJvm.h"
#include "GlobalsScope.h"
#include "MethodDesc.h"
#include "ProfilingSession.h"
#include "ThreadManager.h"

using harness::Array;
using harness::frame;

namespace {

class CallTreeSamplerTest : public ::testing::Test {
protected:
    GlobalsScope globals;
    harness::FakeJvm jvm;
    ClassProfilingSession* registry = nullptr;
    ThreadManager* manager = nullptr;
    CallTreeSampler* sampler = nullptr;

    void SetUp() override {
        g_profilingInterface = jvm.jvmti();
        g_sampleAgentClasses = false;
        jvm.installMethods();
        jvm.installArrays();
        registry = new ClassProfilingSession(nullptr);
        manager = new ThreadManager(nullptr, nullptr);
        sampler = new CallTreeSampler(manager, 1000);
    }

    void TearDown() override {
        jvm.releaseLineCache();
        delete sampler;
        delete manager;
        delete registry;
    }

    // Converts one stack, given outermost frame first.
    void sample(const std::vector<jvmtiFrameInfo>& bottomToTop, jlongArray ids = nullptr, jlong time = 10) {
        std::vector<jvmtiFrameInfo> frames(bottomToTop.rbegin(), bottomToTop.rend());
        jvmtiStackInfo info;
        std::memset(&info, 0, sizeof info);
        info.frame_buffer = frames.data();
        info.frame_count = static_cast<jint>(frames.size());
        info.state = JVMTI_THREAD_STATE_RUNNABLE;
        sampler->saveData(&info, time, registry, jvm.jni(), ids, 1000000, false);
    }

    MethodDesc* desc(jmethodID method) { return ClassProfilingHelper::_methodIdToMethodDesc.get((void*)method); }

    MethodDesc* interception(const char* name) {
        MethodDesc* d = new MethodDesc(ClassProfilingHelper::interceptionClassData, name,
                                       static_cast<int>(std::strlen(name)), "()V", 3, registry);
        registry->addMethodDesc(d);
        ClassProfilingHelper::addInterceptionMethod(d);
        return d;
    }

    static jlong idOf(MethodDesc* d) { return static_cast<jlong>(reinterpret_cast<intptr_t>(d)); }

    CallTree* root() { return manager->rootNode; }

    // From now on every frame that is entered again enters no node, while
    // frames that stay put keep their nodes: where the cursor ends shows how
    // far the conversion unwound the stack.
    void freezeEntries() {
        for (MethodDesc* m : registry->methodDescs) {
            m->isIgnored = true;
        }
    }
    void thawEntries() {
        for (MethodDesc* m : registry->methodDescs) {
            m->isIgnored = false;
        }
    }

    static int childCount(CallTree* node) {
        int n = 0;
        for (CallTree* c = node->firstChild; c != nullptr; c = c->nextInstance) {
            n++;
        }
        return n;
    }
};

TEST_F(CallTreeSamplerTest, IdenticalStacksMoveNothingAndBookOnTheSameNode) {
    jmethodID a = jvm.newMethod("test.s1.A", "a", {{0, 10}});
    jmethodID b = jvm.newMethod("test.s1.B", "b", {{0, 20}, {3, 21}});
    jmethodID c = jvm.newMethod("test.s1.C", "c", {}, false);
    std::vector<jvmtiFrameInfo> stack = {frame(a, 0), frame(b, 3), frame(c, 7)};

    sample(stack);
    CallTree* nodeA = root()->getChild(desc(a), 0);
    ASSERT_NE(nodeA, nullptr);
    CallTree* nodeB = nodeA->getChild(desc(b), 10);  // keyed with the caller's line
    ASSERT_NE(nodeB, nullptr);
    CallTree* nodeC = nodeB->getChild(desc(c), 21);
    ASSERT_NE(nodeC, nullptr);
    EXPECT_EQ(manager->currentNode, nodeC);
    EXPECT_EQ(nodeC->value, 10);

    freezeEntries();
    sample(stack);
    EXPECT_EQ(manager->currentNode, nodeC);
    manager->flushPendingTime();
    EXPECT_EQ(nodeC->value, 20);
    EXPECT_EQ(nodeA->value, 20);
    EXPECT_EQ(manager->entryKinds.size(), 3u);
    EXPECT_EQ(sampler->commonFrameCount, 3);
}

TEST_F(CallTreeSamplerTest, ChangedTopLocationReentersOnlyTheTopFrame) {
    jmethodID a = jvm.newMethod("test.s2.A", "a", {{0, 10}});
    jmethodID b = jvm.newMethod("test.s2.B", "b", {{0, 20}});
    jmethodID c = jvm.newMethod("test.s2.C", "c", {{0, 30}, {5, 31}});

    sample({frame(a, 0), frame(b, 0), frame(c, 1)});
    CallTree* nodeB = root()->getChild(desc(a), 0)->getChild(desc(b), 10);
    CallTree* nodeC = manager->currentNode;
    ASSERT_EQ(nodeC->getParent(), nodeB);
    ASSERT_EQ(manager->lineStack.back(), 30);

    sample({frame(a, 0), frame(b, 0), frame(c, 6)});
    EXPECT_EQ(manager->currentNode, nodeC);  // same node, newer line
    EXPECT_EQ(manager->lineStack.back(), 31);
    EXPECT_EQ(childCount(nodeB), 1);

    freezeEntries();
    sample({frame(a, 0), frame(b, 0), frame(c, 7)});
    EXPECT_EQ(manager->currentNode, nodeB);  // C alone was left and entered again
}

TEST_F(CallTreeSamplerTest, ReplacedUpperFramesAreLeftAndTheNewOnesEnteredUnderTheCommonBottom) {
    jmethodID a = jvm.newMethod("test.s3.A", "a", {{0, 10}, {4, 12}});
    jmethodID b = jvm.newMethod("test.s3.B", "b");
    jmethodID c = jvm.newMethod("test.s3.C", "c");
    jmethodID d = jvm.newMethod("test.s3.D", "d");

    sample({frame(a, 4), frame(b, 0), frame(c, 0)});
    CallTree* nodeA = root()->getChild(desc(a), 0);
    sample({frame(a, 4), frame(d, 2)});
    EXPECT_EQ(sampler->commonFrameCount, 1);
    CallTree* nodeD = nodeA->getChild(desc(d), 12);
    ASSERT_NE(nodeD, nullptr);
    EXPECT_EQ(manager->currentNode, nodeD);
    EXPECT_EQ(childCount(nodeA), 2);
    EXPECT_EQ(manager->entryKinds.size(), 2u);
    EXPECT_EQ(manager->lineStack.size(), 2u);
    EXPECT_EQ(sampler->lastFrameCount, 2);
    EXPECT_EQ(sampler->lastFrames[0].method, d);
    EXPECT_EQ(sampler->lastFrames[1].method, a);
}

TEST_F(CallTreeSamplerTest, TransactionNodesSitAboveTheFramesAndMoveOnlyWhenTheIdsChange) {
    jmethodID a = jvm.newMethod("test.s4.A", "a", {{0, 10}});
    jmethodID b = jvm.newMethod("test.s4.B", "b");
    MethodDesc* t = interception("GET /orders");
    std::vector<jvmtiFrameInfo> stack = {frame(a, 0), frame(b, 0)};

    Array first = Array::ofLongs({1, idOf(t)});
    sample(stack, first.longArray());
    CallTree* nodeT = root()->getChild(t, 0);
    ASSERT_NE(nodeT, nullptr);
    CallTree* nodeA = nodeT->getChild(desc(a), 0);
    ASSERT_NE(nodeA, nullptr);
    CallTree* nodeB = nodeA->getChild(desc(b), 10);
    EXPECT_EQ(manager->currentNode, nodeB);
    EXPECT_EQ(sampler->lastTransactionCount, 1);

    Array same = Array::ofLongs({1, idOf(t)});
    freezeEntries();
    sample(stack, same.longArray());
    EXPECT_EQ(manager->currentNode, nodeB);
    EXPECT_EQ(nodeB->value, 20);
    thawEntries();

    sample(stack, nullptr);
    CallTree* directA = root()->getChild(desc(a), 0);
    ASSERT_NE(directA, nullptr);
    EXPECT_EQ(manager->currentNode, directA->getChild(desc(b), 10));
    EXPECT_EQ(manager->entryKinds.size(), 2u);
    EXPECT_EQ(sampler->lastTransactionCount, 0);
    EXPECT_EQ(nodeB->value, 20);

    EXPECT_EQ(jvm.calls.arrayGets, 2);
    EXPECT_EQ(jvm.calls.arrayReleases, 2);
    EXPECT_EQ(jvm.calls.nonAbortReleases, 0);
}

TEST_F(CallTreeSamplerTest, EmptyStackAfterAFullOneLeavesEveryFrame) {
    jmethodID a = jvm.newMethod("test.s5.A", "a");
    jmethodID b = jvm.newMethod("test.s5.B", "b");

    sample({frame(a, 0), frame(b, 0)});
    jlong rootValue = root()->value;
    sample({});
    EXPECT_EQ(manager->currentNode, root());
    EXPECT_TRUE(manager->entryKinds.empty());
    EXPECT_EQ(root()->value, rootValue);  // nothing booked at the root
    EXPECT_EQ(sampler->lastFrameCount, 0);

    MethodDesc* t = interception("job");
    Array ids = Array::ofLongs({1, idOf(t)});
    sample({frame(a, 0), frame(b, 0)}, ids.longArray());
    Array sameIds = Array::ofLongs({1, idOf(t)});
    sample({}, sameIds.longArray(), 7);
    CallTree* nodeT = root()->getChild(t, 0);
    ASSERT_NE(nodeT, nullptr);
    EXPECT_EQ(manager->currentNode, nodeT);
    manager->flushPendingTime();
    EXPECT_EQ(nodeT->value, 10 + 7);
}

TEST_F(CallTreeSamplerTest, AgentMethodCutsTheStackAndTheShortenedStackIsKept) {
    jmethodID a = jvm.newMethod("test.s6.A", "a", {{0, 10}});
    jmethodID s = jvm.newMethod("test.s6.Hook", "__ovk_enter", {{0, 40}});
    jmethodID x = jvm.newMethod("test.s6.X", "x", {{0, 50}});

    sample({frame(a, 0), frame(s, 0), frame(x, 0)});
    CallTree* nodeA = root()->getChild(desc(a), 0);
    ASSERT_NE(nodeA, nullptr);
    EXPECT_FALSE(nodeA->hasChildren());
    EXPECT_EQ(manager->currentNode, nodeA);
    EXPECT_EQ(nodeA->value, 10);
    EXPECT_EQ(sampler->frameCount, 1);
    EXPECT_EQ(sampler->lastFrameCount, 1);
    EXPECT_EQ(sampler->lastFrames[0].method, a);

    // Same stack, then a frame above the cut at a new location: both compare
    // against the shortened stack, so nothing is left or entered.
    freezeEntries();
    sample({frame(a, 0), frame(s, 0), frame(x, 0)});
    EXPECT_EQ(manager->currentNode, nodeA);
    sample({frame(a, 0), frame(s, 0), frame(x, 9)});
    EXPECT_EQ(manager->currentNode, nodeA);
    EXPECT_EQ(nodeA->value, 30);
    thawEntries();

    // The cut frame only counts as agent code while agent classes are not sampled.
    MethodDesc* sleepDesc = nullptr;
    jmethodID sleeper = jvm.newMethod("test.s6.Hook", "__ovk_sleep");
    sample({frame(a, 0), frame(sleeper, 0)});
    sleepDesc = desc(sleeper);
    EXPECT_FALSE(sleepDesc->isSpecialMethod);
    EXPECT_EQ(manager->currentNode->method, sleepDesc);

    g_sampleAgentClasses = true;
    sample({frame(a, 0), frame(s, 0), frame(x, 0)});
    CallTree* nodeS = nodeA->getChild(desc(s), 10);
    ASSERT_NE(nodeS, nullptr);
    EXPECT_EQ(manager->currentNode, nodeS->getChild(desc(x), 40));
    EXPECT_EQ(sampler->lastFrameCount, 3);
}

TEST_F(CallTreeSamplerTest, ObjectConstructorFramesAreSkipped) {
    jmethodID init1 = jvm.newMethod("java.lang.Object", "<init>");
    jmethodID a = jvm.newMethod("test.s7.A", "a");

    sample({frame(init1, 0), frame(init1, 1)});
    ASSERT_NE(ClassProfilingHelper::objectInitMethodDesc, nullptr);
    EXPECT_EQ(ClassProfilingHelper::objectInitMethodDesc, desc(init1));
    EXPECT_EQ(manager->currentNode, root());
    EXPECT_FALSE(root()->hasChildren());
    EXPECT_EQ(root()->value, 0);

    sample({frame(a, 0), frame(init1, 0)});
    CallTree* nodeA = root()->getChild(desc(a), 0);
    ASSERT_NE(nodeA, nullptr);
    EXPECT_EQ(manager->currentNode, nodeA);
    EXPECT_FALSE(nodeA->hasChildren());
    sample({frame(a, 0)});
    EXPECT_EQ(manager->currentNode, nodeA);
    EXPECT_EQ(manager->entryKinds.size(), 1u);
}

TEST_F(CallTreeSamplerTest, LineNumbersComeFromTheCachedLineTable) {
    jmethodID m = jvm.newMethod("test.s8.M", "m", {{0, 10}, {5, 11}, {9, 14}});
    jmethodID single = jvm.newMethod("test.s8.M", "single", {{3, 42}});
    jmethodID native = jvm.newMethod("test.s8.M", "nativeCall", {}, false);
    jmethodID emptyTable = jvm.newMethod("test.s8.M", "empty", {}, true);

    const jint expected[][2] = {{0, 10}, {4, 10}, {5, 11}, {8, 11}, {9, 14}, {1000, 14}};
    for (const auto& e : expected) {
        EXPECT_EQ(CallTreeHelper::translateLineNo(m, e[0]), e[1]) << "location " << e[0];
    }
    EXPECT_EQ(CallTreeHelper::translateLineNo(single, 0), 42);
    EXPECT_EQ(CallTreeHelper::translateLineNo(single, 99), 42);
    EXPECT_EQ(CallTreeHelper::translateLineNo(native, 0), 0);
    EXPECT_EQ(CallTreeHelper::translateLineNo(native, 5), 0);
    EXPECT_EQ(CallTreeHelper::translateLineNo(emptyTable, 5), 0);

    EXPECT_EQ(jvm.findMethod(m)->lineTableRequests, 1);
    EXPECT_EQ(jvm.findMethod(native)->lineTableRequests, 1);
    EXPECT_EQ(CallTreeHelper::methodId2LineNumberTableStruct.get(native), CallTreeHelper::emptyStruct);
}

TEST_F(CallTreeSamplerTest, LineAbove65535IsNarrowedInTheNode) {
    jmethodID a = jvm.newMethod("test.s9.A", "a", {{0, 70000}});
    jmethodID b = jvm.newMethod("test.s9.B", "b");
    sample({frame(a, 0), frame(b, 0)});
    CallTree* nodeA = root()->getChild(desc(a), 0);
    ASSERT_NE(nodeA, nullptr);
    EXPECT_NE(nodeA->getChild(desc(b), static_cast<unsigned short>(70000 & 0xFFFF)), nullptr);
    EXPECT_EQ(manager->currentNode->lineNumber, 70000 - 65536);
}

TEST_F(CallTreeSamplerTest, TransactionArraysAreClampedAndOnlyKnownInterceptionIdsKept) {
    jmethodID a = jvm.newMethod("test.s10.A", "a");
    sample({frame(a, 0)});  // registers a's descriptor: a real one, but no interception method
    std::vector<MethodDesc*> t;
    for (int i = 0; i < 12; i++) {
        t.push_back(interception("tx"));
    }
    auto pathLength = [this]() {
        int n = 0;
        for (CallTree* c = manager->currentNode; c != root(); c = c->getParent()) {
            n++;
        }
        return n;
    };

    // More ids than a thread can carry: the first ten.
    Array tooMany = Array::ofLongs({12});
    for (MethodDesc* d : t) {
        tooMany.longs.push_back(idOf(d));
    }
    sample({frame(a, 0)}, tooMany.longArray());
    EXPECT_EQ(sampler->lastTransactionCount, 10);
    EXPECT_EQ(pathLength(), 11);
    EXPECT_EQ(manager->currentNode->getParent()->method, t[9]);

    // A count beyond the array's end: only the elements present.
    Array shortArray = Array::ofLongs({3, idOf(t[0])});
    sample({frame(a, 0)}, shortArray.longArray());
    EXPECT_EQ(sampler->lastTransactionCount, 1);
    EXPECT_EQ(manager->currentNode->getParent()->method, t[0]);

    // Zero, an ordinary descriptor and a stray number are dropped; the
    // rest keep their order. A forged array then compares like its cleaned
    // form, so the clean array with the same ids moves nothing.
    Array forged = Array::ofLongs({5, idOf(t[1]), 0, idOf(desc(a)), 0x1234567, idOf(t[2])});
    sample({frame(a, 0)}, forged.longArray());
    EXPECT_EQ(sampler->lastTransactionCount, 2);
    EXPECT_EQ(sampler->lastTransactionIds[0], idOf(t[1]));
    EXPECT_EQ(sampler->lastTransactionIds[1], idOf(t[2]));
    CallTree* nodeA = manager->currentNode;
    ASSERT_EQ(nodeA->getParent()->method, t[2]);
    ASSERT_EQ(nodeA->getParent()->getParent()->method, t[1]);
    freezeEntries();
    Array clean = Array::ofLongs({2, idOf(t[1]), idOf(t[2])});
    sample({frame(a, 0)}, clean.longArray());
    EXPECT_EQ(manager->currentNode, nodeA);
    thawEntries();

    // Negative counts, empty arrays and arrays that cannot be read are no ids.
    Array negative = Array::ofLongs({-4, idOf(t[0])});
    sample({frame(a, 0)}, negative.longArray());
    EXPECT_EQ(sampler->lastTransactionCount, 0);
    EXPECT_EQ(pathLength(), 1);
    Array empty = Array::ofLongs({});
    sample({frame(a, 0)}, empty.longArray());
    EXPECT_EQ(pathLength(), 1);
    Array one = Array::ofLongs({1, idOf(t[3])});
    jvm.failArrayGet = true;
    sample({frame(a, 0)}, one.longArray());
    jvm.failArrayGet = false;
    EXPECT_EQ(sampler->lastTransactionCount, 0);
    EXPECT_FALSE(jvm.exceptionPending);
    EXPECT_EQ(jvm.calls.exceptionsCleared, 1);

    EXPECT_EQ(jvm.calls.arrayGets, jvm.calls.arrayReleases);
    EXPECT_EQ(jvm.calls.nonAbortReleases, 0);
    EXPECT_EQ(manager->entryKinds.size(), 1u);
}

TEST_F(CallTreeSamplerTest, DeadThreadIsNotConverted) {
    jmethodID a = jvm.newMethod("test.s11.A", "a");
    manager->setThreadStatus(THREAD_STATUS_DEAD);
    sample({frame(a, 0)});
    EXPECT_EQ(desc(a), nullptr);  // not even resolved
    EXPECT_EQ(manager->currentNode, root());
    EXPECT_EQ(sampler->lastFrameCount, 0);
}

TEST_F(CallTreeSamplerTest, DeepStacksFindTheCommonBottomAcrossCompareBlocks) {
    // Deeper than one compare block, with the first difference inside one.
    std::vector<jmethodID> methods;
    for (int i = 0; i < 100; i++) {
        methods.push_back(jvm.newMethod("test.s12.M", "m" + std::to_string(i)));
    }
    std::vector<jvmtiFrameInfo> stack;
    for (jmethodID m : methods) {
        stack.push_back(frame(m, 0));
    }
    sample(stack);
    CallTree* top = manager->currentNode;
    stack[70].location = 3;
    sample(stack);
    EXPECT_EQ(sampler->commonFrameCount, 70);
    EXPECT_EQ(manager->currentNode, top);

    stack.push_back(frame(methods[0], 1));  // one deeper: the copy must realign
    sample(stack);
    EXPECT_EQ(sampler->commonFrameCount, 100);
    stack.pop_back();
    sample(stack);
    EXPECT_EQ(sampler->commonFrameCount, 100);
    EXPECT_EQ(manager->currentNode, top);

    stack[98].location = 5;  // same depth: only the records above the common bottom are copied
    sample(stack);
    EXPECT_EQ(sampler->commonFrameCount, 98);
    sample(stack);
    EXPECT_EQ(sampler->commonFrameCount, 100);
    EXPECT_EQ(manager->currentNode, top);
    EXPECT_EQ(manager->entryKinds.size(), 100u);
}

// A sampler's stack buffer grows with the stacks it keeps, not with the
// deepest stack the JVM is asked for, and keeps the stack across growth.
TEST_F(CallTreeSamplerTest, StackBufferGrowsByNeedAndKeepsTheStack) {
    jmethodID m = jvm.newMethod("test.s20.R", "r", {{0, 5}});
    jmethodID top = jvm.newMethod("test.s20.T", "t", {{0, 9}});
    std::vector<jvmtiFrameInfo> stack;
    for (int i = 0; i < 3; i++) {
        stack.push_back(frame(m, i));
    }
    sample(stack);
    EXPECT_EQ(sampler->lastFramesCapacity, 32);

    for (int i = 3; i < 200; i++) {
        stack.push_back(frame(m, i));
    }
    sample(stack);
    EXPECT_GE(sampler->lastFramesCapacity, 200);
    EXPECT_LE(sampler->lastFramesCapacity, 256);
    CallTree* deepest = manager->currentNode;

    // The deep stack was kept whole: one more frame on top is the only entry.
    stack.push_back(frame(top, 0));
    sample(stack);
    EXPECT_EQ(manager->currentNode->getParent(), deepest);
    EXPECT_EQ(sampler->lastFrameCount, 201);

    // Never beyond the deepest stack asked for.
    CallTreeSampler small(manager, 40);
    EXPECT_EQ(small.lastFramesCapacity, 0);
    std::vector<jvmtiFrameInfo> frames(stack.rbegin(), stack.rbegin() + 40);
    jvmtiStackInfo info;
    std::memset(&info, 0, sizeof info);
    info.frame_buffer = frames.data();
    info.frame_count = 40;
    manager->currentNode = manager->rootNode;
    small.saveData(&info, 10, registry, jvm.jni(), nullptr, 1000000, false);
    EXPECT_EQ(small.lastFramesCapacity, 40);
}

}  // namespace

TEST_F(CallTreeSamplerTest, CpuTimeIsTheDeltaBetweenReadingsBookedWhereTheThreadStands) {
    jmethodID a = jvm.newMethod("test.cpu1.A", "a", {{0, 10}});
    jmethodID b = jvm.newMethod("test.cpu1.B", "b", {{0, 20}});
    sample({frame(a, 0)});
    // First reading of a thread that was there before the recording and whose
    // CPU time then is unknown: counting starts here.
    sampler->bookCpuTime(4000000);
    EXPECT_EQ(0, manager->currentNode->cpuTime);
    EXPECT_TRUE(manager->cpuKnown);

    sampler->bookCpuTime(4002500);  // 2.5 us later
    EXPECT_EQ(2, manager->currentNode->cpuTime);
    sampler->bookCpuTime(-1);  // unreadable: nothing now ...
    sample({frame(a, 0), frame(b, 0)});
    sampler->bookCpuTime(4010999);  // ... the next reading books the whole span on b
    CallTree* nodeA = root()->getChild(desc(a), 0);
    ASSERT_NE(nullptr, nodeA);
    CallTree* nodeB = nodeA->getChild(desc(b), 10);
    ASSERT_NE(nullptr, nodeB);
    EXPECT_EQ(2, nodeA->cpuTime);
    // Whole microseconds of each reading: the 0.5 us left over from the
    // second reading is not lost.
    EXPECT_EQ(4010 - 4002, nodeB->cpuTime);
    EXPECT_EQ(4010 - 4000, root()->sumCpuTimes());
    sampler->bookCpuTime(4000000);  // a clock that went back books nothing
    EXPECT_EQ(4010 - 4000, root()->sumCpuTimes());
}

TEST_F(CallTreeSamplerTest, FirstCpuReadingCountsFromTheRecordingStart) {
    jmethodID a = jvm.newMethod("test.cpu2.A", "a", {{0, 10}});
    sample({frame(a, 0)});
    manager->cpuBaseline = 1000000;  // read when the recording registered it
    sampler->bookCpuTime(1300000);
    EXPECT_EQ(300, root()->sumCpuTimes());

    // A thread that started during the recording: all its CPU time counts.
    ThreadManager fresh(nullptr, nullptr);
    CallTreeSampler freshSampler(&fresh, 1000);
    fresh.cpuBaseline = 0;
    freshSampler.bookCpuTime(700000);
    EXPECT_EQ(700, fresh.rootNode->sumCpuTimes());

    // A dead thread books nothing.
    manager->setIsDead(nullptr);
    sampler->bookCpuTime(9000000);
    EXPECT_EQ(300, root()->sumCpuTimes());
}
