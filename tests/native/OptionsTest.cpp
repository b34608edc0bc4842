#include <gtest/gtest.h>

#include "ClassProfilingSession.h"
#include "CpuProfilingSession.h"
#include "GlobalsScope.h"
#include "ProfilingSession.h"
#include "Sampler.h"
#include "StderrCapture.h"
#include "ThreadManager.h"

namespace {

class OptionsTest : public testing::Test {
protected:
    void SetUp() override {
        // Start from set flags so that a parse which forgets to clear one shows.
        g_safeThreadStart = g_sampleAgentThreads = g_sampleAgentClasses = true;
    }
    ConsoleLines parse(const char* options) {
        StderrCapture console;
        Profiling::parseOptions(options);
        return console.lines();
    }

    GlobalsScope globals;
};

TEST_F(OptionsTest, MessagesFollowTheFixedOrderNotTheString) {
    EXPECT_EQ((ConsoleLines{"tolvane> Save thread start mode", "tolvane> Record agent threads"}),
              parse("agent-threads,save-thread-start"));
    EXPECT_TRUE(g_safeThreadStart);
    EXPECT_TRUE(g_sampleAgentThreads);
    EXPECT_FALSE(g_sampleAgentClasses);

    EXPECT_EQ((ConsoleLines{"tolvane> Save thread start mode", "tolvane> Record agent threads",
                     "tolvane> Record agent classes"}),
              parse("agent-classes agent-threads save-thread-start"));
    EXPECT_FALSE(g_batchedCapture);

    EXPECT_EQ((ConsoleLines{"tolvane> Record agent threads", "tolvane> Batched stack capture"}),
              parse("batched-capture,agent-threads"));
    EXPECT_TRUE(g_batchedCapture);
    parse(nullptr);
    EXPECT_FALSE(g_batchedCapture);
}

TEST_F(OptionsTest, AsynchronousSamplingIsOnUnlessSwitchedOff) {
    EXPECT_EQ(ConsoleLines{}, parse("agent-thread"));
    EXPECT_TRUE(g_asyncSampling);
    EXPECT_EQ((ConsoleLines{"tolvane> Batched stack capture", "tolvane> No asynchronous sampling"}),
              parse("no-async-sampling,batched-capture"));
    EXPECT_FALSE(g_asyncSampling);
    parse(nullptr);
    EXPECT_TRUE(g_asyncSampling);
}

TEST_F(OptionsTest, NodeLimitOptionOrTheDefault) {
    EXPECT_EQ((ConsoleLines{"tolvane> Record agent classes", "tolvane> Call tree node limit 5000"}),
              parse("max-tree-nodes=5000,agent-classes x"));
    EXPECT_EQ(ThreadManager::nodeLimit, 5000);
    EXPECT_EQ(ConsoleLines{}, parse("max-tree-nodes=lots"));
    EXPECT_EQ(ThreadManager::nodeLimit, ThreadManager::DEFAULT_NODE_LIMIT);
}

TEST_F(OptionsTest, SingleCaptureLimitTakesDigitsUpToTheNextOption) {
    EXPECT_EQ(ConsoleLines{"tolvane> Single capture limit 32"}, parse("single-capture-limit=32"));
    EXPECT_EQ(g_singleCaptureLimit, 32);
    EXPECT_EQ((ConsoleLines{"tolvane> Record agent threads", "tolvane> Single capture limit 0"}),
              parse("single-capture-limit=0,agent-threads"));
    EXPECT_EQ(g_singleCaptureLimit, 0);
    for (const char* bad : {"single-capture-limit=", "single-capture-limit=-3", "single-capture-limit=12x",
                            "single-capture-limit=99999999999", "single-capture-limit= 4"}) {
        EXPECT_EQ(ConsoleLines{}, parse(bad)) << bad;
        EXPECT_EQ(g_singleCaptureLimit, -1) << bad;
    }
}

TEST_F(OptionsTest, SubstringAnywhereCountsAndCaseMatters) {
    EXPECT_EQ(ConsoleLines{"tolvane> Record agent classes"}, parse("xyzagent-classesabc"));
    EXPECT_FALSE(g_safeThreadStart);
    EXPECT_FALSE(g_sampleAgentThreads);
    EXPECT_TRUE(g_sampleAgentClasses);

    EXPECT_EQ(ConsoleLines{}, parse("Agent-Threads,SAVE-THREAD-START,agent_classes,agent-thread"));
    EXPECT_FALSE(g_safeThreadStart || g_sampleAgentThreads || g_sampleAgentClasses);
}

TEST_F(OptionsTest, NullAndEmptyStringsClearEverythingSilently) {
    EXPECT_EQ(ConsoleLines{}, parse(nullptr));
    EXPECT_FALSE(g_safeThreadStart || g_sampleAgentThreads || g_sampleAgentClasses);

    g_safeThreadStart = g_sampleAgentThreads = g_sampleAgentClasses = true;
    EXPECT_EQ(ConsoleLines{}, parse(""));
    EXPECT_FALSE(g_safeThreadStart || g_sampleAgentThreads || g_sampleAgentClasses);
}

}  // namespace
