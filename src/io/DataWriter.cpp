#include "DataWriter.h"

#include <cstdint>
#include <cstring>

#include "FatalAssert.h"

DataWriter::DataWriter(JNIEnv* env)
    : bufferFill(0), writePacketSize(false), env(env), error(false),
      buffer(new unsigned char[BUFFER_SIZE]) {}

DataWriter::~DataWriter() {
    delete[] buffer;
}

void DataWriter::writeID(void* id, int length) {
    if (length == 8 && sizeof(void*) == 8) {
        writeID(id);
        return;
    }
    if (length != 4 || sizeof(void*) != 8) {
        fatalAssert("length == 4 && sizeof(void*) == 8", "shared/DataWriter", "writeID", env);
    }
    uint64_t v = reinterpret_cast<uintptr_t>(id);
    uint32_t half = static_cast<uint32_t>(v);
    if (half == 0) {
        half = static_cast<uint32_t>(v >> 32);
    }
    writeBuffered(&half, sizeof(half));
}

void DataWriter::writeString(const char* text, int length) {
    // A length outside 0 .. 65535 cannot be represented in the U2 prefix;
    // writing it anyway would put more bytes behind the prefix than it
    // announces. Larger lengths follow the modulo-65536 rule of the
    // one-argument form, negative ones count as empty.
    if (text == nullptr || length <= 0) {
        writeU2(0);
        return;
    }
    length &= 0xFFFF;
    writeU2(static_cast<short>(length));
    writeBuffered(text, length);
}

void DataWriter::writeString(const char* text) {
    if (text == nullptr) {
        writeU2(0);
        return;
    }
    writeString(text, static_cast<int>(strlen(text) & 0xFFFF));
}

void DataWriter::writeBuffered(const void* data, int length) {
    if (length <= 0) {
        return;
    }
    if (length > BUFFER_SIZE - bufferFill) {
        flush();
        if (length > BUFFER_SIZE) {
            sendPacket(data, length);
            return;
        }
    }
    memcpy(buffer + bufferFill, data, static_cast<size_t>(length));
    bufferFill += length;
}

void DataWriter::flush() {
    if (bufferFill > 0) {
        sendPacket(buffer, bufferFill);
        bufferFill = 0;
    }
}

int DataWriter::sendPacket(const void* data, int length) {
    if (writePacketSize) {
        unsigned char marker = 0x01;
        mdSend(&marker, 1);
        uint32_t v = static_cast<uint32_t>(length);
        unsigned char size[4] = {static_cast<unsigned char>(v >> 24), static_cast<unsigned char>(v >> 16),
                                 static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
        mdSend(size, 4);
    }
    return mdSend(data, length);
}

void DataWriter::setWritePacketSize(bool on) {
    flush();
    if (writePacketSize && !on) {
        unsigned char end = 0x00;
        mdSend(&end, 1);
    }
    writePacketSize = on;
}
