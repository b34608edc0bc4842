#ifndef TOLVANE_TESTS_REGISTRYTEST_H
#define TOLVANE_TESTS_REGISTRYTEST_H

#include <gtest/gtest.h>

#include <string>

#include "ClassProfilingSession.h"
#include "FakeJvm.h"
#include "GlobalsScope.h"
#include "ProfilingSession.h"

// A fresh class and method registry over the fake JVM for each test, with
// no ignored class names. The registry's maps are process-wide and outlive
// a test, so tests use method ids and class names no other test uses
// (FakeJvm's ids, harness::uniqueName).
class RegistryTest : public ::testing::Test {
protected:
    GlobalsScope globals;
    harness::FakeJvm jvm;
    JNIEnv* env = nullptr;
    ClassProfilingSession* registry = nullptr;

    void SetUp() override {
        jvm.installMethods();
        jvm.installArrays();
        env = jvm.jni();
        g_profilingInterface = jvm.jvmti();
        ClassProfilingHelper::objectInitMethodDesc = nullptr;
        ClassProfilingHelper::tolvaneIgnoredClassNames.clear();
        g_sampleAgentClasses = false;
        registry = new ClassProfilingSession(nullptr);
    }

    void TearDown() override {
        delete registry;
        // Every JVMTI buffer and string handed out was given back.
        EXPECT_EQ(jvm.calls.allocations.load(), jvm.calls.deallocations.load());
        EXPECT_EQ(jvm.calls.utfGets.load(), jvm.calls.utfReleases.load());
    }

    // Registers a fake method and resolves it through the registry.
    MethodDesc* resolve(const std::string& classSignature, const std::string& name,
                        const std::string& signature) {
        return registry->getMethodDesc(jvm.newMethodWithSignature(classSignature, name, signature), env, true);
    }
};

#endif
