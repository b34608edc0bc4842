#include "FakeJvm.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "CallTreeSampler.h"
#include "PointerHashMap.h"

namespace harness {

namespace {

FakeJvm* g_current = nullptr;

FakeJvm& jvm() {
    return FakeJvm::current();
}

char* counted(const std::string& text) {
    jvm().calls.allocations++;
    return FakeJvm::jvmtiCopy(text);
}

}  // namespace

FakeJvm::FakeJvm() : previous(g_current) {
    std::memset(&jvmtiFunctions, 0, sizeof jvmtiFunctions);
    std::memset(&jniFunctions, 0, sizeof jniFunctions);
    std::memset(&vmFunctions, 0, sizeof vmFunctions);
    jvmtiEnv_.functions = &jvmtiFunctions;
    jniEnv_.functions = &jniFunctions;
    vm_.functions = &vmFunctions;
    g_current = this;
}

FakeJvm::~FakeJvm() {
    g_current = previous;
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
          &monitorEnters, &monitorExits, &monitorDepth}) {
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
        jvm().calls.declaringClass++;
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
        jvm().calls.classSignature++;
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
        jvm().calls.methodName++;
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
    jniFunctions.DeleteLocalRef = [](JNIEnv*, jobject) { jvm().calls.deleteLocalRefs++; };
    installMemory();
}

void FakeJvm::installMemory() {
    jvmtiFunctions.Deallocate = [](jvmtiEnv*, unsigned char* mem) {
        jvm().calls.deallocations++;
        std::free(mem);
        return JVMTI_ERROR_NONE;
    };
}

void FakeJvm::installExceptions() {
    jniFunctions.ExceptionCheck = [](JNIEnv*) -> jboolean { return jvm().exceptionPending ? JNI_TRUE : JNI_FALSE; };
    jniFunctions.ExceptionDescribe = [](JNIEnv*) { jvm().calls.exceptionsDescribed++; };
    jniFunctions.ExceptionClear = [](JNIEnv*) {
        jvm().exceptionPending = false;
        jvm().calls.exceptionsCleared++;
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
            jvm().exceptionPending = true;
            return nullptr;
        }
        jvm().calls.utfGets++;
        return chars;
    };
    jniFunctions.ReleaseStringUTFChars = [](JNIEnv*, jstring, const char*) { jvm().calls.utfReleases++; };
    jniFunctions.GetLongArrayElements = [](JNIEnv*, jlongArray array, jboolean* isCopy) -> jlong* {
        if (jvm().failArrayGet) {
            jvm().exceptionPending = true;
            return nullptr;
        }
        jvm().calls.arrayGets++;
        if (isCopy != nullptr) {
            *isCopy = JNI_FALSE;
        }
        return reinterpret_cast<Array*>(array)->longs.data();
    };
    jniFunctions.ReleaseLongArrayElements = [](JNIEnv*, jlongArray, jlong*, jint mode) {
        jvm().calls.arrayReleases++;
        if (mode != JNI_ABORT) {
            jvm().calls.nonAbortReleases++;
        }
    };
}

void FakeJvm::installMonitors() {
    jvmtiFunctions.RawMonitorEnter = [](jvmtiEnv*, jrawMonitorID) {
        jvm().calls.monitorDepth++;
        jvm().calls.monitorEnters++;
        return JVMTI_ERROR_NONE;
    };
    jvmtiFunctions.RawMonitorExit = [](jvmtiEnv*, jrawMonitorID) {
        jvm().calls.monitorDepth--;
        jvm().calls.monitorExits++;
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
