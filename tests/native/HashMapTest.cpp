#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "HashMap.h"
#include "String.h"

namespace {

// A key whose hash code the test chooses, so bucket placement is exact.
struct TestKey {
    int h;
    int id;
    int hashCode() { return h; }
    bool equals(const TestKey* other) { return other->id == id; }
};

String makeString(const char* chars, int length) {
    String s;
    s.chars = chars;
    s.length = length;
    s.hash = 0;
    return s;
}

int value(int* v) { return v != nullptr ? *v : -1; }

}  // namespace

TEST(StringTest, HashCodesAndBuckets) {
    String abc = makeString("abc", 3);
    EXPECT_EQ(96354, abc.hashCode());
    EXPECT_EQ(96354, abc.hash);  // cached

    // A byte above 0x7F counts as negative, and the bucket comes from the
    // unsigned hash, not its absolute value.
    const char e9[] = {(char)0xE9, 0};
    String s = makeString(e9, 1);
    EXPECT_EQ(-23, s.hashCode());

    HashMap<String, int> map(11, 0.75f);
    EXPECT_EQ(5, map.indexFor(&abc));
    EXPECT_EQ(3, map.indexFor(&s));

    // Only `length` characters take part.
    String prefix = makeString("abcdef", 3);
    EXPECT_EQ(96354, prefix.hashCode());
    String empty = makeString("", 0);
    EXPECT_EQ(0, empty.hashCode());
}

TEST(StringTest, EqualityAndType) {
    String a = makeString("ab\0xy", 5);
    String b = makeString("ab\0zz", 5);
    String c = makeString("ac\0xy", 5);
    String shorter = makeString("ab\0xy", 4);
    EXPECT_TRUE(a.equals(&b));  // strncmp stops at the NUL present in both
    EXPECT_FALSE(a.equals(&c));
    EXPECT_FALSE(a.equals(&shorter));
    EXPECT_FALSE(a.equals(nullptr));

    EXPECT_STREQ("String", String::CLASS_NAME);
    EXPECT_STREQ("String", a.tiClassName());
    EXPECT_TRUE(a.instanceOf("String"));
    EXPECT_FALSE(a.instanceOf("Object"));
    Object o;
    EXPECT_TRUE(o.instanceOf("Object"));
    EXPECT_FALSE(o.equals(&o));
}

TEST(EqStrTest, SlashIsDotAndLengths) {
    const char* slashed = "java/lang/Object";
    const char* dotted = "java.lang.Object";
    EXPECT_TRUE(eq_nt_str(slashed, dotted, 16, true));
    EXPECT_FALSE(eq_nt_str(slashed, dotted, 16, false));
    EXPECT_FALSE(eq_nt_str(slashed, dotted, 15, true));
    EXPECT_TRUE(eq_nt_str(dotted, slashed, 16, true));
    EXPECT_TRUE(eq_nt_str(dotted, "java.lang.ObjectXYZ", 16, false));
    EXPECT_FALSE(eq_nt_str("java/lang/Objecz", dotted, 16, true));
    EXPECT_FALSE(eq_nt_str(nullptr, dotted, 16, true));

    EXPECT_TRUE(eq_2nt_str("a/b", "a.b", 3, 3, true));
    EXPECT_FALSE(eq_2nt_str("a/b", "a.b", 3, 2, true));
    EXPECT_FALSE(eq_2nt_str("a/b", nullptr, 3, 3, true));
    EXPECT_FALSE(eq_2nt_str("a", "a", -1, -1, false));
}

TEST(HashMapTest, ConstructionAndThresholds) {
    HashMap<TestKey, int> zero(0, 0.75f);
    EXPECT_EQ(1, zero.capacity);
    EXPECT_EQ(0, zero.threshold);
    HashMap<TestKey, int> negative(-5, 0.75f);
    EXPECT_EQ(1, negative.capacity);
    HashMap<TestKey, int> truncated(10, 0.75f);  // 7.5
    EXPECT_EQ(7, truncated.threshold);
    HashMap<TestKey, int> huge(11, 1e30f);
    EXPECT_EQ(INT32_MAX, huge.threshold);

    // A single never-growing bucket holds everything.
    std::vector<TestKey> keys;
    for (int i = 0; i < 20; i++) {
        keys.push_back(TestKey{i * 7, i});
    }
    int v = 1;
    for (auto& k : keys) {
        zero.put(&k, &v);
    }
    EXPECT_EQ(1, zero.capacity);
    EXPECT_EQ(20, zero.size());
    EXPECT_EQ(20, zero.getNumCollisions());
}

