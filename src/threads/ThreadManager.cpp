#include "ThreadManager.h"

#include "AsyncSampling.h"
#include "CallTree.h"
#include "DataWriter.h"
#include "MethodDesc.h"
#include "ThreadDesc.h"
#include "ThreadMonitor.h"

namespace {

// Filter states of MethodDesc::getIsFiltered.
const int FILTER_NONE = 0;
const int FILTER_CLASS = 1;

// Call trees are written with method id, line, value and monitor times.
const int THREAD_TREE_FIELDS = CallTree::WRITE_METHOD_ID | CallTree::WRITE_LINE_NUMBER |
                               CallTree::WRITE_VALUE | CallTree::WRITE_MONITOR_TIMES;
static_assert(THREAD_TREE_FIELDS == SnapshotFormat::TREE_FIELDS, "the format's tree field mask names these bits");

}  // namespace

jlong ThreadManager::nodeLimit = ThreadManager::DEFAULT_NODE_LIMIT;
jlong ThreadManager::nodesCreated = 0;
bool ThreadManager::nodeLimitReached = false;

void ThreadManager::startRecording() {
    nodesCreated = 0;
    nodeLimitReached = false;
}

ThreadManager::ThreadManager(jweak thread, JNIEnv* env)
    : threadHandle(thread), javaThreadManager(nullptr), currentNode(nullptr),
      threadStatus(THREAD_STATUS_RUNNING), threadDesc(nullptr), rootNode(new CallTree()),
      ignored(false), netIODepth(0) {
    rootNode->initialize(nullptr, nullptr, nullptr, 0);
    currentNode = rootNode;
}

ThreadManager::~ThreadManager() {
    AsyncSampling::disarm(samples);
    delete rootNode;
    delete threadDesc;
}

unsigned char ThreadManager::getDisplayThreadStatus() const {
    return netIODepth != 0 ? THREAD_STATUS_NET_IO : threadStatus;
}

void ThreadManager::setIgnored(bool isIgnored, JNIEnv* env) {
    ThreadMonitorLock lock;
    ignored = isIgnored;
    currentNode = rootNode;
}

void ThreadManager::methodEntry(JNIEnv* env, MethodDesc* method, int lineNumber) {
    assertThreadMonitorHeld("ThreadManager::methodEntry");
    if (method == nullptr || currentNode == nullptr) {
        return;
    }
    unsigned char netio = 0;
    if (method->isNetio) {
        ++netIODepth;
        netio = ENTRY_NETIO;
    }
    if (foldedDepth > 0) {
        // Below a path that has no node: nothing deeper can have one.
        entryKinds.push_back(ENTRY_FOLDED | netio);
        foldedDepth++;
        return;
    }
    int filterState = method->getIsFiltered();
    unsigned char kind;
    unsigned short line;
    if (filterState == FILTER_NONE) {
        kind = ENTRY_NORMAL;
        line = static_cast<unsigned short>(lineNumber);
    } else if (filterState == FILTER_CLASS &&
               (entryKinds.empty() || (entryKinds.back() & ~ENTRY_NETIO) == ENTRY_NORMAL)) {
        // The first filtered frame below normal code gets a node; the filtered
        // frames under it collapse into it, so its callees are keyed with line 0.
        kind = ENTRY_FILTERED;
        line = 0;
    } else {
        entryKinds.push_back(ENTRY_SKIPPED | netio);
        return;
    }
    entryKinds.push_back(kind | netio);
    unsigned short parentLine = lineStack.empty() ? 0 : lineStack.back();
    lineStack.push_back(line);
    CallTree* child = currentNode->getChild(method, parentLine);
    if (child == nullptr) {
        if (nodeLimit >= 0 && nodesCreated >= nodeLimit) {
            nodeLimitReached = true;
            lineStack.pop_back();
            entryKinds.back() = ENTRY_FOLDED | netio;
            foldedDepth++;
            return;
        }
        child = currentNode->addChild(method, parentLine);
        nodesCreated++;
    }
    currentNode = child;
}

void ThreadManager::methodExit(JNIEnv* env, MethodDesc* method) {
    assertThreadMonitorHeld("ThreadManager::methodExit");
    if (method == nullptr) {
        return;
    }
    if (entryKinds.empty()) {
        return;
    }
    unsigned char kind = entryKinds.back();
    entryKinds.pop_back();
    if ((kind & ENTRY_NETIO) != 0) {
        kind = static_cast<unsigned char>(kind & ~ENTRY_NETIO);
        if (netIODepth > 0) {
            --netIODepth;
        }
    }
    if (kind == ENTRY_FOLDED) {
        if (foldedDepth > 0) {
            foldedDepth--;
        }
        return;
    }
    if (kind == ENTRY_SKIPPED || currentNode == nullptr || currentNode == rootNode) {
        return;
    }
    currentNode = currentNode->getParent();
    if (!lineStack.empty()) {
        lineStack.pop_back();
    }
}

