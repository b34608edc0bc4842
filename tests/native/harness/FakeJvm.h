#ifndef TOLVANE_TESTS_FAKEJVM_H
#define TOLVANE_TESTS_FAKEJVM_H

// One fake JVM for the native tests: zero-initialised JVMTI, JNI and
// invocation tables, so any call a test did not ask for jumps through a null
// pointer and fails loudly. A test installs the groups of functions it needs
// (installMethods, installArrays, installMonitors, ...) and may replace any
// single function with its own capture-less lambda. The fakes are plain
// functions; they reach the JVM's model through FakeJvm::current(), the most
// recently constructed instance.
//
// The library's method and line-number maps are process-wide and outlive a
// test, so every method id a FakeJvm hands out is new to the process.

#include <jni.h>
#include <jvmti.h>
#include <sys/types.h>

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace harness {

struct Method {
    std::string classSignature;  // such as Lcom/acme/Shop;
    std::string name;
    std::string signature = "()V";
    bool hasLines = true;  // without a table JVMTI answers as for a native method
    std::vector<jvmtiLineNumberEntry> lines;
    jvmtiError classError = JVMTI_ERROR_NONE;           // GetMethodDeclaringClass
    jvmtiError classSignatureError = JVMTI_ERROR_NONE;  // GetClassSignature
    jvmtiError nameError = JVMTI_ERROR_NONE;            // GetMethodName
    int lineTableRequests = 0;
};

// A Java String[] or long[]: the array reference points at one of these.
// A String[]'s elements are jstrings pointing at their characters (null
// elements stay null).
struct Array {
    std::vector<const char*> strings;
    std::vector<jlong> longs;

    static Array ofLongs(std::vector<jlong> values) {
        Array array;
        array.longs = std::move(values);
        return array;
    }
    jobjectArray objects() { return reinterpret_cast<jobjectArray>(this); }
    jlongArray longArray() { return reinterpret_cast<jlongArray>(this); }
};

// A Java thread, keyed by its jthread. A thread the fakes meet without
// being told about it is alive and runnable, with an empty stack. What the
// JVM keeps per thread and changes while it runs is atomic, as the real one
// is thread-safe; the fakes access it relaxed, adding no ordering that could
// hide a missing lock in the library.
struct Thread {
    const char* name = "worker";  // GetThreadInfo; null gives no name
    std::atomic<jint> state{JVMTI_THREAD_STATE_ALIVE | JVMTI_THREAD_STATE_RUNNABLE};  // 0: not started yet
    jvmtiError stateError = JVMTI_ERROR_NONE;  // GetThreadState fails with this
    bool startsAtStateRead = false;            // a thread not started yet starts as its state is read
    bool collected = false;                    // its weak reference leads nowhere (NewLocalRef)
    std::atomic<const void*> storage{nullptr};  // thread-local storage
    std::vector<jvmtiFrameInfo> frames;        // innermost first, as JVMTI hands them out
    jlong cpuNanos = 0;
    bool cpuUnreadable = false;
    // Its kernel thread: the fake kernel reads cpuNanos through this id
    // while the thread is alive (0: no kernel thread stands for it).
    pid_t nativeId = 0;
    bool nativeClockUnreadable = false;
    bool endsAtCapture = false;  // dies between its state read and its capture
    // States it moves to, one after each single capture of its stack (it
    // parks or wakes between the capture and the next state read).
    std::vector<jint> statesAfterCapture;

    jint currentState() const { return state.load(std::memory_order_relaxed); }
    bool alive() const { return (currentState() & JVMTI_THREAD_STATE_ALIVE) != 0; }
};

// How often the fakes were called. Atomics, counted without ordering,
// because the stress test calls the fakes from several threads.
struct Calls {
    std::atomic<int> declaringClass{0};
    std::atomic<int> classSignature{0};
    std::atomic<int> methodName{0};
    std::atomic<int> allocations{0};    // buffers handed out as JVMTI memory
    std::atomic<int> deallocations{0};  // Deallocate calls
    std::atomic<int> newLocalRefs{0};
    std::atomic<int> deleteLocalRefs{0};
    std::atomic<int> utfGets{0};
    std::atomic<int> utfReleases{0};
    std::atomic<int> arrayGets{0};
    std::atomic<int> arrayReleases{0};
    std::atomic<int> nonAbortReleases{0};  // releases that would copy back
    std::atomic<int> exceptionsDescribed{0};
    std::atomic<int> exceptionsCleared{0};
    std::atomic<int> monitorEnters{0};
    std::atomic<int> monitorExits{0};
    std::atomic<int> monitorDepth{0};
    std::atomic<int> weakDeletes{0};
    std::atomic<int> threadInfos{0};
    std::atomic<int> stateReads{0};
    std::atomic<int> cpuReads{0};
    std::atomic<int> stackCalls{0};  // batched captures (GetThreadListStackTraces)
    std::atomic<int> stackBuffersFreed{0};
    std::atomic<int> pushes{0};
    std::atomic<int> pops{0};
    std::atomic<int> nativeClockReads{0};  // the fake kernel's thread CPU clocks

    void reset();
};

class FakeJvm {
public:
    FakeJvm();
    ~FakeJvm();
    FakeJvm(const FakeJvm&) = delete;
    FakeJvm& operator=(const FakeJvm&) = delete;

    static FakeJvm& current();

    jvmtiEnv* jvmti() { return &jvmtiEnv_; }
    JNIEnv* jni() { return &jniEnv_; }
    JavaVM* vm() { return &vm_; }

    // Deallocate, which frees what the fakes allocated with malloc.
    void installMemory();
    // ExceptionCheck, -Describe and -Clear over exceptionPending.
    void installExceptions();
    // Method identity: GetMethodDeclaringClass, GetClassSignature,
    // GetMethodName, GetLineNumberTable, DeleteLocalRef, and memory.
    void installMethods();
    // String[] and long[] arrays and modified UTF-8 chars, with the
    // exceptions they may raise.
    void installArrays();
    // RawMonitorEnter and -Exit that count, without locking.
    void installMonitors();
    // Raw monitors that really lock, re-entrant like JVMTI's: CreateRawMonitor,
    // RawMonitorEnter and -Exit, for tests that run the library on several
    // threads. They live as long as the FakeJvm.
    void installLockingMonitors();
    // Global, weak and local references to threads; a collected thread's
    // weak reference gives no local one.
    void installThreadRefs();
    // GetThreadState.
    void installThreadState();
    // Threads: their state, thread-local storage, thread and group info,
    // and the references to them.
    void installThreads();
    // Batched stack captures (GetThreadListStackTraces) and local frames.
    void installStacks();
    // What a tick that checks threads for CPU use calls: GetThreadCpuTime,
    // GetThreadState and single captures (GetStackTrace).
    void installSingleCaptures();

    // The thread a handle names; a null handle names the calling thread, as
    // in JVMTI. Threads used from several threads must be created up front.
    Thread& thread(jthread handle) { return threads[handle != nullptr ? handle : currentThread()]; }
    // The jthread of the calling (native) thread, for null thread arguments.
    static void setCurrentThread(jthread handle);
    static jthread currentThread();

    // A method of a class given by its dotted name, with a line table.
    jmethodID newMethod(const std::string& className, const std::string& name,
                        std::vector<jvmtiLineNumberEntry> lines = {}, bool hasLines = true);
    // A method given by its class signature and method signature.
    jmethodID newMethodWithSignature(const std::string& classSignature, const std::string& name,
                                     const std::string& signature);
    Method& method(jmethodID id) { return methods.at(id); }
    Method* findMethod(jmethodID id);

    // Forgets the calls seen and any pending exception.
    void reset();

    // Drops the line-number cache's records of this JVM's methods (their
    // tables came from malloc), so the leak checker sees no orphans.
    void releaseLineCache();

    // A malloc copy, as JVMTI hands out memory that Deallocate frees.
    static char* jvmtiCopy(const std::string& text);

    jvmtiInterface_1_ jvmtiFunctions;
    JNINativeInterface_ jniFunctions;
    JNIInvokeInterface_ vmFunctions;

    std::map<jmethodID, Method> methods;
    std::map<jthread, Thread> threads;
    Calls calls;
    // The fake kernel (NativeThreads): every FakeJvm answers for it while it
    // is the current one. Its threads are those of `threads` with a native
    // id, plus these others (id -> CPU time).
    std::map<pid_t, jlong> otherNativeThreads;
    pid_t currentNativeId = 0;  // what the calling thread's id reads as
    std::atomic<bool> exceptionPending{false};
    bool failArrayGet = false;  // GetLongArrayElements answers null with an exception
    bool threadInfoFails = false;
    bool groupInfoFails = false;
    bool setStorageFails = false;

    // What the stack captures saw and did.
    jvmtiError stackError = JVMTI_ERROR_NONE;  // GetThreadListStackTraces fails with this
    std::vector<jthread> lastThreads;          // of the last batched capture
    jint lastMaxDepth = 0;
    std::vector<jthread> singleCaptures;       // GetStackTrace, in call order
    bool monitorHeldDuringCapture = false;     // of the last capture
    int captureDelayMicros = 0;
    void (*beforeBatchCapture)() = nullptr;
    void* stackBuffer = nullptr;  // handed out by the last batched capture, until deallocated
    jint lastCapacity = 0;        // of the last PushLocalFrame
    bool failPush = false;        // PushLocalFrame fails with OutOfMemoryError pending

private:
    _jvmtiEnv jvmtiEnv_;
    JNIEnv_ jniEnv_;
    JavaVM_ vm_;
    FakeJvm* previous;
    std::mutex monitorsLock;
    std::deque<std::recursive_mutex> monitors;
};

// A Java string whose characters cannot be obtained (GetStringUTFChars
// fails with an exception pending).
const char* unreadableString();

inline jstring jstr(const char* s) {
    return reinterpret_cast<jstring>(const_cast<char*>(s));
}

// base + a number used by no other call, e.g. "reg7", for class names that
// the process-wide registry has not seen.
std::string uniqueName(const char* base);

inline jvmtiFrameInfo frame(jmethodID method, jlocation location) {
    jvmtiFrameInfo f;
    f.method = method;
    f.location = location;
    return f;
}

}  // namespace harness

#endif