TEST(HashMapTest, GrowthPoints) {
    HashMap<TestKey, int> map(11, 0.75f);
    std::vector<TestKey> keys;
    std::vector<int> values(40);
    for (int i = 0; i < 40; i++) {
        keys.push_back(TestKey{i * 1000003, i});
        values[i] = i;
    }
    std::vector<int> capacityAfter, thresholdAfter;
    for (int i = 0; i < 40; i++) {
        EXPECT_EQ(nullptr, map.put(&keys[i], &values[i]));
        capacityAfter.push_back(map.capacity);
        thresholdAfter.push_back(map.threshold);
    }
    EXPECT_EQ(8, thresholdAfter[7]);
    EXPECT_EQ(17, thresholdAfter[8]);
    EXPECT_EQ(35, thresholdAfter[17]);
    EXPECT_EQ(11, capacityAfter[7]);   // 8 keys fit
    EXPECT_EQ(23, capacityAfter[8]);   // the 9th grows
    EXPECT_EQ(23, capacityAfter[16]);
    EXPECT_EQ(47, capacityAfter[17]);  // the 18th
    EXPECT_EQ(47, capacityAfter[34]);
    EXPECT_EQ(95, capacityAfter[35]);  // the 36th
    EXPECT_EQ(71, map.threshold);
    EXPECT_EQ(40, map.size());
    for (int i = 0; i < 40; i++) {
        EXPECT_EQ(i, value(map.get(&keys[i])));
    }

    HashMap<TestKey, int> fixed(3, 0.0f);
    for (int i = 0; i < 40; i++) {
        fixed.put(&keys[i], &values[i]);
    }
    EXPECT_EQ(3, fixed.capacity);
    EXPECT_EQ(40, fixed.size());
}

TEST(HashMapTest, PutReplaceRemoveChangeKey) {
    HashMap<String, int> map(11, 0.75f);
    int one = 1, two = 2, three = 3;
    String first = makeString("Ljava/lang/String;", 18);
    String second = makeString("Ljava/lang/String;", 18);
    EXPECT_EQ(nullptr, map.put(&first, &one));
    EXPECT_EQ(&one, map.put(&second, &two));
    EXPECT_EQ(1, map.size());
    HMIterator<String, int>* it = map.getHMIterator();
    EXPECT_EQ(&first, it->nextHMEntry()->getKey());  // first key object kept
    delete it;
    EXPECT_EQ(&two, map.get(&second));

    String missing = makeString("LMissing;", 9);
    String target = makeString("LTarget;", 8);
    EXPECT_EQ(nullptr, map.remove(&missing));
    EXPECT_EQ(nullptr, map.changeKey(&missing, &target));
    EXPECT_EQ(1, map.size());
    EXPECT_EQ(nullptr, map.get(&target));

    EXPECT_EQ(&two, map.changeKey(&first, &target));
    EXPECT_EQ(nullptr, map.get(&first));
    EXPECT_EQ(&two, map.get(&target));

    // A key mapped to null loses its entry on changeKey; nothing is inserted.
    EXPECT_EQ(nullptr, map.put(&first, nullptr));
    EXPECT_EQ(nullptr, map.changeKey(&first, &missing));
    EXPECT_EQ(1, map.size());
    EXPECT_EQ(nullptr, map.get(&missing));

    map.clear();
    EXPECT_TRUE(map.isEmpty());
    EXPECT_EQ(11, map.capacity);
    EXPECT_EQ(8, map.threshold);
    EXPECT_EQ(nullptr, map.put(&first, &three));
    EXPECT_EQ(&three, map.get(&first));
}

TEST(HashMapTest, RemoveFromMiddleOfChain) {
    HashMap<TestKey, int> map(11, 0.75f);
    TestKey a{4, 1}, b{15, 2}, c{26, 3};  // all in bucket 4
    int va = 1, vb = 2, vc = 3;
    map.put(&a, &va);
    map.put(&b, &vb);
    map.put(&c, &vc);
    EXPECT_EQ(&vb, map.remove(&b));
    EXPECT_EQ(2, map.size());
    EXPECT_EQ(&va, map.get(&a));
    EXPECT_EQ(&vc, map.get(&c));
    EXPECT_EQ(nullptr, map.get(&b));
}

