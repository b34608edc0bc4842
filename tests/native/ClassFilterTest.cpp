#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ClassData.h"
#include "ClassProfilingSession.h"
#include "MethodDesc.h"
#include "RegistryTest.h"

using harness::Array;
using harness::uniqueName;

namespace {

std::vector<char*> patternList(std::initializer_list<const char*> patterns) {
    std::vector<char*> list;
    for (const char* p : patterns) {
        list.push_back(const_cast<char*>(p));
    }
    return list;
}

}  // namespace

TEST(ClassPatternTest, MatchesPatternsAgainstDottedNames) {
    struct Case {
        const char* pattern;
        const char* name;
        bool expected;
    } cases[] = {
        // prefixes; '.' and '/' alike; case matters
        {"java.", "java.lang.String", true},
        {"java/lang/", "java.lang.String", true},
        {"java.lang.", "java/lang/String", true},
        {"java", "javax.swing.JFrame", true},
        {"Java.", "java.lang.String", false},
        {"java.lang.String", "java.lang.Strings", true},
        {"java.lang.Strings", "java.lang.String", false},
        // '*'
        {"java.*", "java", false},
        {"com.foo*", "com.foo", true},
        {"*.String", "java.lang.String", true},
        {"*.String", "java.lang.StringBuilder", false},
        {"*Builder*", "java.lang.StringBuilder", true},
        {"java.*.String", "java.lang.reflect.String", true},
        {"java.*.String", "java.lang.StringX", false},
        {"**.String", "a.String", true},
        {"*", "Foo", true},
        {"java.**", "java.", true},
        // '?'
        {"java.lang.?tring", "java.lang.String", true},
        {"java.lang.S?ring", "java.lang.Strings", false},
        {"java.lang.S?ring", "java.lang.String", true},
        {"?", "", false},
        // empty pattern and empty name
        {"", "java.lang.String", true},
        {"", "", true},
        {"java", "", false},
        {"*", "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("'") + c.pattern + "' vs '" + c.name + "'");
        EXPECT_EQ(c.expected, ClassProfilingHelper::matches(c.pattern, c.name));
    }
    EXPECT_FALSE(ClassProfilingHelper::matches(nullptr, "a"));
    EXPECT_FALSE(ClassProfilingHelper::matches("a", nullptr));
}

namespace {

// The matcher as it once was, recursing once per '*' over every later name
// position; exponential on some patterns, but short inputs define the
// semantics that the iterative matcher must keep.
bool referenceMatches(const char* pattern, const char* name, bool afterWildcard) {
    auto separator = [](char c) { return c == '.' || c == '/'; };
    for (;;) {
        if (*name == '\0') {
            while (*pattern == '*') {
                pattern++;
            }
            return *pattern == '\0';
        }
        char p = *pattern;
        char n = *name;
        if (p == '*') {
            while (*pattern == '*') {
                pattern++;
            }
            if (*pattern == '\0') {
                return true;
            }
            for (const char* rest = name; *rest != '\0'; rest++) {
                if (referenceMatches(pattern, rest, true)) {
                    return true;
                }
            }
            return false;
        }
        if (p == '?') {
            afterWildcard = true;
        } else if (p == n) {
        } else if (p == '\0') {
            return !afterWildcard;
        } else if (separator(p) && separator(n)) {
        } else {
            return false;
        }
        pattern++;
        name++;
    }
}

}  // namespace

TEST(ClassPatternTest, AgreesWithTheRecursiveDefinitionOnRandomInputs) {
    const char alphabet[] = {'a', 'b', '.', '/', '*', '?'};
    uint32_t seed = 0x2545f491u;
    auto next = [&seed](uint32_t bound) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        return seed % bound;
    };
    auto randomText = [&](uint32_t maxLength) {
        std::string text(next(maxLength + 1), 'a');
        for (char& c : text) {
            c = alphabet[next(sizeof alphabet)];
        }
        return text;
    };
    int matched = 0;
    for (int i = 0; i < 200000; i++) {
        std::string pattern = randomText(7);
        std::string name = randomText(9);
        bool afterWildcard = next(4) == 0;
        bool expected = referenceMatches(pattern.c_str(), name.c_str(), afterWildcard);
        ASSERT_EQ(expected, ClassProfilingHelper::matches(pattern.c_str(), name.c_str(), afterWildcard))
            << "'" << pattern << "' vs '" << name << "' afterWildcard=" << afterWildcard;
        matched += expected ? 1 : 0;
    }
    // Both outcomes are well represented, so the comparison means something.
    EXPECT_GT(matched, 20000);
    EXPECT_LT(matched, 180000);
}

