#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "DataWriter.h"

namespace {

typedef std::vector<unsigned char> Bytes;

// Records every mdSend call as its own chunk, so tests see both the bytes
// and where the writer split them.
class RecordingWriter : public DataWriter {
public:
    RecordingWriter() : DataWriter(nullptr) {}

    int mdSend(const void* data, int length) override {
        const unsigned char* p = static_cast<const unsigned char*>(data);
        sends.emplace_back(p, p + length);
        return length;
    }

    // All bytes delivered so far, after flushing the buffer.
    Bytes flushed() {
        flush();
        Bytes all;
        for (const Bytes& s : sends) {
            all.insert(all.end(), s.begin(), s.end());
        }
        return all;
    }

    std::vector<Bytes> sends;
};

Bytes bytes(std::initializer_list<int> values) {
    Bytes b;
    for (int v : values) {
        b.push_back(static_cast<unsigned char>(v));
    }
    return b;
}

TEST(DataWriterTest, NumbersAreBigEndian) {
    RecordingWriter w;
    w.writeByte(0xAB);
    w.writeU2(0x1234);
    w.writeU2(static_cast<short>(0xFFFE));
    w.writeU4(static_cast<int>(0xCAFED00D));
    w.writeJLong(1);
    w.writeJLong(static_cast<long>(0x0102030405060708L));
    w.writeJLong(-2);
    EXPECT_EQ(bytes({0xAB, 0x12, 0x34, 0xFF, 0xFE, 0xCA, 0xFE, 0xD0, 0x0D,
                     0, 0, 0, 0, 0, 0, 0, 1,
                     1, 2, 3, 4, 5, 6, 7, 8,
                     0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}),
              w.flushed());
}

TEST(DataWriterTest, IdentifiersKeepHostByteOrder) {
    RecordingWriter w;
    w.writeID(reinterpret_cast<void*>(0x0011223344556677UL));
    w.writeID(nullptr);
    w.writeID64(0x0102030405060708L);
    w.writeID(reinterpret_cast<void*>(0x1111111122334455UL), 8);
    // 4-byte form: the low half, or the high half when the low one is zero.
    w.writeID(reinterpret_cast<void*>(0x9999999912345678UL), 4);
    w.writeID(reinterpret_cast<void*>(0x8765432100000000UL), 4);
    EXPECT_EQ(bytes({0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x00,
                     0, 0, 0, 0, 0, 0, 0, 0,
                     8, 7, 6, 5, 4, 3, 2, 1,
                     0x55, 0x44, 0x33, 0x22, 0x11, 0x11, 0x11, 0x11,
                     0x78, 0x56, 0x34, 0x12,
                     0x21, 0x43, 0x65, 0x87}),
              w.flushed());
}

TEST(DataWriterTest, BadIdentifierLengthIsFatal) {
    EXPECT_DEATH(
        {
            RecordingWriter w;
            w.writeID(&w, 2);
        },
        "length == 4 && sizeof");
}

TEST(DataWriterTest, StringsCarryU2LengthAndNoTerminator) {
    RecordingWriter w;
    w.writeString(nullptr);
    w.writeString("");
    w.writeString("abc");
    w.writeString(nullptr, 5);
    w.writeString("hello", 2);
    w.writeString("xyz", 0);
    EXPECT_EQ(bytes({0, 0, 0, 0, 0, 3, 'a', 'b', 'c', 0, 0, 0, 2, 'h', 'e', 0, 0}), w.flushed());
}

TEST(DataWriterTest, StringLengthIsTakenModulo65536) {
    std::string text(65537, 'q');
    text[0] = 'F';
    RecordingWriter w;
    w.writeString(text.substr(0, 65536).c_str());
    w.writeString(text.c_str());
    EXPECT_EQ(bytes({0, 0, 0, 1, 'F'}), w.flushed());
}

TEST(DataWriterTest, OutOfRangeExplicitLengthNeverOverrunsItsPrefix) {
    // The prefix must announce exactly the bytes that follow it.
    std::string text(70000, 'z');
    RecordingWriter w;
    w.writeString(text.c_str(), 65536 + 3);
    w.writeString("abc", -1);
    EXPECT_EQ(bytes({0, 3, 'z', 'z', 'z', 0, 0}), w.flushed());
}

TEST(DataWriterTest, FlushesOnlyWhenTheNextWriteDoesNotFit) {
    RecordingWriter w;
    std::vector<unsigned char> block(16380, 0x5A);
    w.writeBuffered(block.data(), static_cast<int>(block.size()));
    EXPECT_TRUE(w.sends.empty());
    EXPECT_EQ(16380, w.bufferFill);

    // The high half still fits; the low half forces the flush.
    w.writeJLong(0x0102030405060708L);
    ASSERT_EQ(1u, w.sends.size());
    ASSERT_EQ(16384u, w.sends[0].size());
    EXPECT_EQ(bytes({0x5A, 1, 2, 3, 4}), Bytes(w.sends[0].end() - 5, w.sends[0].end()));
    EXPECT_EQ(4, w.bufferFill);
    EXPECT_EQ(bytes({5, 6, 7, 8}), Bytes(w.buffer, w.buffer + 4));
}

TEST(DataWriterTest, FullBufferSizedWriteIsBuffered) {
    RecordingWriter w;
    std::vector<unsigned char> block(DataWriter::BUFFER_SIZE, 1);
    w.writeBuffered(block.data(), DataWriter::BUFFER_SIZE);
    EXPECT_TRUE(w.sends.empty());
    EXPECT_EQ(DataWriter::BUFFER_SIZE, w.bufferFill);
    w.writeByte(2);
    ASSERT_EQ(1u, w.sends.size());
    EXPECT_EQ(static_cast<size_t>(DataWriter::BUFFER_SIZE), w.sends[0].size());
    EXPECT_EQ(1, w.bufferFill);
}

TEST(DataWriterTest, OversizedWriteGoesOutDirectlyAfterTheBuffer) {
    RecordingWriter w;
    std::vector<unsigned char> head(10, 0x11);
    std::vector<unsigned char> big(20000);
    for (size_t i = 0; i < big.size(); i++) {
        big[i] = static_cast<unsigned char>(i * 7);
    }
    w.writeBuffered(head.data(), 10);
    w.writeBuffered(big.data(), 20000);
    ASSERT_EQ(2u, w.sends.size());
    EXPECT_EQ(head, w.sends[0]);
    EXPECT_EQ(big, w.sends[1]);
    EXPECT_EQ(0, w.bufferFill);
}

TEST(DataWriterTest, EmptyFlushesAndEmptyWritesSendNothing) {
    RecordingWriter w;
    w.flush();
    w.setWritePacketSize(true);
    w.flush();
    w.writeBuffered("x", 0);
    w.writeBuffered("x", -3);
    EXPECT_TRUE(w.sends.empty());
    EXPECT_EQ(0, w.bufferFill);
}

TEST(DataWriterTest, PacketModeFramesEveryChunk) {
    RecordingWriter w;
    w.writeU2(0x0102);
    w.setWritePacketSize(true);  // flushes the pending bytes unframed
    ASSERT_EQ(1u, w.sends.size());
    EXPECT_EQ(bytes({1, 2}), w.sends[0]);

    w.writeU4(0x0A0B0C0D);
    w.flush();
    std::vector<unsigned char> big(20000, 0x33);
    w.writeBuffered(big.data(), 20000);
    w.writeByte(0x44);
    w.setWritePacketSize(false);

    std::vector<Bytes> expected = {
        bytes({1, 2}),
        bytes({0x01}), bytes({0, 0, 0, 4}), bytes({0x0A, 0x0B, 0x0C, 0x0D}),
        bytes({0x01}), bytes({0, 0, 0x4E, 0x20}), big,
        bytes({0x01}), bytes({0, 0, 0, 1}), bytes({0x44}),
        bytes({0x00}),
    };
    EXPECT_EQ(expected, w.sends);
    EXPECT_FALSE(w.writePacketSize);

    // Switching off again sends only what is pending, no end marker.
    w.writeByte(9);
    w.setWritePacketSize(false);
    ASSERT_EQ(expected.size() + 1, w.sends.size());
    EXPECT_EQ(bytes({9}), w.sends.back());
}

}  // namespace
