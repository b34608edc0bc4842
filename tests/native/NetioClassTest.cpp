#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "ClassData.h"
#include "ClassProfilingSession.h"
#include "MethodDesc.h"
#include "NetioClass.h"
#include "RegistryTest.h"

using harness::Array;
using harness::jstr;
using harness::uniqueName;

namespace {

const char PREFIX[] = "netiotest.";

// Takes the records this suite declared out of the process-wide map again
// (records are otherwise kept for the life of the library).
void dropTestRecords() {
    std::set<NetioClass*> records;
    HMIterator<NetioClass, NetioClass>* it = ClassProfilingHelper::netioClasses.getHMIterator();
    while (HMEntry<NetioClass, NetioClass>* e = it->nextHMEntry()) {
        if (e->key->name != nullptr && std::strncmp(e->key->name, PREFIX, sizeof PREFIX - 1) == 0) {
            records.insert(e->key);
            records.insert(e->value);
            it->remove();
        }
    }
    delete it;
    for (NetioClass* r : records) {
        if (r->methods != nullptr) {
            for (MethodId& m : *r->methods) {
                delete[] m.name;
                delete[] m.signature;
            }
            delete r->methods;
        }
        delete[] r->name;
        delete r;
    }
}

}  // namespace

class NetioTest : public RegistryTest {
protected:
    void TearDown() override {
        RegistryTest::TearDown();
        dropTestRecords();
    }

    // A fresh dotted class name of this suite and its JVM signature.
    std::string newClass(std::string* signature) {
        std::string dotted = PREFIX + uniqueName("c") + ".Sock";
        std::string sig = "L" + dotted + ";";
        for (char& ch : sig) {
            if (ch == '.') {
                ch = '/';
            }
        }
        *signature = sig;
        return dotted;
    }

    bool isNetio(const std::string& classSignature, const char* name, const char* signature) {
        MethodDesc* m = resolve(classSignature, name, signature);
        return m != nullptr && m->isNetio;
    }
};

TEST_F(NetioTest, MissingArraysMeanEveryMethod) {
    std::string sigA, sigB;
    std::string a = newClass(&sigA);
    std::string b = newClass(&sigB);
    Array names{{"read"}};
    ClassProfilingHelper::addNetioClass(env, jstr(a.c_str()), nullptr, nullptr);
    ClassProfilingHelper::addNetioClass(env, jstr(b.c_str()), names.objects(), nullptr);

    EXPECT_TRUE(isNetio(sigA, "read", "()I"));
    EXPECT_TRUE(isNetio(sigA, "<init>", "()V"));
    EXPECT_TRUE(isNetio(sigB, "write", "([B)V"));
    MethodDesc* m = resolve(sigA, "close", "()V");
    ASSERT_NE(nullptr, m->classData->netioClass);
    EXPECT_EQ(nullptr, m->classData->netioClass->methods);
    EXPECT_STREQ(a.c_str(), m->classData->netioClass->name);
}

TEST_F(NetioTest, EmptyArraysMeanNoMethod) {
    std::string sig;
    std::string cls = newClass(&sig);
    Array none{{}};
    ClassProfilingHelper::addNetioClass(env, jstr(cls.c_str()), none.objects(), none.objects());
    MethodDesc* m = resolve(sig, "read", "()I");
    EXPECT_FALSE(m->isNetio);
    ASSERT_NE(nullptr, m->classData->netioClass);
    ASSERT_NE(nullptr, m->classData->netioClass->methods);
    EXPECT_TRUE(m->classData->netioClass->methods->empty());
}

TEST_F(NetioTest, EntriesMatchByNameAndOptionalSignature) {
    std::string sig;
    std::string cls = newClass(&sig);
    Array names{{"read", "write", nullptr, "close", harness::unreadableString()}};
    Array signatures{{nullptr, "([B)V", "()V", harness::unreadableString(), "()V"}};
    ClassProfilingHelper::addNetioClass(env, jstr(cls.c_str()), names.objects(), signatures.objects());

    EXPECT_TRUE(isNetio(sig, "read", "()I"));
    EXPECT_TRUE(isNetio(sig, "read", "([BII)I"));
    EXPECT_TRUE(isNetio(sig, "write", "([B)V"));
    EXPECT_FALSE(isNetio(sig, "write", "(I)V"));
    // An unreadable signature counts as none: every overload.
    EXPECT_TRUE(isNetio(sig, "close", "(Z)V"));
    // Entries without a name match nothing.
    EXPECT_FALSE(isNetio(sig, "flush", "()V"));
    EXPECT_FALSE(isNetio(sig, "", "()V"));
    EXPECT_FALSE(jvm.exceptionPending);
}