TEST(ClassPatternTest, HostilePatternsFinishAndKeepTheStackFlat) {
    // Many '*' separated by dots against a dotted name that never ends in the
    // last character: every split would be tried by a naive backtracker.
    std::string pattern;
    for (int i = 0; i < 12; i++) {
        pattern += "*.";
    }
    pattern += "X";
    std::string name;
    for (int i = 0; i < 40; i++) {
        name += "a.";
    }
    name += "a";
    ASSERT_EQ(81u, name.size());
    EXPECT_FALSE(ClassProfilingHelper::matches(pattern.c_str(), name.c_str()));
    EXPECT_TRUE(ClassProfilingHelper::matches(pattern.c_str(), (name + ".X").c_str()));

    // A million characters, half of them '*', against a name just as long.
    std::string longPattern;
    for (int i = 0; i < 500000; i++) {
        longPattern += "*a";
    }
    std::string longName(500000, 'a');
    EXPECT_TRUE(ClassProfilingHelper::matches(longPattern.c_str(), longName.c_str()));
    EXPECT_FALSE(ClassProfilingHelper::matches((longPattern + "b").c_str(), longName.c_str()));
    EXPECT_FALSE(ClassProfilingHelper::matches(longPattern.c_str(), longName.substr(1).c_str()));
}

TEST(ClassPatternTest, ClassFilterDecision) {
    struct Case {
        std::vector<const char*> filters;
        bool inverted;
        const char* name;
        bool filtered;
    } cases[] = {
        // the last matching pattern decides
        {{"java.", "-java.util."}, false, "java.util.List", false},
        {{"java.", "-java.util."}, false, "java.lang.String", true},
        {{"-java.util.", "java."}, false, "java.util.List", true},
        // a list opening with an exclusion filters the rest
        {{"-com.acme."}, false, "com.acme.Foo", false},
        {{"-com.acme."}, false, "org.x.Y", true},
        {{"-"}, false, "org.x.Y", true},
        {{"-"}, false, "Foo", false},
        {{"org.", "-"}, false, "org.x.Y", true},
        // default package, primitive arrays and proxies are never filtered
        {{"*"}, false, "Foo", false},
        {{"*"}, false, "[I", false},
        {{"*"}, false, "com.sun.proxy.$Proxy1", false},
        {{"*"}, false, "com/sun/proxy/$Proxy1", false},
        {{"*"}, true, "Foo", false},
        {{"*"}, false, "org.x.Y", true},
        {{"*"}, false, "[Ljava.lang.String", true},
        // inversion: the patterns name what is profiled
        {{"java."}, true, "java.lang.String", false},
        {{"java."}, true, "org.x.Y", true},
        {{}, true, "org.x.Y", true},
        {{}, false, "org.x.Y", false},
        // empty and null patterns are skipped
        {{""}, false, "org.x.Y", false},
        {{nullptr, "org."}, false, "org.x.Y", true},
        {{"org/x/"}, false, "org.x.Y", true},
    };
    for (const Case& c : cases) {
        std::string trace = std::string(c.name) + (c.inverted ? " inverted:" : ":");
        for (const char* f : c.filters) {
            trace += std::string(" '") + (f != nullptr ? f : "(null)") + "'";
        }
        SCOPED_TRACE(trace);
        std::vector<char*> list(c.filters.size());
        for (size_t i = 0; i < list.size(); i++) {
            list[i] = const_cast<char*>(c.filters[i]);
        }
        // An empty list that has been set is still an array, unlike no list.
        char* none[1] = {nullptr};
        char** data = list.empty() ? none : list.data();
        EXPECT_EQ(c.filtered, ClassProfilingHelper::isFilteredClassName(c.name, data, (int)list.size(), c.inverted));
    }
    EXPECT_FALSE(ClassProfilingHelper::isFilteredClassName("org.x.Y", nullptr, 0, false));
    EXPECT_FALSE(ClassProfilingHelper::isFilteredClassName("org.x.Y", nullptr, 0, true));
}

