#ifndef TOLVANE_VIRTUALTHREADEVENTS_H
#define TOLVANE_VIRTUALTHREADEVENTS_H

#include <jni.h>
#include <jvmti.h>

#include <cstdint>
#include <vector>

// What virtual threads do while no carrier runs them: their waits, learnt
// from HotSpot's mount and unmount extension events, and how many of them
// started.
//
// Taking a stack at every unmount would cost too much where virtual threads
// come and go by the hundred thousand a second, so each carrier takes one
// at its first unmount after every sampling period and counts the unmounts
// in between: the sampled wait then stands for all of them (its weight). The
// choice does not depend on how long the wait will be, so the waits booked
// are an unbiased estimate of all waits. A sampled unmount keeps its stack,
// its time and its weight in a record of a fixed pool (no allocation in the
// events but a weak reference to the sampled virtual thread) and marks the
// virtual thread through JVMTI thread-local storage. The wait ends when a
// tick finds the virtual thread runnable again (woken, waiting for a
// carrier), or at its next mount, whichever comes first, and the tick books
// (end - unmount) x weight on the stack. Unsampled unmounts cost a few
// thread-local counts; every mount costs a thread-local storage read.
//
// The events and the capability they need are asked for only once a
// recording meets a virtual thread, so a JVM without any pays nothing.
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
    // Unmounts this one stands for.
    jlong weight;
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

// Asks for the capability, the extension events and the start event;
// frames of up to maxDepth per sampled stack. False when this JVM has none
// of it (JDK 17, or a refusal; the debug log says which). Once is enough per
// process: later calls give the first answer. Called from the recording's
// tick, with the thread monitor held.
bool enable(jvmtiEnv* jvmti, int maxDepth);
bool isEnabled();
// Starts or stops taking waits and counting starts (the recording's bounds).
// Stopping leaves the events on and cheap: they do nothing while off.
void setActive(bool active, jlong periodMicros);

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

// Virtual threads started while active, mounts and sampled unmounts, and
// samples lost to a full pool, since the last setActive(true).
struct Counts {
    uint64_t started;
    uint64_t unmounts;
    uint64_t sampled;
    uint64_t lost;
};
Counts counts();

// The JVMTI VirtualThreadStart callback (installed by the agent with the
// others; the event is enabled by enable()).
void JNICALL onVirtualThreadStart(jvmtiEnv* jvmti, JNIEnv* env, jthread thread);

// The virtual thread a carrier runs (HotSpot's GetVirtualThread extension),
// as a new local reference, or null.
jthread mountedVirtualThread(jvmtiEnv* jvmti, jthread carrier);

// The bit of can_support_virtual_threads in the capability set, which the
// JDK 17 headers this library is built with do not name.
void setVirtualThreadCapability(jvmtiCapabilities* capabilities);

}  // namespace VirtualThreadEvents

#endif
