#include <gtest/gtest.h>

#include "StartupOptions.h"

namespace {

TEST(StartupOptionsTest, LibraryFlagsDropTheRecordersValues) {
    EXPECT_EQ("agent-threads,max-tree-nodes=5,batched-capture",
              StartupOptions::libraryFlags("record=30s,agent-threads,file=/tmp/agent-classes-%p.tsnap,"
                                           "max-tree-nodes=5,,filter=save-thread-start,batched-capture"));
    EXPECT_EQ("", StartupOptions::libraryFlags(nullptr));
    EXPECT_EQ("", StartupOptions::libraryFlags(""));
    EXPECT_EQ("single-capture-limit=3", StartupOptions::libraryFlags("jar=/x.jar,single-capture-limit=3"));
}

TEST(StartupOptionsTest, ValueIsTheFirstItemWithExactlyThatKey) {
    const char* options = "xjar=/a.jar,jar=/b,c.jar,jar=/c.jar,jar";
    // Values end at a comma; a longer key containing the name does not count.
    EXPECT_EQ("/b", StartupOptions::value(options, "jar"));
    EXPECT_EQ("", StartupOptions::value("record=1s", "jar"));
    EXPECT_EQ("", StartupOptions::value(nullptr, "jar"));
    EXPECT_EQ("", StartupOptions::value("jar=", "jar"));
}

TEST(StartupOptionsTest, RecordingIsRequestedByRecordOrLoop) {
    EXPECT_TRUE(StartupOptions::requestsRecording("record=30s"));
    EXPECT_TRUE(StartupOptions::requestsRecording("agent-threads,record"));
    EXPECT_TRUE(StartupOptions::requestsRecording("loop=1m,keep=3"));
    EXPECT_FALSE(StartupOptions::requestsRecording("file=/tmp/record=1s.tsnap"));
    EXPECT_FALSE(StartupOptions::requestsRecording("recording=1s,looping"));
    EXPECT_FALSE(StartupOptions::requestsRecording(nullptr));
}

}  // namespace
