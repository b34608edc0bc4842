#include "FakeJvm.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "CallTreeSampler.h"
#include "NativeThreads.h"
#include "PointerHashMap.h"

namespace harness {

namespace {

FakeJvm* g_current = nullptr;
thread_local jthread t_currentThread = nullptr;

// What GetThreadInfo and GetThreadGroupInfo hand out as local references.
_jobject g_group, g_parentGroup, g_loader;

FakeJvm& jvm() {
    return FakeJvm::current();
}

// Counts without ordering: the stress test calls the fakes from several
// threads, and a synchronising counter would hide a missing lock in the
// library from ThreadSanitizer.
void bump(std::atomic<int>& count, int by = 1) {
    count.fetch_add(by, std::memory_order_relaxed);
}

char* counted(const std::string& text) {
    bump(jvm().calls.allocations);
    return FakeJvm::jvmtiCopy(text);
}

pid_t fakeCurrentId() {
    return jvm().currentNativeId;
}

int64_t fakeCpuTime(pid_t id) {
    bump(jvm().calls.nativeClockReads);
    if (id <= 0) {
        return -1;
    }
    for (auto& entry : jvm().threads) {
        Thread& t = entry.second;
        if (t.nativeId == id && t.alive()) {
            return t.nativeClockUnreadable ? -1 : t.cpuNanos;
        }
    }
    auto other = jvm().otherNativeThreads.find(id);
    return other != jvm().otherNativeThreads.end() ? other->second : -1;
}

const NativeThreads::Source FAKE_KERNEL = {&fakeCurrentId, &fakeCpuTime};

}  // namespace

FakeJvm::FakeJvm() : previous(g_current) {
    std::memset(&jvmtiFunctions, 0, sizeof jvmtiFunctions);
    std::memset(&jniFunctions, 0, sizeof jniFunctions);
    std::memset(&vmFunctions, 0, sizeof vmFunctions);
    jvmtiEnv_.functions = &jvmtiFunctions;
    jniEnv_.functions = &jniFunctions;
    vm_.functions = &vmFunctions;
    g_current = this;
    NativeThreads::setSource(&FAKE_KERNEL);
}

FakeJvm::~FakeJvm() {
    g_current = previous;
    if (previous == nullptr) {
        NativeThreads::setSource(nullptr);
    }
}

void FakeJvm::setCurrentThread(jthread handle) {
    t_currentThread = handle;
}

jthread FakeJvm::currentThread() {
    return t_currentThread;
}

FakeJvm& FakeJvm::current() {
    return *g_current;
}

char* FakeJvm::jvmtiCopy(const std::string& text) {
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

jmethodID FakeJvm::newMethodWithSignature(const std::string& classSignature, const std::string& name,
                                          const std::string& signature) {
    static std::atomic<uintptr_t> next{0x7f0000100000};
    jmethodID id = reinterpret_cast<jmethodID>(next += 16);
    Method& m = methods[id];
    m.classSignature = classSignature;
    m.name = name;
    m.signature = signature;
    return id;
}

jmethodID FakeJvm::newMethod(const std::string& className, const std::string& name,
                             std::vector<jvmtiLineNumberEntry> lines, bool hasLines) {
    std::string signature = "L" + className + ";";
    for (char& c : signature) {
        if (c == '.') {
            c = '/';
        }
    }
    jmethodID id = newMethodWithSignature(signature, name, "()V");
    Method& m = methods[id];
    m.lines = std::move(lines);
    m.hasLines = hasLines;
    return id;
}

void Calls::reset() {
    for (std::atomic<int>* count :
         {&declaringClass, &classSignature, &methodName, &allocations, &deallocations, &deleteLocalRefs, &utfGets,
          &utfReleases, &arrayGets, &arrayReleases, &nonAbortReleases, &exceptionsDescribed, &exceptionsCleared,
          &monitorEnters, &monitorExits, &monitorDepth, &weakDeletes, &threadInfos, &stateReads, &cpuReads,
          &stackCalls, &stackBuffersFreed, &pushes, &pops, &newLocalRefs, &nativeClockReads}) {
        count->store(0);
    }
}

void FakeJvm::reset() {
    calls.reset();
    exceptionPending = false;
    failArrayGet = false;
}

Method* FakeJvm::findMethod(jmethodID id) {
    auto it = methods.find(id);
    return it != methods.end() ? &it->second : nullptr;
}

void FakeJvm::releaseLineCache() {
    for (auto& entry : methods) {
        LineNumberTableStruct* record = CallTreeHelper::methodId2LineNumberTableStruct.remove(entry.first);
        if (record != nullptr && record != CallTreeHelper::emptyStruct) {
            std::free(record->table);
            delete record;
        }
    }
}

void FakeJvm::installMethods() {
    jvmtiFunctions.GetMethodDeclaringClass = [](jvmtiEnv*, jmethodID method, jclass* klass) {
        bump(jvm().calls.declaringClass);
        Method* m = jvm().findMethod(method);
        if (m == nullptr) {
            return JVMTI_ERROR_INVALID_METHODID;
        }
        if (m->classError != JVMTI_ERROR_NONE) {
            return m->classError;
        }
        *klass = reinterpret_cast<jclass>(method);  // the method stands for its class
        return JVMTI_ERROR_NONE;
    };
    jvmtiFunctions.GetClassSignature = [](jvmtiEnv*, jclass klass, char** signature, char** generic) {
        bump(jvm().calls.classSignature);
        Method* m = jvm().findMethod(reinterpret_cast<jmethodID>(klass));
        if (m == nullptr) {
            return JVMTI_ERROR_INVALID_CLASS;
        }
        if (m->classSignatureError != JVMTI_ERROR_NONE) {
            return m->classSignatureError;
        }
        *signature = counted(m->classSignature);
        if (generic != nullptr) {
            *generic = nullptr;
        }
        return JVMTI_ERROR_NONE;
    };
    jvmtiFunctions.GetMethodName = [](jvmtiEnv*, jmethodID method, char** name, char** signature,
                                      char** generic) {
        bump(jvm().calls.methodName);
        Method* m = jvm().findMethod(method);
        if (m == nullptr) {
            return JVMTI_ERROR_INVALID_METHODID;
        }
        if (m->nameError != JVMTI_ERROR_NONE) {
            return m->nameError;
        }
        if (name != nullptr) {
            *name = counted(m->name);
        }
        if (signature != nullptr) {
            *signature = counted(m->signature);
        }
        if (generic != nullptr) {
            *generic = nullptr;
        }
        return JVMTI_ERROR_NONE;
    };
    jvmtiFunctions.GetLineNumberTable = [](jvmtiEnv*, jmethodID method, jint* count,
                                           jvmtiLineNumberEntry** table) {
        Method* m = jvm().findMethod(method);
        if (m == nullptr) {
            return JVMTI_ERROR_INVALID_METHODID;
        }
        m->lineTableRequests++;
        if (!m->hasLines) {
            return JVMTI_ERROR_NATIVE_METHOD;
        }
        size_t bytes = m->lines.size() * sizeof(jvmtiLineNumberEntry);
        *table = static_cast<jvmtiLineNumberEntry*>(std::malloc(bytes > 0 ? bytes : 1));
        if (bytes > 0) {
            std::memcpy(*table, m->lines.data(), bytes);
        }
        *count = static_cast<jint>(m->lines.size());
        return JVMTI_ERROR_NONE;
    };
    jniFunctions.DeleteLocalRef = [](JNIEnv*, jobject) { bump(jvm().calls.deleteLocalRefs); };
    installMemory();
}

void FakeJvm::installMemory() {
    jvmtiFunctions.Deallocate = [](jvmtiEnv*, unsigned char* mem) {
        bump(jvm().calls.deallocations);
        if (mem != nullptr && mem == jvm().stackBuffer) {
            bump(jvm().calls.stackBuffersFreed);
            jvm().stackBuffer = nullptr;
        }
        std::free(mem);
        return JVMTI_ERROR_NONE;
    };
}

void FakeJvm::installExceptions() {
    jniFunctions.ExceptionCheck = [](JNIEnv*) -> jboolean {
        return jvm().exceptionPending.load(std::memory_order_relaxed) ? JNI_TRUE : JNI_FALSE;
    };
    jniFunctions.ExceptionDescribe = [](JNIEnv*) { bump(jvm().calls.exceptionsDescribed); };
    jniFunctions.ExceptionClear = [](JNIEnv*) {
        jvm().exceptionPending.store(false, std::memory_order_relaxed);
        bump(jvm().calls.exceptionsCleared);
    };
}

void FakeJvm::installArrays() {
    installExceptions();
    jniFunctions.GetArrayLength = [](JNIEnv*, jarray array) -> jsize {
        Array* a = reinterpret_cast<Array*>(array);
        return static_cast<jsize>(a->strings.size() + a->longs.size());
    };
    jniFunctions.GetObjectArrayElement = [](JNIEnv*, jobjectArray array, jsize i) -> jobject {
        const char* element = reinterpret_cast<Array*>(array)->strings.at(static_cast<size_t>(i));
        return reinterpret_cast<jobject>(const_cast<char*>(element));
    };
    jniFunctions.GetStringUTFChars = [](JNIEnv*, jstring s, jboolean*) -> const char* {
        const char* chars = reinterpret_cast<const char*>(s);
        if (chars == unreadableString()) {
            jvm().exceptionPending.store(true, std::memory_order_relaxed);
            return nullptr;
        }
        bump(jvm().calls.utfGets);
        return chars;
    };
    jniFunctions.ReleaseStringUTFChars = [](JNIEnv*, jstring, const char*) { bump(jvm().calls.utfReleases); };
    jniFunctions.GetLongArrayElements = [](JNIEnv*, jlongArray array, jboolean* isCopy) -> jlong* {
        if (jvm().failArrayGet) {
            jvm().exceptionPending.store(true, std::memory_order_relaxed);
            return nullptr;
        }
        bump(jvm().calls.arrayGets);
        if (isCopy != nullptr) {
            *isCopy = JNI_FALSE;
        }
        return reinterpret_cast<Array*>(array)->longs.data();
    };
    jniFunctions.ReleaseLongArrayElements = [](JNIEnv*, jlongArray, jlong*, jint mode) {
        bump(jvm().calls.arrayReleases);
        if (mode != JNI_ABORT) {
            bump(jvm().calls.nonAbortReleases);
        }
    };
}

void FakeJvm::installMonitors() {
    jvmtiFunctions.RawMonitorEnter = [](jvmtiEnv*, jrawMonitorID) {
        bump(jvm().calls.monitorDepth);
        bump(jvm().calls.monitorEnters);
        return JVMTI_ERROR_NONE;
    };
    jvmtiFunctions.RawMonitorExit = [](jvmtiEnv*, jrawMonitorID) {
        bump(jvm().calls.monitorDepth, -1);
        bump(jvm().calls.monitorExits);
        return JVMTI_ERROR_NONE;
    };
}

void FakeJvm::installLockingMonitors() {
    jvmtiFunctions.CreateRawMonitor = [](jvmtiEnv*, const char*, jrawMonitorID* monitor) {
        FakeJvm& f = jvm();
        std::lock_guard<std::mutex> guard(f.monitorsLock);
        f.monitors.emplace_back();
        *monitor = reinterpret_cast<jrawMonitorID>(&f.monitors.back());
        return JVMTI_ERROR_NONE;
    };
    jvmtiFunctions.RawMonitorEnter = [](jvmtiEnv*, jrawMonitorID monitor) {
        reinterpret_cast<std::recursive_mutex*>(monitor)->lock();
        return JVMTI_ERROR_NONE;
    };
    jvmtiFunctions.RawMonitorExit = [](jvmtiEnv*, jrawMonitorID monitor) {
        reinterpret_cast<std::recursive_mutex*>(monitor)->unlock();
        return JVMTI_ERROR_NONE;
    };
}

void FakeJvm::installThreads() {
    installMemory();
    installThreadState();
    jvmtiFunctions.GetThreadLocalStorage = [](jvmtiEnv*, jthread handle, void** data) {
        Thread& t = jvm().thread(handle);
        if (t.currentState() & JVMTI_THREAD_STATE_TERMINATED) {
            return JVMTI_ERROR_THREAD_NOT_ALIVE;
        }
        *data = const_cast<void*>(t.storage.load(std::memory_order_relaxed));
        return JVMTI_ERROR_NONE;
    };
    jvmtiFunctions.SetThreadLocalStorage = [](jvmtiEnv*, jthread handle, const void* data) {
        Thread& t = jvm().thread(handle);
        if (jvm().setStorageFails || !t.alive()) {
            return JVMTI_ERROR_THREAD_NOT_ALIVE;
        }
        t.storage.store(data, std::memory_order_relaxed);
        return JVMTI_ERROR_NONE;
    };
    jvmtiFunctions.GetThreadInfo = [](jvmtiEnv*, jthread handle, jvmtiThreadInfo* info) {
        bump(jvm().calls.threadInfos);
        if (jvm().threadInfoFails) {
            return JVMTI_ERROR_INVALID_THREAD;
        }
        const char* name = jvm().thread(handle).name;
        info->name = name == nullptr ? nullptr : counted(name);
        info->thread_group = &g_group;
        info->context_class_loader = &g_loader;
        return JVMTI_ERROR_NONE;
    };
    jvmtiFunctions.GetThreadGroupInfo = [](jvmtiEnv*, jthreadGroup, jvmtiThreadGroupInfo* info) {
        if (jvm().groupInfoFails) {
            return JVMTI_ERROR_INVALID_THREAD_GROUP;
        }
        info->name = counted("workers");
        info->parent = &g_parentGroup;
        return JVMTI_ERROR_NONE;
    };
    installThreadRefs();
}

void FakeJvm::installThreadRefs() {
    jniFunctions.NewWeakGlobalRef = [](JNIEnv*, jobject obj) -> jweak { return obj; };
    jniFunctions.NewLocalRef = [](JNIEnv*, jobject ref) -> jobject {
        bump(jvm().calls.newLocalRefs);
        auto it = jvm().threads.find(ref);
        return it != jvm().threads.end() && it->second.collected ? nullptr : ref;
    };
    jniFunctions.DeleteLocalRef = [](JNIEnv*, jobject) { bump(jvm().calls.deleteLocalRefs); };
    jniFunctions.DeleteWeakGlobalRef = [](JNIEnv*, jweak) { bump(jvm().calls.weakDeletes); };
    jniFunctions.DeleteGlobalRef = [](JNIEnv*, jobject) {};
    jniFunctions.IsSameObject = [](JNIEnv*, jobject a, jobject b) -> jboolean { return a == b; };
}

void FakeJvm::installThreadState() {
    jvmtiFunctions.GetThreadState = [](jvmtiEnv*, jthread handle, jint* state) {
        bump(jvm().calls.stateReads);
        Thread& t = jvm().thread(handle);
        if (t.startsAtStateRead && t.currentState() == 0) {
            t.state.store(JVMTI_THREAD_STATE_ALIVE | JVMTI_THREAD_STATE_RUNNABLE, std::memory_order_relaxed);
        }
        if (t.stateError != JVMTI_ERROR_NONE) {
            return t.stateError;
        }
        *state = t.currentState();
        return JVMTI_ERROR_NONE;
    };
}

void FakeJvm::installStacks() {
    installMemory();
    jvmtiFunctions.GetThreadListStackTraces = [](jvmtiEnv*, jint count, const jthread* list, jint maxFrames,
                                                 jvmtiStackInfo** out) {
        FakeJvm& f = jvm();
        bump(f.calls.stackCalls);
        if (f.beforeBatchCapture != nullptr) {
            f.beforeBatchCapture();
        }
        if (f.captureDelayMicros > 0) {
            usleep(static_cast<useconds_t>(f.captureDelayMicros));
        }
        f.lastThreads.assign(list, list + count);
        f.lastMaxDepth = maxFrames;
        f.monitorHeldDuringCapture = f.calls.monitorDepth > 0;
        if (f.stackError != JVMTI_ERROR_NONE) {
            return f.stackError;
        }
        // One block, like JVMTI: the entries followed by all frame buffers.
        size_t frameTotal = 0;
        for (jint i = 0; i < count; i++) {
            frameTotal += f.thread(list[i]).frames.size();
        }
        char* block = static_cast<char*>(
            std::malloc(count * sizeof(jvmtiStackInfo) + frameTotal * sizeof(jvmtiFrameInfo) + 1));
        jvmtiStackInfo* infos = reinterpret_cast<jvmtiStackInfo*>(block);
        jvmtiFrameInfo* frameArea = reinterpret_cast<jvmtiFrameInfo*>(block + count * sizeof(jvmtiStackInfo));
        for (jint i = 0; i < count; i++) {
            Thread& t = f.thread(list[i]);
            infos[i].thread = list[i];
            infos[i].state = t.currentState();
            infos[i].frame_buffer = frameArea;
            infos[i].frame_count = static_cast<jint>(t.frames.size());
            std::copy(t.frames.begin(), t.frames.end(), frameArea);
            frameArea += t.frames.size();
        }
        *out = infos;
        f.stackBuffer = block;
        return JVMTI_ERROR_NONE;
    };
    jniFunctions.PushLocalFrame = [](JNIEnv*, jint capacity) -> jint {
        jvm().lastCapacity = capacity;
        if (jvm().failPush) {
            jvm().exceptionPending.store(true, std::memory_order_relaxed);  // OutOfMemoryError
            return JNI_ERR;
        }
        bump(jvm().calls.pushes);
        return JNI_OK;
    };
    jniFunctions.PopLocalFrame = [](JNIEnv*, jobject result) -> jobject {
        bump(jvm().calls.pops);
        return result;
    };
}

void FakeJvm::installSingleCaptures() {
    installThreadState();
    jvmtiFunctions.GetStackTrace = [](jvmtiEnv*, jthread handle, jint start, jint maxFrames, jvmtiFrameInfo* buffer,
                                      jint* count) {
        FakeJvm& f = jvm();
        if (start != 0) {
            std::abort();  // the library always captures from the top; the fake knows no other start
        }
        f.singleCaptures.push_back(handle);
        f.monitorHeldDuringCapture = f.calls.monitorDepth > 0;
        Thread& t = f.thread(handle);
        if (t.endsAtCapture) {
            t.state.store(JVMTI_THREAD_STATE_TERMINATED, std::memory_order_relaxed);
            return JVMTI_ERROR_THREAD_NOT_ALIVE;
        }
        jint n = std::min<jint>(maxFrames, static_cast<jint>(t.frames.size()));
        std::copy(t.frames.begin(), t.frames.begin() + n, buffer);
        *count = n;
        if (!t.statesAfterCapture.empty()) {
            t.state.store(t.statesAfterCapture.front(), std::memory_order_relaxed);
            t.statesAfterCapture.erase(t.statesAfterCapture.begin());
        }
        return JVMTI_ERROR_NONE;
    };
    jvmtiFunctions.GetThreadCpuTime = [](jvmtiEnv*, jthread handle, jlong* nanos) {
        bump(jvm().calls.cpuReads);
        Thread& t = jvm().thread(handle);
        if (t.cpuUnreadable || t.currentState() == JVMTI_THREAD_STATE_TERMINATED) {
            return JVMTI_ERROR_THREAD_NOT_ALIVE;
        }
        *nanos = t.cpuNanos;
        return JVMTI_ERROR_NONE;
    };
}

const char* unreadableString() {
    static const char text[] = "<unreadable>";
    return text;
}

std::string uniqueName(const char* base) {
    static std::atomic<int> counter{0};
    return std::string(base) + std::to_string(++counter);
}

}  // namespace harness
