#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "Crc32.h"
#include "FileDataWriter.h"

namespace {

// Independent byte-at-a-time CRC-32, its table derived bit by bit from the
// reflected polynomial.
struct ReferenceCrc {
    uint32_t table[256];

    ReferenceCrc() {
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i;
            for (int k = 0; k < 8; k++) {
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            table[i] = c;
        }
    }

    uint32_t update(uint32_t reg, const unsigned char* p, size_t n) const {
        for (size_t i = 0; i < n; i++) {
            reg = table[(reg ^ p[i]) & 0xFF] ^ (reg >> 8);
        }
        return reg;
    }

    uint32_t of(const void* p, size_t n) const {
        return ~update(0xFFFFFFFFu, static_cast<const unsigned char*>(p), n);
    }
};

unsigned int crcOf(const char* data, int length) {
    unsigned int reg;
    unsigned int result;
    clearCRC32(&reg);
    addCrc32b(&reg, data, length);
    getCRC32(&result, &reg);
    return result;
}

std::vector<unsigned char> readAll(FILE* f) {
    fflush(f);
    rewind(f);
    std::vector<unsigned char> all;
    int c;
    while ((c = fgetc(f)) != EOF) {
        all.push_back(static_cast<unsigned char>(c));
    }
    return all;
}

TEST(Crc32Test, StandardValues) {
    ReferenceCrc ref;
    EXPECT_EQ(0x77073096u, ref.table[1]);
    EXPECT_EQ(0xCBF43926u, crcOf("123456789", 9));
    EXPECT_EQ(0u, crcOf("", 0));

    unsigned int reg;
    clearCRC32(&reg);
    EXPECT_EQ(0xFFFFFFFFu, reg);
    addCrc32b(&reg, "abc", 0);
    addCrc32b(&reg, "abc", -5);
    EXPECT_EQ(0xFFFFFFFFu, reg);

    // Reading does not disturb the register; feeding in pieces equals one go.
    addCrc32b(&reg, "1234", 4);
    unsigned int mid;
    getCRC32(&mid, &reg);
    EXPECT_EQ(ref.of("1234", 4), mid);
    addCrc32b(&reg, "56789", 5);
    unsigned int result;
    getCRC32(&result, &reg);
    EXPECT_EQ(0xCBF43926u, result);
}

TEST(Crc32Test, AllFormulationsMatchReferenceAtAnyLengthAndAlignment) {
    ReferenceCrc ref;
    std::mt19937 rng(12345);
    std::vector<unsigned char> data(4096 + 16);
    for (unsigned char& b : data) {
        b = static_cast<unsigned char>(rng());
    }
    for (size_t offset = 0; offset < 16; offset++) {
        for (size_t length = 0; length <= 300; length++) {
            const char* p = reinterpret_cast<const char*>(data.data() + offset);
            ASSERT_EQ(ref.of(p, length), crcOf(p, static_cast<int>(length)))
                << "offset " << offset << " length " << length;
            uint32_t expected = ref.update(0x12345678u, data.data() + offset, length);
            unsigned int reg = 0x12345678u;
            addCrc32bBytewise(&reg, p, static_cast<int>(length));
            ASSERT_EQ(expected, reg);
            reg = 0x12345678u;
            addCrc32bSliced(&reg, p, static_cast<int>(length));
            ASSERT_EQ(expected, reg);
        }
        const char* p = reinterpret_cast<const char*>(data.data() + offset);
        ASSERT_EQ(ref.of(p, 4096), crcOf(p, 4096)) << "offset " << offset;
    }
    // Arbitrary starting registers (continuation of an earlier chunk).
    for (int i = 0; i < 200; i++) {
        unsigned int start = static_cast<unsigned int>(rng());
        size_t offset = rng() % 16;
        size_t length = rng() % 4096;
        unsigned int reg = start;
        addCrc32b(&reg, reinterpret_cast<const char*>(data.data() + offset), static_cast<int>(length));
        ASSERT_EQ(ref.update(start, data.data() + offset, length), reg);
    }
}

class FileDataWriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        file = tmpfile();
        ASSERT_NE(nullptr, file);
    }
    void TearDown() override {
        if (file != nullptr) {
            fclose(file);
        }
    }
    FILE* file = nullptr;
};

