#include "FileDataWriter.h"

#include "Crc32.h"

FileDataWriter::FileDataWriter(JNIEnv* env, FILE* file) : DataWriter(env), crc(0), file(file) {
    resetCRC32();
}

FileDataWriter::~FileDataWriter() = default;

int FileDataWriter::mdSend(const void* data, int length) {
    if (length <= 0) {
        return 0;
    }
    addCrc32b(&crc, static_cast<const char*>(data), length);
    size_t written = fwrite(data, 1, static_cast<size_t>(length), file);
    if (written != static_cast<size_t>(length)) {
        error = true;
    }
    return static_cast<int>(written);
}

void FileDataWriter::resetCRC32() {
    // Bytes still buffered belong to the section that ends here.
    flush();
    clearCRC32(&crc);
}

unsigned int FileDataWriter::getCRC32() {
    flush();
    unsigned int result;
    ::getCRC32(&result, &crc);
    return result;
}

long FileDataWriter::getPos() {
    flush();
    return ftell(file);
}

int FileDataWriter::seek(long offset, int whence) {
    flush();
    return fseek(file, offset, whence);
}
