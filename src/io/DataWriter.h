#ifndef TOLVANE_DATAWRITER_H
#define TOLVANE_DATAWRITER_H

#include <jni.h>

#include <cstdint>
#include <cstring>

// Buffered encoder under the snapshot file. Numbers are written big-endian,
// identifiers in the host's byte order, strings as a big-endian U2 length
// followed by the bytes without a terminator. Bytes collect in a fixed
// buffer and reach the output (mdSend) in chunks of at most BUFFER_SIZE
// bytes; only a single write larger than the buffer goes out directly.
//
// Used by one thread at a time; no locking.
class DataWriter {
public:
    static constexpr int BUFFER_SIZE = 16384;

    explicit DataWriter(JNIEnv* env);
    // Frees the buffer without flushing: the owner flushes first.
    virtual ~DataWriter();

    DataWriter(const DataWriter&) = delete;
    DataWriter& operator=(const DataWriter&) = delete;

    // Delivers length bytes to the output; returns the number delivered.
    // An implementation sets error when the output takes fewer bytes.
    virtual int mdSend(const void* data, int length) = 0;

    void writeByte(unsigned char value);
    void writeU2(short value);
    void writeU4(int value);
    void writeJLong(long value);
    void writeID(void* id);
    void writeID64(long id);
    // length 8: as writeID(void*); length 4: the low 32 bits of the pointer,
    // or its high 32 bits when the low ones are zero. Other lengths are fatal.
    void writeID(void* id, int length);
    // Null text: a U2 of 0. Otherwise a U2 of length (0 .. 65535), then the bytes.
    void writeString(const char* text, int length);
    // Null text: a U2 of 0. Otherwise the text up to its NUL, its length
    // taken modulo 65536 (readers of existing files rely on that layout).
    void writeString(const char* text);

    void writeBuffered(const void* data, int length);
    void flush();
    int sendPacket(const void* data, int length);
    void setWritePacketSize(bool on);
    bool getError() const { return error; }

    int bufferFill;
    bool writePacketSize;
    JNIEnv* env;
    // Sticky: set by mdSend on a failed output, never cleared.
    bool error;
    unsigned char* buffer;

private:
    static void putU4(unsigned char* at, uint32_t v) {
        at[0] = static_cast<unsigned char>(v >> 24);
        at[1] = static_cast<unsigned char>(v >> 16);
        at[2] = static_cast<unsigned char>(v >> 8);
        at[3] = static_cast<unsigned char>(v);
    }
};

// The small encodings store straight into the buffer when the value fits and
// take the general path otherwise, so they flush at exactly the same points
// as writeBuffered would. They are inline because a snapshot is mostly
// millions of such values.

inline void DataWriter::writeByte(unsigned char value) {
    if (bufferFill < BUFFER_SIZE) {
        buffer[bufferFill++] = value;
    } else {
        writeBuffered(&value, 1);
    }
}

inline void DataWriter::writeU2(short value) {
    unsigned short v = static_cast<unsigned short>(value);
    unsigned char bytes[2] = {static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
    if (bufferFill + 2 <= BUFFER_SIZE) {
        memcpy(buffer + bufferFill, bytes, 2);
        bufferFill += 2;
    } else {
        writeBuffered(bytes, 2);
    }
}

inline void DataWriter::writeU4(int value) {
    if (bufferFill + 4 <= BUFFER_SIZE) {
        putU4(buffer + bufferFill, static_cast<uint32_t>(value));
        bufferFill += 4;
    } else {
        unsigned char bytes[4];
        putU4(bytes, static_cast<uint32_t>(value));
        writeBuffered(bytes, 4);
    }
}

inline void DataWriter::writeJLong(long value) {
    // Two separate 4-byte writes when it does not fit: a flush may then fall
    // between the high and the low half.
    uint64_t v = static_cast<uint64_t>(value);
    if (bufferFill + 8 <= BUFFER_SIZE) {
        putU4(buffer + bufferFill, static_cast<uint32_t>(v >> 32));
        putU4(buffer + bufferFill + 4, static_cast<uint32_t>(v));
        bufferFill += 8;
    } else {
        writeU4(static_cast<int>(static_cast<uint32_t>(v >> 32)));
        writeU4(static_cast<int>(static_cast<uint32_t>(v)));
    }
}

inline void DataWriter::writeID(void* id) {
    // Identifiers are opaque keys: the pointer's own bytes, not swapped.
    if (bufferFill + static_cast<int>(sizeof(id)) <= BUFFER_SIZE) {
        memcpy(buffer + bufferFill, &id, sizeof(id));
        bufferFill += static_cast<int>(sizeof(id));
    } else {
        writeBuffered(&id, sizeof(id));
    }
}

inline void DataWriter::writeID64(long id) {
    if (bufferFill + static_cast<int>(sizeof(id)) <= BUFFER_SIZE) {
        memcpy(buffer + bufferFill, &id, sizeof(id));
        bufferFill += static_cast<int>(sizeof(id));
    } else {
        writeBuffered(&id, sizeof(id));
    }
}

#endif
