#ifndef TOLVANE_TESTS_FAKEJVM_H
#define TOLVANE_TESTS_FAKEJVM_H

#include <jni.h>
#include <jvmti.h>
#include <cstring>

// Zero-initialised JVMTI and JNI function tables for unit tests. A test
// installs exactly the functions it expects (capture-less lambdas reading
// test-global state); any other call jumps through a null pointer and fails
// loudly.
struct FakeJvmti {
    jvmtiInterface_1_ functions;
    _jvmtiEnv env;
    FakeJvmti() {
        std::memset(&functions, 0, sizeof functions);
        env.functions = &functions;
    }
    jvmtiEnv* get() { return &env; }
};

struct FakeJni {
    JNINativeInterface_ functions;
    JNIEnv_ env;
    FakeJni() {
        std::memset(&functions, 0, sizeof functions);
        env.functions = &functions;
    }
    JNIEnv* get() { return &env; }
};

struct FakeJavaVm {
    JNIInvokeInterface_ functions;
    JavaVM_ vm;
    FakeJavaVm() {
        std::memset(&functions, 0, sizeof functions);
        vm.functions = &functions;
    }
    JavaVM* get() { return &vm; }
};

#endif
