#ifndef TOLVANE_CALLTREE_H
#define TOLVANE_CALLTREE_H

#include <jni.h>
#include <cstdio>

#include "SnapshotFormat.h"

class MethodDesc;
class DataWriter;
class CallTree;

// The self times a call-tree node collected while its thread waited, was
// blocked on a monitor or sat in network I/O at exactly that node. Kept apart
// from the node and allocated on first use, so the common node stays small.
class MonitorTimeValues {
public:
    MonitorTimeValues() : waitingTime(0), blockingTime(0), netIOTime(0) {}

    void clear() { waitingTime = 0; blockingTime = 0; netIOTime = 0; }
    bool isEmpty() const { return waitingTime == 0 && blockingTime == 0 && netIOTime == 0; }
    void addWaitingEvent(jlong amount) { waitingTime += amount; }
    void addBlockingEvent(jlong amount) { blockingTime += amount; }
    void addNetIOEvent(jlong amount) { netIOTime += amount; }

    // Blocking, waiting, net I/O: the order in which snapshot readers expect them.
    void write(DataWriter* writer);

    jlong waitingTime;
    jlong blockingTime;
    jlong netIOTime;
};

// Visitor for CallTree::depthFirstTraversal. enterNode returns whether the
// node's children are to be visited; exitNode is called in any case.
class CSTVisitor {
public:
    virtual bool enterNode(CallTree* node) = 0;
    virtual void exitNode(CallTree* node) = 0;
    virtual ~CSTVisitor() {}
};

// One node of a per-thread call tree: a method called from one line of its
// caller on one path from the root. `value` is inclusive running time (every
// sample adds to the node and all its ancestors); the monitor times are self
// times of this node only.
//
// Children form a singly linked list, newest first; that is also the order
// in which they are written and traversed. A node owns its subtree and its
// MonitorTimeValues. No locking: trees are only touched by holders of the
// thread monitor.
class CallTree {
public:
    static const int WRITE_NODE_ID = SnapshotFormat::TREE_FIELD_NODE_ID;
    static const int WRITE_METHOD_ID = SnapshotFormat::TREE_FIELD_METHOD_ID;
    static const int WRITE_VALUE = SnapshotFormat::TREE_FIELD_VALUE;
    static const int WRITE_MONITOR_TIMES = SnapshotFormat::TREE_FIELD_MONITOR_TIMES;
    static const int WRITE_LINE_NUMBER = SnapshotFormat::TREE_FIELD_LINE_NUMBER;

    CallTree();
    ~CallTree();
    CallTree(const CallTree&) = delete;
    CallTree& operator=(const CallTree&) = delete;

    void initialize(CallTree* parent, CallTree* nextInstance, MethodDesc* method, unsigned short lineNumber);

    // Creates a child at the head of the child list and returns it.
    CallTree* addChild(MethodDesc* method, unsigned short lineNumber);
    // Links an existing node at the head of the child list; its parent is
    // left as it is. A null node is a fatal error.
    void addChild(CallTree* childTree);
    // The first child (newest first) with this descriptor (by identity) and line.
    CallTree* getChild(MethodDesc* method, unsigned short lineNumber);

    CallTree* getParent() const { return parent; }
    jlong getValue() const { return value; }
    void setValue(jlong newValue) { value = newValue; }
    bool hasChildren() const { return firstChild != nullptr; }
    CallTree* getNextInstance() const { return nextInstance; }
    void setNextInstance(CallTree* node) { nextInstance = node; }
    MonitorTimeValues* getMonitorTimeValues() const { return monitorTimeValues; }

    // Adds to this node's value and, with propagate, to every ancestor.
    void addValue(jlong amount, bool propagate);
    void addSleepingTime(jlong amount);
    void addBlockingTime(jlong amount);
    void addNetIOTime(jlong amount);

    // Adds running time to this node's value only and owes it to the
    // ancestors: the sampler books at O(1) per tick whatever the depth, and
    // settlePendingValues later pays what is owed.
    void addPendingValue(jlong amount) {
        value += amount;
        pendingValue += amount;
    }
    // Adds what the nodes of this subtree owe to their ancestors within the
    // subtree (one post-order pass) and returns what the subtree as a whole
    // owes to the nodes above it.
    jlong settlePendingValues();

    // Zeroes the values of the whole subtree and frees its monitor times.
    void clearAll();
    // clearAll on every child but keep (by identity); zeroes this node's value.
    void clearSubtreesExcept(CallTree* keep);
    bool hasVisibleChildren(jlong threshold) const;
    // The only child with a value above threshold, else null.
    CallTree* getSingleChild(jlong threshold) const;
    void depthFirstTraversal(CSTVisitor* visitor);

    // Post-order: marker 1, each child, marker 0, then this node's entry.
    void write(DataWriter* writer, int fields);
    // The nodes of this subtree, this node included.
    jlong countNodes() const;
    // The CPU time of this subtree.
    jlong sumCpuTimes() const;
    // Each node's CPU time with its descendants', in the order in which
    // write() puts out the node entries; returns this node's.
    jlong writeCpuTimes(DataWriter* writer) const;
    // The fields selected by the WRITE_* bits, in snapshot order.
    void writeEntry(DataWriter* writer, int fields);

    void print(FILE* file, int indent);

    MethodDesc* method;
    unsigned short lineNumber;
    jlong value;
    CallTree* parent;
    CallTree* firstChild;
    CallTree* nextInstance;
    MonitorTimeValues* monitorTimeValues;
    jlong pendingValue = 0;
    // CPU time in microseconds the thread used while its stack ended at this
    // node, whatever its state; descendants are added only when written.
    jlong cpuTime = 0;

private:
    MonitorTimeValues* ensureMonitorTimeValues();
    // Values, pending time and monitor times of the whole subtree to zero.
    void zeroSubtree();
};

#endif
