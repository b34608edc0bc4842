#ifndef TOLVANE_VIRTUALTHREADEVENTS_H
#define TOLVANE_VIRTUALTHREADEVENTS_H

#include <jni.h>
#include <jvmti.h>

#include <cstdint>
#include <vector>

// What virtual threads do while no carrier runs them: their waits, learnt
// from HotSpot's mount and unmount extension events, and about how many of
// them started.
//
// HotSpot posting every mount and unmount costs more than a short-lived
// virtual thread's own work, so the events are on only in windows: one
// opens at a tick about every 100 ms and closes at the next tick. Within a
// window each carrier samples its unmounts at random, each with probability
// 1 / N (N set so that it takes about 16 a window); a sampled wait stands for
// N unmounts times cycle / window length. Neither choice depends on how long
// a wait will be, so the waits booked are an unbiased estimate of all waits.
// A sampled unmount keeps its stack, its time and its weight in a record of
// a fixed pool (no allocation in the events but a weak reference to the
// sampled virtual thread) and marks the virtual thread through JVMTI
// thread-local storage. The wait ends at its next mount while the window is
// still open; after that, when a tick finds the virtual thread runnable
// again (woken, waiting for a carrier) or ended, half way between that tick
// and the one before. The tick books (end - unmount) x weight on the stack.
//
// The capability is asked for only once a recording meets a virtual
// thread, so a JVM without any pays nothing.
namespace VirtualThreadEvents {

// One sampled wait.
// Most transaction labels a wait keeps, with their count in front.
constexpr int MAX_LABELS = 10;

struct Wait {
    // Frames innermost first, as JVMTI gave them.
    const jvmtiFrameInfo* frames;
    jint frameCount;
    // The JVMTI state of the virtual thread as it unmounted.
    jint state;
    // Unmounts this one stands for (an estimate, hence not whole).
    double weight;
    // Monotonic microseconds; end is the next mount, or when the
    // recording took the wait while it still lasted.
    jlong start;
    jlong end;
    // Internal: the record's slot.
    int slot;
    // The virtual thread's transaction labels as a tick read them while it
    // waited ({count, ids...}); false when no tick read them.
    bool labelsRead;
    const jlong* labels;
};

// Asks for the capability and installs the extension events' callbacks
// (the events stay off until cycle opens a window); frames of up to
// maxDepth per sampled stack; env, when given, to read virtual threads' ids.
// False when this JVM has none of it (JDK 17, or a refusal; the debug log
// says which). Once is enough per process: later calls give the first
// answer. Called from the recording's tick, with the thread monitor held.
bool enable(JNIEnv* env, jvmtiEnv* jvmti, int maxDepth);
bool isEnabled();
// Starts or stops taking waits and noting ids (the recording's bounds).
// Either closes a window left open.
void setActive(bool active);
// Opens or closes the events' window as its time comes. Called by every
// tick, on the recording's thread, never from an event.
void cycle();

// Ends the waits of virtual threads that are runnable again (woken, waiting
// for a carrier): their wait ends between the last check that found them
// waiting and this one. Called by every tick, on the recording's thread.
// readLabels, when given, reads a waiting virtual thread's labels into
// {count, ids...} (at most MAX_LABELS ids); they cannot change while it waits.
typedef bool (*LabelReader)(JNIEnv* env, jobject thread, jlong* labels);
void checkWaits(JNIEnv* env, jvmtiEnv* jvmti, LabelReader readLabels);
// The waits that ended since the last call; with `all`, also those still
// going on (end = now), which are then forgotten. The records stay taken
// until release.
void takeWaits(std::vector<Wait>& out, bool all);
void release(JNIEnv* env, const std::vector<Wait>& waits);

// Since the last setActive(true): about how many virtual threads started
// (the span of the ids seen, 0 when none was seen), the unmounts the
// sampled ones stood for within windows, the sampled unmounts, samples
// lost to a full pool, and the windows opened so far in this process.
struct Counts {
    uint64_t started;
    uint64_t unmounts;
    uint64_t sampled;
    uint64_t lost;
    uint64_t windows;
};
Counts counts();

// The virtual thread a carrier runs (HotSpot's GetVirtualThread extension),
// as a new local reference, or null; its id counts as seen.
jthread mountedVirtualThread(JNIEnv* env, jvmtiEnv* jvmti, jthread carrier);

// The bit of can_support_virtual_threads in the capability set, which the
// JDK 17 headers this library is built with do not name.
void setVirtualThreadCapability(jvmtiCapabilities* capabilities);

}  // namespace VirtualThreadEvents

#endif
