#include <gtest/gtest.h>

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "NativeThreads.h"

namespace {

const NativeThreads::Source& kernel() {
    return NativeThreads::kernelSource();
}

int64_t ownCpuClock() {
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

}  // namespace

// The kernel's answers, on this process's own threads.
TEST(NativeThreadsTest, AThreadsClockReadByItsIdIsTheClockItReadsItselfAndEndsWithIt) {
    pid_t self = kernel().currentId();
    std::vector<pid_t> ids;
    ASSERT_TRUE(kernel().listIds(ids));
    EXPECT_NE(std::find(ids.begin(), ids.end(), self), ids.end());

    int64_t before = ownCpuClock();
    int64_t byId = kernel().cpuTime(self);
    int64_t after = ownCpuClock();
    EXPECT_LE(before, byId);
    EXPECT_LE(byId, after);

    // A parked thread's clock stands still and reads the same by id; once
    // the thread has ended its id reads nothing.
    std::atomic<pid_t> id{0};
    std::atomic<bool> release{false};
    std::thread parked([&] {
        id = kernel().currentId();
        while (!release) {
            struct timespec pause = {0, 1000000};
            nanosleep(&pause, nullptr);
        }
    });
    while (id == 0) {
        std::this_thread::yield();
    }
    EXPECT_NE(id.load(), self);
    EXPECT_GE(kernel().cpuTime(id), 0);
    release = true;
    parked.join();
    // The join returns as the kernel clears the thread's id; the task itself
    // may linger a moment longer before it is reaped.
    int64_t gone = kernel().cpuTime(id);
    for (int i = 0; i < 1000 && gone != -1; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        gone = kernel().cpuTime(id);
    }
    EXPECT_EQ(gone, -1);
    EXPECT_EQ(kernel().cpuTime(0), -1);
}
