#ifndef TOLVANE_POINTERHASHMAP_H
#define TOLVANE_POINTERHASHMAP_H

#include <cstdint>
#include <new>
#include <type_traits>

#include "ChainedHashMap.h"

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

namespace hashmap_detail {

// Keys are raw values (void* or long): hashed by pointerHash(), compared by
// value, never dereferenced.
template <class K>
struct RawKeyPolicy {
    static uint32_t hash(K key) { return pointerHash(key); }
    static bool matches(K key, K stored) { return stored == key; }
};

}  // namespace hashmap_detail

template <class V, class K> class PointerHashMap;

// One mapping of a PointerHashMap. The key is the raw value itself.
template <class V, class K>
class PHMEntry : public ChainedHashMapEntry<PHMEntry<V, K>, K, V> {};

// Cursor over a PointerHashMap, highest bucket first, newest entry of a
// bucket first; remove() drops the entry last handed out.
template <class V, class K>
class PHMIterator : public ChainedHashMapIterator<PointerHashMap<V, K>, PHMEntry<V, K>, V> {
public:
    explicit PHMIterator(PointerHashMap<V, K>* m)
        : ChainedHashMapIterator<PointerHashMap<V, K>, PHMEntry<V, K>, V>(m) {}

    PHMEntry<V, K>* nextPHMEntry() { return this->advance(); }
};

// Chained hash map from raw keys (void* or long, compared by value) to value
// pointers, with the structure, growth rule, statistics and iteration of
// HashMap.
//
// The map owns its bucket array and entries. Values are destroyed only by
// deleteValues(); no other operation, the destructor included, frees one.
//
// No locking: every use must be serialised by the caller.
template <class V, class K>
class PointerHashMap
    : public ChainedHashMap<PHMEntry<V, K>, K, V, hashmap_detail::RawKeyPolicy<K>> {
public:
    // A capacity of 0 or below gives one bucket.
    PointerHashMap(int initialCapacity, float loadFactor)
        : ChainedHashMap<PHMEntry<V, K>, K, V, hashmap_detail::RawKeyPolicy<K>>(
              initialCapacity, loadFactor) {}

    // Removes all mappings and destroys every non-null value; the map can be
    // filled again afterwards. Values must have been allocated with `new V`;
    // for PointerHashMap<void, K> they must come from ::operator new, and
    // only their memory is released.
    void deleteValues() {
        this->clearEntries([](V* value) {
            if (value != nullptr) {
                if constexpr (std::is_void<V>::value) {
                    ::operator delete(value);
                } else {
                    delete value;
                }
            }
        });
    }

    // Allocated on the heap; the caller deletes it.
    PHMIterator<V, K>* getPHMIterator() { return new PHMIterator<V, K>(this); }
};

#endif