TEST_F(NetioTest, ShortSignatureArrayLeavesRemainingNamesUnrestricted) {
    std::string sig;
    std::string cls = newClass(&sig);
    Array names{{"read", "write"}};
    Array signatures{{"()I"}};
    ClassProfilingHelper::addNetioClass(env, jstr(cls.c_str()), names.objects(), signatures.objects());
    EXPECT_TRUE(isNetio(sig, "read", "()I"));
    EXPECT_FALSE(isNetio(sig, "read", "(J)I"));
    EXPECT_TRUE(isNetio(sig, "write", "(I)V"));

    std::string sig2;
    std::string cls2 = newClass(&sig2);
    Array oneName{{"a"}};
    Array twoSignatures{{"()V", "()I"}};
    ClassProfilingHelper::addNetioClass(env, jstr(cls2.c_str()), oneName.objects(), twoSignatures.objects());
    EXPECT_TRUE(isNetio(sig2, "a", "()V"));
    EXPECT_FALSE(isNetio(sig2, "a", "()I"));
}

TEST_F(NetioTest, DeclarationReachesMethodsAlreadyKnown) {
    // A JVM recorded once knows the class; a later declaration must still
    // count, for its known methods and those met afterwards.
    std::string sig;
    std::string cls = newClass(&sig);
    MethodDesc* read = resolve(sig, "read", "()I");
    MethodDesc* close = resolve(sig, "close", "()V");
    Array names{{"read"}};
    Array noSignatures{{}};
    ClassProfilingHelper::addNetioClass(env, jstr(cls.c_str()), names.objects(), noSignatures.objects());
    EXPECT_TRUE(read->isNetio);
    EXPECT_FALSE(close->isNetio);
    EXPECT_NE(nullptr, read->classData->netioClass);
    EXPECT_TRUE(isNetio(sig, "read", "(J)I"));  // another overload, met later
    ClassProfilingHelper::addNetioClass(env, jstr(cls.c_str()), nullptr, nullptr);
    EXPECT_TRUE(close->isNetio);
    EXPECT_TRUE(isNetio(sig, "write", "()V"));
}

TEST_F(NetioTest, RedeclarationReplacesTheClassEntry) {
    std::string sig;
    std::string cls = newClass(&sig);
    MethodDesc* a = resolve(sig, "a", "()V");
    MethodDesc* b = resolve(sig, "b", "()V");
    Array first{{"a"}};
    Array second{{"b"}};
    Array noSignatures{{}};
    int size = ClassProfilingHelper::netioClasses.size();
    ClassProfilingHelper::addNetioClass(env, jstr(cls.c_str()), first.objects(), noSignatures.objects());
    EXPECT_TRUE(a->isNetio);
    // A narrower declaration takes the earlier method out, for the
    // descriptor already made and for those made later alike.
    ClassProfilingHelper::addNetioClass(env, jstr(cls.c_str()), second.objects(), noSignatures.objects());
    EXPECT_EQ(size + 1, ClassProfilingHelper::netioClasses.size());
    EXPECT_FALSE(a->isNetio);
    EXPECT_TRUE(b->isNetio);
    EXPECT_FALSE(isNetio(sig, "a", "(I)V"));
    EXPECT_TRUE(isNetio(sig, "b", "(I)V"));

    // Whole class, then a list: the list alone counts; then none at all.
    ClassProfilingHelper::addNetioClass(env, jstr(cls.c_str()), nullptr, nullptr);
    EXPECT_TRUE(a->isNetio);
    EXPECT_TRUE(isNetio(sig, "c", "()V"));
    ClassProfilingHelper::addNetioClass(env, jstr(cls.c_str()), first.objects(), noSignatures.objects());
    EXPECT_TRUE(a->isNetio);
    EXPECT_FALSE(b->isNetio);
    EXPECT_FALSE(isNetio(sig, "d", "()V"));
    Array none{{}};
    ClassProfilingHelper::addNetioClass(env, jstr(cls.c_str()), none.objects(), none.objects());
    EXPECT_FALSE(a->isNetio);
    EXPECT_FALSE(isNetio(sig, "a", "(J)V"));
    EXPECT_EQ(size + 1, ClassProfilingHelper::netioClasses.size());
}

