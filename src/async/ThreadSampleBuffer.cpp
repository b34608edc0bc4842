#include "ThreadSampleBuffer.h"

#include <new>

ThreadSampleBuffer::ThreadSampleBuffer(int index, int maxDepth)
    : magic(MAGIC),
      owner(0),
      state(FREE),
      busy(0),
      env(nullptr),
      timer(),
      timerCreated(false),
      index(index),
      maxDepth(maxDepth > 0 ? maxDepth : 1),
      head(0),
      tail(0),
      dropped(0),
      counts(),
      frames(new AsyncFrame[static_cast<size_t>(SLOTS) * static_cast<size_t>(maxDepth > 0 ? maxDepth : 1)]) {}

ThreadSampleBuffer::~ThreadSampleBuffer() {
    magic.store(0);
    delete[] frames;
}

AsyncFrame* ThreadSampleBuffer::beginSample() {
    uint64_t h = head.load(std::memory_order_relaxed);
    if (h - tail.load(std::memory_order_acquire) >= static_cast<uint64_t>(SLOTS)) {
        dropped.fetch_add(1, std::memory_order_relaxed);
        return nullptr;
    }
    return frames + static_cast<size_t>(h % SLOTS) * static_cast<size_t>(maxDepth);
}

void ThreadSampleBuffer::commitSample(jint count) {
    uint64_t h = head.load(std::memory_order_relaxed);
    counts[h % SLOTS] = count;
    head.store(h + 1, std::memory_order_release);
}

int ThreadSampleBuffer::pending() const {
    return static_cast<int>(head.load(std::memory_order_acquire) - tail.load(std::memory_order_relaxed));
}

const AsyncFrame* ThreadSampleBuffer::sample(int i, jint* count) const {
    uint64_t at = tail.load(std::memory_order_relaxed) + static_cast<uint64_t>(i);
    *count = counts[at % SLOTS];
    return frames + static_cast<size_t>(at % SLOTS) * static_cast<size_t>(maxDepth);
}

void ThreadSampleBuffer::consume(int count) {
    tail.store(tail.load(std::memory_order_relaxed) + static_cast<uint64_t>(count), std::memory_order_release);
}

uint32_t ThreadSampleBuffer::takeDropped() {
    return dropped.exchange(0, std::memory_order_relaxed);
}

void ThreadSampleBuffer::assign(pid_t tid, JNIEnv* threadEnv) {
    // Only while no timer can deliver to it: the ring restarts empty.
    tail.store(head.load(std::memory_order_relaxed), std::memory_order_relaxed);
    dropped.store(0, std::memory_order_relaxed);
    env = threadEnv;
    owner.store(tid, std::memory_order_relaxed);
}
