#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "ClassData.h"
#include "ClassProfilingSession.h"
#include "MemoryDataWriter.h"
#include "MethodDesc.h"
#include "RegistryTest.h"
#include "StderrCapture.h"

using harness::uniqueName;

namespace {

int countOf(const std::vector<MethodDesc*>& list, const MethodDesc* m) {
    return (int)std::count(list.begin(), list.end(), m);
}

}  // namespace

TEST_F(RegistryTest, FreshRegistryHoldsUnknownClassInterceptionClassAndUnknownMethod) {
    EXPECT_EQ(registry, ClassProfilingHelper::liveClassProfilingSession);
    ASSERT_EQ(2u, registry->classDatas.size());
    EXPECT_STREQ("com.tolvane.agent.Unknown", registry->classDatas[0]->name);
    EXPECT_EQ(0, registry->classDatas[0]->classKind);
    EXPECT_FALSE(registry->classDatas[0]->isAgentClass);
    EXPECT_STREQ("_druvax_annotation_class", registry->classDatas[1]->name);
    EXPECT_EQ(50, registry->classDatas[1]->classKind);

    ASSERT_EQ(1u, registry->methodDescs.size());
    MethodDesc* unknown = registry->methodDescs[0];
    EXPECT_EQ(ClassProfilingHelper::unknownMethodDesc, unknown);
    EXPECT_EQ(ClassProfilingHelper::unknownClassData, unknown->classData);
    EXPECT_STREQ("unknown", unknown->methodName);
    EXPECT_STREQ("()V", unknown->methodSignature);
    EXPECT_EQ(0, unknown->getIsFiltered());

    // The class section of a snapshot taken now.
    MemoryDataWriter out;
    registry->write(&out);
    ExpectedBytes expected;
    expected.u1(1).id(registry->classDatas[0]).str("com.tolvane.agent.Unknown").u4(0);
    expected.u1(1).id(registry->classDatas[1]).str("_druvax_annotation_class").u4(50);
    expected.u1(0);
    expected.u1(1).id(unknown).id(registry->classDatas[0]).str("unknown").str("()V").u4(0);
    expected.u1(0);
    expected.u4(0).u1(0);
    EXPECT_EQ(expected.get(), out.bytes());
}

TEST_F(RegistryTest, ClassSectionListsFiltersAsSet) {
    std::vector<char*> patterns = {const_cast<char*>("-com.acme."), const_cast<char*>("java/")};
    registry->setFilters(patterns, true, nullptr, true);
    MemoryDataWriter out;
    registry->write(&out);
    ExpectedBytes tail;
    tail.u4(2).str("-com.acme.").str("java/").u1(1);
    Bytes bytes = out.bytes();
    Bytes t = tail.get();
    ASSERT_GE(bytes.size(), t.size());
    EXPECT_TRUE(std::equal(t.begin(), t.end(), bytes.end() - (long)t.size()));
}

TEST_F(RegistryTest, MethodsOfOneClassShareOneClassDataAndAreResolvedOnce) {
    std::string pkg = uniqueName("shared");
    std::string cls = "Lreg/" + pkg + "/Foo;";
    jmethodID run = jvm.newMethodWithSignature(cls, "run", "()V");
    jmethodID call = jvm.newMethodWithSignature(cls, "call", "(I)Ljava/lang/Object;");

    MethodDesc* a = registry->getMethodDesc(run, env, true);
    MethodDesc* b = registry->getMethodDesc(call, env, true);
    ASSERT_NE(nullptr, a);
    ASSERT_NE(nullptr, b);
    EXPECT_NE(a, b);
    EXPECT_EQ(a->classData, b->classData);
    EXPECT_STREQ(("reg." + pkg + ".Foo").c_str(), a->classData->name);
    EXPECT_STREQ("call", b->methodName);
    EXPECT_STREQ("(I)Ljava/lang/Object;", b->methodSignature);
    EXPECT_EQ(3u, registry->classDatas.size());
    EXPECT_EQ(a->classData, registry->classDatas[2]);
    ASSERT_EQ(3u, registry->methodDescs.size());
    EXPECT_EQ(a, registry->methodDescs[1]);
    EXPECT_EQ(b, registry->methodDescs[2]);
    EXPECT_EQ(2, jvm.calls.classSignature);

    // Known ids cost no JVMTI call, also without an environment.
    int calls = jvm.calls.methodName + jvm.calls.declaringClass + jvm.calls.classSignature;
    EXPECT_EQ(a, registry->getMethodDesc(run, env, true));
    EXPECT_EQ(b, registry->getMethodDesc(call, nullptr, true));
    EXPECT_EQ(calls, jvm.calls.methodName + jvm.calls.declaringClass + jvm.calls.classSignature);
    // Every declaring-class reference was released.
    EXPECT_EQ(2, jvm.calls.deleteLocalRefs);
}

