#ifndef TOLVANE_CHAINEDHASHMAP_H
#define TOLVANE_CHAINEDHASHMAP_H

#include <cstdint>
#include <new>

// The chained hash table behind HashMap and PointerHashMap. Both maps keep
// the same structure, growth rule, statistics and iteration order; they
// differ only in the key type and in how a key is hashed and compared, which
// a key policy supplies:
//
//   static uint32_t hash(Key key);
//   static bool matches(Key searched, Key stored);  // searched key first
//
// HashMap and PointerHashMap derive from these templates and add only their
// own names (entry, iterator, iterator factory; PointerHashMap also
// deleteValues), so callers of both maps use the fields and methods below.

namespace hashmap_detail {

// Number of buckets for a requested capacity: at least 1.
inline int32_t initialCapacity(int capacity) {
    return capacity < 1 ? 1 : capacity;
}

// loadFactor x capacity in single precision, truncated toward zero. Values
// beyond the int range are clamped (a NaN gives 0) instead of overflowing
// the conversion. A result of 0 or less means the table never grows.
inline int32_t computeThreshold(int32_t capacity, float loadFactor) {
    float t = (float)capacity * loadFactor;
    if (!(t == t)) {
        return 0;
    }
    if (t >= 2147483647.0f) {
        return INT32_MAX;
    }
    if (t <= -2147483648.0f) {
        return INT32_MIN;
    }
    return (int32_t)t;
}

// The next capacity after growth, 2 x capacity + 1; 0 when that would not
// fit in an int, in which case the table stays as it is.
inline int32_t grownCapacity(int32_t capacity) {
    if (capacity > (INT32_MAX - 1) / 2) {
        return 0;
    }
    return 2 * capacity + 1;
}

}  // namespace hashmap_detail

// One mapping. Self is the derived entry type, so that `next` has the
// map's own entry type. Owns neither its key nor its value.
template <class Self, class Key, class V>
class ChainedHashMapEntry {
public:
    Key key;
    V* value;
    Self* next;

    void initialize(Key k, V* v, Self* n) {
        key = k;
        value = v;
        next = n;
    }

    Key getKey() { return key; }
    V* getValue() { return value; }

    V* setValue(V* v) {
        V* old = value;
        value = v;
        return old;
    }
};

// Cursor over a map: buckets from the highest index down, each chain from
// its head (so the newest entry of a bucket comes first). Changing the map
// other than through this iterator's remove() invalidates it.
template <class Map, class Entry, class V>
class ChainedHashMapIterator {
public:
    Map* map;
    // Buckets below this index are still to be visited.
    int32_t bucketIndex;
    Entry* nextEntry;
    Entry* lastReturned;

    explicit ChainedHashMapIterator(Map* m) : map(m) { reset(); }

    void reset() {
        bucketIndex = map->capacity;
        nextEntry = nullptr;
        lastReturned = nullptr;
    }

    bool hasNext() {
        if (nextEntry != nullptr) {
            return true;
        }
        while (bucketIndex > 0) {
            bucketIndex--;
            nextEntry = map->buckets[bucketIndex];
            if (nextEntry != nullptr) {
                return true;
            }
        }
        return false;
    }

    V* next() {
        Entry* e = advance();
        return e != nullptr ? e->value : nullptr;
    }

    // The value of the entry last handed out; null when none was handed out
    // since construction, reset() or the last remove().
    V* getLastReturned() {
        return lastReturned != nullptr ? lastReturned->value : nullptr;
    }

    // Removes the entry last handed out. The following entry is already held
    // in nextEntry, so the iteration goes on undisturbed. Does nothing when no
    // entry was handed out since construction, reset() or the last remove().
    void remove() {
        if (lastReturned == nullptr) {
            return;
        }
        Entry** link = &map->buckets[map->indexFor(lastReturned->key)];
        while (*link != nullptr) {
            if (*link == lastReturned) {
                *link = lastReturned->next;
                delete lastReturned;
                map->count--;
                break;
            }
            link = &(*link)->next;
        }
        lastReturned = nullptr;
    }

protected:
    // The next entry, or null at the end; the maps' iterators publish it
    // under their own name.
    Entry* advance() {
        if (!hasNext()) {
            return nullptr;
        }
        Entry* e = nextEntry;
        nextEntry = e->next;
        lastReturned = e;
        return e;
    }
};

// Chained hash map from keys to value pointers: an array of singly linked
// chains, a new entry going to the head of its chain. The map owns its
// bucket array and its entries, never the keys or values.
//
// No locking: every use must be serialised by the caller.
template <class Entry, class Key, class V, class KeyPolicy>
class ChainedHashMap {
public:
    Entry** buckets;
    int32_t capacity;
    int32_t count;
    // An insertion of a new key that finds count at or above this value grows
    // the table first; 0 or less (load factor 0) means the table never grows.
    int32_t threshold;
    float loadFactor;

    ChainedHashMap(const ChainedHashMap&) = delete;
    ChainedHashMap& operator=(const ChainedHashMap&) = delete;

