#ifndef TOLVANE_TESTS_MEMORYDATAWRITER_H
#define TOLVANE_TESTS_MEMORYDATAWRITER_H

#include <cstdint>
#include <cstring>
#include <vector>

#include "DataWriter.h"

typedef std::vector<unsigned char> Bytes;

// A DataWriter that collects its output in memory.
class MemoryDataWriter : public DataWriter {
public:
    MemoryDataWriter() : DataWriter(nullptr) {}

    int mdSend(const void* data, int length) override {
        const unsigned char* p = static_cast<const unsigned char*>(data);
        out.insert(out.end(), p, p + length);
        return length;
    }

    Bytes bytes() {
        flush();
        return out;
    }

private:
    Bytes out;
};

// Builds expected snapshot bytes in the encodings of the file format.
class ExpectedBytes {
public:
    ExpectedBytes& u1(int v) { b.push_back(static_cast<unsigned char>(v)); return *this; }
    ExpectedBytes& u2(int v) { return u1(v >> 8).u1(v); }
    ExpectedBytes& u4(uint32_t v) { return u1(v >> 24).u1(v >> 16).u1(v >> 8).u1(v); }
    ExpectedBytes& jlong_(int64_t v) {
        uint64_t u = static_cast<uint64_t>(v);
        for (int shift = 56; shift >= 0; shift -= 8) {
            u1(static_cast<int>((u >> shift) & 0xFF));
        }
        return *this;
    }
    // Identities are written in host byte order.
    ExpectedBytes& id(const void* p) {
        unsigned char raw[sizeof p];
        std::memcpy(raw, &p, sizeof p);
        b.insert(b.end(), raw, raw + sizeof p);
        return *this;
    }
    ExpectedBytes& str(const char* s) {
        size_t n = s == nullptr ? 0 : std::strlen(s);
        u2(static_cast<int>(n));
        if (n > 0) {
            b.insert(b.end(), s, s + n);
        }
        return *this;
    }
    Bytes get() const { return b; }

private:
    Bytes b;
};

#endif