TEST_F(RegistryTest, UnreadableMethodNameBecomesUnknownMethodOnceWithOneMessage) {
    jmethodID bad = jvm.newMethodWithSignature("L" + uniqueName("reg") + ";", "x", "()V");
    jvm.method(bad).nameError = JVMTI_ERROR_INVALID_METHODID;

    StderrCapture console;
    MethodDesc* first = registry->getMethodDesc(bad, env, true);
    MethodDesc* second = registry->getMethodDesc(bad, env, true);
    std::string err = console.text();

    EXPECT_EQ(ClassProfilingHelper::unknownMethodDesc, first);
    EXPECT_EQ(ClassProfilingHelper::unknownMethodDesc, second);
    EXPECT_EQ("tolvane> error: could not get method name (code 23)\n", err);
    EXPECT_EQ(1, jvm.calls.methodName);
    EXPECT_EQ(1, countOf(registry->methodDescs, ClassProfilingHelper::unknownMethodDesc));
    EXPECT_EQ(1u, registry->methodDescs.size());

    // Without reportErrors nothing is printed.
    jmethodID quiet = jvm.newMethodWithSignature("Lreg/Quiet;", "x", "()V");
    jvm.method(quiet).nameError = JVMTI_ERROR_WRONG_PHASE;
    StderrCapture quietConsole;
    EXPECT_EQ(ClassProfilingHelper::unknownMethodDesc, registry->getMethodDesc(quiet, env, false));
    EXPECT_EQ("", quietConsole.text());
}

TEST_F(RegistryTest, UnknownDeclaringClassKeepsMethodNameAndReportsOnce) {
    jmethodID noClass = jvm.newMethodWithSignature("Lunused;", "lost", "(J)V");
    jvm.method(noClass).classError = JVMTI_ERROR_INVALID_METHODID;
    jmethodID noSignature = jvm.newMethodWithSignature("Lunused;", "nameless", "()V");
    jvm.method(noSignature).classSignatureError = JVMTI_ERROR_INVALID_CLASS;

    StderrCapture console;
    MethodDesc* a = registry->getMethodDesc(noClass, env, true);
    registry->getMethodDesc(noClass, env, true);
    MethodDesc* b = registry->getMethodDesc(noSignature, env, true);
    std::string err = console.text();

    EXPECT_EQ("tolvane> error: could not get declaring class (code 23)\n", err);
    EXPECT_EQ(ClassProfilingHelper::unknownClassData, a->classData);
    EXPECT_STREQ("lost", a->methodName);
    EXPECT_STREQ("(J)V", a->methodSignature);
    EXPECT_EQ(ClassProfilingHelper::unknownClassData, b->classData);
    EXPECT_STREQ("nameless", b->methodName);
    EXPECT_EQ(2u, registry->classDatas.size());
    // The class reference of the failed signature query was still released.
    EXPECT_EQ(1, jvm.calls.deleteLocalRefs);
}

TEST_F(RegistryTest, NewMethodWithoutEnvironmentCreatesNothing) {
    jmethodID id = jvm.newMethodWithSignature("Lreg/NoEnv;", "run", "()V");
    EXPECT_EQ(nullptr, registry->getMethodDesc(id, nullptr, true));
    EXPECT_EQ(0, jvm.calls.declaringClass + jvm.calls.methodName);
    EXPECT_EQ(1u, registry->methodDescs.size());
    EXPECT_EQ(2u, registry->classDatas.size());
    // Nothing was remembered for the id: with an environment it resolves.
    MethodDesc* m = registry->getMethodDesc(id, env, true);
    ASSERT_NE(nullptr, m);
    EXPECT_STREQ("run", m->methodName);
}

