#include "Crc32.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define TOLVANE_CRC_CLMUL 1
#endif

namespace {

// Slicing-by-8 tables: t[0] is the usual byte-at-a-time table of the
// reflected polynomial; t[k][b] is the register contribution of byte b
// followed by k zero bytes, so eight bytes are folded in with eight
// independent lookups.
struct CrcTables {
    uint32_t t[8][256];
};

constexpr CrcTables makeTables() {
    CrcTables tables{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; bit++) {
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        }
        tables.t[0][i] = c;
    }
    for (int k = 1; k < 8; k++) {
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t prev = tables.t[k - 1][i];
            tables.t[k][i] = (prev >> 8) ^ tables.t[0][prev & 0xFF];
        }
    }
    return tables;
}

constexpr CrcTables kTables = makeTables();
static_assert(kTables.t[0][1] == 0x77073096u, "standard CRC-32 table");

uint32_t bytewise(uint32_t c, const unsigned char* p, size_t n) {
    const uint32_t* table = kTables.t[0];
    while (n-- > 0) {
        c = (c >> 8) ^ table[(c ^ *p++) & 0xFF];
    }
    return c;
}

uint32_t sliced(uint32_t c, const unsigned char* p, size_t n) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    const auto& t = kTables.t;
    while (n >= 8) {
        uint32_t lo;
        uint32_t hi;
        memcpy(&lo, p, 4);
        memcpy(&hi, p + 4, 4);
        lo ^= c;
        c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
            t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
        p += 8;
        n -= 8;
    }
#endif
    return bytewise(c, p, n);
}

#ifdef TOLVANE_CRC_CLMUL

// Carry-less multiplication folding: the data is kept as four 128-bit
// lanes; each step multiplies a lane by x^512 mod P (split in two 64-bit
// constants) and adds the next 64 bytes, which leaves the CRC unchanged.
// The lanes are then folded into one, reduced to 64 bits and finally to the
// 32-bit register with a Barrett reduction. Constants are powers of x modulo
// the reflected polynomial, in the bit-reflected form the instruction needs.
// Handles a multiple of 16 bytes, at least 64; returns the register.
__attribute__((target("pclmul,sse4.1"))) uint32_t folded(uint32_t crc, const unsigned char* p, size_t n) {
    const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596LL, 0x0154442bd4LL);  // x^(512+32), x^(512-32)
    const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009eLL, 0x01751997d0LL);  // x^(128+32), x^(128-32)
    const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124LL);                 // x^64
    const __m128i poly = _mm_set_epi64x(0x01f7011641LL, 0x01db710641LL);  // mu, P
    const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);

    __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i x2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    __m128i x3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
    __m128i x4 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48));
    x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128(static_cast<int>(crc)));
    p += 64;
    n -= 64;

    while (n >= 64) {
        __m128i l1 = _mm_clmulepi64_si128(x1, k1k2, 0x00);
        __m128i l2 = _mm_clmulepi64_si128(x2, k1k2, 0x00);
        __m128i l3 = _mm_clmulepi64_si128(x3, k1k2, 0x00);
        __m128i l4 = _mm_clmulepi64_si128(x4, k1k2, 0x00);
        x1 = _mm_clmulepi64_si128(x1, k1k2, 0x11);
        x2 = _mm_clmulepi64_si128(x2, k1k2, 0x11);
        x3 = _mm_clmulepi64_si128(x3, k1k2, 0x11);
        x4 = _mm_clmulepi64_si128(x4, k1k2, 0x11);
        x1 = _mm_xor_si128(_mm_xor_si128(x1, l1), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        x2 = _mm_xor_si128(_mm_xor_si128(x2, l2), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)));
        x3 = _mm_xor_si128(_mm_xor_si128(x3, l3), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)));
        x4 = _mm_xor_si128(_mm_xor_si128(x4, l4), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)));
        p += 64;
        n -= 64;
    }

    // Four lanes into one, then the remaining 16-byte blocks.
    __m128i lanes[3] = {x2, x3, x4};
    for (const __m128i& next : lanes) {
        __m128i l = _mm_clmulepi64_si128(x1, k3k4, 0x00);
        x1 = _mm_clmulepi64_si128(x1, k3k4, 0x11);
        x1 = _mm_xor_si128(_mm_xor_si128(x1, l), next);
    }
    while (n >= 16) {
        __m128i l = _mm_clmulepi64_si128(x1, k3k4, 0x00);
        x1 = _mm_clmulepi64_si128(x1, k3k4, 0x11);
        x1 = _mm_xor_si128(_mm_xor_si128(x1, l), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        p += 16;
        n -= 16;
    }

    // 128 bits to 64.
    __m128i t = _mm_clmulepi64_si128(x1, k3k4, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), t);
    t = _mm_srli_si128(x1, 4);
    x1 = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), k5, 0x00);
    x1 = _mm_xor_si128(x1, t);

    // Barrett reduction to 32 bits.
    t = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), poly, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), poly, 0x00);
    x1 = _mm_xor_si128(x1, t);
    return static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
}

bool haveClmul() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}

#endif

}  // namespace

void clearCRC32(unsigned int* crc) {
    *crc = 0xFFFFFFFFu;
}

void addCrc32bBytewise(unsigned int* crc, const char* data, int length) {
    if (length <= 0) {
        return;
    }
    *crc = bytewise(*crc, reinterpret_cast<const unsigned char*>(data), static_cast<size_t>(length));
}

void addCrc32bSliced(unsigned int* crc, const char* data, int length) {
    if (length <= 0) {
        return;
    }
    *crc = sliced(*crc, reinterpret_cast<const unsigned char*>(data), static_cast<size_t>(length));
}

void addCrc32b(unsigned int* crc, const char* data, int length) {
    if (length <= 0) {
        return;
    }
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
    size_t n = static_cast<size_t>(length);
    uint32_t c = *crc;
#ifdef TOLVANE_CRC_CLMUL
    static const bool clmul = haveClmul();
    if (clmul && n >= 64) {
        size_t blocks = n & ~static_cast<size_t>(15);
        c = folded(c, p, blocks);
        p += blocks;
        n -= blocks;
    }
#endif
    *crc = sliced(c, p, n);
}

void getCRC32(unsigned int* result, const unsigned int* crc) {
    *result = ~*crc;
}
