#ifndef TOLVANE_POINTERHASHMAP_H
#define TOLVANE_POINTERHASHMAP_H

#include <cstdint>
#include <new>
#include <type_traits>

#include "HashMap.h"

// Mixes a raw 64-bit key into a 32-bit hash: the upper half is folded into
// the lower one, then the bits are spread so that aligned addresses (whose
// low bits are all zero) still fill the buckets. Logical shifts in unsigned
// 32-bit arithmetic.
inline uint32_t pointerHash(uint64_t k) {
    uint32_t h = (uint32_t)(k >> 32) ^ (uint32_t)k;
    h ^= (h >> 20) ^ (h >> 12);
    h ^= (h >> 7) ^ (h >> 4);
    return h;
}

inline uint32_t pointerHash(const void* key) {
    return pointerHash((uint64_t)(uintptr_t)key);
}

inline uint32_t pointerHash(long key) {
    return pointerHash((uint64_t)key);
}

template <class V, class K> class PointerHashMap;

// One mapping of a PointerHashMap. The key is the raw value itself and is
// never dereferenced.
template <class V, class K>
class PHMEntry {
public:
    K key;
    V* value;
    PHMEntry* next;

    void initialize(K k, V* v, PHMEntry* n) {
        key = k;
        value = v;
        next = n;
    }

    K getKey() { return key; }
    V* getValue() { return value; }

    V* setValue(V* v) {
        V* old = value;
        value = v;
        return old;
    }
};

// Cursor over a PointerHashMap: buckets from the highest index down, each
// chain from its head (newest entry of a bucket first). Changing the map
// other than through this iterator's remove() invalidates it.
template <class V, class K>
class PHMIterator {
public:
    PointerHashMap<V, K>* map;
    // Buckets below this index are still to be visited.
    int32_t bucketIndex;
    PHMEntry<V, K>* nextEntry;
    PHMEntry<V, K>* lastReturned;

    explicit PHMIterator(PointerHashMap<V, K>* m) : map(m) { reset(); }

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

    PHMEntry<V, K>* nextPHMEntry() {
        if (!hasNext()) {
            return nullptr;
        }
        PHMEntry<V, K>* e = nextEntry;
        nextEntry = e->next;
        lastReturned = e;
        return e;
    }

    V* next() {
        PHMEntry<V, K>* e = nextPHMEntry();
        return e != nullptr ? e->value : nullptr;
    }

    // The value of the entry last handed out; null when none was handed out
    // since construction, reset() or the last remove().
    V* getLastReturned() {
        return lastReturned != nullptr ? lastReturned->value : nullptr;
    }

    // Removes the entry last handed out without disturbing the iteration
    // (the following entry is already held in nextEntry). Does nothing when
    // no entry was handed out since construction, reset() or the last
    // remove().
    void remove() {
        if (lastReturned == nullptr) {
            return;
        }
        PHMEntry<V, K>** link = &map->buckets[map->indexFor(lastReturned->key)];
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

// Chained hash map from raw keys (void* or long, compared by value) to value
// pointers. Same structure, growth rule, statistics and iteration as
// HashMap; the key is hashed by pointerHash().
//
// The map owns its bucket array and entries. Values are destroyed only by
// deleteValues(); no other operation, the destructor included, frees one.
//
// No locking: every use must be serialised by the caller.
template <class V, class K>
class PointerHashMap {
public:
    PHMEntry<V, K>** buckets;
    int32_t capacity;
    int32_t count;
    // An insertion of a new key that finds count at or above this value grows
    // the table first; 0 or less (load factor 0) means it never grows.
    int32_t threshold;
    float loadFactor;

    // A capacity of 0 or below gives one bucket.
    PointerHashMap(int initialCapacity, float loadFactor)
        : capacity(hashmap_detail::initialCapacity(initialCapacity)),
          count(0),
          threshold(hashmap_detail::computeThreshold(capacity, loadFactor)),
          loadFactor(loadFactor) {
        buckets = new PHMEntry<V, K>*[capacity]();
    }

    ~PointerHashMap() {
        clear();
        delete[] buckets;
    }

    PointerHashMap(const PointerHashMap&) = delete;
    PointerHashMap& operator=(const PointerHashMap&) = delete;

    int size() const { return count; }
    bool isEmpty() const { return count == 0; }

    V* get(K key) const {
        for (PHMEntry<V, K>* e = buckets[indexFor(key)]; e != nullptr; e = e->next) {
            if (e->key == key) {
                return e->value;
            }
        }
        return nullptr;
    }

    // Returns the previous value of the key, or null when the key was new.
    V* put(K key, V* value) {
        int32_t index = indexFor(key);
        for (PHMEntry<V, K>* e = buckets[index]; e != nullptr; e = e->next) {
            if (e->key == key) {
                return e->setValue(value);
            }
        }
        if (threshold >= 1 && count >= threshold) {
            rehash();
            index = indexFor(key);
        }
        PHMEntry<V, K>* e = new PHMEntry<V, K>;
        e->initialize(key, value, buckets[index]);
        buckets[index] = e;
        count++;
        return nullptr;
    }

    V* remove(K key) {
        PHMEntry<V, K>** link = &buckets[indexFor(key)];
        for (PHMEntry<V, K>* e = *link; e != nullptr; link = &e->next, e = e->next) {
            if (e->key == key) {
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
    V* changeKey(K oldKey, K newKey) {
        V* value = remove(oldKey);
        if (value != nullptr) {
            put(newKey, value);
        }
        return value;
    }

    // Removes all mappings without touching the values; capacity, threshold
    // and the bucket array stay.
    void clear() {
        for (int32_t i = capacity - 1; i >= 0; i--) {
            PHMEntry<V, K>* e = buckets[i];
            while (e != nullptr) {
                PHMEntry<V, K>* next = e->next;
                delete e;
                e = next;
            }
            buckets[i] = nullptr;
        }
        count = 0;
    }

    // Removes all mappings and destroys every non-null value; the map can be
    // filled again afterwards. Values must have been allocated with `new V`;
    // for PointerHashMap<void, K> they must come from ::operator new, and
    // only their memory is released.
    void deleteValues() {
        for (int32_t i = capacity - 1; i >= 0; i--) {
            PHMEntry<V, K>* e = buckets[i];
            while (e != nullptr) {
                PHMEntry<V, K>* next = e->next;
                if (e->value != nullptr) {
                    if constexpr (std::is_void<V>::value) {
                        ::operator delete(e->value);
                    } else {
                        delete e->value;
                    }
                }
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
        PHMEntry<V, K>** newBuckets = new (std::nothrow) PHMEntry<V, K>*[newCapacity]();
        if (newBuckets == nullptr) {
            return;
        }
        for (int32_t i = capacity - 1; i >= 0; i--) {
            PHMEntry<V, K>* e = buckets[i];
            while (e != nullptr) {
                PHMEntry<V, K>* next = e->next;
                uint32_t index = pointerHash(e->key) % (uint32_t)newCapacity;
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
    PHMIterator<V, K>* getPHMIterator() { return new PHMIterator<V, K>(this); }

    int32_t indexFor(K key) const {
        return (int32_t)(pointerHash(key) % (uint32_t)capacity);
    }

private:
    static int32_t chainLength(const PHMEntry<V, K>* e) {
        int32_t len = 0;
        for (; e != nullptr; e = e->next) {
            len++;
        }
        return len;
    }
};

#endif
