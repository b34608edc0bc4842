// The snapshot file as ProfilingSession::write lays it out: header, section
// directory, sections with their markers, lengths and CRCs, and the two
// failure messages.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "CallTree.h"
#include "ClassProfilingSession.h"
#include "Counter.h"
#include "CpuProfilingSession.h"
#include "FileDataWriter.h"
#include "GlobalsScope.h"
#include "MemoryDataWriter.h"
#include "ProfilingSession.h"
#include "Sampler.h"
#include "StderrCapture.h"
#include "ThreadDesc.h"
#include "ThreadManager.h"

namespace {

uint32_t referenceCrc(const unsigned char* p, size_t n) {
    uint32_t reg = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++) {
        reg ^= p[i];
        for (int k = 0; k < 8; k++) {
            reg = (reg & 1) ? 0xEDB88320u ^ (reg >> 1) : reg >> 1;
        }
    }
    return ~reg;
}

Bytes readFile(const std::string& path) {
    Bytes all;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return all;
    }
    int c;
    while ((c = std::fgetc(f)) != EOF) {
        all.push_back(static_cast<unsigned char>(c));
    }
    std::fclose(f);
    return all;
}

uint64_t be(const Bytes& b, size_t at, int width) {
    uint64_t v = 0;
    for (int i = 0; i < width; i++) {
        v = (v << 8) | b.at(at + i);
    }
    return v;
}

Bytes slice(const Bytes& b, size_t from, size_t length) {
    return Bytes(b.begin() + from, b.begin() + from + length);
}

char* ownedCopy(const char* s) {
    char* copy = new char[std::strlen(s) + 1];
    std::strcpy(copy, s);
    return copy;
}

struct DirectoryEntry {
    int64_t length;
    int64_t position;
    uint32_t crc;
};

DirectoryEntry entry(const Bytes& file, size_t directory, int index) {
    size_t at = directory + 20 * index;
    return {static_cast<int64_t>(be(file, at, 8)), static_cast<int64_t>(be(file, at + 8, 8)),
            static_cast<uint32_t>(be(file, at + 16, 4))};
}

class SnapshotFileTest : public ::testing::Test {
protected:
    GlobalsScope globals;
    ProfilingSession* session = nullptr;
    std::string dir;

    void SetUp() override {
        // No JVMTI environment: the thread monitor is a no-op.
        g_profilingInterface = nullptr;
        g_recordStartTime = 5000000;
        session = new ProfilingSession();
        session->classProfilingSession = new ClassProfilingSession(nullptr);
        session->cpuProfilingSession = new CpuProfilingSession();
        char pattern[] = "/tmp/tolvane-snapshot-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir = pattern;
    }

    void TearDown() override {
        delete session->classProfilingSession;
        session->classProfilingSession = nullptr;
        delete session->cpuProfilingSession;
        session->cpuProfilingSession = nullptr;
        delete session;
        for (const std::string& file : created) {
            std::remove(file.c_str());
        }
        rmdir(dir.c_str());
    }

    std::string path(const char* name) {
        std::string p = dir + "/" + name;
        created.push_back(p);
        return p;
    }

    // A thread whose tree is far larger than a pipe's buffer.
    void addDeepThread() {
        ThreadManager* manager = new ThreadManager(nullptr, nullptr);
        manager->setThreadDesc(new ThreadDesc(manager, "deep", "main", 1));
        CallTree* node = manager->rootNode;
        for (int i = 0; i < 20000; i++) {
            node = node->addChild(nullptr, static_cast<unsigned short>(i));
        }
        session->cpuProfilingSession->addThreadManager(manager);
    }

    void setStrings(const char* vmName, const char* javaVersion) {
        session->vmName = vmName == nullptr ? nullptr : ownedCopy(vmName);
        session->javaVersion = javaVersion == nullptr ? nullptr : ownedCopy(javaVersion);
    }

