#ifndef TOLVANE_LOCKTABLE_H
#define TOLVANE_LOCKTABLE_H

#include <jni.h>

#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class CallTree;
class CpuProfilingSession;
class DataWriter;
class ThreadManager;

// What a thread waited for when it was last captured blocked or parked: the
// kind of wait, the class of the monitor or park blocker and the thread that
// held it. Names are indexes into the table's name list.
struct LockWait {
    static constexpr uint32_t NO_NAME = 0xFFFFFFFFu;

    unsigned char kind = 0;  // SnapshotFormat::LOCK_KIND_*
    uint32_t lockClass = NO_NAME;
    // The holder when it is a thread of the recording, else null.
    ThreadManager* owner = nullptr;
    // The holder's name when it is not a thread of the recording.
    uint32_t ownerName = NO_NAME;
};

// The blocked and parked time of a recording per thread, call-tree node,
// lock class and holder, for the snapshot's lock section. The sampler tells
// it what each thread waits for when it captures the thread (setWait,
// clearWait) and books each tick's time on the node where the thread stands
// (book), also on the ticks that reuse an earlier capture.
//
// Bounded: at most maxEntries entries and maxNames names; time that would
// need more is counted as dropped. Used under the thread monitor only.
class LockTable {
public:
    static constexpr size_t DEFAULT_MAX_ENTRIES = 50000;
    static constexpr size_t DEFAULT_MAX_NAMES = 4096;

    explicit LockTable(size_t maxEntries = DEFAULT_MAX_ENTRIES, size_t maxNames = DEFAULT_MAX_NAMES);
    LockTable(const LockTable&) = delete;
    LockTable& operator=(const LockTable&) = delete;

    // The index of a name (a lock class or a thread), added on first use;
    // NO_NAME for null or when the list is full.
    uint32_t internName(const char* name);
    const std::vector<std::string>& names() const { return nameList; }

    void setWait(ThreadManager* thread, const LockWait& wait);
    // Also forgets that the wait was left unread.
    void clearWait(ThreadManager* thread);
    // A blocked thread whose monitor a tick could not read in full (its
    // reads were used up) is read again on a later tick, though it did not
    // run: takeUnread says whether it was marked, and unmarks it.
    void markUnread(ThreadManager* thread);
    bool takeUnread(ThreadManager* thread);
    // Books `micros` on the thread's current node under the wait set for it,
    // when the thread is booked as blocked (monitor) or waiting (park) there,
    // and never more than the node's own blocked or waiting time has beyond
    // what its entries hold: they stay part of that time (a thread's first
    // tick, for one, books less than the tick on its tree).
    void book(ThreadManager* thread, jlong micros);

    // Forgets everything: the start of a recording.
    void clear();

    // The body of the lock section: the dropped time, the names, then the
    // entries of the threads of `threads` in the order of their records.
    void write(DataWriter* writer, CpuProfilingSession* threads);

    size_t entryCount() const { return entries.size(); }
    jlong droppedTime() const { return dropped; }

private:
    struct Key {
        ThreadManager* thread;
        CallTree* node;
        LockWait wait;
        bool operator==(const Key& other) const;
    };
    struct KeyHash {
        size_t operator()(const Key& key) const;
    };

    size_t maxEntries;
    size_t maxNames;
    std::vector<std::string> nameList;
    std::unordered_map<std::string, uint32_t> nameIndex;
    std::unordered_map<ThreadManager*, LockWait> waits;
    std::unordered_set<ThreadManager*> unread;
    std::unordered_map<Key, jlong, KeyHash> entries;
    // Per node, the monitor and the park time its entries (or the dropped
    // time) took of the node's own time.
    std::unordered_map<const CallTree*, std::array<jlong, 2>> nodeBooked;
    jlong dropped = 0;
};

#endif
