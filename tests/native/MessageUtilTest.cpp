#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "Counter.h"
#include "FakeJvm.h"
#include "GlobalsScope.h"
#include "FatalAssert.h"
#include "MessageUtil.h"
#include "ProfilingSession.h"
#include "StderrCapture.h"

namespace {

const std::string LOG = "tolvane.native.debug.out";

// Saves and restores an environment variable around a test.
class EnvVar {
public:
    explicit EnvVar(const char* name) : name(name) {
        const char* value = std::getenv(name);
        wasSet = value != nullptr;
        if (wasSet) {
            saved = value;
        }
    }
    ~EnvVar() {
        if (wasSet) {
            setenv(name, saved.c_str(), 1);
        } else {
            unsetenv(name);
        }
    }
    void set(const std::string& value) { setenv(name, value.c_str(), 1); }
    void unset() { unsetenv(name); }

private:
    const char* name;
    bool wasSet;
    std::string saved;
};

// Leaves MessageUtil as it found it: no open log, no name, default filter.
class MessageUtilTest : public testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override {
        reset();
        if (!tempDir.empty()) {
            unlink((tempDir + "/" + LOG).c_str());
            rmdir(tempDir.c_str());
        }
    }

    static void reset() {
        if (MessageUtil::s_debugFile != nullptr) {
            std::fclose(MessageUtil::s_debugFile);
            MessageUtil::s_debugFile = nullptr;
        }
        delete[] MessageUtil::debugFileName;
        MessageUtil::debugFileName = nullptr;
        MessageUtil::setDebugLevel(0);
        MessageUtil::setFilteredSubsystems(0);
    }

    static std::string defaultName() {
        delete[] MessageUtil::debugFileName;
        MessageUtil::debugFileName = nullptr;
        return MessageUtil::getDebugFileName();
    }

    static std::string readFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        return content.str();
    }

    std::string tempLogPath() {
        char dir[] = "/tmp/tolvane-log-XXXXXX";
        EXPECT_NE(nullptr, mkdtemp(dir));
        tempDir = dir;
        return tempDir + "/" + LOG;
    }

    EnvVar home{"HOME"};
    EnvVar tmpdir{"TMPDIR"};
    std::string tempDir;
};

TEST_F(MessageUtilTest, DefaultNameFollowsHomeThenTmpdirThenWorkingDirectory) {
    home.set("/home/alice");
    tmpdir.set("/var/tmp");
    EXPECT_EQ("/home/alice/" + LOG, defaultName());

    home.set("/home/alice/");
    EXPECT_EQ("/home/alice//" + LOG, defaultName()) << "no normalisation of a trailing slash";

    home.unset();
    EXPECT_EQ("/var/tmp/" + LOG, defaultName());

    tmpdir.unset();
    EXPECT_EQ(LOG, defaultName());

    home.set("");
    tmpdir.set("/var/tmp");
    EXPECT_EQ(LOG, defaultName()) << "an empty HOME still wins over TMPDIR";
}

TEST_F(MessageUtilTest, DefaultNameKeepsAVeryLongHomeWhole) {
    std::string longHome = "/" + std::string(20000, 'h');
    home.set(longHome);
    EXPECT_EQ(longHome + "/" + LOG, defaultName());
}

TEST_F(MessageUtilTest, FilterPassesLevelsUpToTheLimitAndUnfilteredSubsystems) {
    EXPECT_TRUE(MessageUtil::isLogged(0, 0));
    EXPECT_TRUE(MessageUtil::isLogged(0, -5));
    EXPECT_FALSE(MessageUtil::isLogged(0, 1));

    MessageUtil::setDebugLevel(4);
    EXPECT_TRUE(MessageUtil::isLogged(8, 4));
    EXPECT_FALSE(MessageUtil::isLogged(8, 5));

    MessageUtil::setFilteredSubsystems(8 | 2);
    EXPECT_FALSE(MessageUtil::isLogged(8, 0));
    EXPECT_FALSE(MessageUtil::isLogged(2 | 1, 0)) << "one shared bit is enough";
    EXPECT_TRUE(MessageUtil::isLogged(1, 0));
    EXPECT_TRUE(MessageUtil::isLogged(0, 0)) << "subsystem 0 is never filtered";
    MessageUtil::setFilteredSubsystems(-1);
    EXPECT_TRUE(MessageUtil::isLogged(0, 0));
}