TEST_F(NetioTest, UnreadableOrMissingClassNameDeclaresNothing) {
    int size = ClassProfilingHelper::netioClasses.size();
    ClassProfilingHelper::addNetioClass(env, jstr(harness::unreadableString()), nullptr, nullptr);
    ClassProfilingHelper::addNetioClass(env, nullptr, nullptr, nullptr);
    EXPECT_EQ(size, ClassProfilingHelper::netioClasses.size());
    EXPECT_FALSE(jvm.exceptionPending);
}

TEST_F(NetioTest, RecordKeysCompareNamesAndHashLikeStrings) {
    EXPECT_EQ(0, NetioClass::hashOf(""));
    EXPECT_EQ(0, NetioClass::hashOf(nullptr));
    EXPECT_EQ(97 * 31 + 98, NetioClass::hashOf("ab"));
    char n1[] = "x.Y";
    char n2[] = "x.Y";
    NetioClass a;
    NetioClass b;
    EXPECT_TRUE(a.equals(&b));  // both unnamed
    a.name = n1;
    EXPECT_FALSE(a.equals(&b));
    EXPECT_FALSE(b.equals(&a));
    b.name = n2;
    EXPECT_TRUE(a.equals(&b));
    a.name = nullptr;
    b.name = nullptr;
}

TEST_F(NetioTest, InterceptionMethodsAreNewUnfilteredDescriptors) {
    size_t count = registry->methodDescs.size();
    EXPECT_EQ(0, ClassProfilingHelper::createInterceptionMethodId(env, nullptr));
    EXPECT_EQ(0, ClassProfilingHelper::createInterceptionMethodId(env, jstr(harness::unreadableString())));
    EXPECT_EQ(count, registry->methodDescs.size());

    Array filters{{"*"}};
    Array ignoredNames{{""}};
    ClassProfilingHelper::setFilters(env, filters.objects(), true, ignoredNames.objects(), false, registry);
    jlong first = ClassProfilingHelper::createInterceptionMethodId(env, jstr("Servlet.service"));
    jlong second = ClassProfilingHelper::createInterceptionMethodId(env, jstr("Servlet.service"));
    ASSERT_NE(0, first);
    ASSERT_NE(0, second);
    EXPECT_NE(first, second);
    ASSERT_EQ(count + 2, registry->methodDescs.size());
    MethodDesc* m = reinterpret_cast<MethodDesc*>((intptr_t)first);
    EXPECT_EQ(m, registry->methodDescs[count]);
    EXPECT_EQ(ClassProfilingHelper::interceptionClassData, m->classData);
    EXPECT_STREQ("Servlet.service", m->methodName);
    EXPECT_STREQ("()V", m->methodSignature);
    EXPECT_EQ(0, m->getIsFiltered());
    EXPECT_FALSE(m->isNetio);
    EXPECT_FALSE(m->isSpecialMethod);

    EXPECT_TRUE(ClassProfilingHelper::isInterceptionMethod(m));
    EXPECT_TRUE(ClassProfilingHelper::isInterceptionMethod(reinterpret_cast<void*>((intptr_t)second)));
    EXPECT_FALSE(ClassProfilingHelper::isInterceptionMethod(ClassProfilingHelper::unknownMethodDesc));
    EXPECT_FALSE(ClassProfilingHelper::isInterceptionMethod(nullptr));
    EXPECT_FALSE(ClassProfilingHelper::isInterceptionMethod(&count));

    MethodDesc* sleep = reinterpret_cast<MethodDesc*>(
        (intptr_t)ClassProfilingHelper::createInterceptionMethodId(env, jstr("__ovk_sleep")));
    MethodDesc* special = reinterpret_cast<MethodDesc*>(
        (intptr_t)ClassProfilingHelper::createInterceptionMethodId(env, jstr("__ovk_tx")));
    EXPECT_FALSE(sleep->isSpecialMethod);
    EXPECT_TRUE(special->isSpecialMethod);

    // A registry taken down takes its interception methods with it.
    delete registry;
    registry = nullptr;
    EXPECT_FALSE(ClassProfilingHelper::isInterceptionMethod(m));
    EXPECT_EQ(0, ClassProfilingHelper::createInterceptionMethodId(env, jstr("orphan")));
    registry = new ClassProfilingSession(nullptr);
}
