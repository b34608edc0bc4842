#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "CommandChannel.h"
#include "StderrCapture.h"

extern "C" JNIEXPORT jint JNICALL Agent_OnAttach(JavaVM* vm, char* options, void* reserved);

namespace {

class CommandChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tolvane-command-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir = pattern;
    }

    void TearDown() override {
        for (const char* name : {"reply", "link", "victim", "fifo"}) {
            unlink(path(name).c_str());
        }
        rmdir(dir.c_str());
    }

    std::string path(const char* name) const { return dir + "/" + name; }

    static void writeFile(const std::string& file, const std::string& text) {
        int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(static_cast<ssize_t>(text.size()), write(fd, text.data(), text.size()));
        close(fd);
    }

    static std::string readFile(const std::string& file) {
        std::string text;
        int fd = open(file.c_str(), O_RDONLY);
        char buffer[256];
        for (ssize_t n; fd >= 0 && (n = read(fd, buffer, sizeof buffer)) > 0;) {
            text.append(buffer, static_cast<size_t>(n));
        }
        if (fd >= 0) {
            close(fd);
        }
        return text;
    }

    std::string dir;
};

TEST_F(CommandChannelTest, OnlyOptionsWithThePrefixAreCommands) {
    EXPECT_STREQ("start", CommandChannel::command("tolvane-command:start"));
    EXPECT_STREQ("", CommandChannel::command("tolvane-command:"));
    EXPECT_EQ(nullptr, CommandChannel::command("cpu-time,agent-threads"));
    EXPECT_EQ(nullptr, CommandChannel::command("tolvane-comman"));
    EXPECT_EQ(nullptr, CommandChannel::command(nullptr));
}

TEST_F(CommandChannelTest, ACommandBeforeTheLibraryStartedIsRefusedSilently) {
    // A command that arrives as the very first load: the library has no JVM
    // state to serve it with, and it must not pass for a first load either.
    StderrCapture console;
    char options[] = "tolvane-command:classes /nowhere";
    EXPECT_EQ(CommandChannel::NOT_INITIALISED, Agent_OnAttach(nullptr, options, nullptr));
    EXPECT_EQ("", console.text());
}

TEST_F(CommandChannelTest, AReplyReplacesTheWholeFile) {
    writeFile(path("reply"), "an older and longer answer\nend\n");
    const std::string answer = "id=1\nend\n";
    EXPECT_TRUE(CommandChannel::writeReply(path("reply").c_str(), answer.data(), answer.size()));
    EXPECT_EQ(answer, readFile(path("reply")));
}

TEST_F(CommandChannelTest, AReplyGoesOnlyIntoAnExistingRegularFile) {
    const std::string answer = "id=1\nend\n";
    // Not created where the tool made no file.
    EXPECT_FALSE(CommandChannel::writeReply(path("reply").c_str(), answer.data(), answer.size()));
    EXPECT_NE(0, access(path("reply").c_str(), F_OK));
    // A link is not followed: what it points to stays as it was.
    writeFile(path("victim"), "keep");
    ASSERT_EQ(0, symlink(path("victim").c_str(), path("link").c_str()));
    EXPECT_FALSE(CommandChannel::writeReply(path("link").c_str(), answer.data(), answer.size()));
    EXPECT_EQ("keep", readFile(path("victim")));
    // A FIFO without a reader neither blocks the caller nor takes the answer.
    ASSERT_EQ(0, mkfifo(path("fifo").c_str(), 0600));
    EXPECT_FALSE(CommandChannel::writeReply(path("fifo").c_str(), answer.data(), answer.size()));
}

TEST_F(CommandChannelTest, FileKindDoesNotFollowTheLastLink) {
    EXPECT_EQ(CommandChannel::FILE_MISSING, CommandChannel::fileKind(path("victim").c_str()));
    writeFile(path("victim"), "x");
    EXPECT_EQ(CommandChannel::FILE_REGULAR, CommandChannel::fileKind(path("victim").c_str()));
    ASSERT_EQ(0, symlink(path("victim").c_str(), path("link").c_str()));
    EXPECT_EQ(CommandChannel::FILE_OTHER, CommandChannel::fileKind(path("link").c_str()));
    EXPECT_EQ(CommandChannel::FILE_OTHER, CommandChannel::fileKind(dir.c_str()));
    ASSERT_EQ(0, mkfifo(path("fifo").c_str(), 0600));
    EXPECT_EQ(CommandChannel::FILE_OTHER, CommandChannel::fileKind(path("fifo").c_str()));
}

}  // namespace
