#include "LockTable.h"

#include <algorithm>
#include <functional>

#include "CallTree.h"
#include "CpuProfilingSession.h"
#include "DataWriter.h"
#include "SnapshotFormat.h"
#include "ThreadManager.h"
#include "ThreadMonitor.h"

static_assert(LockWait::NO_NAME == static_cast<uint32_t>(SnapshotFormat::LOCK_NO_NAME),
              "the format's no-name index is the table's");

namespace {

// Each node of a tree against its place in the order in which the thread
// section writes the node entries (post-order, children newest first).
void numberNodes(CallTree* node, uint32_t& next, std::unordered_map<CallTree*, uint32_t>& numbers) {
    for (CallTree* child = node->firstChild; child != nullptr; child = child->nextInstance) {
        numberNodes(child, next, numbers);
    }
    numbers[node] = next++;
}

struct Row {
    uint32_t node;
    const LockWait* wait;
    jlong micros;
};

}  // namespace

bool LockTable::Key::operator==(const Key& other) const {
    return thread == other.thread && node == other.node && wait.kind == other.wait.kind &&
           wait.lockClass == other.wait.lockClass && wait.owner == other.wait.owner &&
           wait.ownerName == other.wait.ownerName;
}

size_t LockTable::KeyHash::operator()(const Key& key) const {
    size_t h = std::hash<const void*>()(key.thread);
    h = h * 31 + std::hash<const void*>()(key.node);
    h = h * 31 + key.wait.kind;
    h = h * 31 + key.wait.lockClass;
    h = h * 31 + std::hash<const void*>()(key.wait.owner);
    return h * 31 + key.wait.ownerName;
}

LockTable::LockTable(size_t maxEntries, size_t maxNames) : maxEntries(maxEntries), maxNames(maxNames) {}

uint32_t LockTable::internName(const char* name) {
    if (name == nullptr) {
        return LockWait::NO_NAME;
    }
    std::string key(name);
    auto found = nameIndex.find(key);
    if (found != nameIndex.end()) {
        return found->second;
    }
    if (nameList.size() >= maxNames) {
        return LockWait::NO_NAME;
    }
    uint32_t index = static_cast<uint32_t>(nameList.size());
    nameList.push_back(key);
    nameIndex.emplace(key, index);
    return index;
}

void LockTable::setWait(ThreadManager* thread, const LockWait& wait) {
    assertThreadMonitorHeld("LockTable::setWait");
    waits[thread] = wait;
}

void LockTable::clearWait(ThreadManager* thread) {
    assertThreadMonitorHeld("LockTable::clearWait");
    if (!waits.empty()) {
        waits.erase(thread);
    }
    if (!unread.empty()) {
        unread.erase(thread);
    }
}

void LockTable::markUnread(ThreadManager* thread) {
    assertThreadMonitorHeld("LockTable::markUnread");
    unread.insert(thread);
}

bool LockTable::takeUnread(ThreadManager* thread) {
    assertThreadMonitorHeld("LockTable::takeUnread");
    return !unread.empty() && unread.erase(thread) > 0;
}

void LockTable::book(ThreadManager* thread, jlong micros) {
    assertThreadMonitorHeld("LockTable::book");
    if (thread == nullptr || micros <= 0 || waits.empty()) {
        return;
    }
    auto found = waits.find(thread);
    if (found == waits.end()) {
        return;
    }
    const LockWait& wait = found->second;
    // The manager books nothing at its root, and books by its displayed
    // status: a wait inside a net I/O method is net I/O time there.
    CallTree* node = thread->currentNode;
    if (node == nullptr || node == thread->rootNode) {
        return;
    }
    unsigned char status = thread->getDisplayThreadStatus();
    unsigned char expected = wait.kind == SnapshotFormat::LOCK_KIND_MONITOR ? ThreadManager::THREAD_STATUS_BLOCKED
                                                                           : ThreadManager::THREAD_STATUS_WAITING;
    if (status != expected) {
        return;
    }
    bool monitor = wait.kind == SnapshotFormat::LOCK_KIND_MONITOR;
    const MonitorTimeValues* times = node->getMonitorTimeValues();
    jlong nodeTime = times == nullptr ? 0 : monitor ? times->blockingTime : times->waitingTime;
    jlong& booked = nodeBooked[node][monitor ? 0 : 1];
    micros = std::min(micros, nodeTime - booked);
    if (micros <= 0) {
        return;
    }
    booked += micros;
    Key key{thread, node, wait};
    auto entry = entries.find(key);
    if (entry != entries.end()) {
        entry->second += micros;
    } else if (entries.size() < maxEntries) {
        entries.emplace(key, micros);
    } else {
        dropped += micros;
    }
}

