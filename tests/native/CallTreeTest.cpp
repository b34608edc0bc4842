#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "CallTree.h"
#include "ClassData.h"
#include "MemoryDataWriter.h"
#include "MethodDesc.h"

namespace {

const int TREE_FIELDS = 54;

// Hand-made descriptors; a null registry leaves them unfiltered.
struct Methods {
    ClassData cls{"test.Foo", 0, nullptr};
    MethodDesc a{&cls, "a", 1, "()V", 3, nullptr};
    MethodDesc b{&cls, "b", 1, "()V", 3, nullptr};
    MethodDesc c{&cls, "c", 1, "()V", 3, nullptr};
    // Same class, name and signature as `a`, but another descriptor.
    MethodDesc aTwin{&cls, "a", 1, "()V", 3, nullptr};
};

CallTree* newRoot() {
    CallTree* root = new CallTree();
    root->initialize(nullptr, nullptr, nullptr, 0);
    return root;
}

std::vector<CallTree*> children(CallTree* node) {
    std::vector<CallTree*> list;
    for (CallTree* child = node->firstChild; child != nullptr; child = child->getNextInstance()) {
        list.push_back(child);
    }
    return list;
}

ExpectedBytes& entry(ExpectedBytes& e, const void* method, int line, int64_t value) {
    return e.id(method).u2(line).jlong_(value);
}

TEST(CallTreeTest, ChildrenAreNewestFirstAndKeyedByDescriptorIdentityAndLine) {
    Methods m;
    CallTree root;
    CallTree* a = root.addChild(&m.a, 7);
    CallTree* b = root.addChild(&m.b, 7);
    EXPECT_EQ((std::vector<CallTree*>{b, a}), children(&root));
    EXPECT_EQ(&root, a->getParent());
    EXPECT_EQ(&m.a, a->method);
    EXPECT_EQ(7, a->lineNumber);

    EXPECT_EQ(a, root.getChild(&m.a, 7));
    EXPECT_EQ(nullptr, root.getChild(&m.a, 8));
    EXPECT_EQ(nullptr, root.getChild(&m.aTwin, 7)) << "equal names are not the same method";

    CallTree* a8 = root.addChild(&m.a, 8);
    EXPECT_EQ((std::vector<CallTree*>{a8, b, a}), children(&root));
    EXPECT_EQ(a, root.getChild(&m.a, 7));
    EXPECT_EQ(a8, root.getChild(&m.a, 8));

    // Linking an existing node puts it in front and keeps its own parent.
    CallTree* loose = new CallTree();
    loose->initialize(nullptr, nullptr, &m.c, 3);
    root.addChild(loose);
    EXPECT_EQ(loose, root.firstChild);
    EXPECT_EQ(a8, loose->getNextInstance());
    EXPECT_EQ(nullptr, loose->getParent());
}

TEST(CallTreeTest, AddChildWithNullNodeIsFatal) {
    CallTree root;
    EXPECT_DEATH(root.addChild(static_cast<CallTree*>(nullptr)), "childTree");
}

TEST(CallTreeTest, RunningTimeReachesTheRootWhileSelfTimesStayOnTheNode) {
    Methods m;
    CallTree root;
    CallTree* a = root.addChild(&m.a, 0);
    CallTree* b = a->addChild(&m.b, 1);
    CallTree* c = b->addChild(&m.c, 2);

    c->addValue(10, true);
    EXPECT_EQ(10, c->getValue());
    EXPECT_EQ(10, b->getValue());
    EXPECT_EQ(10, a->getValue());
    EXPECT_EQ(10, root.getValue());

    c->addValue(5, false);
    EXPECT_EQ(15, c->getValue());
    EXPECT_EQ(10, b->getValue());
    EXPECT_EQ(10, root.getValue());

    EXPECT_EQ(nullptr, c->getMonitorTimeValues());
    c->addBlockingTime(7);
    MonitorTimeValues* times = c->getMonitorTimeValues();
    ASSERT_NE(nullptr, times);
    EXPECT_EQ(7, times->blockingTime);
    EXPECT_EQ(0, times->waitingTime);
    EXPECT_EQ(0, times->netIOTime);
    c->addSleepingTime(3);
    c->addNetIOTime(4);
    c->addBlockingTime(1);
    EXPECT_EQ(times, c->getMonitorTimeValues()) << "created once";
    EXPECT_EQ(8, times->blockingTime);
    EXPECT_EQ(3, times->waitingTime);
    EXPECT_EQ(4, times->netIOTime);
    EXPECT_EQ(nullptr, b->getMonitorTimeValues());
    EXPECT_EQ(15, c->getValue());
    EXPECT_EQ(10, b->getValue());

    EXPECT_FALSE(times->isEmpty());
    times->clear();
    EXPECT_TRUE(times->isEmpty());
}

TEST(CallTreeTest, ClearSubtreesExceptKeepsOnlyTheKeptBranch) {
    Methods m;
    CallTree* root = newRoot();
    CallTree* other = root->addChild(&m.a, 0);
    CallTree* otherChild = other->addChild(&m.c, 1);
    CallTree* keep = root->addChild(&m.b, 0);
    CallTree* keepChild = keep->addChild(&m.c, 2);
    otherChild->addValue(5, true);
    otherChild->addBlockingTime(5);
    keepChild->addValue(7, true);
    keepChild->addSleepingTime(2);
    root->addNetIOTime(1);

    root->clearSubtreesExcept(keep);
    EXPECT_EQ(0, root->getValue());
    EXPECT_NE(nullptr, root->getMonitorTimeValues()) << "the node's own monitor times stay";
    EXPECT_EQ(0, other->getValue());
    EXPECT_EQ(0, otherChild->getValue());
    EXPECT_EQ(nullptr, otherChild->getMonitorTimeValues());
    EXPECT_EQ(7, keep->getValue());
    EXPECT_EQ(7, keepChild->getValue());
    ASSERT_NE(nullptr, keepChild->getMonitorTimeValues());
    EXPECT_EQ(2, keepChild->getMonitorTimeValues()->waitingTime);
    EXPECT_EQ(2u, children(root).size()) << "nodes are not removed";

    root->clearAll();
    EXPECT_EQ(0, keepChild->getValue());
    EXPECT_EQ(nullptr, keepChild->getMonitorTimeValues());
    EXPECT_EQ(nullptr, root->getMonitorTimeValues());
    delete root;
}

// Running time booked lazily and then cleared must settle to what eager
// propagation gives: the cleared nodes at 0, their ancestors keeping the time.
TEST(CallTreeTest, ClearingLazilyBookedTimeMatchesEagerPropagation) {
    Methods m;
    struct Tree {
        CallTree* root = newRoot();
        CallTree* top;
        CallTree* mid;
        CallTree* leaf;
        CallTree* side;
        Tree(Methods& m) {
            top = root->addChild(&m.a, 0);
            mid = top->addChild(&m.b, 1);
            leaf = mid->addChild(&m.c, 2);
            side = mid->addChild(&m.a, 3);
        }
        ~Tree() { delete root; }
        std::vector<jlong> values() const {
            return {root->getValue(), top->getValue(), mid->getValue(), leaf->getValue(), side->getValue()};
        }
    };
    for (int clearKind = 0; clearKind < 2; clearKind++) {
        Tree eager(m);
        Tree lazy(m);
        eager.leaf->addValue(5, true);
        eager.side->addValue(3, true);
        eager.mid->addValue(2, true);
        lazy.leaf->addPendingValue(5);
        lazy.side->addPendingValue(3);
        lazy.mid->addPendingValue(2);
        if (clearKind == 0) {
            eager.mid->clearAll();
            lazy.mid->clearAll();
        } else {
            eager.mid->clearSubtreesExcept(eager.leaf);
            lazy.mid->clearSubtreesExcept(lazy.leaf);
        }
        // Booked after the clear: counted everywhere in both.
        eager.leaf->addValue(1, true);
        lazy.leaf->addPendingValue(1);
        lazy.root->settlePendingValues();
        EXPECT_EQ(eager.values(), lazy.values()) << "clear kind " << clearKind;
    }
}

TEST(CallTreeTest, VisibleAndSingleChildrenUseAStrictThreshold) {
    Methods m;
    CallTree root;
    EXPECT_FALSE(root.hasVisibleChildren(0));
    EXPECT_EQ(nullptr, root.getSingleChild(0));

    CallTree* zero = root.addChild(&m.a, 0);
    EXPECT_TRUE(root.hasVisibleChildren(0)) << "a child of value 0 counts at threshold 0";
    EXPECT_EQ(nullptr, root.getSingleChild(0));

    CallTree* three = root.addChild(&m.b, 0);
    three->setValue(3);
    EXPECT_EQ(three, root.getSingleChild(0));
    EXPECT_FALSE(root.hasVisibleChildren(3));
    EXPECT_TRUE(root.hasVisibleChildren(2));

    zero->setValue(4);
    EXPECT_EQ(nullptr, root.getSingleChild(0));
    EXPECT_EQ(zero, root.getSingleChild(3));
    zero->setValue(5);
    EXPECT_FALSE(root.hasVisibleChildren(5));
}

class RecordingVisitor : public CSTVisitor {
public:
    explicit RecordingVisitor(bool descend) : descend(descend) {}
    bool enterNode(CallTree* node) override {
        events.push_back(std::string("+") + name(node));
        return descend;
    }
    void exitNode(CallTree* node) override { events.push_back(std::string("-") + name(node)); }
    static std::string name(CallTree* node) {
        return node->method == nullptr ? "root" : node->method->methodName;
    }
    bool descend;
    std::vector<std::string> events;
};

TEST(CallTreeTest, DepthFirstTraversalVisitsChildrenInListOrderUnlessRefused) {
    Methods m;
    CallTree root;
    CallTree* a = root.addChild(&m.a, 0);
    a->addChild(&m.c, 0);
    root.addChild(&m.b, 0);

    RecordingVisitor all(true);
    root.depthFirstTraversal(&all);
    EXPECT_EQ((std::vector<std::string>{"+root", "+b", "-b", "+a", "+c", "-c", "-a", "-root"}), all.events);

    RecordingVisitor none(false);
    root.depthFirstTraversal(&none);
    EXPECT_EQ((std::vector<std::string>{"+root", "-root"}), none.events);
}

TEST(CallTreeTest, BareRootIsWrittenAsMarkersThenItsEntry) {
    CallTree root;
    root.setValue(42);
    MemoryDataWriter writer;
    root.write(&writer, TREE_FIELDS);
    ExpectedBytes e;
    e.u1(1).u1(0);
    entry(e, nullptr, 0, 42).u1(0);
    EXPECT_EQ(e.get(), writer.bytes());
}

TEST(CallTreeTest, TreeIsWrittenPostOrderWithMonitorTimesBlockingWaitingNetIO) {
    Methods m;
    CallTree root;
    CallTree* a = root.addChild(&m.a, 0);
    CallTree* b = a->addChild(&m.b, 12);
    CallTree* c = a->addChild(&m.c, 65535);
    b->addValue(100, true);
    c->addValue(20, true);
    c->addBlockingTime(1);
    c->addSleepingTime(2);
    c->addNetIOTime(3);

    MemoryDataWriter writer;
    root.write(&writer, TREE_FIELDS);

    ExpectedBytes e;
    e.u1(1);                                   // root's children
    e.u1(1);                                   //   a's children
    e.u1(1).u1(0);                             //     c, a leaf, newest first
    entry(e, &m.c, 65535, 20).u1(1).jlong_(1).jlong_(2).jlong_(3);
    e.u1(1).u1(0);                             //     b
    entry(e, &m.b, 12, 100).u1(0);
    e.u1(0);                                   //   end of a's children
    entry(e, &m.a, 0, 120).u1(0);
    e.u1(0);                                   // end of root's children
    entry(e, nullptr, 0, 120).u1(0);
    EXPECT_EQ(e.get(), writer.bytes());
}

TEST(CallTreeTest, WriteEntryEmitsExactlyTheSelectedFields) {
    Methods m;
    CallTree root;
    CallTree* a = root.addChild(&m.a, 9);
    a->setValue(5);

    MemoryDataWriter all;
    a->writeEntry(&all, 1 | 2 | 4 | 16 | 32);
    ExpectedBytes e;
    e.id(a).id(&m.a).u2(9).jlong_(5).u1(0);
    EXPECT_EQ(e.get(), all.bytes());

    MemoryDataWriter some;
    a->writeEntry(&some, CallTree::WRITE_VALUE | CallTree::WRITE_NODE_ID);
    ExpectedBytes e2;
    e2.id(a).jlong_(5);
    EXPECT_EQ(e2.get(), some.bytes());
}

TEST(CallTreeTest, PrintDumpsTheTreeIndented) {
    Methods m;
    CallTree root;
    CallTree* a = root.addChild(&m.a, 12);
    a->addValue(15, true);

    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    ASSERT_NE(nullptr, out);
    root.print(out, 2);
    fclose(out);
    char expected[256];
    std::snprintf(expected, sizeof expected, "  root (15)\n      test.Foo.a (15 %p) ln: 12\n",
                  static_cast<void*>(&m.a));
    EXPECT_EQ(std::string(expected), std::string(text, size));
    std::free(text);
}

}  // namespace
