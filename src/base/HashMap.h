#ifndef TOLVANE_HASHMAP_H
#define TOLVANE_HASHMAP_H

#include <cstdint>

#include "ChainedHashMap.h"
#include "String.h"  // String keys and eq_nt_str / eq_2nt_str

namespace hashmap_detail {

// Keys are objects: hashed by their hashCode(), and always compared by
// calling equals on the key passed in, with the stored key as argument.
template <class K>
struct ObjectKeyPolicy {
    static uint32_t hash(K* key) { return (uint32_t)key->hashCode(); }
    static bool matches(K* key, K* stored) { return key->equals(stored); }
};

}  // namespace hashmap_detail

template <class K, class V> class HashMap;

// One mapping of a HashMap. Owns neither its key nor its value.
template <class K, class V>
class HMEntry : public ChainedHashMapEntry<HMEntry<K, V>, K*, V> {};

// Cursor over a HashMap, highest bucket first, newest entry of a bucket
// first; remove() drops the entry last handed out.
template <class K, class V>
class HMIterator : public ChainedHashMapIterator<HashMap<K, V>, HMEntry<K, V>, V> {
public:
    explicit HMIterator(HashMap<K, V>* m)
        : ChainedHashMapIterator<HashMap<K, V>, HMEntry<K, V>, V>(m) {}

    HMEntry<K, V>* nextHMEntry() { return this->advance(); }
};

// Chained hash map from key objects to value pointers.
//
// K must offer `int hashCode()` and an `equals` accepting a pointer to
// another key. The map owns its bucket array and its entries, never the
// keys or values.
//
// No locking: every use must be serialised by the caller.
template <class K, class V>
class HashMap
    : public ChainedHashMap<HMEntry<K, V>, K*, V, hashmap_detail::ObjectKeyPolicy<K>> {
public:
    // A capacity of 0 or below gives one bucket.
    HashMap(int initialCapacity, float loadFactor)
        : ChainedHashMap<HMEntry<K, V>, K*, V, hashmap_detail::ObjectKeyPolicy<K>>(
              initialCapacity, loadFactor) {}

    // Allocated on the heap; the caller deletes it.
    HMIterator<K, V>* getHMIterator() { return new HMIterator<K, V>(this); }
};

#endif
