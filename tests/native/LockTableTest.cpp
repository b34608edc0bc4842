// Blocked and parked time per lock: the table that books it, the bytes of
// the lock section, the snapshot without it, and the probe that reads what a
// captured thread waits for from the JVM.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include <unistd.h>

#include "CallTree.h"
#include "ClassProfilingSession.h"
#include "CpuProfilingSession.h"
#include "FakeJvm.h"
#include "GlobalsScope.h"
#include "JvmEnv.h"
#include "LockProbe.h"
#include "LockTable.h"
#include "MemoryDataWriter.h"
#include "MethodDesc.h"
#include "ProfilingSession.h"
#include "SnapshotFormat.h"
#include "StderrCapture.h"
#include "ThreadDesc.h"
#include "ThreadManager.h"
#include "ThreadMonitor.h"

namespace {

const unsigned char MONITOR = SnapshotFormat::LOCK_KIND_MONITOR;
const unsigned char PARK = SnapshotFormat::LOCK_KIND_PARK;
const uint32_t NO_NAME = LockWait::NO_NAME;

ThreadManager* recordedThread(CpuProfilingSession* threads, const char* name) {
    ThreadManager* manager = new ThreadManager(nullptr, nullptr);
    manager->setThreadDesc(new ThreadDesc(manager, name, "main", 1));
    threads->addThreadManager(manager);
    return manager;
}

// One tick as the sampler books it: on the thread's tree, then on its lock.
void tick(LockTable& table, ThreadManager* thread, jlong micros) {
    thread->sampleTime(micros, 0, false);
    table.book(thread, micros);
}

LockWait waitFor(unsigned char kind, uint32_t lockClass, ThreadManager* owner, uint32_t ownerName = NO_NAME) {
    LockWait wait;
    wait.kind = kind;
    wait.lockClass = lockClass;
    wait.owner = owner;
    wait.ownerName = ownerName;
    return wait;
}

class LockTableTest : public ::testing::Test {
protected:
    GlobalsScope globals;
    CpuProfilingSession threads;
    ClassData cls{"test.Locks", 0, nullptr};
    MethodDesc run{&cls, "run", 1, "()V", 3, nullptr};
    MethodDesc update{&cls, "update", 1, "()V", 3, nullptr};