    // Checks everything behind the header at `directory`: markers, the seven
    // entries, gap-free sections, CRCs and the end of the file. Returns the
    // two section bodies.
    void checkSections(const Bytes& file, size_t directory, Bytes* classBody, Bytes* threadBody,
                       Bytes* nodeLimitBody = nullptr, Bytes* cpuBody = nullptr) {
        int64_t expectedPosition = static_cast<int64_t>(directory) + 140;
        for (int i = 0; i < 7; i++) {
            SCOPED_TRACE("section " + std::to_string(i));
            DirectoryEntry e = entry(file, directory, i);
            EXPECT_EQ(expectedPosition, e.position);
            ASSERT_LE(static_cast<size_t>(e.position + 4 + e.length), file.size());
            EXPECT_EQ(0xCAFED00Du, be(file, e.position, 4));
            Bytes body = slice(file, e.position + 4, e.length);
            if (i < 2 || (i == 3 && nodeLimitBody != nullptr) || (i == 2 && cpuBody != nullptr)) {
                EXPECT_GT(e.length, 0);
                EXPECT_EQ(referenceCrc(body.data(), body.size()), e.crc);
                if (i == 3) {
                    *nodeLimitBody = body;
                }
                if (i == 2) {
                    *cpuBody = body;
                }
            } else {
                EXPECT_EQ(0, e.length);
                EXPECT_EQ(0u, e.crc);
            }
            if (i == 0 && classBody != nullptr) {
                *classBody = body;
            }
            if (i == 1 && threadBody != nullptr) {
                *threadBody = body;
            }
            expectedPosition = e.position + 4 + e.length;
        }
        // Nothing follows the last marker.
        EXPECT_EQ(static_cast<size_t>(expectedPosition), file.size());
    }

private:
    std::vector<std::string> created;
};

TEST_F(SnapshotFileTest, HeaderWithoutStringsAndAFreshRegistryWithNoThreads) {
    setStrings(nullptr, nullptr);
    std::string file = path("fresh.snapshot");
    StderrCapture console;
    ASSERT_TRUE(session->write(file.c_str(), nullptr));
    EXPECT_EQ("", console.text());

    Bytes bytes = readFile(file);
    ASSERT_GE(bytes.size(), 32u + 140u);
    Bytes start = ExpectedBytes().u4(0xCAFED00D).u4(10001).u2(0).u2(0).jlong_(5000000).get();
    EXPECT_EQ(start, slice(bytes, 0, start.size()));
    EXPECT_EQ(8u, be(bytes, 28, 4));

    Bytes classBody;
    Bytes threadBody;
    checkSections(bytes, 32, &classBody, &threadBody);
    EXPECT_EQ(172, entry(bytes, 32, 0).position);

    ClassData* unknownClass = ClassProfilingHelper::unknownClassData;
    Bytes expectedClasses = ExpectedBytes()
        .u1(1).id(unknownClass).str("com.tolvane.agent.Unknown").u4(0)
        .u1(1).id(ClassProfilingHelper::interceptionClassData).str("_druvax_annotation_class").u4(50)
        .u1(0)
        .u1(1).id(ClassProfilingHelper::unknownMethodDesc).id(unknownClass).str("unknown").str("()V").u4(0)
        .u1(0)
        .u4(0).u1(0)
        .get();
    EXPECT_EQ(expectedClasses, classBody);
    EXPECT_EQ(Bytes{0}, threadBody);
}

TEST_F(SnapshotFileTest, HeaderStringsMoveTheDirectoryAndTheSections) {
    setStrings("abc", "17.0x");
    std::string file = path("strings.snapshot");
    ASSERT_TRUE(session->write(file.c_str(), nullptr));

    Bytes bytes = readFile(file);
    Bytes start = ExpectedBytes().u4(0xCAFED00D).u4(10001).str("abc").str("17.0x").jlong_(5000000).get();
    ASSERT_GE(bytes.size(), 40u + 140u);
    EXPECT_EQ(start, slice(bytes, 0, start.size()));
    EXPECT_EQ(8u, be(bytes, 36, 4));
    checkSections(bytes, 40, nullptr, nullptr);
    EXPECT_EQ(180, entry(bytes, 40, 0).position);
    EXPECT_EQ(0xCAFED00Du, be(bytes, 180, 4));
    // The write time is taken while writing, after the recording start.
    EXPECT_GE(static_cast<int64_t>(be(bytes, 20, 8)), 0);
}

TEST_F(SnapshotFileTest, ThreadSectionListsOnlyManagersWithADescriptor) {
    setStrings("vm", "1");
    CpuProfilingSession* threads = session->cpuProfilingSession;
    ThreadManager* withoutDesc = new ThreadManager(nullptr, nullptr);
    ThreadManager* described = new ThreadManager(nullptr, nullptr);
    described->setThreadDesc(new ThreadDesc(described, "worker", "main", 1));
    described->ignored = true;
    threads->addThreadManager(withoutDesc);
    threads->addThreadManager(described);

    std::string file = path("threads.snapshot");
    ASSERT_TRUE(session->write(file.c_str(), nullptr));
    Bytes bytes = readFile(file);
    Bytes threadBody;
    checkSections(bytes, 32 + 2 + 1, nullptr, &threadBody);

    MemoryDataWriter record;
    described->write(&record, g_recordStartTime);
    Bytes expected{1};
    Bytes recordBytes = record.bytes();
    expected.insert(expected.end(), recordBytes.begin(), recordBytes.end());
    expected.push_back(0);
    EXPECT_EQ(expected, threadBody);
    // The record ends with the ignored byte.
    EXPECT_EQ(1, recordBytes.back());
}