void LockTable::clear() {
    nameList.clear();
    nameIndex.clear();
    waits.clear();
    unread.clear();
    entries.clear();
    nodeBooked.clear();
    dropped = 0;
}

void LockTable::write(DataWriter* writer, CpuProfilingSession* threads) {
    assertThreadMonitorHeld("LockTable::write");
    writer->writeJLong(dropped);
    writer->writeU4(static_cast<int>(nameList.size()));
    for (const std::string& name : nameList) {
        writer->writeString(name.c_str(), static_cast<int>(name.size()));
    }

    // The threads that have records, in their order; entries of any other
    // thread, and holders without a record, are left out.
    std::vector<ThreadManager*> recorded;
    std::unordered_set<ThreadManager*> hasRecord;
    if (threads != nullptr) {
        for (ThreadManager* manager : threads->getThreadManagers()) {
            if (manager != nullptr && manager->threadDesc != nullptr && hasRecord.insert(manager).second) {
                recorded.push_back(manager);
            }
        }
    }
    std::unordered_map<ThreadManager*, std::vector<const std::pair<const Key, jlong>*>> byThread;
    size_t count = 0;
    for (const auto& entry : entries) {
        if (hasRecord.count(entry.first.thread) != 0 && entry.first.thread->rootNode != nullptr) {
            byThread[entry.first.thread].push_back(&entry);
            count++;
        }
    }
    writer->writeU4(static_cast<int>(count));
    for (ThreadManager* manager : recorded) {
        auto found = byThread.find(manager);
        if (found == byThread.end()) {
            continue;
        }
        std::unordered_map<CallTree*, uint32_t> numbers;
        uint32_t next = 0;
        numberNodes(manager->rootNode, next, numbers);
        std::vector<Row> rows;
        for (const auto* entry : found->second) {
            auto number = numbers.find(entry->first.node);
            // A node outside the thread's tree cannot be: the tree only grows
            // during a recording. Written as the root rather than dropped.
            uint32_t node = number != numbers.end() ? number->second : next - 1;
            rows.push_back(Row{node, &entry->first.wait, entry->second});
        }
        // A fixed order, so that equal recordings give equal bytes.
        std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
            if (a.node != b.node) return a.node < b.node;
            if (a.wait->kind != b.wait->kind) return a.wait->kind < b.wait->kind;
            if (a.wait->lockClass != b.wait->lockClass) return a.wait->lockClass < b.wait->lockClass;
            if (a.wait->ownerName != b.wait->ownerName) return a.wait->ownerName < b.wait->ownerName;
            return std::less<const void*>()(a.wait->owner, b.wait->owner);
        });
        for (const Row& row : rows) {
            writer->writeID(manager);
            writer->writeU4(static_cast<int>(row.node));
            writer->writeByte(row.wait->kind);
            writer->writeU4(static_cast<int>(row.wait->lockClass));
            ThreadManager* owner = hasRecord.count(row.wait->owner) != 0 ? row.wait->owner : nullptr;
            writer->writeID(owner);
            writer->writeU4(static_cast<int>(owner != nullptr ? LockWait::NO_NAME : row.wait->ownerName));
            writer->writeJLong(row.micros);
        }
    }
}
