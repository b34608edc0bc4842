#ifndef TOLVANE_TESTS_REGISTRYFAKES_H
#define TOLVANE_TESTS_REGISTRYFAKES_H

// A fake JVM for the class and method registry: methods with a declaring
// class signature, name and signature (or an error for each query), Java
// strings and String[] arrays, and counters of the calls made.
//
// The registry's maps are process-wide and outlive a test, so every test
// uses method ids and class names that no other test uses (newMethod,
// uniqueName), and RegistryTest builds a fresh registry and takes it down
// again (dropping its map entries) around each test.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "ClassProfilingSession.h"
#include "LegacyFakeJvm.h"
#include "ProfilingSession.h"

namespace registry_fake {

struct Method {
    std::string classSignature;
    std::string name;
    std::string signature;
    jvmtiError classError = JVMTI_ERROR_NONE;
    jvmtiError classSignatureError = JVMTI_ERROR_NONE;
    jvmtiError nameError = JVMTI_ERROR_NONE;
};

// A Java String[]: jobjectArray points at one of these; its elements are
// jstrings pointing at the characters (null elements stay null).
struct Array {
    std::vector<const char*> elements;
    jobjectArray get() { return reinterpret_cast<jobjectArray>(this); }
};

// A Java string whose characters cannot be obtained (GetStringUTFChars
// fails with an exception pending).
inline const char* unreadableString() {
    static const char text[] = "<unreadable>";
    return text;
}

inline jstring jstr(const char* s) {
    return reinterpret_cast<jstring>(const_cast<char*>(s));
}

struct State {
    std::map<jmethodID, Method> methods;
    int declaringClassCalls = 0;
    int classSignatureCalls = 0;
    int methodNameCalls = 0;
    int allocations = 0;
    int deallocations = 0;
    int deleteLocalRefs = 0;
    int utfGets = 0;
    int utfReleases = 0;
    bool exceptionPending = false;
};

inline State& state() {
    static State s;
    return s;
}

inline char* allocate(const std::string& s) {
    state().allocations++;
    char* p = static_cast<char*>(std::malloc(s.size() + 1));
    std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

// A method id used by no other test.
inline jmethodID newMethod(const std::string& classSignature, const std::string& name,
                           const std::string& signature) {
    static uintptr_t next = 0x7f0000100000;
    next += 16;
    jmethodID id = reinterpret_cast<jmethodID>(next);
    Method& m = state().methods[id];
    m.classSignature = classSignature;
    m.name = name;
    m.signature = signature;
    return id;
}

// base + a number used by no other call, e.g. "reg7".
inline std::string uniqueName(const char* base) {
    static int counter = 0;
    return std::string(base) + std::to_string(++counter);
}

inline void installJvmti(FakeJvmti& jvmti) {
    jvmti.functions.GetMethodDeclaringClass = [](jvmtiEnv*, jmethodID method, jclass* klass) -> jvmtiError {
        state().declaringClassCalls++;
        auto it = state().methods.find(method);
        if (it == state().methods.end()) {
            return JVMTI_ERROR_INVALID_METHODID;
        }
        if (it->second.classError != JVMTI_ERROR_NONE) {
            return it->second.classError;
        }
        // The class reference names the fake method record.
        *klass = reinterpret_cast<jclass>(&it->second);
        return JVMTI_ERROR_NONE;
    };
    jvmti.functions.GetClassSignature = [](jvmtiEnv*, jclass klass, char** signature, char** generic) -> jvmtiError {
        state().classSignatureCalls++;
        const Method* m = reinterpret_cast<const Method*>(klass);
        if (m->classSignatureError != JVMTI_ERROR_NONE) {
            return m->classSignatureError;
        }
        *signature = allocate(m->classSignature);
        if (generic != nullptr) {
            *generic = nullptr;
        }
        return JVMTI_ERROR_NONE;
    };
    jvmti.functions.GetMethodName = [](jvmtiEnv*, jmethodID method, char** name, char** signature,
                                       char** generic) -> jvmtiError {
        state().methodNameCalls++;
        auto it = state().methods.find(method);
        if (it == state().methods.end()) {
            return JVMTI_ERROR_INVALID_METHODID;
        }
        if (it->second.nameError != JVMTI_ERROR_NONE) {
            return it->second.nameError;
        }
        *name = allocate(it->second.name);
        *signature = allocate(it->second.signature);
        if (generic != nullptr) {
            *generic = nullptr;
        }
        return JVMTI_ERROR_NONE;
    };
    jvmti.functions.Deallocate = [](jvmtiEnv*, unsigned char* mem) -> jvmtiError {
        state().deallocations++;
        std::free(mem);
        return JVMTI_ERROR_NONE;
    };
}

inline void installJni(FakeJni& jni) {
    jni.functions.DeleteLocalRef = [](JNIEnv*, jobject) { state().deleteLocalRefs++; };
    jni.functions.ExceptionCheck = [](JNIEnv*) -> jboolean { return state().exceptionPending ? JNI_TRUE : JNI_FALSE; };
    jni.functions.ExceptionDescribe = [](JNIEnv*) {};
    jni.functions.ExceptionClear = [](JNIEnv*) { state().exceptionPending = false; };
    jni.functions.GetArrayLength = [](JNIEnv*, jarray array) -> jsize {
        return static_cast<jsize>(reinterpret_cast<Array*>(array)->elements.size());
    };
    jni.functions.GetObjectArrayElement = [](JNIEnv*, jobjectArray array, jsize i) -> jobject {
        return reinterpret_cast<jobject>(const_cast<char*>(reinterpret_cast<Array*>(array)->elements.at((size_t)i)));
    };
    jni.functions.GetStringUTFChars = [](JNIEnv*, jstring s, jboolean*) -> const char* {
        const char* chars = reinterpret_cast<const char*>(s);
        if (chars == unreadableString()) {
            state().exceptionPending = true;
            return nullptr;
        }
        state().utfGets++;
        return chars;
    };
    jni.functions.ReleaseStringUTFChars = [](JNIEnv*, jstring, const char*) { state().utfReleases++; };
}

}  // namespace registry_fake

// A fresh registry over the fake JVM for each test; the process-wide state
// the registry touches is saved and restored around it.
class RegistryTest : public ::testing::Test {
protected:
    FakeJvmti jvmti;
    FakeJni jni;
    JNIEnv* env = nullptr;
    ClassProfilingSession* registry = nullptr;