TEST_F(SnapshotFileTest, TreesThatReachedTheNodeLimitAddTheirFoldedTimeInSectionThree) {
    setStrings("vm", "1");
    ClassData cls{"test.Limit", 0, nullptr};
    MethodDesc a{&cls, "a", 1, "()V", 3, nullptr};
    MethodDesc b{&cls, "b", 1, "()V", 3, nullptr};
    ThreadManager* folded = new ThreadManager(nullptr, nullptr);
    folded->setThreadDesc(new ThreadDesc(folded, "deep", "main", 1));
    ThreadManager* plain = new ThreadManager(nullptr, nullptr);
    plain->setThreadDesc(new ThreadDesc(plain, "flat", "main", 1));
    session->cpuProfilingSession->addThreadManager(folded);
    session->cpuProfilingSession->addThreadManager(plain);

    ThreadManager::nodeLimit = 1;
    ThreadManager::startRecording();
    folded->methodEntry(nullptr, &a, 0);
    folded->methodEntry(nullptr, &b, 7);  // past the limit: folded onto a
    folded->sampleTime(4000, 1000, false);
    plain->methodEntry(nullptr, &a, 0);  // folded at its root: counted, not booked
    plain->sampleTime(0, 1000, false);

    std::string file = path("limit.snapshot");
    ASSERT_TRUE(session->write(file.c_str(), nullptr));
    Bytes bytes = readFile(file);
    Bytes nodeLimitBody;
    checkSections(bytes, 32 + 2 + 1, nullptr, nullptr, &nodeLimitBody);
    EXPECT_EQ(ExpectedBytes().jlong_(1).jlong_(1).jlong_(4000).u4(1).id(folded).jlong_(4000).get(), nodeLimitBody);

    // The next recording starts under the limit again: no section.
    ThreadManager::startRecording();
    ASSERT_TRUE(session->write(file.c_str(), nullptr));
    checkSections(readFile(file), 32 + 2 + 1, nullptr, nullptr);
}

TEST_F(SnapshotFileTest, CpuTimesFillSectionTwoOnlyWhenRecordedAndAvailable) {
    setStrings("vm", "1");
    ClassData cls{"test.Cpu", 0, nullptr};
    MethodDesc a{&cls, "a", 1, "()V", 3, nullptr};
    ThreadManager* undescribed = new ThreadManager(nullptr, nullptr);
    ThreadManager* busy = new ThreadManager(nullptr, nullptr);
    busy->setThreadDesc(new ThreadDesc(busy, "busy", "main", 1));
    ThreadManager* unread = new ThreadManager(nullptr, nullptr);
    unread->setThreadDesc(new ThreadDesc(unread, "unread", "main", 1));
    session->cpuProfilingSession->addThreadManager(undescribed);
    session->cpuProfilingSession->addThreadManager(busy);
    session->cpuProfilingSession->addThreadManager(unread);
    busy->methodEntry(nullptr, &a, 0);
    busy->sampleCpuTime(1234);

    std::string file = path("cpu.snapshot");
    // Not asked for, or asked for where the JVM gives no CPU times: the
    // section stays empty and the file is the one written without the option.
    for (bool record : {false, true}) {
        g_recordCpuTime = record;
        g_threadCpuTimeAvailable = !record;
        ASSERT_TRUE(session->write(file.c_str(), nullptr));
        checkSections(readFile(file), 32 + 2 + 1, nullptr, nullptr);
    }
    g_recordCpuTime = true;
    g_threadCpuTimeAvailable = true;
    ASSERT_TRUE(session->write(file.c_str(), nullptr));
    Bytes threadBody;
    Bytes cpuBody;
    checkSections(readFile(file), 32 + 2 + 1, nullptr, &threadBody, nullptr, &cpuBody);
    // Threads in the order of their records, the manager without a descriptor left out.
    ExpectedBytes e;
    e.u4(2);
    e.id(busy).jlong_(1234).u4(2).jlong_(1234).jlong_(1234);
    e.id(unread).jlong_(-1).u4(1).jlong_(0);
    EXPECT_EQ(e.get(), cpuBody);
}

