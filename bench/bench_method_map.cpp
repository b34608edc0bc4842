// Lookup cost of the method-identifier map: a PointerHashMap with 200000
// buckets and load factor 0 (it never grows), holding 100000 and 1000000
// keys laid out like JVM method identifiers. Prints ns per get for hits and
// misses, next to std::unordered_map over the same keys as a baseline.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <unordered_map>
#include <vector>

#include "PointerHashMap.h"

namespace {

struct BenchMethod {
    int id;
};

const int kBuckets = 200000;
const int kLookups = 2000000;
const int kRounds = 3;

// Method identifiers are slots in blocks of 8-byte pointers allocated from
// the C heap: runs of consecutive 8-byte addresses, the blocks scattered
// across a heap-like range.
std::vector<void*> methodIdKeys(size_t n, std::mt19937_64& rng) {
    std::vector<void*> keys;
    keys.reserve(n);
    const size_t kBlock = 512;
    uint64_t blockBase = 0x7f3a40000000ull;
    while (keys.size() < n) {
        blockBase += (kBlock * 8) + 16 * (rng() % 4096);
        for (size_t i = 0; i < kBlock && keys.size() < n; i++) {
            keys.push_back((void*)(uintptr_t)(blockBase + 8 * i));
        }
    }
    return keys;
}

// Scattered 16-byte aligned addresses, as separately allocated records.
std::vector<void*> scatteredKeys(size_t n, std::mt19937_64& rng) {
    std::vector<void*> keys;
    keys.reserve(n);
    for (size_t i = 0; i < n; i++) {
        uint64_t offset = (rng() % (1ull << 34)) & ~0xFull;
        keys.push_back((void*)(uintptr_t)(0x7f0000000000ull + offset));
    }
    return keys;
}

// Keys for the misses: the stored keys moved by 4 bytes, never a stored key
// since all stored keys are 8-byte aligned, but landing in the same region.
std::vector<void*> missKeys(const std::vector<void*>& keys) {
    std::vector<void*> misses;
    misses.reserve(keys.size());
    for (void* k : keys) {
        misses.push_back((void*)((uintptr_t)k + 4));
    }
    return misses;
}

std::vector<void*> lookupOrder(const std::vector<void*>& keys, std::mt19937_64& rng) {
    std::vector<void*> order(kLookups);
    for (int i = 0; i < kLookups; i++) {
        order[i] = keys[rng() % keys.size()];
    }
    return order;
}

template <class Lookup>
double bestNsPerGet(const std::vector<void*>& order, Lookup lookup, uintptr_t& sink) {
    double best = 1e30;
    for (int round = 0; round < kRounds; round++) {
        auto start = std::chrono::steady_clock::now();
        uintptr_t acc = 0;
        for (void* k : order) {
            acc += (uintptr_t)lookup(k);
        }
        auto end = std::chrono::steady_clock::now();
        sink += acc;
        double ns = std::chrono::duration<double, std::nano>(end - start).count() / order.size();
        if (ns < best) {
            best = ns;
        }
    }
    return best;
}

void run(const char* layout, const std::vector<void*>& keys, std::mt19937_64& rng, uintptr_t& sink) {
    std::vector<BenchMethod> methods(keys.size());
    PointerHashMap<BenchMethod, void*> map(kBuckets, 0.0f);
    std::unordered_map<void*, BenchMethod*> baseline;
    baseline.reserve(keys.size());
    for (size_t i = 0; i < keys.size(); i++) {
        methods[i].id = (int)i;
        map.put(keys[i], &methods[i]);
        baseline[keys[i]] = &methods[i];
    }
    std::vector<void*> hits = lookupOrder(keys, rng);
    std::vector<void*> misses = lookupOrder(missKeys(keys), rng);

    auto mapGet = [&map](void* k) { return map.get(k); };
    auto baseGet = [&baseline](void* k) -> BenchMethod* {
        auto it = baseline.find(k);
        return it != baseline.end() ? it->second : nullptr;
    };
    double hitNs = bestNsPerGet(hits, mapGet, sink);
    double missNs = bestNsPerGet(misses, mapGet, sink);
    double baseHitNs = bestNsPerGet(hits, baseGet, sink);
    double baseMissNs = bestNsPerGet(misses, baseGet, sink);

    std::printf("%-10s %8zu keys  capacity %d  mean chain %.2f  | get hit %6.1f ns  miss %6.1f ns"
                "  | unordered_map hit %6.1f ns  miss %6.1f ns\n",
                layout, keys.size(), map.capacity, map.getAvgUsedBucketCharge(), hitNs, missNs,
                baseHitNs, baseMissNs);
}

}  // namespace

int main() {
    std::mt19937_64 rng(20240611);
    uintptr_t sink = 0;
    std::printf("method map: %d buckets, load factor 0, %d random lookups, best of %d rounds\n",
                kBuckets, kLookups, kRounds);
    for (size_t n : {(size_t)100000, (size_t)1000000}) {
        run("method-id", methodIdKeys(n, rng), rng, sink);
        run("scattered", scatteredKeys(n, rng), rng, sink);
    }
    std::printf("(checksum %llu)\n", (unsigned long long)(sink & 0xffff));
    return 0;
}
