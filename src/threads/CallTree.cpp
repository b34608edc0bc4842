#include "CallTree.h"

#include "ClassData.h"
#include "DataWriter.h"
#include "FatalAssert.h"
#include "MethodDesc.h"

void MonitorTimeValues::write(DataWriter* writer) {
    writer->writeJLong(blockingTime);
    writer->writeJLong(waitingTime);
    writer->writeJLong(netIOTime);
}

CallTree::CallTree()
    : method(nullptr), lineNumber(0), value(0), parent(nullptr),
      firstChild(nullptr), nextInstance(nullptr), monitorTimeValues(nullptr) {}

CallTree::~CallTree() {
    CallTree* child = firstChild;
    while (child != nullptr) {
        CallTree* next = child->nextInstance;
        delete child;
        child = next;
    }
    delete monitorTimeValues;
}

void CallTree::initialize(CallTree* parentNode, CallTree* next, MethodDesc* methodDesc, unsigned short line) {
    parent = parentNode;
    nextInstance = next;
    method = methodDesc;
    lineNumber = line;
    value = 0;
    firstChild = nullptr;
    monitorTimeValues = nullptr;
    pendingValue = 0;
}

CallTree* CallTree::addChild(MethodDesc* methodDesc, unsigned short line) {
    CallTree* child = new CallTree();
    child->initialize(this, firstChild, methodDesc, line);
    firstChild = child;
    return child;
}

void CallTree::addChild(CallTree* childTree) {
    if (childTree == nullptr) {
        fatalAssert("childTree", "shared/CallTree", "addChild");
    }
    childTree->nextInstance = firstChild;
    firstChild = childTree;
}

CallTree* CallTree::getChild(MethodDesc* methodDesc, unsigned short line) {
    for (CallTree* child = firstChild; child != nullptr; child = child->nextInstance) {
        if (child->method == methodDesc && child->lineNumber == line) {
            return child;
        }
    }
    return nullptr;
}

void CallTree::addValue(jlong amount, bool propagate) {
    value += amount;
    if (propagate) {
        for (CallTree* node = parent; node != nullptr; node = node->parent) {
            node->value += amount;
        }
    }
}

jlong CallTree::settlePendingValues() {
    jlong owed = pendingValue;
    pendingValue = 0;
    for (CallTree* child = firstChild; child != nullptr; child = child->nextInstance) {
        jlong fromChild = child->settlePendingValues();
        value += fromChild;
        owed += fromChild;
    }
    return owed;
}

MonitorTimeValues* CallTree::ensureMonitorTimeValues() {
    if (monitorTimeValues == nullptr) {
        monitorTimeValues = new MonitorTimeValues();
    }
    return monitorTimeValues;
}

void CallTree::addSleepingTime(jlong amount) {
    ensureMonitorTimeValues()->addWaitingEvent(amount);
}

void CallTree::addBlockingTime(jlong amount) {
    ensureMonitorTimeValues()->addBlockingEvent(amount);
}

void CallTree::addNetIOTime(jlong amount) {
    ensureMonitorTimeValues()->addNetIOEvent(amount);
}

void CallTree::clearAll() {
    // What the subtree owes the nodes above it stays owed: with the time
    // propagated at once, they would already hold it. Only the subtree's own
    // values go.
    jlong owed = settlePendingValues();
    zeroSubtree();
    pendingValue = owed;
}

void CallTree::zeroSubtree() {
    value = 0;
    pendingValue = 0;
    cpuTime = 0;
    delete monitorTimeValues;
    monitorTimeValues = nullptr;
    for (CallTree* child = firstChild; child != nullptr; child = child->nextInstance) {
        child->zeroSubtree();
    }
}

void CallTree::clearSubtreesExcept(CallTree* keep) {
    // Settled first, so that the kept subtree's debt to this node is paid
    // into the value zeroed below, not added back to it later.
    jlong owed = settlePendingValues();
    for (CallTree* child = firstChild; child != nullptr; child = child->nextInstance) {
        if (child != keep) {
            child->zeroSubtree();
        }
    }
    value = 0;
    cpuTime = 0;
    pendingValue = owed;
}

bool CallTree::hasVisibleChildren(jlong threshold) const {
    if (threshold == 0) {
        return hasChildren();
    }
    for (CallTree* child = firstChild; child != nullptr; child = child->nextInstance) {
        if (child->value > threshold) {
            return true;
        }
    }
    return false;
}

CallTree* CallTree::getSingleChild(jlong threshold) const {
    CallTree* found = nullptr;
    int count = 0;
    for (CallTree* child = firstChild; child != nullptr; child = child->nextInstance) {
        if (child->value > threshold) {
            found = child;
            ++count;
        }
    }
    return count == 1 ? found : nullptr;
}

void CallTree::depthFirstTraversal(CSTVisitor* visitor) {
    if (visitor->enterNode(this)) {
        for (CallTree* child = firstChild; child != nullptr; child = child->nextInstance) {
            child->depthFirstTraversal(visitor);
        }
    }
    visitor->exitNode(this);
}

void CallTree::write(DataWriter* writer, int fields) {
    writer->writeByte(SnapshotFormat::TAG_RECORD);
    for (CallTree* child = firstChild; child != nullptr; child = child->nextInstance) {
        child->write(writer, fields);
    }
    writer->writeByte(SnapshotFormat::TAG_END);
    writeEntry(writer, fields);
}

jlong CallTree::countNodes() const {
    jlong count = 1;
    for (const CallTree* child = firstChild; child != nullptr; child = child->nextInstance) {
        count += child->countNodes();
    }
    return count;
}

jlong CallTree::sumCpuTimes() const {
    jlong sum = cpuTime;
    for (const CallTree* child = firstChild; child != nullptr; child = child->nextInstance) {
        sum += child->sumCpuTimes();
    }
    return sum;
}

jlong CallTree::writeCpuTimes(DataWriter* writer) const {
    jlong inclusive = cpuTime;
    for (const CallTree* child = firstChild; child != nullptr; child = child->nextInstance) {
        inclusive += child->writeCpuTimes(writer);
    }
    writer->writeJLong(inclusive);
    return inclusive;
}

void CallTree::writeEntry(DataWriter* writer, int fields) {
    if (fields & WRITE_NODE_ID) {
        writer->writeID(this);
    }
    if (fields & WRITE_METHOD_ID) {
        writer->writeID(method);
    }
    if (fields & WRITE_LINE_NUMBER) {
        writer->writeU2(static_cast<short>(lineNumber));
    }
    if (fields & WRITE_VALUE) {
        writer->writeJLong(value);
    }
    if (fields & WRITE_MONITOR_TIMES) {
        if (monitorTimeValues == nullptr) {
            writer->writeByte(0);
        } else {
            writer->writeByte(1);
            monitorTimeValues->write(writer);
        }
    }
}

void CallTree::print(FILE* file, int indent) {
    for (int i = 0; i < indent; ++i) {
        fputc(' ', file);
    }
    if (method == nullptr) {
        fprintf(file, "root (%lld)\n", static_cast<long long>(value));
    } else {
        const char* className = method->classData != nullptr ? method->classData->name : nullptr;
        fprintf(file, "%s.%s (%lld %p) ln: %d\n",
                className != nullptr ? className : "",
                method->methodName != nullptr ? method->methodName : "",
                static_cast<long long>(value), static_cast<void*>(method), lineNumber);
    }
    for (CallTree* child = firstChild; child != nullptr; child = child->nextInstance) {
        child->print(file, indent + 4);
    }
    fflush(file);
}
