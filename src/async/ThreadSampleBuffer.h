#ifndef TOLVANE_THREADSAMPLEBUFFER_H
#define TOLVANE_THREADSAMPLEBUFFER_H

#include <jni.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <sys/types.h>

// One frame of an asynchronous stack walk, laid out as HotSpot's
// AsyncGetCallTrace writes it: the bytecode index (negative for native
// frames) and the method.
struct AsyncFrame {
    jint bci;
    jmethodID method;
};

// The samples of one thread between two ticks: a ring of a few stacks
// written by the signal handler on that thread (the only producer) and read
// by the recorder's tick (the only consumer). No lock; the handler writes a
// slot and then publishes it with `head`, the tick reads the published slots
// and then frees them with `tail`. A full ring drops the new sample and
// counts it.
//
// Buffers are recycled, never freed, so a signal that arrives late can only
// ever meet a live buffer; `owner` and `state` tell the handler whether it is
// still its own.
class ThreadSampleBuffer {
public:
    static constexpr uint32_t MAGIC = 0x746f6c76;
    static constexpr int SLOTS = 4;

    // Buffer states.
    static constexpr int FREE = 0;
    static constexpr int ARMED = 1;

    // Frames of up to `maxDepth` per sample; `index` names it in signals.
    ThreadSampleBuffer(int index, int maxDepth);
    ~ThreadSampleBuffer();
    ThreadSampleBuffer(const ThreadSampleBuffer&) = delete;
    ThreadSampleBuffer& operator=(const ThreadSampleBuffer&) = delete;

    // Producer: the frames of the next slot, or null when the ring is full
    // (the sample is counted as dropped).
    AsyncFrame* beginSample();
    // Producer: publishes the slot of beginSample with `count` frames.
    void commitSample(jint count);

    // Consumer: the number of samples published and not yet consumed.
    int pending() const;
    // Consumer: the i-th pending sample, oldest first; its frame count in *count.
    const AsyncFrame* sample(int i, jint* count) const;
    // Consumer: frees the pending samples it has read.
    void consume(int count);
    // Consumer: samples dropped for a full ring since the last call.
    uint32_t takeDropped();

    // Gives the buffer to a thread: no samples, no counts.
    void assign(pid_t tid, JNIEnv* env);

    std::atomic<uint32_t> magic;
    std::atomic<pid_t> owner;
    std::atomic<int> state;
    // Handlers working on the buffer; it is not handed to another thread
    // while one is.
    std::atomic<int> busy;
    // The owner thread's JNI environment, for the stack walk.
    JNIEnv* env;
    timer_t timer;
    bool timerCreated;
    const int index;
    const int maxDepth;

private:
    std::atomic<uint64_t> head;
    std::atomic<uint64_t> tail;
    std::atomic<uint32_t> dropped;
    jint counts[SLOTS];
    AsyncFrame* frames;
};

#endif
