#include "VirtualThreadEvents.h"

#include <jvmti.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <algorithm>
#include <utility>

#include "Counter.h"
#include "JvmtiError.h"
#include "MessageUtil.h"

namespace VirtualThreadEvents {

namespace {

const char MOUNT_EVENT[] = "com.sun.hotspot.events.VirtualThreadMount";
const char UNMOUNT_EVENT[] = "com.sun.hotspot.events.VirtualThreadUnmount";
const char GET_VIRTUAL_THREAD[] = "com.sun.hotspot.functions.GetVirtualThread";

// Sampled waits held at once, and frames per sampled stack: about 2 MB.
const int POOL_SIZE = 1024;
const int MAX_WAIT_DEPTH = 128;

// A thread-local storage value that marks a virtual thread's open record:
// the top bit (never set in a pointer of this process), the record's
// sequence number and its slot.
const uint64_t TOKEN_BIT = 1ULL << 63;
const int SLOT_BITS = 16;

enum RecordState { FREE, FILLING, WAITING, ENDED, TAKEN };

struct Record {
    uint64_t seq = 0;
    RecordState state = FREE;
    jint frameCount = 0;
    jint threadState = 0;
    jlong weight = 0;
    jlong start = 0;
    jlong end = 0;
    // The last check that found it still waiting.
    jlong lastWaiting = 0;
    // The virtual thread, while WAITING; deleted by the tick.
    jweak thread = nullptr;
    // The window it was sampled in, and what each of its unmounts stands
    // for once that window closed (0 while it is open).
    uint64_t window = 0;
    double scale = 0;
    // Mount events have been on since it unmounted: an end without a mount
    // means it unmounted to end.
    bool watched = false;
    bool labelsRead = false;
    jlong labels[MAX_LABELS + 1] = {};
    jvmtiFrameInfo* frames = nullptr;
};

// A wait younger than this is not checked: the virtual thread may still be
// on its way off the carrier, where JVMTI calls it runnable.
const jlong MIN_CHECK_AGE_MICROS = 1000;

typedef jvmtiError(JNICALL* GetVirtualThreadFunction)(jvmtiEnv*, jthread, jthread*);

std::mutex poolLock;
Record* pool = nullptr;
std::vector<int>* freeSlots = nullptr;
int depth = 0;

std::atomic<bool> active{false};
std::atomic<uint64_t> unmounts{0};
std::atomic<uint64_t> sampled{0};
std::atomic<uint64_t> lost{0};

bool tried = false;
bool enabled = false;
GetVirtualThreadFunction getVirtualThread = nullptr;
jint mountEvent = -1;
jint unmountEvent = -1;
jvmtiEnv* eventsEnv = nullptr;

// HotSpot posts every mount and unmount while their events are on, which
// costs more than the work of a short-lived virtual thread; so they are on
// only in windows: one opens at the first tick after every CYCLE_MICROS
// (on average exactly one per cycle) and closes at the next tick. What a
// window saw stands for its whole cycle, scaled by cycle / window length;
// the windows' times do not depend on any wait, so the estimate stays
// unbiased.
const jlong CYCLE_MICROS = 100000;
// A window shorter than this is left open until a later tick, so that a
// burst of ticks cannot make one tiny window stand for a whole cycle.
const jlong MIN_WINDOW_MICROS = 1000;
std::atomic<uint64_t> window{0};
std::atomic<bool> windowOpen{false};
jlong windowOpened = 0;
jlong nextWindow = 0;

// Virtual threads' ids seen during the recording. Threads of both kinds
// take their ids from one counter, so the span estimates how many started.
jfieldID threadIdField = nullptr;
std::atomic<jlong> lowestId{0};
std::atomic<jlong> highestId{0};

// Sampling per carrier within a window: each unmount with probability
// 1 / N, N set from the carrier's unmounts in its last window so that it
// takes about SAMPLES_PER_WINDOW; a sample's weight is N, never anything
// that depends on how long a wait lasts.
const jlong SAMPLES_PER_WINDOW = 16;
thread_local jlong carrierEvery = 1;
thread_local uint64_t carrierWindow = 0;
thread_local uint64_t carrierRandom = 0;

std::vector<std::pair<int, uint64_t>>& checkScratch() {
    static std::vector<std::pair<int, uint64_t>> scratch;
    return scratch;
}
thread_local jlong carrierCountdown = 0;
thread_local jlong carrierWindowUnmounts = 0;

// A carrier's own pseudo-random numbers (xorshift): where in its first N
// unmounts of a window the first sample falls.
jlong randomBelow(jlong bound) {
    if (carrierRandom == 0) {
        carrierRandom = reinterpret_cast<uint64_t>(&carrierRandom) ^ static_cast<uint64_t>(Counter::monotonicUsec()) ^
                        0x9e3779b97f4a7c15ULL;
    }
    carrierRandom ^= carrierRandom << 13;
    carrierRandom ^= carrierRandom >> 7;
    carrierRandom ^= carrierRandom << 17;
    return static_cast<jlong>(carrierRandom % static_cast<uint64_t>(bound));
}

void noteId(jlong id) {
    if (id <= 0) {
        return;
    }
    jlong low = lowestId.load(std::memory_order_relaxed);
    while ((low == 0 || id < low) && !lowestId.compare_exchange_weak(low, id, std::memory_order_relaxed)) {
    }
    jlong high = highestId.load(std::memory_order_relaxed);
    while (id > high && !highestId.compare_exchange_weak(high, id, std::memory_order_relaxed)) {
    }
}

void noteThread(JNIEnv* env, jobject thread) {
    if (threadIdField == nullptr || env == nullptr || thread == nullptr) {
        return;
    }
    noteId(env->GetLongField(thread, threadIdField));
}

void* tokenOf(int slot, uint64_t seq) {
    return reinterpret_cast<void*>(TOKEN_BIT | (seq << SLOT_BITS) | static_cast<uint64_t>(slot));
}

void giveBack(int slot) {
    std::lock_guard<std::mutex> guard(poolLock);
    pool[slot].state = FREE;
    freeSlots->push_back(slot);
}

void JNICALL onUnmount(jvmtiEnv* jvmti, JNIEnv* env, jthread thread) {
    if (!active.load(std::memory_order_relaxed) || !windowOpen.load(std::memory_order_acquire)) {
        return;
    }
    uint64_t current = window.load(std::memory_order_relaxed);
    if (carrierWindow != current) {
        // The carrier's first unmount of this window: N from its last one.
        if (carrierWindow != 0) {
            carrierEvery = std::max<jlong>(1, carrierWindowUnmounts / SAMPLES_PER_WINDOW);
        }
        carrierWindow = current;
        carrierWindowUnmounts = 0;
        carrierCountdown = 1 + randomBelow(carrierEvery);
    }
    carrierWindowUnmounts++;
    if (carrierWindowUnmounts > 2 * SAMPLES_PER_WINDOW * carrierEvery) {
        // Far more unmounts than the last window had (a carrier's first
        // window, a burst): sampled more sparsely from here on, so that the
        // pool does not fill with them.
        carrierEvery *= 2;
        carrierCountdown = 1 + randomBelow(carrierEvery);
    }
    if (--carrierCountdown > 0) {
        return;
    }
    carrierCountdown = carrierEvery;
    jlong weight = carrierEvery;
    jlong now = Counter::monotonicUsec();
    int slot = -1;
    {
        std::lock_guard<std::mutex> guard(poolLock);
        // Taken only while the window is open, so that its closing pass
        // gives every record of the window its scale.
        if (!freeSlots->empty() && windowOpen.load(std::memory_order_relaxed) &&
            window.load(std::memory_order_relaxed) == current) {
            slot = freeSlots->back();
            freeSlots->pop_back();
            pool[slot].state = FILLING;
            pool[slot].window = current;
            pool[slot].scale = 0;
        }
    }
    if (slot < 0) {
        lost.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    Record& record = pool[slot];
    jint count = 0;
    jint state = 0;
    // The virtual thread is named, not taken as the current thread: which of
    // the two is current during these events is HotSpot's business.
    bool ok = thread != nullptr && env != nullptr &&
              jvmti->GetStackTrace(thread, 0, depth, record.frames, &count) == JVMTI_ERROR_NONE &&
              jvmti->GetThreadState(thread, &state) == JVMTI_ERROR_NONE;
    jweak ref = ok ? env->NewWeakGlobalRef(thread) : nullptr;
    if (ref == nullptr) {
        if (env != nullptr && env->ExceptionCheck()) {
            env->ExceptionClear();
        }
        giveBack(slot);
        lost.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    uint64_t seq = 0;
    {
        std::lock_guard<std::mutex> guard(poolLock);
        seq = ++record.seq;
        record.frameCount = count;
        record.threadState = state;
        record.weight = weight;
        record.start = now;
        record.watched = windowOpen.load(std::memory_order_relaxed) && window.load(std::memory_order_relaxed) == current;
        record.lastWaiting = now;
        record.thread = ref;
        record.labelsRead = false;
        record.state = WAITING;
    }
    if (jvmti->SetThreadLocalStorage(thread, tokenOf(slot, seq)) != JVMTI_ERROR_NONE) {
        // Unmarked, its mount would not end it; the tick still ends it when
        // it finds it runnable.
        lost.fetch_add(1, std::memory_order_relaxed);
    }
    noteThread(env, thread);
    unmounts.fetch_add(static_cast<uint64_t>(weight), std::memory_order_relaxed);
    sampled.fetch_add(1, std::memory_order_relaxed);
}

void JNICALL onMount(jvmtiEnv* jvmti, JNIEnv* env, jthread thread) {
    void* stored = nullptr;
    if (thread == nullptr || jvmti->GetThreadLocalStorage(thread, &stored) != JVMTI_ERROR_NONE || stored == nullptr) {
        return;
    }
    uint64_t token = reinterpret_cast<uint64_t>(stored);
    if ((token & TOKEN_BIT) == 0) {
        return;  // not ours
    }
    jvmti->SetThreadLocalStorage(thread, nullptr);
    int slot = static_cast<int>(token & ((1ULL << SLOT_BITS) - 1));
    uint64_t seq = (token & ~TOKEN_BIT) >> SLOT_BITS;
    if (slot >= POOL_SIZE) {
        return;
    }
    jlong now = Counter::monotonicUsec();
    std::lock_guard<std::mutex> guard(poolLock);
    Record& record = pool[slot];
    // A record taken at the end of a recording was given out again since.
    if (record.seq == seq && record.state == WAITING) {
        record.end = now;
        record.state = ENDED;
    }
}

// Finds a HotSpot extension event by id; -1 when this JVM has none.
jint findExtensionEvent(jvmtiEnv* jvmti, const char* id) {
    jint count = 0;
    jvmtiExtensionEventInfo* events = nullptr;
    if (jvmti->GetExtensionEvents(&count, &events) != JVMTI_ERROR_NONE || events == nullptr) {
        return -1;
    }
    jint index = -1;
    for (jint i = 0; i < count; i++) {
        if (index < 0 && events[i].id != nullptr && std::strcmp(events[i].id, id) == 0) {
            index = events[i].extension_event_index;
        }
        jvmti->Deallocate(reinterpret_cast<unsigned char*>(events[i].id));
        jvmti->Deallocate(reinterpret_cast<unsigned char*>(events[i].short_description));
        for (jint p = 0; p < events[i].param_count; p++) {
            jvmti->Deallocate(reinterpret_cast<unsigned char*>(events[i].params[p].name));
        }
        jvmti->Deallocate(reinterpret_cast<unsigned char*>(events[i].params));
    }
    jvmti->Deallocate(reinterpret_cast<unsigned char*>(events));
    return index;
}

jvmtiExtensionFunction findExtensionFunction(jvmtiEnv* jvmti, const char* id) {
    jint count = 0;
    jvmtiExtensionFunctionInfo* functions = nullptr;
    if (jvmti->GetExtensionFunctions(&count, &functions) != JVMTI_ERROR_NONE || functions == nullptr) {
        return nullptr;
    }
    jvmtiExtensionFunction found = nullptr;
    for (jint i = 0; i < count; i++) {
        if (found == nullptr && functions[i].id != nullptr && std::strcmp(functions[i].id, id) == 0) {
            found = functions[i].func;
        }
        jvmti->Deallocate(reinterpret_cast<unsigned char*>(functions[i].id));
        jvmti->Deallocate(reinterpret_cast<unsigned char*>(functions[i].short_description));
        for (jint p = 0; p < functions[i].param_count; p++) {
            jvmti->Deallocate(reinterpret_cast<unsigned char*>(functions[i].params[p].name));
        }
        jvmti->Deallocate(reinterpret_cast<unsigned char*>(functions[i].params));
        jvmti->Deallocate(reinterpret_cast<unsigned char*>(functions[i].errors));
    }
    jvmti->Deallocate(reinterpret_cast<unsigned char*>(functions));
    return found;
}


bool setEvents(jvmtiEventMode mode) {
    if (eventsEnv == nullptr) {
        return false;
    }
    jvmtiError unmount = eventsEnv->SetEventNotificationMode(mode, static_cast<jvmtiEvent>(unmountEvent), nullptr);
    jvmtiError mount = eventsEnv->SetEventNotificationMode(mode, static_cast<jvmtiEvent>(mountEvent), nullptr);
    if (unmount != JVMTI_ERROR_NONE || mount != JVMTI_ERROR_NONE) {
        MessageUtil::debugOut(0, 4, "virtual threads: mount events could not be %s\n",
                              mode == JVMTI_ENABLE ? "enabled" : "disabled");
        return false;
    }
    return true;
}

// Switches the events off and gives the window's records their scale:
// each of the window's unmounts stands for cycle / window length of them.
// Records still waiting are no longer watched by mount events.
void closeWindow(jlong now) {
    if (!windowOpen.load(std::memory_order_relaxed)) {
        return;
    }
    setEvents(JVMTI_DISABLE);
    jlong length = std::max<jlong>(1, now - windowOpened);
    double scale = std::max(1.0, static_cast<double>(CYCLE_MICROS) / static_cast<double>(length));
    uint64_t closing = window.load(std::memory_order_relaxed);
    std::lock_guard<std::mutex> guard(poolLock);
    windowOpen.store(false, std::memory_order_release);
    for (int i = 0; i < POOL_SIZE; i++) {
        Record& record = pool[i];
        if (record.state == FREE) {
            continue;
        }
        if (record.window == closing) {
            record.scale = scale;
        }
        record.watched = false;
    }
}

}  // namespace

void setVirtualThreadCapability(jvmtiCapabilities* capabilities) {
    // can_support_virtual_threads is the bit after
    // can_generate_sampled_object_alloc_events; found through that one so
    // that no bit-field layout is assumed.
    jvmtiCapabilities probe;
    std::memset(&probe, 0, sizeof probe);
    probe.can_generate_sampled_object_alloc_events = 1;
    unsigned char* bytes = reinterpret_cast<unsigned char*>(&probe);
    for (size_t bit = 0; bit + 1 < sizeof probe * 8; bit++) {
        if ((bytes[bit / 8] & (1u << (bit % 8))) != 0) {
            size_t next = bit + 1;
            reinterpret_cast<unsigned char*>(capabilities)[next / 8] |= static_cast<unsigned char>(1u << (next % 8));
            return;
        }
    }
}

bool enable(JNIEnv* env, jvmtiEnv* jvmti, int maxDepth) {
    if (tried || jvmti == nullptr) {
        return enabled;
    }
    tried = true;
    jint version = 0;
    if (jvmti->GetVersionNumber(&version) != JVMTI_ERROR_NONE ||
        ((version & JVMTI_VERSION_MASK_MAJOR) >> JVMTI_VERSION_SHIFT_MAJOR) < 21) {
        MessageUtil::debugOut(0, 4, "virtual threads: JVMTI before 21, no mount events\n");
        return false;
    }
    jint mount = findExtensionEvent(jvmti, MOUNT_EVENT);
    jint unmount = findExtensionEvent(jvmti, UNMOUNT_EVENT);
    if (mount < 0 || unmount < 0) {
        MessageUtil::debugOut(0, 4, "virtual threads: no mount events in this JVM\n");
        return false;
    }
    jvmtiCapabilities wanted;
    std::memset(&wanted, 0, sizeof wanted);
    setVirtualThreadCapability(&wanted);
    jvmtiError error = jvmti->AddCapabilities(&wanted);
    if (error != JVMTI_ERROR_NONE) {
        MessageUtil::debugOut(0, 4, "virtual threads: capability refused: %s\n", JvmtiErrorText(error).get());
        return false;
    }
    depth = maxDepth > 0 && maxDepth < MAX_WAIT_DEPTH ? maxDepth : MAX_WAIT_DEPTH;
    pool = new (std::nothrow) Record[POOL_SIZE];
    freeSlots = new (std::nothrow) std::vector<int>();
    if (pool == nullptr || freeSlots == nullptr) {
        return false;
    }
    freeSlots->reserve(POOL_SIZE);
    for (int i = POOL_SIZE - 1; i >= 0; i--) {
        pool[i].frames = new (std::nothrow) jvmtiFrameInfo[depth];
        if (pool[i].frames != nullptr) {
            freeSlots->push_back(i);
        }
    }
    getVirtualThread = reinterpret_cast<GetVirtualThreadFunction>(findExtensionFunction(jvmti, GET_VIRTUAL_THREAD));
    if (jvmti->SetExtensionEventCallback(mount, reinterpret_cast<jvmtiExtensionEvent>(&onMount)) !=
            JVMTI_ERROR_NONE ||
        jvmti->SetExtensionEventCallback(unmount, reinterpret_cast<jvmtiExtensionEvent>(&onUnmount)) !=
            JVMTI_ERROR_NONE) {
        jvmti->SetExtensionEventCallback(mount, nullptr);
        MessageUtil::debugOut(0, 4, "virtual threads: mount events refused\n");
        return false;
    }
    // The events stay off until a window opens (cycle).
    mountEvent = mount;
    unmountEvent = unmount;
    eventsEnv = jvmti;
    if (env != nullptr) {
        jclass threadClass = env->FindClass("java/lang/Thread");
        threadIdField = threadClass != nullptr ? env->GetFieldID(threadClass, "tid", "J") : nullptr;
        if (env->ExceptionCheck()) {
            env->ExceptionClear();
            threadIdField = nullptr;
        }
        if (threadClass != nullptr) {
            env->DeleteLocalRef(threadClass);
        }
    }
    enabled = true;
    return true;
}

bool isEnabled() {
    return enabled;
}

void setActive(bool on) {
    if (pool != nullptr) {
        closeWindow(Counter::monotonicUsec());
    }
    if (on && pool != nullptr) {
        // Samples taken as the last recording stopped belong to no recording:
        // given back empty, so the next takeWaits books nothing for them.
        std::lock_guard<std::mutex> guard(poolLock);
        for (int i = 0; i < POOL_SIZE; i++) {
            if (pool[i].state == WAITING || pool[i].state == ENDED) {
                pool[i].end = pool[i].start;
                pool[i].seq++;
                pool[i].state = ENDED;
            }
        }
    }
    if (on) {
        nextWindow = Counter::monotonicUsec();
        lowestId.store(0, std::memory_order_relaxed);
        highestId.store(0, std::memory_order_relaxed);
        unmounts.store(0, std::memory_order_relaxed);
        sampled.store(0, std::memory_order_relaxed);
        lost.store(0, std::memory_order_relaxed);
    }
    active.store(on, std::memory_order_release);
}

void cycle() {
    if (pool == nullptr || !active.load(std::memory_order_relaxed)) {
        return;
    }
    jlong now = Counter::monotonicUsec();
    if (windowOpen.load(std::memory_order_relaxed)) {
        if (now - windowOpened >= MIN_WINDOW_MICROS) {
            closeWindow(now);
        }
        return;
    }
    if (now < nextWindow) {
        return;
    }
    // One window per cycle on average; a recorder that fell far behind
    // starts counting afresh instead of opening windows back to back.
    nextWindow = now - nextWindow > CYCLE_MICROS ? now + CYCLE_MICROS : nextWindow + CYCLE_MICROS;
    window.fetch_add(1, std::memory_order_relaxed);
    windowOpened = now;
    windowOpen.store(true, std::memory_order_release);
    if (!setEvents(JVMTI_ENABLE)) {
        closeWindow(now);
    }
}

void checkWaits(JNIEnv* env, jvmtiEnv* jvmti, LabelReader readLabels) {
    if (pool == nullptr || env == nullptr || jvmti == nullptr) {
        return;
    }
    // Read outside the pool's lock: the events must never wait for JVMTI.
    std::vector<std::pair<int, uint64_t>>& open = checkScratch();
    open.clear();
    jlong now = Counter::monotonicUsec();
    {
        std::lock_guard<std::mutex> guard(poolLock);
        for (int i = 0; i < POOL_SIZE; i++) {
            if (pool[i].state == WAITING && now - pool[i].start >= MIN_CHECK_AGE_MICROS) {
                open.push_back({i, pool[i].seq});
            }
        }
    }
    for (const std::pair<int, uint64_t>& entry : open) {
        Record& record = pool[entry.first];
        jweak ref = nullptr;
        {
            std::lock_guard<std::mutex> guard(poolLock);
            if (record.state != WAITING || record.seq != entry.second) {
                continue;
            }
            ref = record.thread;
        }
        jobject thread = env->NewLocalRef(ref);
        jlong labels[MAX_LABELS + 1] = {};
        bool labelsRead = !record.labelsRead && thread != nullptr && readLabels != nullptr &&
                          readLabels(env, thread, labels);
        jint state = 0;
        bool runnable = true;
        // A virtual thread ends while mounted, so one that ended without
        // mounting again unmounted to end: that was no wait.
        bool ended = true;
        if (thread != nullptr && jvmti->GetThreadState(thread, &state) == JVMTI_ERROR_NONE) {
            runnable = (state & JVMTI_THREAD_STATE_RUNNABLE) != 0;
            ended = (state & JVMTI_THREAD_STATE_ALIVE) == 0;
        }
        if (thread != nullptr) {
            env->DeleteLocalRef(thread);
        }
        std::lock_guard<std::mutex> guard(poolLock);
        if (record.state != WAITING || record.seq != entry.second) {
            continue;  // mounted meanwhile
        }
        if (labelsRead) {
            std::memcpy(record.labels, labels, sizeof labels);
            record.labelsRead = true;
        }
        if (ended && record.watched) {
            record.end = record.start;  // nothing to book
            record.seq++;
            record.state = ENDED;
        } else if (ended || runnable) {
            // Woken: it waits for a carrier now, which is not its wait; or,
            // unwatched since its window closed, it ran to its end. It
            // woke between the last two checks.
            record.end = (record.lastWaiting + now) / 2;
            record.seq++;
            record.state = ENDED;
        } else {
            // As it unmounted it was still on its way out; now its state
            // says whether it waits or is blocked entering a monitor.
            record.threadState = state;
            record.lastWaiting = now;
        }
    }
}

void takeWaits(std::vector<Wait>& out, bool all) {
    out.clear();
    if (pool == nullptr) {
        return;
    }
    jlong now = all ? Counter::monotonicUsec() : 0;
    if (all) {
        closeWindow(now);
    }
    std::lock_guard<std::mutex> guard(poolLock);
    for (int i = 0; i < POOL_SIZE; i++) {
        Record& record = pool[i];
        if (record.state == WAITING && all) {
            // Still waiting at the end: booked until now, and the virtual
            // thread's mark no longer matches the record.
            record.end = now;
            record.seq++;
            record.state = ENDED;
        }
        if (record.state == ENDED && record.scale > 0) {
            record.state = TAKEN;
            out.push_back({record.frames, record.frameCount, record.threadState,
                           static_cast<double>(record.weight) * record.scale, record.start, record.end, i,
                           record.labelsRead, record.labels});
        }
    }
}

void release(JNIEnv* env, const std::vector<Wait>& waits) {
    if (pool == nullptr) {
        return;
    }
    std::vector<jweak> refs;
    {
        std::lock_guard<std::mutex> guard(poolLock);
        for (const Wait& wait : waits) {
            if (wait.slot >= 0 && wait.slot < POOL_SIZE && pool[wait.slot].state == TAKEN) {
                refs.push_back(pool[wait.slot].thread);
                pool[wait.slot].thread = nullptr;
                pool[wait.slot].state = FREE;
                freeSlots->push_back(wait.slot);
            }
        }
    }
    for (jweak ref : refs) {
        if (ref != nullptr && env != nullptr) {
            env->DeleteWeakGlobalRef(ref);
        }
    }
}

Counts counts() {
    jlong low = lowestId.load(std::memory_order_relaxed);
    jlong high = highestId.load(std::memory_order_relaxed);
    uint64_t span = low > 0 && high >= low ? static_cast<uint64_t>(high - low + 1) : 0;
    return {span, unmounts.load(std::memory_order_relaxed), sampled.load(std::memory_order_relaxed),
            lost.load(std::memory_order_relaxed), window.load(std::memory_order_relaxed)};
}

jthread mountedVirtualThread(JNIEnv* env, jvmtiEnv* jvmti, jthread carrier) {
    if (getVirtualThread == nullptr || carrier == nullptr) {
        return nullptr;
    }
    jthread vthread = nullptr;
    if (getVirtualThread(jvmti, carrier, &vthread) != JVMTI_ERROR_NONE) {
        return nullptr;
    }
    if (active.load(std::memory_order_relaxed)) {
        noteThread(env, vthread);
    }
    return vthread;
}

}  // namespace VirtualThreadEvents
