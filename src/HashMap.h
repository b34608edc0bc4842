#ifndef TOLVANE_HASHMAP_H
#define TOLVANE_HASHMAP_H

#include <cstdint>
#include <new>

#include "String.h"  // String keys and eq_nt_str / eq_2nt_str

// Shared sizing rules of the library's chained hash maps (also used by
// PointerHashMap).
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

template <class K, class V> class HashMap;

// One mapping of a HashMap. Owns neither its key nor its value.
template <class K, class V>
class HMEntry {
public:
    K* key;
    V* value;
    HMEntry* next;

    void initialize(K* k, V* v, HMEntry* n) {
        key = k;
        value = v;
        next = n;
    }

    K* getKey() { return key; }
    V* getValue() { return value; }

    V* setValue(V* v) {
        V* old = value;
        value = v;
        return old;
    }
};

// Cursor over a HashMap: buckets from the highest index down, each chain
// from its head (so the newest entry of a bucket comes first). Changing the
// map other than through this iterator's remove() invalidates it.
template <class K, class V>
class HMIterator {
public:
    HashMap<K, V>* map;
    // Buckets below this index are still to be visited.
    int32_t bucketIndex;
    HMEntry<K, V>* nextEntry;
    HMEntry<K, V>* lastReturned;

    explicit HMIterator(HashMap<K, V>* m) : map(m) { reset(); }

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

    HMEntry<K, V>* nextHMEntry() {
        if (!hasNext()) {
            return nullptr;
        }
        HMEntry<K, V>* e = nextEntry;
        nextEntry = e->next;
        lastReturned = e;
        return e;
    }

    V* next() {
        HMEntry<K, V>* e = nextHMEntry();
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
        int32_t index = map->indexFor(lastReturned->key);
        HMEntry<K, V>** link = &map->buckets[index];
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
};

// Chained hash map from key objects to value pointers.
//
// K must offer `int hashCode()` and an `equals` accepting a pointer to
// another key; the map always calls equals on the key passed in, with the
// stored key as argument. The map owns its bucket array and its entries,
// never the keys or values.
//
// No locking: every use must be serialised by the caller.
template <class K, class V>
class HashMap {
public:
    HMEntry<K, V>** buckets;
    int32_t capacity;
    int32_t count;
    // An insertion of a new key that finds count at or above this value grows
    // the table first; 0 or less means the table never grows.
    int32_t threshold;
    float loadFactor;

    // A capacity of 0 or below gives one bucket.
    HashMap(int initialCapacity, float loadFactor)
        : capacity(hashmap_detail::initialCapacity(initialCapacity)),
          count(0),
          threshold(hashmap_detail::computeThreshold(capacity, loadFactor)),
          loadFactor(loadFactor) {
        buckets = new HMEntry<K, V>*[capacity]();
    }

    ~HashMap() {
        clear();
        delete[] buckets;
    }

    HashMap(const HashMap&) = delete;
    HashMap& operator=(const HashMap&) = delete;

    int size() const { return count; }
    bool isEmpty() const { return count == 0; }

    V* get(K* key) {
        for (HMEntry<K, V>* e = buckets[indexFor(key)]; e != nullptr; e = e->next) {
            if (key->equals(e->key)) {
                return e->value;
            }
        }
        return nullptr;
    }

    // Returns the previous value of an equal key (whose stored key object is
    // kept), or null when the key was new.
    V* put(K* key, V* value) {
        int32_t index = indexFor(key);
        for (HMEntry<K, V>* e = buckets[index]; e != nullptr; e = e->next) {
            if (key->equals(e->key)) {
                return e->setValue(value);
            }
        }
        if (threshold >= 1 && count >= threshold) {
            rehash();
            index = indexFor(key);
        }
        HMEntry<K, V>* e = new HMEntry<K, V>;
        e->initialize(key, value, buckets[index]);
        buckets[index] = e;
        count++;
        return nullptr;
    }

    V* remove(K* key) {
        HMEntry<K, V>** link = &buckets[indexFor(key)];
        for (HMEntry<K, V>* e = *link; e != nullptr; link = &e->next, e = e->next) {
            if (key->equals(e->key)) {
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
    V* changeKey(K* oldKey, K* newKey) {
        V* value = remove(oldKey);
        if (value != nullptr) {
            put(newKey, value);
        }
        return value;
    }

    // Removes all mappings; capacity, threshold and the bucket array stay.
    void clear() {
        for (int32_t i = capacity - 1; i >= 0; i--) {
            HMEntry<K, V>* e = buckets[i];
            while (e != nullptr) {
                HMEntry<K, V>* next = e->next;
                delete e;
                e = next;
            }
            buckets[i] = nullptr;
        }
        count = 0;
    }

    // Grows to 2 x capacity + 1 buckets, relinking the existing entries.
    // When the larger table cannot be had, the map keeps its current one.
    void rehash() {
        int32_t newCapacity = hashmap_detail::grownCapacity(capacity);
        if (newCapacity == 0) {
            return;
        }
        HMEntry<K, V>** newBuckets = new (std::nothrow) HMEntry<K, V>*[newCapacity]();
        if (newBuckets == nullptr) {
            return;
        }
        for (int32_t i = capacity - 1; i >= 0; i--) {
            HMEntry<K, V>* e = buckets[i];
            while (e != nullptr) {
                HMEntry<K, V>* next = e->next;
                uint32_t index = (uint32_t)e->key->hashCode() % (uint32_t)newCapacity;
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

    // Allocated on the heap; the caller deletes it.
    HMIterator<K, V>* getHMIterator() { return new HMIterator<K, V>(this); }

    // Bucket of a key: its hash code as an unsigned 32-bit number modulo the
    // capacity, so a negative hash is not folded to its absolute value.
    int32_t indexFor(K* key) {
        return (int32_t)((uint32_t)key->hashCode() % (uint32_t)capacity);
    }

private:
    static int32_t chainLength(const HMEntry<K, V>* e) {
        int32_t len = 0;
        for (; e != nullptr; e = e->next) {
            len++;
        }
        return len;
    }
};

#endif