TEST_F(RegistryTest, ClassNamesFromSignatures) {
    struct Case {
        const char* signature;
        const char* name;
        bool isProxy;
        bool isAgentClass;
    } cases[] = {
        {"Ljava/lang/String;", "java.lang.String", false, false},
        {"[Ljava/lang/String;", "[Ljava.lang.String", false, false},
        {"[[I", "[[I", false, false},
        {"I", "I", false, false},
        {"LFoo;", "Foo", false, false},
        {"Lcom/sun/proxy/$Proxy12;", "com.sun.proxy.$Proxy12", true, false},
        {"L$Proxy3;", "$Proxy3", true, false},
        {"Lcom/sun/proxyx/A;", "com.sun.proxyx.A", false, false},
        {"Lcom/tolvane/agent/callee/JvmtiCallee;", "com.tolvane.agent.callee.JvmtiCallee", false, true},
        {"Lcom/tolvane/agent/callee/JvmtiCallee$JvmtiThreadManager;",
         "com.tolvane.agent.callee.JvmtiCallee$JvmtiThreadManager", false, true},
        {"Lcom/tolvane/agent/Unknown;", "com.tolvane.agent.Unknown", false, false},
        {"Lcom/tolvane/agentx/Foo;", "com.tolvane.agentx.Foo", false, false},
        {"Lcom/tolvane/agent;", "com.tolvane.agent", false, false},
        {"", "", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.signature);
        size_t before = registry->classDatas.size();
        ClassData* cd = ClassProfilingHelper::getLoadedClassData(c.signature, true, nullptr);
        EXPECT_STREQ(c.name, cd->name);
        EXPECT_EQ(0, cd->classKind);
        EXPECT_EQ(c.isProxy, cd->isProxy);
        EXPECT_EQ(c.isAgentClass, cd->isAgentClass);
        EXPECT_EQ(nullptr, cd->netioClass);
        ASSERT_EQ(before + 1, registry->classDatas.size());
        EXPECT_EQ(cd, registry->classDatas.back());
    }
    ClassData nullName(nullptr, 0, nullptr);
    EXPECT_STREQ("", nullName.name);
}

TEST_F(RegistryTest, FirstObjectConstructorBecomesObjectInit) {
    MethodDesc* lookalike = resolve("Ljava/lang/ObjectX;", "<init>", "()V");
    MethodDesc* other = resolve("Ljava/lang/Object;", "hashCode", "()I");
    EXPECT_EQ(nullptr, ClassProfilingHelper::objectInitMethodDesc);
    ASSERT_NE(nullptr, lookalike);
    ASSERT_NE(nullptr, other);

    MethodDesc* init = resolve("Ljava/lang/Object;", "<init>", "()V");
    EXPECT_EQ(init, ClassProfilingHelper::objectInitMethodDesc);
    // A second identifier for the same method does not replace the first.
    MethodDesc* again = resolve("Ljava/lang/Object;", "<init>", "()V");
    EXPECT_NE(init, again);
    EXPECT_EQ(init, ClassProfilingHelper::objectInitMethodDesc);
}

TEST_F(RegistryTest, SpecialMethodNamesAndExactNameCopies) {
    struct Case {
        const char* name;
        bool special;
    } cases[] = {
        {"__ovk_", true}, {"__ovk_enter", true}, {"__ovk_sleepy", true},
        {"__ovk_sleep", false}, {"__ovk", false}, {"_ovk_x", false}, {"", false}, {"run", false},
    };
    ClassData* cls = ClassProfilingHelper::getLoadedClassData("Lreg/Special;", true, nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MethodDesc m(cls, c.name, (int)std::strlen(c.name), "()V", 3, registry);
        EXPECT_EQ(c.special, m.isSpecialMethod);
        EXPECT_FALSE(m.isNetio);
    }
    // Exactly the given number of characters is copied; inputs need not end.
    MethodDesc cut(cls, "runAway", 3, "()Vjunk", 3, registry);
    EXPECT_STREQ("run", cut.methodName);
    EXPECT_STREQ("()V", cut.methodSignature);
    MethodDesc empty(cls, nullptr, 5, "()V", -1, registry);
    EXPECT_STREQ("", empty.methodName);
    EXPECT_STREQ("", empty.methodSignature);
}

TEST_F(RegistryTest, TearingDownARegistryDropsItsLookupEntries) {
    std::string cls = "Lreg/" + uniqueName("gone") + ";";
    jmethodID id = jvm.newMethodWithSignature(cls, "run", "()V");
    ASSERT_NE(nullptr, registry->getMethodDesc(id, env, true));
    delete registry;
    registry = nullptr;
    EXPECT_EQ(nullptr, ClassProfilingHelper::liveClassProfilingSession);
    EXPECT_EQ(nullptr, ClassProfilingHelper::unknownMethodDesc);
    // The load-time class descriptors survive their registry.
    EXPECT_STREQ("com.tolvane.agent.Unknown", ClassProfilingHelper::unknownClassData->name);

    registry = new ClassProfilingSession(nullptr);
    MethodDesc* m = registry->getMethodDesc(id, env, true);
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(3u, registry->classDatas.size());
    EXPECT_EQ(m, registry->methodDescs.back());
}