    void SetUp() override {
        registry_fake::State& s = registry_fake::state();
        s.methods.clear();
        s = registry_fake::State();
        registry_fake::installJvmti(jvmti);
        registry_fake::installJni(jni);
        env = jni.get();
        savedInterface = g_profilingInterface;
        savedLive = ClassProfilingHelper::liveClassProfilingSession;
        savedUnknown = ClassProfilingHelper::unknownMethodDesc;
        savedObjectInit = ClassProfilingHelper::objectInitMethodDesc;
        savedSampleAgentClasses = g_sampleAgentClasses;
        savedIgnored.swap(ClassProfilingHelper::tolvaneIgnoredClassNames);
        g_profilingInterface = jvmti.get();
        ClassProfilingHelper::objectInitMethodDesc = nullptr;
        g_sampleAgentClasses = false;
        registry = new ClassProfilingSession(nullptr);
    }

    void TearDown() override {
        delete registry;
        for (char* s : ClassProfilingHelper::tolvaneIgnoredClassNames) {
            delete[] s;
        }
        ClassProfilingHelper::tolvaneIgnoredClassNames.clear();
        ClassProfilingHelper::tolvaneIgnoredClassNames.swap(savedIgnored);
        g_sampleAgentClasses = savedSampleAgentClasses;
        ClassProfilingHelper::objectInitMethodDesc = savedObjectInit;
        ClassProfilingHelper::unknownMethodDesc = savedUnknown;
        ClassProfilingHelper::liveClassProfilingSession = savedLive;
        g_profilingInterface = savedInterface;
        // Every JVMTI buffer handed out was given back.
        EXPECT_EQ(registry_fake::state().allocations, registry_fake::state().deallocations);
        EXPECT_EQ(registry_fake::state().utfGets, registry_fake::state().utfReleases);
    }

    // Registers a fake method and resolves it through the registry.
    MethodDesc* resolve(const std::string& classSignature, const std::string& name,
                        const std::string& signature) {
        return registry->getMethodDesc(registry_fake::newMethod(classSignature, name, signature), env, true);
    }

private:
    jvmtiEnv* savedInterface = nullptr;
    ClassProfilingSession* savedLive = nullptr;
    MethodDesc* savedUnknown = nullptr;
    MethodDesc* savedObjectInit = nullptr;
    bool savedSampleAgentClasses = false;
    std::vector<char*> savedIgnored;
};

#endif