    void SetUp() override {
        g_profilingInterface = nullptr;  // the thread monitor is a no-op
    }
};

TEST_F(LockTableTest, BooksPerNodeLockAndHolderOnlyTimeTheTreeBooksAsBlockedOrParked) {
    ThreadManager* waiter = recordedThread(&threads, "waiter");
    ThreadManager* holder = recordedThread(&threads, "holder");
    LockTable table;
    uint32_t ledger = table.internName("com.acme.Ledger");
    uint32_t sync = table.internName("java.util.concurrent.locks.ReentrantLock$NonfairSync");
    EXPECT_EQ(ledger, table.internName("com.acme.Ledger"));
    EXPECT_EQ(NO_NAME, table.internName(nullptr));

    // Blocked in run(): two ticks on one entry.
    waiter->methodEntry(nullptr, &run, 0);
    waiter->setThreadStatus(THREAD_STATUS_BLOCKED);
    table.setWait(waiter, waitFor(MONITOR, ledger, holder));
    tick(table, waiter, 5000);
    tick(table, waiter, 4000);
    // More than the tree booked there: nothing more.
    table.book(waiter, 1000);
    EXPECT_EQ(1u, table.entryCount());

    // A monitor wait booked while the thread counts as waiting, or at the
    // root, is not the tree's blocked time: nothing.
    waiter->setThreadStatus(THREAD_STATUS_WAITING);
    tick(table, waiter, 1000);
    waiter->methodExit(nullptr, &run);
    waiter->setThreadStatus(THREAD_STATUS_BLOCKED);
    tick(table, waiter, 1000);
    EXPECT_EQ(1u, table.entryCount());

    // Parked in update() under run(), behind a holder without a record.
    waiter->methodEntry(nullptr, &run, 0);
    waiter->methodEntry(nullptr, &update, 12);
    waiter->setThreadStatus(THREAD_STATUS_WAITING);
    uint32_t stranger = table.internName("pool-1");
    table.setWait(waiter, waitFor(PARK, sync, nullptr, stranger));
    tick(table, waiter, 3000);
    // Once the wait is cleared (the thread was captured running), nothing more.
    table.clearWait(waiter);
    tick(table, waiter, 3000);
    EXPECT_EQ(2u, table.entryCount());
    EXPECT_EQ(0, table.droppedTime());

    MemoryDataWriter out;
    table.write(&out, &threads);
    // Node numbers in write order: update (0), run (1), root (2).
    ExpectedBytes e;
    e.jlong_(0).u4(3).str("com.acme.Ledger").str("java.util.concurrent.locks.ReentrantLock$NonfairSync").str("pool-1");
    e.u4(2);
    e.id(waiter).u4(0).u1(PARK).u4(sync).id(nullptr).u4(stranger).jlong_(3000);
    e.id(waiter).u4(1).u1(MONITOR).u4(ledger).id(holder).u4(NO_NAME).jlong_(9000);
    EXPECT_EQ(e.get(), out.bytes());

    table.clear();
    MemoryDataWriter empty;
    table.write(&empty, &threads);
    EXPECT_EQ(ExpectedBytes().jlong_(0).u4(0).u4(0).get(), empty.bytes());
}

TEST_F(LockTableTest, StaysWithinItsBoundsAndCountsWhatDidNotFit) {
    ThreadManager* waiter = recordedThread(&threads, "waiter");
    LockTable table(1, 1);
    uint32_t first = table.internName("A");
    EXPECT_EQ(NO_NAME, table.internName("B"));
    EXPECT_EQ(1u, table.names().size());

    waiter->methodEntry(nullptr, &run, 0);
    waiter->setThreadStatus(THREAD_STATUS_BLOCKED);
    table.setWait(waiter, waitFor(MONITOR, first, nullptr));
    tick(table, waiter, 100);
    table.setWait(waiter, waitFor(MONITOR, NO_NAME, nullptr));
    tick(table, waiter, 250);
    tick(table, waiter, 50);
    EXPECT_EQ(1u, table.entryCount());
    EXPECT_EQ(300, table.droppedTime());
}

TEST_F(LockTableTest, HoldersAndThreadsWithoutARecordAreLeftOut) {
    ThreadManager* waiter = recordedThread(&threads, "waiter");
    // A holder that was listed when it was read but has no record any more.
    ThreadManager* gone = recordedThread(&threads, "gone");
    ThreadManager unlisted(nullptr, nullptr);
    LockTable table;
    uint32_t ledger = table.internName("Ledger");
    waiter->methodEntry(nullptr, &run, 0);
    waiter->setThreadStatus(THREAD_STATUS_BLOCKED);
    table.setWait(waiter, waitFor(MONITOR, ledger, gone));
    tick(table, waiter, 700);
    unlisted.methodEntry(nullptr, &run, 0);
    unlisted.setThreadStatus(THREAD_STATUS_BLOCKED);
    table.setWait(&unlisted, waitFor(MONITOR, ledger, nullptr));
    tick(table, &unlisted, 900);
    gone->cleanup(nullptr);

    MemoryDataWriter out;
    table.write(&out, &threads);
    ExpectedBytes e;
    e.jlong_(0).u4(1).str("Ledger").u4(1);
    e.id(waiter).u4(0).u1(MONITOR).u4(ledger).id(nullptr).u4(NO_NAME).jlong_(700);
    EXPECT_EQ(e.get(), out.bytes());
}

// The snapshot file with and without the table: without it, section 4 is
// its marker alone and the other sections are the bytes they always were.
TEST_F(LockTableTest, TheSnapshotHasALockSectionOnlyWithATable) {
    ProfilingSession session;
    session.classProfilingSession = new ClassProfilingSession(nullptr);
    session.cpuProfilingSession = new CpuProfilingSession();
    ThreadManager* waiter = recordedThread(session.cpuProfilingSession, "waiter");
    waiter->methodEntry(nullptr, &run, 0);
    waiter->setThreadStatus(THREAD_STATUS_BLOCKED);
    waiter->sampleTime(2000, 1000, false);

    char dir[] = "/tmp/tolvane-locks-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    std::string offPath = std::string(dir) + "/off.tsnap";
    std::string onPath = std::string(dir) + "/on.tsnap";
    StderrCapture console;
    ASSERT_TRUE(session.write(offPath.c_str(), nullptr));
    LockTable table;
    table.setWait(waiter, waitFor(MONITOR, table.internName("Ledger"), nullptr));
    table.book(waiter, 2000);
    session.lockTable = &table;
    ASSERT_TRUE(session.write(onPath.c_str(), nullptr));
    session.lockTable = nullptr;
    EXPECT_EQ("", console.text());

    auto read = [](const std::string& path) {
        Bytes all;
        FILE* f = std::fopen(path.c_str(), "rb");
        for (int c; f != nullptr && (c = std::fgetc(f)) != EOF;) {
            all.push_back(static_cast<unsigned char>(c));
        }
        if (f != nullptr) {
            std::fclose(f);
        }
        return all;
    };
    Bytes off = read(offPath);
    Bytes on = read(onPath);
    std::remove(offPath.c_str());
    std::remove(onPath.c_str());
    rmdir(dir);

    const size_t directory = 32;  // no VM name, no version
    auto field = [](const Bytes& b, size_t at, int width) {
        uint64_t v = 0;
        for (int i = 0; i < width; i++) {
            v = (v << 8) | b.at(at + i);
        }
        return v;
    };
    Bytes body = ExpectedBytes().jlong_(0).u4(1).str("Ledger").u4(1)
        .id(waiter).u4(0).u1(MONITOR).u4(0).id(nullptr).u4(NO_NAME).jlong_(2000).get();
    ASSERT_EQ(off.size() + body.size(), on.size());
    uint64_t lockPosition = field(off, directory + 4 * 20 + 8, 8);
    EXPECT_EQ(0u, field(off, directory + 4 * 20, 8));
    EXPECT_EQ(0u, field(off, directory + 4 * 20 + 16, 4));
    EXPECT_EQ(body.size(), field(on, directory + 4 * 20, 8));
    EXPECT_EQ(lockPosition, field(on, directory + 4 * 20 + 8, 8));
    // Everything after the directory up to the lock body is the same.
    size_t sectionsStart = directory + 140;
    EXPECT_EQ(Bytes(off.begin() + sectionsStart, off.begin() + lockPosition + 4),
              Bytes(on.begin() + sectionsStart, on.begin() + lockPosition + 4));
    EXPECT_EQ(body, Bytes(on.begin() + lockPosition + 4, on.begin() + lockPosition + 4 + body.size()));

    delete session.classProfilingSession;
    session.classProfilingSession = nullptr;
    delete session.cpuProfilingSession;
    session.cpuProfilingSession = nullptr;
}

TEST(LockProbeNames, SignaturesBecomeDottedClassNames) {
    EXPECT_EQ("java.lang.Object", LockProbe::dottedName("Ljava/lang/Object;"));
    EXPECT_EQ("com.acme.Shop$Ledger", LockProbe::dottedName("Lcom/acme/Shop$Ledger;"));
    EXPECT_EQ("[Ljava.lang.Object", LockProbe::dottedName("[Ljava/lang/Object;"));
    EXPECT_EQ("[I", LockProbe::dottedName("[I"));
    EXPECT_EQ("", LockProbe::dottedName(nullptr));
}

// The probe against the fake JVM: one thread blocked on a monitor owned by
// a recorded thread, one parked on a synchronizer owned by a thread the
// recording does not list.
class LockProbeTest : public ::testing::Test {
protected:
    GlobalsScope globals;
    harness::FakeJvm jvm;
    CpuProfilingSession threads;
    ClassData cls{"test.Probe", 0, nullptr};
    MethodDesc run{&cls, "run", 1, "()V", 3, nullptr};