TEST_F(MessageUtilTest, LogOpensOnFirstPassingOutputOnlyAndTextStaysVerbatim) {
    std::string path = tempLogPath();
    MessageUtil::setDebugFileName(path.c_str());
    MessageUtil::setFilteredSubsystems(8);

    StderrCapture console;
    MessageUtil::debugOut(0, 1, "too detailed %d", 1);
    MessageUtil::debugOut(8, 0, "filtered %d", 2);
    MessageUtil::debugText(0, 1, "too detailed");
    EXPECT_EQ(nullptr, MessageUtil::s_debugFile) << "a suppressed message must not open the log";

    MessageUtil::debugOut(0, 0, "n=%d;", 42);
    MessageUtil::debugText(0, 0, "100%s sure");
    MessageUtil::debugText(1, -1, "\n");
    EXPECT_EQ(ConsoleLines{"tolvane> writing debug output to " + path + "."}, console.lines());
    EXPECT_EQ("n=42;100%s sure\n", readFile(path));
}

TEST_F(MessageUtilTest, FailedOpenIsAnnouncedAndRetriedEachTime) {
    std::string path = "/nonexistent-tolvane-dir/" + LOG;
    MessageUtil::setDebugFileName(path.c_str());
    StderrCapture console;
    MessageUtil::debugText(0, 0, "a");
    MessageUtil::debugOut(0, 0, "%s", "b");
    std::string announced = "tolvane> writing debug output to " + path + ".";
    EXPECT_EQ((ConsoleLines{announced, announced}), console.lines());
    EXPECT_EQ(nullptr, MessageUtil::s_debugFile);
}

TEST_F(MessageUtilTest, ConsoleLineGetsPrefixAndExactlyOneLineEnd) {
    StderrCapture console;
    MessageUtil::message("value %d", 7);
    MessageUtil::message("ends in a line end\n");
    MessageUtil::message("%s", "");
    EXPECT_EQ("tolvane> value 7\ntolvane> ends in a line end\n\ntolvane> \n", console.text());
}

TEST(CounterTest, CountsFromTheStartOfTheFirstSecondRead) {
    GlobalsScope globals;
    Counter::initialized = false;

    jlong first = Counter::getUsec();
    EXPECT_TRUE(Counter::initialized);
    EXPECT_GE(first, 0);
    EXPECT_LT(first, 1000000) << "the base is the whole second of the first read";
    usleep(2000);
    jlong later = Counter::getUsec();
    EXPECT_GE(later - first, 2000);
    EXPECT_LT(later - first, 1000000);
}

// JNI FatalError of a fake environment: shows it was reached, then ends the process.
void JNICALL recordFatalError(JNIEnv*, const char* msg) {
    std::fprintf(stderr, "FatalError(%s)\n", msg);
    std::fflush(stderr);
    _exit(7);
}

TEST(FatalAssertDeathTest, NamesItemSourceAndFunctionThenEndsTheProcess) {
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    GlobalsScope globals;
    Profiling::javaVm = nullptr;
    EXPECT_DEATH(fatalAssert("systemClass", "shared/ProfilingSession", "getProperty"),
                 "tolvane> Assertion failed: systemClass \\(shared/ProfilingSession, getProperty\\)");

    harness::FakeJvm jvm;
    jvm.jniFunctions.FatalError = &recordFatalError;
    EXPECT_EXIT(fatalAssert("messageClass", "shared/MessageUtil", "initMessageRefs", jvm.jni()),
                testing::ExitedWithCode(7),
                "tolvane> Assertion failed: messageClass \\(shared/MessageUtil, initMessageRefs\\)\n"
                "FatalError\\(.*messageClass.*\\)");
}

}  // namespace
