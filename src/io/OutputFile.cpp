#include "OutputFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "MessageUtil.h"

namespace {

void refuse(const char* path, const char* what) {
    MessageUtil::message("Did not write the snapshot: %s %s", path, what);
}

// The open file when fd may be written as the snapshot, else closes it.
FILE* checked(int fd, const char* path) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        ::close(fd);
        return nullptr;
    }
    bool stream = S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode);
    if (S_ISREG(st.st_mode)) {
        if (st.st_nlink > 1) {
            ::close(fd);
            refuse(path, "has other hard links; only a file of its own is replaced");
            return nullptr;
        }
        // Only now, with the file known to be ours to replace.
        if (ftruncate(fd, 0) != 0) {
            ::close(fd);
            return nullptr;
        }
        int flags = fcntl(fd, F_GETFL);
        if (flags != -1) {
            fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
        }
    } else if (!stream) {
        ::close(fd);
        refuse(path, "is not a regular file, a FIFO or a character device");
        return nullptr;
    }
    FILE* file = fdopen(fd, "w+b");
    if (file == nullptr) {
        ::close(fd);
        return nullptr;
    }
    if (stream) {
        // The writer buffers already; unbuffered, a write that a full pipe
        // cuts short reports exactly what went out, and nothing is dropped.
        setvbuf(file, nullptr, _IONBF, 0);
    }
    return file;
}

}  // namespace

namespace OutputFile {

FILE* open(const char* path) {
    if (path == nullptr || *path == '\0') {
        return nullptr;
    }
    // Read and write, as the snapshot was always opened: on a FIFO this
    // neither waits for a reader nor raises SIGPIPE when the reader leaves.
    // Non-blocking, so that neither the open nor a write can hold the JVM
    // for good.
    int fd = ::open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        struct stat st;
        if (errno == ELOOP && lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
            refuse(path, "is a symbolic link");
        }
        return nullptr;
    }
    return checked(fd, path);
}

}  // namespace OutputFile
