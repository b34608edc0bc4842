#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <new>
#include <set>
#include <vector>

#include "PointerHashMap.h"

namespace {

struct Counted {
    static int destroyed;
    int id;
    explicit Counted(int i) : id(i) {}
    ~Counted() { destroyed++; }
};
int Counted::destroyed = 0;

void* ptr(uint64_t k) { return (void*)(uintptr_t)k; }

}  // namespace

TEST(PointerHashMapTest, HashExamples) {
    EXPECT_EQ(0u, pointerHash(ptr(0)));
    EXPECT_EQ(1u, pointerHash(ptr(1)));
    EXPECT_EQ(1u, pointerHash(ptr(4294967296ull)));
    EXPECT_EQ(4385u, pointerHash(ptr(4096)));
    EXPECT_EQ(8770u, pointerHash(ptr(8192)));
    EXPECT_EQ(1302398u, pointerHash(ptr(1234567)));
    EXPECT_EQ(1316003455u, pointerHash(ptr(140000000000000ull)));
    EXPECT_EQ(1316003455u, pointerHash(140000000000000L));

    PointerHashMap<int, void*> small(11, 0.75f);
    EXPECT_EQ(0, small.indexFor(ptr(0)));
    EXPECT_EQ(7, small.indexFor(ptr(4096)));
    EXPECT_EQ(3, small.indexFor(ptr(8192)));
    PointerHashMap<int, long> large(200000, 0.0f);
    EXPECT_EQ(102398, large.indexFor(1234567L));
    EXPECT_EQ(3455, large.indexFor(140000000000000L));
}

TEST(PointerHashMapTest, SameBucketKeysStayDistinct) {
    PointerHashMap<int, long> map(11, 0.75f);
    int a = 1, b = 2;
    const long low = 1, high = 4294967296L;
    ASSERT_EQ(map.indexFor(low), map.indexFor(high));
    EXPECT_EQ(nullptr, map.put(low, &a));
    EXPECT_EQ(nullptr, map.put(high, &b));
    EXPECT_EQ(2, map.size());
    EXPECT_EQ(&a, map.get(low));
    EXPECT_EQ(&b, map.get(high));
    EXPECT_EQ(&b, map.put(high, &a));  // replaced in place
    EXPECT_EQ(2, map.size());

    EXPECT_EQ(nullptr, map.remove(12345L));
    EXPECT_EQ(2, map.size());
    EXPECT_EQ(&a, map.remove(low));
    EXPECT_EQ(&a, map.get(high));
    EXPECT_EQ(nullptr, map.get(low));

    EXPECT_EQ(nullptr, map.changeKey(low, 7L));
    EXPECT_EQ(1, map.size());
    EXPECT_EQ(&a, map.changeKey(high, 7L));
    EXPECT_EQ(&a, map.get(7L));
    EXPECT_EQ(nullptr, map.get(high));
}

TEST(PointerHashMapTest, GrowthAndZeroLoadFactor) {
    PointerHashMap<int, void*> grows(11, 0.75f);
    int v = 0;
    std::vector<int> capacityAfter;
    for (uint64_t i = 1; i <= 36; i++) {
        grows.put(ptr(i * 16), &v);
        capacityAfter.push_back(grows.capacity);
    }
    EXPECT_EQ(11, capacityAfter[7]);
    EXPECT_EQ(23, capacityAfter[8]);
    EXPECT_EQ(47, capacityAfter[17]);
    EXPECT_EQ(95, capacityAfter[35]);
    for (uint64_t i = 1; i <= 36; i++) {
        EXPECT_EQ(&v, grows.get(ptr(i * 16)));
    }

    PointerHashMap<int, void*> fixed(200000, 0.0f);
    EXPECT_EQ(0, fixed.threshold);
    const uint64_t base = 0x7f3a10000000ull;
    for (uint64_t i = 0; i < 1000000; i++) {
        fixed.put(ptr(base + i * 16), &v);
    }
    EXPECT_EQ(200000, fixed.capacity);
    EXPECT_EQ(1000000, fixed.size());
    EXPECT_FLOAT_EQ(5.0f, fixed.getLoadFactor());
    EXPECT_EQ(&v, fixed.get(ptr(base + 999999 * 16)));
    EXPECT_EQ(nullptr, fixed.get(ptr(base + 8)));
}

