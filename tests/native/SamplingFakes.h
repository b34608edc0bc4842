#ifndef TOLVANE_TESTS_SAMPLINGFAKES_H
#define TOLVANE_TESTS_SAMPLINGFAKES_H

// Fake JVM methods for the sampling tests and the sampler benchmark: method
// identifiers that the registry can resolve through fake JVMTI functions
// (declaring class, class signature, name, line-number table), and fake
// long[] arrays for transaction ids.

#include <jni.h>
#include <jvmti.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "CallTreeSampler.h"
#include "LegacyFakeJvm.h"
#include "PointerHashMap.h"

namespace sampling_fakes {

struct FakeMethod {
    std::string className;  // dotted, such as test.sampling.A
    std::string name;
    bool hasLines = false;  // without a table JVMTI answers as for a native method
    std::vector<jvmtiLineNumberEntry> lines;
    int lineTableRequests = 0;
};

inline std::map<jmethodID, FakeMethod>& methods() {
    static std::map<jmethodID, FakeMethod> m;
    return m;
}

// The registry's method map and the line-number cache are process-wide, so
// every test gets identifiers never used before.
inline jmethodID newMethod(const std::string& className, const std::string& name,
                           std::vector<jvmtiLineNumberEntry> lines = {}, bool hasLines = true) {
    static uintptr_t next = 0x5a0000001000;
    next += 0x10;
    jmethodID id = reinterpret_cast<jmethodID>(next);
    FakeMethod& m = methods()[id];
    m.className = className;
    m.name = name;
    m.hasLines = hasLines;
    m.lines = std::move(lines);
    return id;
}

inline char* jvmtiCopy(const std::string& text) {
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

inline FakeMethod* findMethod(jmethodID id) {
    auto it = methods().find(id);
    return it != methods().end() ? &it->second : nullptr;
}

// Installs the JVMTI functions the registry and the line-number cache use,
// plus DeleteLocalRef for the declaring-class reference. Deallocate frees
// what the fakes allocated with malloc.
inline void installMethodFakes(FakeJvmti& jvmti, FakeJni& jni) {
    jvmti.functions.GetMethodDeclaringClass = [](jvmtiEnv*, jmethodID method, jclass* klass) {
        if (findMethod(method) == nullptr) {
            return JVMTI_ERROR_INVALID_METHODID;
        }
        *klass = reinterpret_cast<jclass>(method);  // the method stands for its class
        return JVMTI_ERROR_NONE;
    };
    jvmti.functions.GetClassSignature = [](jvmtiEnv*, jclass klass, char** signature, char** generic) {
        FakeMethod* m = findMethod(reinterpret_cast<jmethodID>(klass));
        if (m == nullptr) {
            return JVMTI_ERROR_INVALID_CLASS;
        }
        std::string sig = "L" + m->className + ";";
        for (char& c : sig) {
            if (c == '.') {
                c = '/';
            }
        }
        *signature = jvmtiCopy(sig);
        if (generic != nullptr) {
            *generic = nullptr;
        }
        return JVMTI_ERROR_NONE;
    };
    jvmti.functions.GetMethodName = [](jvmtiEnv*, jmethodID method, char** name, char** signature, char** generic) {
        FakeMethod* m = findMethod(method);
        if (m == nullptr) {
            return JVMTI_ERROR_INVALID_METHODID;
        }
        if (name != nullptr) {
            *name = jvmtiCopy(m->name);
        }
        if (signature != nullptr) {
            *signature = jvmtiCopy("()V");
        }
        if (generic != nullptr) {
            *generic = nullptr;
        }
        return JVMTI_ERROR_NONE;
    };
    jvmti.functions.GetLineNumberTable = [](jvmtiEnv*, jmethodID method, jint* count, jvmtiLineNumberEntry** table) {
        FakeMethod* m = findMethod(method);
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
    jvmti.functions.Deallocate = [](jvmtiEnv*, unsigned char* mem) {
        std::free(mem);
        return JVMTI_ERROR_NONE;
    };
    jni.functions.DeleteLocalRef = [](JNIEnv*, jobject) {};
}

// The line-number cache keeps its records for the life of the library. Tests
// drop the records of their fake methods (whose tables came from malloc), so
// the leak checker sees no orphans once the cache is destroyed at exit.
inline void releaseLineCache() {
    for (auto& entry : methods()) {
        LineNumberTableStruct* record = CallTreeHelper::methodId2LineNumberTableStruct.remove(entry.first);
        if (record != nullptr && record != CallTreeHelper::emptyStruct) {
            std::free(record->table);
            delete record;
        }
    }
}

// A Java long[] as the fake JNI functions below see it.
struct FakeLongArray {
    std::vector<jlong> values;
};

inline jlongArray asArray(FakeLongArray& array) {
    return reinterpret_cast<jlongArray>(&array);
}

struct ArrayCalls {
    int gets = 0;
    int releases = 0;
    int nonAbortReleases = 0;
    bool failGet = false;       // GetLongArrayElements answers null with an exception
    bool pendingException = false;
    int exceptionsCleared = 0;
};

inline ArrayCalls& arrayCalls() {
    static ArrayCalls calls;
    return calls;
}

inline void installArrayFakes(FakeJni& jni) {
    arrayCalls() = ArrayCalls();
    jni.functions.GetArrayLength = [](JNIEnv*, jarray array) {
        return static_cast<jsize>(reinterpret_cast<FakeLongArray*>(array)->values.size());
    };
    jni.functions.GetLongArrayElements = [](JNIEnv*, jlongArray array, jboolean* isCopy) -> jlong* {
        if (arrayCalls().failGet) {
            arrayCalls().pendingException = true;
            return nullptr;
        }
        arrayCalls().gets++;
        if (isCopy != nullptr) {
            *isCopy = JNI_FALSE;
        }
        return reinterpret_cast<FakeLongArray*>(array)->values.data();
    };
    jni.functions.ReleaseLongArrayElements = [](JNIEnv*, jlongArray, jlong*, jint mode) {
        arrayCalls().releases++;
        if (mode != JNI_ABORT) {
            arrayCalls().nonAbortReleases++;
        }
    };
    jni.functions.ExceptionCheck = [](JNIEnv*) -> jboolean { return arrayCalls().pendingException; };
    jni.functions.ExceptionDescribe = [](JNIEnv*) {};
    jni.functions.ExceptionClear = [](JNIEnv*) {
        arrayCalls().pendingException = false;
        arrayCalls().exceptionsCleared++;
    };
}

inline jvmtiFrameInfo frame(jmethodID method, jlocation location) {
    jvmtiFrameInfo f;
    f.method = method;
    f.location = location;
    return f;
}

}  // namespace sampling_fakes

#endif