void ThreadManager::sampleTime(jlong time, jlong timestamp, bool recordStatus) {
    assertThreadMonitorHeld("ThreadManager::sampleTime");
    if (currentNode == nullptr) {
        return;
    }
    if (foldedDepth > 0) {
        foldedTime += time;
    } else if (currentNode == rootNode) {
        return;  // no frame at all: nothing to book
    }
    // A thread whose first frame found no node past the limit stands at its
    // root, which takes the time as its only node.
    unsigned char status = getDisplayThreadStatus();
    if (recordStatus && threadDesc != nullptr) {
        std::vector<unsigned char>& statuses = threadDesc->getThreadStatusList();
        if (statuses.empty() || statuses.back() != status) {
            threadDesc->addStatus(status, timestamp);
        }
    }
    switch (status) {
    case THREAD_STATUS_RUNNING:
        currentNode->addPendingValue(time);
        hasPendingTime = true;
        break;
    case THREAD_STATUS_BLOCKED:
        currentNode->addBlockingTime(time);
        break;
    case THREAD_STATUS_WAITING:
        currentNode->addSleepingTime(time);
        break;
    case THREAD_STATUS_NET_IO:
        currentNode->addNetIOTime(time);
        break;
    default:
        break;
    }
}

void ThreadManager::sampleCpuTime(jlong micros) {
    assertThreadMonitorHeld("ThreadManager::sampleCpuTime");
    if (currentNode == nullptr || micros < 0) {
        return;
    }
    currentNode->cpuTime += micros;
    cpuKnown = true;
}

void ThreadManager::flushPendingTime() {
    assertThreadMonitorHeld("ThreadManager::flushPendingTime");
    if (hasPendingTime && rootNode != nullptr) {
        rootNode->settlePendingValues();
    }
    hasPendingTime = false;
}

void ThreadManager::reset() {
    netIODepth = 0;  // the entries that opened net I/O methods go too
    entryKinds.clear();
    lineStack.clear();
    foldedDepth = 0;
    currentNode = rootNode;
}

void ThreadManager::setIsDead(JNIEnv* env) {
    // Stored before the monitor is taken, so a reader sees the death at once.
    threadStatus = THREAD_STATUS_DEAD;
    ThreadMonitorLock lock;
    releaseReferences(env);
}

void ThreadManager::releaseReferences(JNIEnv* env) {
    if (env == nullptr) {
        return;
    }
    if (threadHandle != nullptr) {
        env->DeleteWeakGlobalRef(threadHandle);
        threadHandle = nullptr;
    }
    if (javaThreadManager != nullptr) {
        env->DeleteGlobalRef(javaThreadManager);
        javaThreadManager = nullptr;
    }
}

void ThreadManager::cleanup(JNIEnv* env) {
    AsyncSampling::disarm(samples);
    samples = nullptr;
    releaseReferences(env);
    hasPendingTime = false;  // the pending time goes with the tree deleted here
    delete rootNode;
    rootNode = nullptr;
    currentNode = nullptr;
    delete threadDesc;
    threadDesc = nullptr;
    entryKinds.clear();
    lineStack.clear();
    foldedDepth = 0;
}

void ThreadManager::write(DataWriter* writer, jlong recordStartTime) {
    flushPendingTime();
    writer->writeID(this);
    if (threadDesc != nullptr) {
        threadDesc->write(writer, recordStartTime);
    }
    if (rootNode != nullptr) {
        rootNode->write(writer, THREAD_TREE_FIELDS);
    } else {
        // A cleaned-up manager still writes a well-formed, empty root.
        CallTree emptyRoot;
        emptyRoot.write(writer, THREAD_TREE_FIELDS);
    }
    writer->writeByte(ignored ? 1 : 0);
}

void ThreadManager::writeCpuTimes(DataWriter* writer) {
    writer->writeID(this);
    CallTree emptyRoot;
    const CallTree* root = rootNode != nullptr ? rootNode : &emptyRoot;
    jlong nodes = root->countNodes();
    // The total comes ahead of the nodes, so it takes a pass of its own.
    writer->writeJLong(cpuKnown ? root->sumCpuTimes() : -1);
    writer->writeU4(static_cast<int>(nodes));
    root->writeCpuTimes(writer);
}
