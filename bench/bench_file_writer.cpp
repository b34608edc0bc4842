// Throughput of the snapshot encoder: FileDataWriter (with its CRC-32)
// writing a 256 MiB stream of snapshot-like records to a file, against plain
// fwrite of the very same bytes in 16 KiB chunks, plus the raw throughput of
// the two CRC-32 routines.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "Crc32.h"
#include "DataWriter.h"
#include "FileDataWriter.h"

namespace {

const size_t kStreamBytes = 256u << 20;

// Collects everything in memory, to learn the exact bytes of the records.
class MemoryWriter : public DataWriter {
public:
    MemoryWriter() : DataWriter(nullptr) {}
    int mdSend(const void* data, int length) override {
        const unsigned char* p = static_cast<const unsigned char*>(data);
        bytes.insert(bytes.end(), p, p + length);
        return length;
    }
    std::vector<unsigned char> bytes;
};

// Emits a fixed, pseudo-random sequence of records resembling the snapshot:
// call-tree nodes (kind, method ID, line, time, count) and now and then a
// pair of names or signatures. Generated on the fly so that the benchmark
// does not spend its time reading a record list from memory.
const size_t kGroups = 147000;  // about 4 MiB of encoded bytes

void emitPool(DataWriter& w, const std::vector<std::string>& names) {
    uint64_t seed = 0x9E3779B97F4A7C15ULL;
    for (size_t g = 0; g < kGroups; g++) {
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        uint64_t r = seed;
        w.writeByte(static_cast<unsigned char>(r & 0x3F));
        w.writeID(reinterpret_cast<void*>(0x7F0000000000ULL + (r & 0xFFFFF0)));
        w.writeU2(static_cast<short>(r >> 20));
        w.writeJLong(static_cast<long>(r >> 8));
        w.writeU4(static_cast<int>(r >> 40));
        if ((r & 7) == 0) {
            w.writeString(names[(r >> 3) % names.size()].c_str());
            w.writeString(names[(r >> 11) % names.size()].c_str());
        }
    }
}

double seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double mbps(size_t bytes, double secs) {
    return static_cast<double>(bytes) / (1024.0 * 1024.0) / secs;
}

FILE* openTemp(std::string* path) {
    char name[] = "/tmp/bench_file_writer_XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) {
        return nullptr;
    }
    *path = name;
    return fdopen(fd, "w");
}

}  // namespace

int main() {
    std::vector<std::string> names;
    const char* stems[] = {"java/lang/String", "com/example/service/OrderController", "run", "(Ljava/lang/Object;)V",
                           "main", "java/util/concurrent/ThreadPoolExecutor$Worker", "<init>", "pool-1-thread-3"};
    for (int i = 0; i < 64; i++) {
        names.push_back(std::string(stems[i % 8]) + (i < 8 ? "" : std::to_string(i)));
    }
    MemoryWriter encoded;
    emitPool(encoded, names);
    encoded.flush();
    const size_t poolSize = encoded.bytes.size();
    const size_t repeats = (kStreamBytes + poolSize - 1) / poolSize;
    const size_t total = repeats * poolSize;

    // Plain fwrite of the same bytes, 16 KiB at a time.
    std::string path;
    FILE* f = openTemp(&path);
    if (f == nullptr) {
        perror("temp file");
        return 1;
    }
    auto start = std::chrono::steady_clock::now();
    const size_t chunk = 16384;
    size_t pending = 0;
    for (size_t i = 0; i < repeats; i++) {
        // Chunks run across repeats exactly as a stream would.
        size_t pos = 0;
        while (pos < poolSize) {
            size_t n = std::min(chunk - pending, poolSize - pos);
            fwrite(encoded.bytes.data() + pos, 1, n, f);
            pos += n;
            pending = (pending + n) % chunk;
        }
    }
    fflush(f);
    double plainSecs = seconds(start);
    long plainSize = ftell(f);
    fclose(f);
    unlink(path.c_str());

    // The encoder writing the records, CRC included.
    f = openTemp(&path);
    if (f == nullptr) {
        perror("temp file");
        return 1;
    }
    start = std::chrono::steady_clock::now();
    unsigned int crc;
    long writerSize;
    bool error;
    {
        FileDataWriter w(nullptr, f);
        for (size_t i = 0; i < repeats; i++) {
            emitPool(w, names);
        }
        crc = w.getCRC32();
        writerSize = w.getPos();
        error = w.getError();
    }
    fflush(f);
    double writerSecs = seconds(start);
    fclose(f);
    unlink(path.c_str());

    // Raw CRC routines over the same amount of data, from memory.
    const char* pool = reinterpret_cast<const char*>(encoded.bytes.data());
    typedef void (*CrcRoutine)(unsigned int*, const char*, int);
    CrcRoutine routines[3] = {addCrc32bBytewise, addCrc32bSliced, addCrc32b};
    double crcSecs[3];
    unsigned int crcs[3];
    for (int r = 0; r < 3; r++) {
        unsigned int reg;
        clearCRC32(&reg);
        start = std::chrono::steady_clock::now();
        for (size_t i = 0; i < repeats; i++) {
            routines[r](&reg, pool, static_cast<int>(poolSize));
        }
        crcSecs[r] = seconds(start);
        getCRC32(&crcs[r], &reg);
    }

    printf("stream: %zu bytes (%zu record groups x %zu repeats)\n", total, kGroups, repeats);
    printf("plain fwrite, 16 KiB chunks:   %8.1f MB/s\n", mbps(total, plainSecs));
    printf("FileDataWriter with CRC-32:    %8.1f MB/s\n", mbps(total, writerSecs));
    printf("ratio writer / fwrite:         %8.2f (target >= 0.50)\n", plainSecs / writerSecs);
    printf("CRC-32 byte at a time:         %8.1f MB/s\n", mbps(total, crcSecs[0]));
    printf("CRC-32 slicing-by-8:           %8.1f MB/s (%.1fx)\n", mbps(total, crcSecs[1]), crcSecs[0] / crcSecs[1]);
    printf("CRC-32 addCrc32b (in use):     %8.1f MB/s (%.1fx)\n", mbps(total, crcSecs[2]), crcSecs[0] / crcSecs[2]);
    bool consistent = !error && writerSize == static_cast<long>(total) && plainSize == writerSize &&
                      crc == crcs[0] && crcs[1] == crcs[0] && crcs[2] == crcs[0];
    printf("sizes and CRCs consistent:     %s\n", consistent ? "yes" : "NO");
    return consistent ? 0 : 1;
}