TEST(HashMapTest, IterationOrderAndGrowthRelinking) {
    HashMap<TestKey, int> map(11, 0.75f);
    TestKey k2{2, 0}, k5a{5, 1}, k5b{16, 2}, k9{9, 3};
    int v[4] = {0, 1, 2, 3};
    map.put(&k2, &v[0]);
    map.put(&k5a, &v[1]);
    map.put(&k5b, &v[2]);
    map.put(&k9, &v[3]);
    HMIterator<TestKey, int>* it = map.getHMIterator();
    std::vector<int> order;
    while (it->hasNext()) {
        order.push_back(*it->next());
    }
    // Highest bucket first; within bucket 5 the newest entry first.
    EXPECT_EQ((std::vector<int>{3, 2, 1, 0}), order);
    EXPECT_EQ(nullptr, it->next());
    delete it;

    // Two keys sharing a bucket before and after growth (hashes 0 and
    // 11 x 23) swap places: growth moves each entry to the head in turn.
    HashMap<TestKey, int> grow(11, 0.75f);
    TestKey a{0, 100}, b{253, 101};
    std::vector<TestKey> filler;
    for (int i = 0; i < 8; i++) {
        filler.push_back(TestKey{1 + i, i});
    }
    grow.put(&a, &v[0]);
    grow.put(&b, &v[1]);
    EXPECT_EQ(&b, grow.buckets[0]->key);
    for (auto& k : filler) {
        grow.put(&k, &v[2]);
    }
    ASSERT_EQ(23, grow.capacity);
    EXPECT_EQ(&a, grow.buckets[0]->key);
    EXPECT_EQ(&b, grow.buckets[0]->next->key);
}

TEST(HashMapTest, IteratorRemoval) {
    HashMap<TestKey, int> map(5, 0.0f);
    std::vector<TestKey> keys;
    std::vector<int> values(30);
    for (int i = 0; i < 30; i++) {
        keys.push_back(TestKey{i % 7, i});
        values[i] = i;
    }
    for (int i = 0; i < 30; i++) {
        map.put(&keys[i], &values[i]);
    }

    HMIterator<TestKey, int>* it = map.getHMIterator();
    // Nothing returned yet: remove is a no-op and there is no last value.
    EXPECT_EQ(nullptr, it->getLastReturned());
    it->remove();
    EXPECT_EQ(30, map.size());

    std::vector<bool> seen(30, false);
    int visited = 0;
    while (it->hasNext()) {
        int* v = it->next();
        EXPECT_EQ(v, it->getLastReturned());
        EXPECT_FALSE(seen[*v]);
        seen[*v] = true;
        visited++;
        it->remove();
        EXPECT_EQ(nullptr, it->getLastReturned());
        it->remove();  // a second remove changes nothing
    }
    EXPECT_EQ(30, visited);
    EXPECT_EQ(0, map.size());
    it->reset();
    EXPECT_FALSE(it->hasNext());
    delete it;
}

TEST(HashMapTest, Statistics) {
    HashMap<TestKey, int> map(11, 0.75f);
    EXPECT_TRUE(std::isnan(map.getAvgUsedBucketCharge()));
    EXPECT_EQ(0, map.getNumCollisions());
    EXPECT_EQ(0.0f, map.getLoadFactor());
    HMIterator<TestKey, int>* it = map.getHMIterator();
    EXPECT_FALSE(it->hasNext());
    EXPECT_EQ(nullptr, it->next());
    delete it;

    // Buckets 1 (three entries), 4 (one), 7 (two).
    TestKey keys[] = {{1, 0}, {12, 1}, {23, 2}, {4, 3}, {7, 4}, {18, 5}};
    int v = 0;
    for (auto& k : keys) {
        map.put(&k, &v);
    }
    EXPECT_FLOAT_EQ(2.0f, map.getAvgUsedBucketCharge());
    EXPECT_EQ(5, map.getNumCollisions());
    EXPECT_FLOAT_EQ(6.0f / 11.0f, map.getLoadFactor());
}