TEST(ClassPatternTest, EqualClassNames) {
    EXPECT_TRUE(ClassProfilingHelper::isEqualClassName("a", "b", 0));
    EXPECT_TRUE(ClassProfilingHelper::isEqualClassName("a", "b", -3));
    EXPECT_TRUE(ClassProfilingHelper::isEqualClassName("java.lang", "java/lang", 9));
    EXPECT_TRUE(ClassProfilingHelper::isEqualClassName("abc", "abd", 2));
    EXPECT_FALSE(ClassProfilingHelper::isEqualClassName("abc", "abd", 3));
    EXPECT_TRUE(ClassProfilingHelper::isEqualClassName("ab", "ab", 10));
    EXPECT_FALSE(ClassProfilingHelper::isEqualClassName("ab", "abc", 10));
    EXPECT_FALSE(ClassProfilingHelper::isEqualClassName("a.b", "a_b", 3));
}

TEST(ClassPatternTest, ProxyNames) {
    EXPECT_TRUE(ClassProfilingHelper::isProxyName("$Proxy"));
    EXPECT_TRUE(ClassProfilingHelper::isProxyName("$Proxy17"));
    EXPECT_TRUE(ClassProfilingHelper::isProxyName("com.sun.proxy.$Proxy3"));
    EXPECT_FALSE(ClassProfilingHelper::isProxyName("com.sun.proxy"));
    EXPECT_FALSE(ClassProfilingHelper::isProxyName("x.$Proxy1"));
    EXPECT_FALSE(ClassProfilingHelper::isProxyName(nullptr));
}

TEST_F(RegistryTest, NothingIsFilteredUntilFiltersAreSet) {
    MethodDesc* m = resolve("Lorg/x/" + uniqueName("Y") + ";", "run", "()V");
    EXPECT_FALSE(registry->filtersSet);
    EXPECT_FALSE(registry->isFilteredClassName("org.x.Y"));
    EXPECT_EQ(0, m->getIsFiltered());

    // Once set, an empty list filters nothing, or everything with a package
    // when inverted.
    registry->setFilters({}, false, nullptr, true);
    EXPECT_TRUE(registry->filtersSet);
    EXPECT_EQ(0, m->getIsFiltered());
    registry->setFilters({}, true, nullptr, true);
    EXPECT_EQ(1, m->getIsFiltered());
}

TEST_F(RegistryTest, SetFiltersReevaluatesEveryDescriptor) {
    std::string pkg = uniqueName("acme");
    MethodDesc* acme = resolve("Lcom/" + pkg + "/Foo;", "run", "()V");
    MethodDesc* other = resolve("Lorg/x/Y;", "run", "()V");
    EXPECT_EQ(0, acme->getIsFiltered());

    std::string pattern = "com." + pkg + ".";
    registry->setFilters(patternList({pattern.c_str()}), false, nullptr, true);
    EXPECT_EQ(1, acme->getIsFiltered());
    EXPECT_EQ(0, other->getIsFiltered());
    EXPECT_EQ(1, registry->filterCount);

    // The registry keeps its own copies: the caller's strings may go.
    std::string exclusion = "-" + pattern;
    registry->setFilters(patternList({exclusion.c_str()}), false, nullptr, true);
    exclusion.assign(exclusion.size(), 'x');
    EXPECT_STREQ(("-" + pattern).c_str(), registry->filters[0]);
    EXPECT_EQ(0, acme->getIsFiltered());
    EXPECT_EQ(1, other->getIsFiltered());

    // Descriptors created later are evaluated at creation.
    MethodDesc* later = resolve("Lnet/z/" + uniqueName("Q") + ";", "run", "()V");
    EXPECT_EQ(1, later->getIsFiltered());
    // The unknown method has a package too.
    EXPECT_EQ(1, ClassProfilingHelper::unknownMethodDesc->getIsFiltered());
}