TEST_F(SnapshotFileTest, LostSamplesFillSectionFiveOnlyWhenSomeWereLost) {
    setStrings("vm", "1");
    std::string plain = path("plain.snapshot");
    ASSERT_TRUE(session->write(plain.c_str(), nullptr));
    Bytes without = readFile(plain);

    // Sampled asynchronously and nothing lost: the file is the one written
    // without asynchronous sampling, but for the write time in the header.
    session->lostSamples.samples = 1200;
    session->lostSamples.causes = {{"GC active", 0}, {"buffer full", 0}};
    std::string file = path("lost.snapshot");
    ASSERT_TRUE(session->write(file.c_str(), nullptr));
    Bytes nothingLost = readFile(file);
    ASSERT_EQ(without.size(), nothingLost.size());
    size_t writeTime = 32 + 2 + 1 - 12;
    EXPECT_EQ(slice(without, 0, writeTime), slice(nothingLost, 0, writeTime));
    EXPECT_EQ(slice(without, writeTime + 8, without.size() - writeTime - 8),
              slice(nothingLost, writeTime + 8, nothingLost.size() - writeTime - 8));

    // Lost: the samples taken, then each cause with a count, in their order.
    session->lostSamples.causes = {{"GC active", 7}, {"at a safepoint", 0}, {"buffer full", 2}};
    ASSERT_TRUE(session->write(file.c_str(), nullptr));
    Bytes bytes = readFile(file);
    size_t directory = 32 + 2 + 1;
    DirectoryEntry lost = entry(bytes, directory, 5);
    ASSERT_GT(lost.length, 0);
    Bytes body = slice(bytes, lost.position + 4, lost.length);
    EXPECT_EQ(referenceCrc(body.data(), body.size()), lost.crc);
    ExpectedBytes e;
    e.jlong_(1200).u4(2).str("GC active").jlong_(7).str("buffer full").jlong_(2);
    EXPECT_EQ(e.get(), body);
    DirectoryEntry last = entry(bytes, directory, 6);
    EXPECT_EQ(lost.position + 4 + lost.length, last.position);
    EXPECT_EQ(0, last.length);
    EXPECT_EQ(static_cast<size_t>(last.position + 4), bytes.size());
}

