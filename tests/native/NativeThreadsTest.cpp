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

// Every thread of the process answers for itself: its id and what it holds
// under the key, exactly, whatever its CPU time; threads holding nothing are
// left out, and an ended thread does not answer.
TEST(NativeThreadsTest, EachThreadNamesItsOwnIdAndWhatItHoldsUnderTheKey) {
    pthread_key_t key;
    ASSERT_EQ(0, pthread_key_create(&key, nullptr));
    int values[4];
    std::vector<pid_t> ids(4, 0);
    std::atomic<int> ready{0};
    std::atomic<bool> release{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; i++) {
        threads.emplace_back([&, i] {
            ids[i] = kernel().currentId();
            // Thread 3 holds nothing.
            pthread_setspecific(key, i < 3 ? &values[i] : nullptr);
            ready++;
            while (!release) {
                struct timespec pause = {0, 1000000};
                nanosleep(&pause, nullptr);
            }
        });
    }
    std::thread ended([&] { pthread_setspecific(key, &values[3]); });
    ended.join();
    while (ready < 4) {
        std::this_thread::yield();
    }
    int own = 0;
    pthread_setspecific(key, &own);
    pthread_key_t found;
    ASSERT_TRUE(NativeThreads::findKeyHolding(&own, &found));
    EXPECT_EQ(key, found);

    std::vector<NativeThreads::Answer> answers;
    ASSERT_TRUE(NativeThreads::ask(key, answers));
    release = true;
    for (std::thread& t : threads) {
        t.join();
    }
    std::vector<std::pair<pid_t, const void*>> got;
    for (const NativeThreads::Answer& a : answers) {
        got.emplace_back(a.id, a.value);
    }
    std::sort(got.begin(), got.end());
    std::vector<std::pair<pid_t, const void*>> expected = {
        {kernel().currentId(), &own}, {ids[0], &values[0]}, {ids[1], &values[1]}, {ids[2], &values[2]}};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, got);
    pthread_setspecific(key, nullptr);
    pthread_key_delete(key);
}