    int size() const { return count; }
    bool isEmpty() const { return count == 0; }

    V* get(Key key) const {
        for (Entry* e = buckets[indexFor(key)]; e != nullptr; e = e->next) {
            if (KeyPolicy::matches(key, e->key)) {
                return e->value;
            }
        }
        return nullptr;
    }

    // Returns the previous value of an equal key (whose stored key is kept),
    // or null when the key was new.
    V* put(Key key, V* value) {
        int32_t index = indexFor(key);
        for (Entry* e = buckets[index]; e != nullptr; e = e->next) {
            if (KeyPolicy::matches(key, e->key)) {
                return e->setValue(value);
            }
        }
        if (threshold >= 1 && count >= threshold) {
            rehash();
            index = indexFor(key);
        }
        Entry* e = new Entry;
        e->initialize(key, value, buckets[index]);
        buckets[index] = e;
        count++;
        return nullptr;
    }

    V* remove(Key key) {
        Entry** link = &buckets[indexFor(key)];
        for (Entry* e = *link; e != nullptr; link = &e->next, e = e->next) {
            if (KeyPolicy::matches(key, e->key)) {
                *link = e->next;
                V* value = e->value;
                delete e;
                count--;
                return value;
            }
        }
        return nullptr;
    }

    // Moves the value of oldKey to newKey and returns it. A key mapped to
    // null loses its entry and nothing is inserted.
    V* changeKey(Key oldKey, Key newKey) {
        V* value = remove(oldKey);
        if (value != nullptr) {
            put(newKey, value);
        }
        return value;
    }

    // Removes all mappings without touching the values; capacity, threshold
    // and the bucket array stay.
    void clear() {
        clearEntries([](V*) {});
    }

    // Grows to 2 x capacity + 1 buckets, relinking the existing entries.
    // When the larger table cannot be had, the map keeps its current one.
    void rehash() {
        int32_t newCapacity = hashmap_detail::grownCapacity(capacity);
        if (newCapacity == 0) {
            return;
        }
        Entry** newBuckets = new (std::nothrow) Entry*[newCapacity]();
        if (newBuckets == nullptr) {
            return;
        }
        for (int32_t i = capacity - 1; i >= 0; i--) {
            Entry* e = buckets[i];
            while (e != nullptr) {
                Entry* next = e->next;
                uint32_t index = KeyPolicy::hash(e->key) % (uint32_t)newCapacity;
                e->next = newBuckets[index];
                newBuckets[index] = e;
                e = next;
            }
        }
        delete[] buckets;
        buckets = newBuckets;
        capacity = newCapacity;
        threshold = hashmap_detail::computeThreshold(capacity, loadFactor);
    }

    // Mean chain length of the buckets in use; NaN for an empty map.
    float getAvgUsedBucketCharge() const {
        int32_t used = 0;
        int32_t entries = 0;
        for (int32_t i = 0; i < capacity; i++) {
            int32_t len = chainLength(buckets[i]);
            if (len > 0) {
                used++;
                entries += len;
            }
        }
        return (float)entries / (float)used;
    }

    // Sum of the chain lengths of the buckets holding two or more entries.
    int getNumCollisions() const {
        int32_t collisions = 0;
        for (int32_t i = 0; i < capacity; i++) {
            int32_t len = chainLength(buckets[i]);
            if (len >= 2) {
                collisions += len;
            }
        }
        return collisions;
    }

    // The current fill, count / capacity (not the configured loadFactor).
    float getLoadFactor() const { return (float)count / (float)capacity; }

    // Bucket of a key: its hash as an unsigned 32-bit number modulo the
    // capacity, so a negative hash code is not folded to its absolute value.
    int32_t indexFor(Key key) const {
        return (int32_t)(KeyPolicy::hash(key) % (uint32_t)capacity);
    }

protected:
    // A capacity of 0 or below gives one bucket.
    ChainedHashMap(int initialCapacity, float loadFactor)
        : capacity(hashmap_detail::initialCapacity(initialCapacity)),
          count(0),
          threshold(hashmap_detail::computeThreshold(capacity, loadFactor)),
          loadFactor(loadFactor) {
        buckets = new Entry*[capacity]();
    }

    ~ChainedHashMap() {
        clear();
        delete[] buckets;
    }

    // Deletes every entry, from the highest bucket down, after handing its
    // value to onValue; the map is left empty and usable.
    template <class OnValue>
    void clearEntries(OnValue onValue) {
        for (int32_t i = capacity - 1; i >= 0; i--) {
            Entry* e = buckets[i];
            while (e != nullptr) {
                Entry* next = e->next;
                onValue(e->value);
                delete e;
                e = next;
            }
            buckets[i] = nullptr;
        }
        count = 0;
    }

private:
    static int32_t chainLength(const Entry* e) {
        int32_t len = 0;
        for (; e != nullptr; e = e->next) {
            len++;
        }
        return len;
    }
};

#endif