TEST_F(SnapshotFileTest, AnExistingFileIsTruncated) {
    std::string file = path("existing.snapshot");
    FILE* f = std::fopen(file.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    std::vector<char> junk(100000, 'x');
    std::fwrite(junk.data(), 1, junk.size(), f);
    std::fclose(f);

    ASSERT_TRUE(session->write(file.c_str(), nullptr));
    Bytes bytes = readFile(file);
    ASSERT_LT(bytes.size(), junk.size());
    checkSections(bytes, 32, nullptr, nullptr);
}

TEST_F(SnapshotFileTest, AMissingDirectoryOrNoPathGivesNoFileAndNoMessage) {
    std::string file = dir + "/no/such/dir/x.snapshot";
    StderrCapture console;
    EXPECT_FALSE(session->write(file.c_str(), nullptr));
    EXPECT_FALSE(session->write(nullptr, nullptr));
    EXPECT_FALSE(session->write("", nullptr));
    EXPECT_EQ("", console.text());
    struct stat st;
    EXPECT_NE(0, stat(file.c_str(), &st));
}

TEST_F(SnapshotFileTest, AnOutputThatCannotSeekKeepsNoDirectory) {
    std::string fifo = path("pipe");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    // A read end held open here keeps what the writer put into the pipe.
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    StderrCapture console;
    EXPECT_FALSE(session->write(fifo.c_str(), nullptr));
    EXPECT_EQ(ConsoleLines{"tolvane> Could not seek tmp file. Please check your TMP and TMPDIR environment variables."},
              console.lines());

    Bytes bytes;
    unsigned char chunk[4096];
    ssize_t n;
    while ((n = read(reader, chunk, sizeof chunk)) > 0) {
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    close(reader);
    // The whole file went through, but the directory stayed zeros.
    ASSERT_GT(bytes.size(), 32u + 140u + 4u);
    EXPECT_EQ(Bytes(140, 0), slice(bytes, 32, 140));
    EXPECT_EQ(0xCAFED00Du, be(bytes, 172, 4));
    EXPECT_EQ(Bytes({0xCA, 0xFE, 0xD0, 0x0D}), slice(bytes, bytes.size() - 4, 4));
}

TEST_F(SnapshotFileTest, APipeNobodyDrainsFailsTheWriteAfterTheStallLimit) {
    addDeepThread();
    std::string fifo = path("stuck-pipe");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // never read
    ASSERT_GE(reader, 0);
    FileDataWriter::stallLimitMillis = 300;
    StderrCapture console;
    jlong start = Counter::monotonicUsec();
    EXPECT_FALSE(session->write(fifo.c_str(), nullptr));
    jlong waited = Counter::monotonicUsec() - start;
    EXPECT_EQ(ConsoleLines{"tolvane> Your disk or partition might be full."}, console.lines());
    // One stall, then the write gives up; far below the default limit.
    EXPECT_GE(waited, 300000);
    EXPECT_LT(waited, 5000000);
    close(reader);
}

TEST_F(SnapshotFileTest, ASlowReaderOfAPipeGetsEveryByte) {
    addDeepThread();
    std::string file = path("reference.snapshot");
    ASSERT_TRUE(session->write(file.c_str(), nullptr));
    Bytes reference = readFile(file);
    ASSERT_GT(reference.size(), 200000u);  // several times what a pipe holds

    std::string fifo = path("slow-pipe");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    Bytes received;
    std::atomic<bool> written{false};
    std::thread slow([&] {
        unsigned char chunk[4096];
        for (;;) {
            bool closed = written.load();  // then an empty pipe stays empty
            ssize_t n = read(reader, chunk, sizeof chunk);
            if (n > 0) {
                received.insert(received.end(), chunk, chunk + n);
            } else if (closed) {
                break;
            }
            usleep(2000);
        }
    });
    StderrCapture console;
    EXPECT_FALSE(session->write(fifo.c_str(), nullptr));
    written = true;
    slow.join();
    close(reader);
    EXPECT_EQ(ConsoleLines{"tolvane> Could not seek tmp file. Please check your TMP and TMPDIR environment variables."},
              console.lines());
    // Byte for byte the file, but for the write time and the directory.
    ASSERT_EQ(reference.size(), received.size());
    EXPECT_EQ(Bytes(140, 0), slice(received, 32, 140));
    EXPECT_TRUE(slice(reference, 0, 20) == slice(received, 0, 20));
    EXPECT_TRUE(slice(reference, 172, reference.size() - 172) == slice(received, 172, received.size() - 172));
}

// The path is opened when the recording ends; whatever was planted there
// since its start is not written through.
TEST_F(SnapshotFileTest, ALinkAtThePathIsNotFollowedAndNothingButItsOwnFileIsReplaced) {
    std::string target = path("precious");
    FILE* f = std::fopen(target.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    std::fputs("precious", f);
    std::fclose(f);
    std::string link = path("snapshot-link");
    ASSERT_EQ(0, symlink(target.c_str(), link.c_str()));
    std::string dangling = path("snapshot-dangling");
    std::string nowhere = path("nowhere");
    ASSERT_EQ(0, symlink(nowhere.c_str(), dangling.c_str()));
    std::string hardLink = path("snapshot-hard");
    ASSERT_EQ(0, ::link(target.c_str(), hardLink.c_str()));

    StderrCapture console;
    EXPECT_FALSE(session->write(link.c_str(), nullptr));
    EXPECT_FALSE(session->write(dangling.c_str(), nullptr));
    EXPECT_FALSE(session->write(hardLink.c_str(), nullptr));
    EXPECT_EQ((ConsoleLines{"tolvane> Did not write the snapshot: " + link + " is a symbolic link",
                            "tolvane> Did not write the snapshot: " + dangling + " is a symbolic link",
                            "tolvane> Did not write the snapshot: " + hardLink +
                                " has other hard links; only a file of its own is replaced"}),
              console.lines());
    EXPECT_EQ(Bytes({'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}), readFile(target));
    struct stat st;
    EXPECT_NE(0, lstat(nowhere.c_str(), &st));
    ASSERT_EQ(0, lstat(link.c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST_F(SnapshotFileTest, AFullDeviceIsReportedOnce) {
    struct stat st;
    if (stat("/dev/full", &st) != 0) {
        GTEST_SKIP() << "no /dev/full";
    }
    StderrCapture console;
    EXPECT_FALSE(session->write("/dev/full", nullptr));
    EXPECT_EQ(ConsoleLines{"tolvane> Your disk or partition might be full."}, console.lines());
}

}  // namespace
