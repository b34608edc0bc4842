#include "FileDataWriter.h"

#include <cerrno>
#include <poll.h>

#include "Crc32.h"

int FileDataWriter::stallLimitMillis = 10000;

namespace {

// Whether a short write may go on: the output was full (only a non-blocking
// one says so) and has room again within the stall limit.
bool mayRetry(FILE* file, int error) {
    if (error != EAGAIN && error != EWOULDBLOCK) {
        return false;
    }
    struct pollfd output;
    output.fd = fileno(file);
    output.events = POLLOUT;
    output.revents = 0;
    int ready;
    do {
        ready = poll(&output, 1, FileDataWriter::stallLimitMillis);
    } while (ready < 0 && errno == EINTR);
    return ready > 0 && (output.revents & POLLOUT) != 0;
}

}  // namespace

FileDataWriter::FileDataWriter(JNIEnv* env, FILE* file) : DataWriter(env), crc(0), file(file) {
    resetCRC32();
}

FileDataWriter::~FileDataWriter() = default;

int FileDataWriter::mdSend(const void* data, int length) {
    if (length <= 0) {
        return 0;
    }
    addCrc32b(&crc, static_cast<const char*>(data), length);
    const char* bytes = static_cast<const char*>(data);
    size_t wanted = static_cast<size_t>(length);
    size_t written = 0;
    for (;;) {
        errno = 0;
        written += fwrite(bytes + written, 1, wanted - written, file);
        if (written == wanted) {
            break;
        }
        // Once the output failed or stalled, the rest is not waited for.
        if (error || !mayRetry(file, errno)) {
            error = true;
            break;
        }
        clearerr(file);
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