    static jthread handle(uintptr_t n) { return reinterpret_cast<jthread>(n); }

    void SetUp() override {
        jvm.installThreads();
        jvm.installExceptions();
        g_profilingInterface = jvm.jvmti();
        ThreadMonitor::threadMonitor = nullptr;  // no locking in this test
        g_contendedMonitorAvailable = true;
        g_monitorInfoAvailable = true;
        auto& jvmti = jvm.jvmtiFunctions;
        auto& jni = jvm.jniFunctions;
        // Objects: 0x500 the monitor (class 0x510), 0x600 the blocker
        // (class 0x610, an AbstractOwnableSynchronizer), thread 0x700 owns
        // the monitor and 0x800 the blocker.
        jvmti.GetCurrentContendedMonitor = [](jvmtiEnv*, jthread, jobject* monitor) {
            *monitor = reinterpret_cast<jobject>(0x500);
            return JVMTI_ERROR_NONE;
        };
        jvmti.GetObjectMonitorUsage = [](jvmtiEnv*, jobject, jvmtiMonitorUsage* usage) {
            usage->owner = reinterpret_cast<jthread>(0x700);
            usage->entry_count = 1;
            usage->waiter_count = 0;
            usage->waiters = nullptr;
            usage->notify_waiter_count = 0;
            usage->notify_waiters = nullptr;
            return JVMTI_ERROR_NONE;
        };
        jni.GetObjectClass = [](JNIEnv*, jobject obj) -> jclass {
            return reinterpret_cast<jclass>(reinterpret_cast<uintptr_t>(obj) + 0x10);
        };
        jvmti.GetClassSignature = [](jvmtiEnv*, jclass cls, char** signature, char** generic) {
            *signature = harness::FakeJvm::jvmtiCopy(reinterpret_cast<uintptr_t>(cls) == 0x510
                                                         ? "Lcom/acme/Ledger;"
                                                         : "Ljava/util/concurrent/locks/ReentrantLock$NonfairSync;");
            return JVMTI_ERROR_NONE;
        };
        jni.FindClass = [](JNIEnv*, const char* name) -> jclass {
            return reinterpret_cast<jclass>(std::strcmp(name, "java/lang/Thread") == 0 ? 0x900 : 0x910);
        };
        jni.GetFieldID = [](JNIEnv*, jclass, const char* name, const char*) -> jfieldID {
            return reinterpret_cast<jfieldID>(std::strcmp(name, "parkBlocker") == 0 ? 0x1 : 0x2);
        };
        jni.NewGlobalRef = [](JNIEnv*, jobject obj) { return obj; };
        jni.GetObjectField = [](JNIEnv*, jobject obj, jfieldID field) -> jobject {
            if (reinterpret_cast<uintptr_t>(field) == 0x1) {
                return reinterpret_cast<jobject>(0x600);  // every thread's blocker
            }
            return reinterpret_cast<jobject>(0x800);  // the synchronizer's owner
        };
        jni.IsInstanceOf = [](JNIEnv*, jobject obj, jclass) -> jboolean {
            return reinterpret_cast<uintptr_t>(obj) == 0x600;
        };
        jvm.thread(handle(0x800)).name = "pool-1-thread-1";
    }
};

TEST_F(LockProbeTest, NamesTheMonitorOrBlockerClassAndItsHolder) {
    ThreadManager* blocked = recordedThread(&threads, "blocked");
    ThreadManager* parked = recordedThread(&threads, "parked");
    ThreadManager* owner = recordedThread(&threads, "owner");
    jvm.thread(handle(0x700)).storage = owner;
    for (ThreadManager* m : {blocked, parked}) {
        m->methodEntry(nullptr, &run, 0);
    }
    blocked->setThreadStatus(THREAD_STATUS_BLOCKED);
    parked->setThreadStatus(THREAD_STATUS_WAITING);

    LockTable table;
    {
        LockProbe probe(jvm.jni(), jvm.jvmti(), &table, &threads);
        for (ThreadManager* m : {blocked, parked}) {
            m->sampleTime(10000, 0, false);  // the tree's two ticks, booked ahead
        }
        probe.captured(handle(0x100), blocked,
                       JVMTI_THREAD_STATE_ALIVE | JVMTI_THREAD_STATE_BLOCKED_ON_MONITOR_ENTER, 5000);
        probe.captured(handle(0x200), parked,
                       JVMTI_THREAD_STATE_ALIVE | JVMTI_THREAD_STATE_WAITING | JVMTI_THREAD_STATE_PARKED, 5000);
        // The next tick, without a capture: the same waits.
        probe.unchanged(handle(0x100), blocked, 5000);
        probe.unchanged(handle(0x200), parked, 5000);
    }
    // The recorded owner is known by its thread's storage; only the stranger is asked for its name.
    EXPECT_EQ(1, jvm.calls.threadInfos.load());
    MemoryDataWriter out;
    table.write(&out, &threads);
    ExpectedBytes e;
    e.jlong_(0).u4(3).str("com.acme.Ledger").str("java.util.concurrent.locks.ReentrantLock$NonfairSync")
        .str("pool-1-thread-1").u4(2);
    e.id(blocked).u4(0).u1(MONITOR).u4(0).id(owner).u4(NO_NAME).jlong_(10000);
    e.id(parked).u4(0).u1(PARK).u4(1).id(nullptr).u4(2).jlong_(10000);
    EXPECT_EQ(e.get(), out.bytes());
}

TEST_F(LockProbeTest, WithoutTheMonitorCapabilityOrTheBeanOrATableNothingIsRead) {
    ThreadManager* blocked = recordedThread(&threads, "blocked");
    blocked->methodEntry(nullptr, &run, 0);
    blocked->setThreadStatus(THREAD_STATUS_BLOCKED);
    jvm.jvmtiFunctions.GetCurrentContendedMonitor = nullptr;  // a call would crash
    g_contendedMonitorAvailable = false;
    // Nor is there a ThreadMXBean to ask instead.
    jvm.jniFunctions.FindClass = [](JNIEnv*, const char*) -> jclass { return nullptr; };
    LockTable table;
    LockProbe probe(jvm.jni(), jvm.jvmti(), &table, &threads);
    probe.captured(handle(0x100), blocked, JVMTI_THREAD_STATE_ALIVE | JVMTI_THREAD_STATE_BLOCKED_ON_MONITOR_ENTER,
                   5000);
    EXPECT_EQ(0u, table.entryCount());

    LockProbe off(jvm.jni(), jvm.jvmti(), nullptr, &threads);
    off.captured(handle(0x100), blocked, JVMTI_THREAD_STATE_ALIVE | JVMTI_THREAD_STATE_BLOCKED_ON_MONITOR_ENTER,
                 5000);
    off.unchanged(handle(0x100), blocked, 5000);
}

// Owner reads stop the JVM, so a tick makes only a few; a thread left
// unread is read on the next tick although it did not run.
TEST_F(LockProbeTest, MonitorsBeyondATicksReadsAreReadOnTheNextTick) {
    static int usageReads;
    usageReads = 0;
    jvm.jvmtiFunctions.GetCurrentContendedMonitor = [](jvmtiEnv*, jthread thread, jobject* monitor) {
        *monitor = reinterpret_cast<jobject>(reinterpret_cast<uintptr_t>(thread) * 0x100);  // one each
        return JVMTI_ERROR_NONE;
    };
    jvm.jniFunctions.GetObjectClass = [](JNIEnv*, jobject) { return reinterpret_cast<jclass>(0x510); };
    jvm.jvmtiFunctions.GetObjectMonitorUsage = [](jvmtiEnv*, jobject, jvmtiMonitorUsage* usage) {
        usageReads++;
        std::memset(usage, 0, sizeof *usage);
        usage->owner = reinterpret_cast<jthread>(0x700);
        return JVMTI_ERROR_NONE;
    };
    ThreadManager* owner = recordedThread(&threads, "owner");
    jvm.thread(handle(0x700)).storage = owner;
    const int count = LockProbe::MAX_OWNER_READS_PER_TICK + 2;
    std::vector<ThreadManager*> blocked;
    for (int i = 0; i < count; i++) {
        blocked.push_back(recordedThread(&threads, "blocked"));
        blocked.back()->methodEntry(nullptr, &run, 0);
        blocked.back()->setThreadStatus(THREAD_STATUS_BLOCKED);
        blocked.back()->sampleTime(10000, 0, false);
    }
    LockTable table;
    {
        LockProbe tick(jvm.jni(), jvm.jvmti(), &table, &threads);
        for (int i = 0; i < count; i++) {
            tick.captured(handle(i + 1), blocked[i], JVMTI_THREAD_STATE_ALIVE | JVMTI_THREAD_STATE_BLOCKED_ON_MONITOR_ENTER,
                          5000);
        }
    }
    EXPECT_EQ(LockProbe::MAX_OWNER_READS_PER_TICK, usageReads);
    EXPECT_EQ(static_cast<size_t>(count), table.entryCount());  // the last two without their owner
    {
        LockProbe tick(jvm.jni(), jvm.jvmti(), &table, &threads);
        for (int i = 0; i < count; i++) {
            tick.unchanged(handle(i + 1), blocked[i], 5000);
        }
    }
    EXPECT_EQ(count, usageReads);
    EXPECT_EQ(static_cast<size_t>(count + 2), table.entryCount());  // now with it
}

TEST_F(LockProbeTest, ARefusedCapabilityIsQuietlyLeftOut) {
    jvm.jvmtiFunctions.GetPotentialCapabilities = [](jvmtiEnv*, jvmtiCapabilities* caps) {
        std::memset(caps, 0, sizeof *caps);
        caps->can_get_monitor_info = 1;
        return JVMTI_ERROR_NONE;
    };
    jvm.jvmtiFunctions.AddCapabilities = [](jvmtiEnv*, const jvmtiCapabilities* caps) {
        return caps->can_get_monitor_info ? JVMTI_ERROR_NONE : JVMTI_ERROR_NOT_AVAILABLE;
    };
    StderrCapture console;
    LockProbe::requestCapabilities(jvm.jvmti());
    EXPECT_FALSE(g_contendedMonitorAvailable);
    EXPECT_TRUE(g_monitorInfoAvailable);
    EXPECT_EQ("", console.text());
}

}  // namespace