TEST_F(FileDataWriterTest, WritesEncodedBytesToTheStream) {
    FileDataWriter w(nullptr, file);
    w.writeU4(static_cast<int>(0xCAFED00D));
    w.writeString("ab");
    w.writeID(reinterpret_cast<void*>(0x0807060504030201UL));
    w.flush();
    EXPECT_FALSE(w.getError());
    std::vector<unsigned char> expected = {0xCA, 0xFE, 0xD0, 0x0D, 0, 2, 'a', 'b', 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(expected, readAll(file));
}

TEST_F(FileDataWriterTest, CrcCoversExactlyTheBytesWrittenBetweenResetAndRead) {
    FileDataWriter w(nullptr, file);
    EXPECT_EQ(0u, w.getCRC32());  // nothing written since construction

    w.writeString("prefix");  // buffered, must not enter the next CRC
    w.resetCRC32();
    EXPECT_EQ(0u, w.getCRC32());
    for (char c = '1'; c <= '9'; c++) {
        w.writeByte(static_cast<unsigned char>(c));
    }
    // Still buffered when read: getCRC32 must flush them in.
    EXPECT_EQ(9, w.bufferFill);
    EXPECT_EQ(0xCBF43926u, w.getCRC32());
    EXPECT_EQ(0xCBF43926u, w.getCRC32());  // reading does not reset

    // A section spanning many buffer flushes and a direct write.
    ReferenceCrc ref;
    std::vector<unsigned char> section;
    w.resetCRC32();
    std::mt19937 rng(7);
    for (int i = 0; i < 5000; i++) {
        uint32_t v = rng();
        w.writeU4(static_cast<int>(v));
        unsigned char be[4] = {static_cast<unsigned char>(v >> 24), static_cast<unsigned char>(v >> 16),
                               static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
        section.insert(section.end(), be, be + 4);
    }
    std::vector<unsigned char> big(30000, 0xC3);
    w.writeBuffered(big.data(), static_cast<int>(big.size()));
    section.insert(section.end(), big.begin(), big.end());
    EXPECT_EQ(ref.of(section.data(), section.size()), w.getCRC32());
    EXPECT_FALSE(w.getError());
}

TEST_F(FileDataWriterTest, PositionAndSeekFlushFirst) {
    FileDataWriter w(nullptr, file);
    for (int i = 0; i < 5; i++) {
        w.writeByte(static_cast<unsigned char>('a' + i));
    }
    EXPECT_EQ(5, w.getPos());
    EXPECT_EQ(0, w.bufferFill);

    // Placeholder, then rewrite it after seeking back, as a directory is.
    long placeholder = w.getPos();
    w.writeU4(0);
    w.writeString("tail");
    long end = w.getPos();
    EXPECT_EQ(0, w.seek(placeholder, SEEK_SET));
    w.writeU4(0x01020304);
    EXPECT_EQ(0, w.seek(0, SEEK_END));
    EXPECT_EQ(end, w.getPos());
    w.writeByte('!');
    w.flush();

    std::vector<unsigned char> expected = {'a', 'b', 'c', 'd', 'e', 1, 2, 3, 4, 0, 4, 't', 'a', 'i', 'l', '!'};
    EXPECT_EQ(expected, readAll(file));
    EXPECT_NE(0, w.seek(-100, SEEK_SET));  // failure returned unchanged
}

TEST_F(FileDataWriterTest, DestructionWritesNothingAndLeavesStreamOpen) {
    {
        FileDataWriter w(nullptr, file);
        w.writeU4(42);
    }
    fflush(file);
    EXPECT_EQ(0, ftell(file));
    // The stream is still usable by its owner.
    EXPECT_EQ('x', fputc('x', file));
    EXPECT_EQ(std::vector<unsigned char>{'x'}, readAll(file));
}

TEST(FileDataWriterErrorTest, ShortWriteSetsStickyErrorAndWritingGoesOn) {
    FILE* full = fopen("/dev/full", "w");
    if (full == nullptr) {
        GTEST_SKIP() << "/dev/full not available";
    }
    setvbuf(full, nullptr, _IONBF, 0);
    {
        FileDataWriter w(nullptr, full);
        w.writeString("data");
        EXPECT_FALSE(w.getError());  // only buffered so far
        w.flush();
        EXPECT_TRUE(w.getError());

        // The CRC still counts the bytes that failed to go out.
        w.resetCRC32();
        w.writeString("123456789", 9);
        unsigned int crc = w.getCRC32();
        EXPECT_EQ(crcOf("\0\x09" "123456789", 11), crc);
        EXPECT_EQ(0, w.mdSend("x", 1));

        // A later successful write does not clear the flag.
        FILE* good = tmpfile();
        ASSERT_NE(nullptr, good);
        w.file = good;
        w.writeU4(7);
        w.flush();
        EXPECT_EQ(4, ftell(good));
        EXPECT_TRUE(w.getError());
        fclose(good);
    }
    fclose(full);
}

}  // namespace