TEST(PointerHashMapTest, IterationOrderAndStatistics) {
    PointerHashMap<int, long> map(11, 0.75f);
    EXPECT_TRUE(std::isnan(map.getAvgUsedBucketCharge()));
    EXPECT_EQ(0, map.getNumCollisions());
    EXPECT_EQ(0.0f, map.getLoadFactor());

    // Buckets: 0 -> 0; 1 -> 1 and 2^32; 3 -> 8192; 7 -> 4096.
    int v[5] = {0, 1, 2, 3, 4};
    map.put(0L, &v[0]);
    map.put(1L, &v[1]);
    map.put(4294967296L, &v[2]);
    map.put(8192L, &v[3]);
    map.put(4096L, &v[4]);
    PHMIterator<int, long>* it = map.getPHMIterator();
    std::vector<long> order;
    while (PHMEntry<int, long>* e = it->nextPHMEntry()) {
        order.push_back(e->getKey());
    }
    EXPECT_EQ((std::vector<long>{4096L, 8192L, 4294967296L, 1L, 0L}), order);
    EXPECT_FALSE(it->hasNext());
    delete it;

    EXPECT_FLOAT_EQ(1.25f, map.getAvgUsedBucketCharge());
    EXPECT_EQ(2, map.getNumCollisions());
    EXPECT_FLOAT_EQ(5.0f / 11.0f, map.getLoadFactor());
}

TEST(PointerHashMapTest, IteratorRemovalEmptiesSamplerMap) {
    PointerHashMap<Counted, void*> map(11, 0.75f);
    for (int i = 0; i < 50; i++) {
        map.put(ptr(0x10000 + 64 * (uint64_t)i), new Counted(i));
    }
    PHMIterator<Counted, void*>* it = map.getPHMIterator();
    it->remove();  // nothing returned yet
    EXPECT_EQ(nullptr, it->getLastReturned());
    EXPECT_EQ(50, map.size());

    std::set<int> seen;
    while (it->hasNext()) {
        Counted* c = it->next();
        EXPECT_EQ(c, it->getLastReturned());
        EXPECT_TRUE(seen.insert(c->id).second);
        it->remove();
        delete c;
    }
    EXPECT_EQ(50u, seen.size());
    EXPECT_EQ(0, map.size());
    delete it;
}

TEST(PointerHashMapTest, DeleteValues) {
    Counted::destroyed = 0;
    PointerHashMap<Counted, void*> map(11, 0.75f);
    for (int i = 0; i < 20; i++) {
        map.put(ptr(8 * (uint64_t)(i + 1)), i % 2 == 0 ? new Counted(i) : nullptr);
    }
    map.deleteValues();
    EXPECT_EQ(10, Counted::destroyed);
    EXPECT_EQ(0, map.size());
    EXPECT_TRUE(map.isEmpty());
    int capacity = map.capacity;

    // Entries holding null values only: just the entries go; the map stays usable.
    map.put(ptr(8), nullptr);
    map.put(ptr(16), nullptr);
    map.deleteValues();
    EXPECT_EQ(0, map.size());
    EXPECT_EQ(capacity, map.capacity);
    Counted* kept = new Counted(99);
    EXPECT_EQ(nullptr, map.put(ptr(8), kept));
    EXPECT_EQ(kept, map.get(ptr(8)));
    map.clear();  // clear leaves the value alone
    EXPECT_EQ(10, Counted::destroyed);
    delete kept;

    // Untyped values only release their memory.
    PointerHashMap<void, void*> raw(11, 0.75f);
    raw.put(ptr(16), ::operator new(24));
    raw.put(ptr(32), nullptr);
    raw.deleteValues();
    EXPECT_EQ(0, raw.size());
}