TEST_F(RegistryTest, IgnoredTakesPrecedenceOverFiltered) {
    std::string pkg = uniqueName("ign");
    MethodDesc* ignored = resolve("Lcom/" + pkg + "/Foo;", "run", "()V");
    MethodDesc* filtered = resolve("Lcom/other/" + pkg + ";", "run", "()V");
    MethodDesc* profiled = resolve("Lorg/x/" + pkg + ";", "run", "()V");

    Array filters{{"com."}};
    std::string ignoredPattern = "com/" + pkg + "/";
    Array ignoredNames{{ignoredPattern.c_str()}};
    ClassProfilingHelper::setFilters(env, filters.objects(), false, ignoredNames.objects(), false, registry);
    EXPECT_EQ(2, ignored->getIsFiltered());
    EXPECT_TRUE(ignored->isFiltered);
    EXPECT_EQ(1, filtered->getIsFiltered());
    EXPECT_EQ(0, profiled->getIsFiltered());

    // The empty pattern ignores every class.
    Array all{{""}};
    ClassProfilingHelper::setFilters(env, nullptr, false, all.objects(), false, registry);
    EXPECT_EQ(2, profiled->getIsFiltered());
    EXPECT_EQ(0, registry->filterCount);
}

TEST_F(RegistryTest, InterceptionClassIsNeverFilteredOrIgnored) {
    Array filters{{"*"}};
    Array ignoredNames{{""}};
    ClassProfilingHelper::setFilters(env, filters.objects(), true, ignoredNames.objects(), false, registry);
    MethodDesc m(ClassProfilingHelper::interceptionClassData, "tx", 2, "()V", 3, registry);
    EXPECT_EQ(0, m.getIsFiltered());
    ClassProfilingHelper::setFilters(env, filters.objects(), false, ignoredNames.objects(), false, registry);
    m.updateFilters(registry);
    EXPECT_EQ(0, m.getIsFiltered());
}

TEST_F(RegistryTest, AgentClassesAreIgnoredUnlessSampled) {
    MethodDesc* agent = resolve("Lcom/tolvane/agent/callee/JvmtiCallee;", "record", "(JZZ[B)V");
    MethodDesc* nested = resolve("Lcom/tolvane/agent/callee/JvmtiCallee$JvmtiThreadManager;",
                                 "initSamplingState", "()V");
    MethodDesc* user = resolve("Lorg/app/" + uniqueName("Main") + ";", "main", "([Ljava/lang/String;)V");
    EXPECT_EQ(2, agent->getIsFiltered());
    EXPECT_EQ(2, nested->getIsFiltered());
    EXPECT_EQ(0, user->getIsFiltered());
    // The unknown pseudo-class is not an agent class.
    EXPECT_EQ(0, ClassProfilingHelper::unknownMethodDesc->getIsFiltered());

    ClassProfilingHelper::setFilters(env, nullptr, false, nullptr, true, registry);
    EXPECT_TRUE(g_sampleAgentClasses);
    EXPECT_EQ(0, agent->getIsFiltered());
    EXPECT_EQ(0, nested->getIsFiltered());

    Array filters{{"com."}};
    ClassProfilingHelper::setFilters(env, filters.objects(), false, nullptr, true, registry);
    EXPECT_EQ(1, agent->getIsFiltered());

    ClassProfilingHelper::setFilters(env, filters.objects(), false, nullptr, false, registry);
    EXPECT_FALSE(g_sampleAgentClasses);
    EXPECT_EQ(2, agent->getIsFiltered());
}

TEST_F(RegistryTest, CopyFilterSkipsNullAndUnreadableElements) {
    Array strings{{"a.", nullptr, "b/c", harness::unreadableString(), ""}};
    std::vector<char*> target;
    ClassProfilingHelper::copyFilter(env, target, strings.objects());
    ASSERT_EQ(3u, target.size());
    EXPECT_STREQ("a.", target[0]);
    EXPECT_STREQ("b/c", target[1]);
    EXPECT_STREQ("", target[2]);
    EXPECT_NE(strings.strings[0], target[0]);
    EXPECT_FALSE(jvm.exceptionPending);
    // Each non-null element's local reference is released.
    EXPECT_EQ(4, jvm.calls.deleteLocalRefs);

    ClassProfilingHelper::copyFilter(env, target, nullptr);
    EXPECT_EQ(3u, target.size());
    for (char* s : target) {
        delete[] s;
    }

    // Null elements in both lists of setFilters.
    Array filters{{nullptr, "org.", nullptr}};
    Array ignoredNames{{nullptr}};
    ClassProfilingHelper::setFilters(env, filters.objects(), false, ignoredNames.objects(), false, registry);
    ASSERT_EQ(1, registry->filterCount);
    EXPECT_STREQ("org.", registry->filters[0]);
    EXPECT_TRUE(ClassProfilingHelper::tolvaneIgnoredClassNames.empty());
}
