#ifndef TOLVANE_FILEDATAWRITER_H
#define TOLVANE_FILEDATAWRITER_H

#include <cstdio>

#include "DataWriter.h"

// DataWriter onto an open C stream that keeps a running CRC-32 of every byte
// sent. The stream belongs to the caller: the writer neither flushes nor
// closes it on destruction. resetCRC32, getCRC32, getPos and seek flush
// first, so a CRC or a position always covers exactly the bytes written
// through the write operations so far.
//
// A stream in non-blocking mode (a pipe whose reader is slower than the
// writer) is waited for whenever it is full, as long as it takes some bytes
// within stallLimitMillis; such a stream must be unbuffered, so that a short
// write counts exactly the bytes that went out (OutputFile opens it so).
class FileDataWriter : public DataWriter {
public:
    // Longest wait for a full output to take any byte before the write fails.
    static int stallLimitMillis;

    FileDataWriter(JNIEnv* env, FILE* file);
    ~FileDataWriter() override;

    // Adds the bytes to the CRC (even if the write then fails) and writes
    // them, waiting for a full output within the stall limit; a write that
    // fails or stalls longer sets the sticky error flag, and from then on a
    // full output is not waited for.
    int mdSend(const void* data, int length) override;

    void resetCRC32();
    // The finished CRC of all bytes since the last reset; does not reset.
    unsigned int getCRC32();
    long getPos();
    int seek(long offset, int whence);

    // Running CRC register, pre-inverted (0xFFFFFFFF after a reset).
    unsigned int crc;
    FILE* file;
};

#endif
