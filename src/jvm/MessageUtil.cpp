#include "MessageUtil.h"

#include "FatalAssert.h"
#include "JniUtil.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

int MessageUtil::debugLevel = 0;
int MessageUtil::filteredSubSystems = 0;
char* MessageUtil::debugFileName = nullptr;
FILE* MessageUtil::s_debugFile = nullptr;
jclass MessageUtil::messageClass = nullptr;
jmethodID MessageUtil::debugStackTraceMethod = nullptr;

namespace {

const char DEBUG_FILE_NAME[] = "tolvane.native.debug.out";

// Guards the lazy creation of the log name and the lazy open of the log, so
// that two threads logging for the first time neither open the file twice
// nor free a name the other one is using. Nothing else is taken under it.
std::mutex& debugFileLock() {
    static std::mutex lock;
    return lock;
}

char* copyOf(const std::string& text) {
    char* copy = new char[text.size() + 1];
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

void replaceDebugFileName(char* name) {
    delete[] MessageUtil::debugFileName;
    MessageUtil::debugFileName = name;
}

// The lock is held by the caller.
FILE* openDebugFileLocked() {
    if (MessageUtil::s_debugFile != nullptr) {
        return MessageUtil::s_debugFile;
    }
    if (MessageUtil::debugFileName == nullptr) {
        MessageUtil::initDefaultDebugFileName();
    }
    MessageUtil::s_debugFile = std::fopen(MessageUtil::debugFileName, "w");
    // Announced at every attempt, so a log that cannot be opened is noticed.
    MessageUtil::message("writing debug output to %s.", MessageUtil::debugFileName);
    return MessageUtil::s_debugFile;
}

}  // namespace

void MessageUtil::message(const char* format, ...) {
    // One locked stream operation per line keeps lines of different threads
    // from mixing within a line.
    flockfile(stderr);
    std::fputs("tolvane> ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    funlockfile(stderr);
}

namespace {

void writeDebugOutput(const char* format, va_list args) {
    FILE* file = MessageUtil::getDebugFile();
    if (file == nullptr) {
        return;
    }
    std::vfprintf(file, format, args);
    std::fflush(file);
}

}  // namespace

void MessageUtil::debugOut(Subsystem subsystem, int level, const char* format, ...) {
    if (!isLogged(subsystem, level)) {
        return;
    }
    va_list args;
    va_start(args, format);
    writeDebugOutput(format, args);
    va_end(args);
}

void MessageUtil::debugOut(const char* format, ...) {
    va_list args;
    va_start(args, format);
    writeDebugOutput(format, args);
    va_end(args);
}

void MessageUtil::debugText(Subsystem subsystem, int level, const char* text) {
    if (text == nullptr || !isLogged(subsystem, level)) {
        return;
    }
    FILE* file = getDebugFile();
    if (file == nullptr) {
        return;
    }
    std::fputs(text, file);
    std::fflush(file);
}

bool MessageUtil::isLogged(Subsystem subsystem, int level) {
    return level <= debugLevel && (subsystem & filteredSubSystems) == 0;
}

void MessageUtil::setDebugLevel(int level) {
    debugLevel = level;
}

void MessageUtil::setFilteredSubsystems(int subsystems) {
    filteredSubSystems = subsystems;
}

void MessageUtil::setDebugFileName(const char* name) {
    std::lock_guard<std::mutex> guard(debugFileLock());
    replaceDebugFileName(name != nullptr ? copyOf(name) : nullptr);
}

const char* MessageUtil::getDebugFileName() {
    std::lock_guard<std::mutex> guard(debugFileLock());
    if (debugFileName == nullptr) {
        initDefaultDebugFileName();
    }
    return debugFileName;
}

void MessageUtil::initDefaultDebugFileName() {
    // HOME wins even when it is empty; TMPDIR is only asked when HOME is
    // unset. Built to its full length: a long directory is never cut.
    const char* dir = std::getenv("HOME");
    if (dir == nullptr) {
        dir = std::getenv("TMPDIR");
    }
    std::string name = dir != nullptr ? dir : "";
    if (!name.empty()) {
        name += '/';
    }
    name += DEBUG_FILE_NAME;
    replaceDebugFileName(copyOf(name));
}

FILE* MessageUtil::getDebugFile() {
    std::lock_guard<std::mutex> guard(debugFileLock());
    return openDebugFileLocked();
}

void MessageUtil::initMessageRefs(JNIEnv* env) {
    LocalRef<jclass> local(env, env->FindClass("com/tolvane/agent/callee/JvmtiCallee"));
    if (local.get() == nullptr) {
        fatalAssert("messageClassLocal", "shared/MessageUtil", "initMessageRefs", env);
    }
    messageClass = static_cast<jclass>(env->NewGlobalRef(local.get()));
    if (messageClass == nullptr) {
        fatalAssert("messageClass", "shared/MessageUtil", "initMessageRefs", env);
    }
    debugStackTraceMethod = env->GetStaticMethodID(messageClass, "debugStackTrace", "()V");
    if (debugStackTraceMethod == nullptr) {
        fatalAssert("debugStackTraceMethod", "shared/MessageUtil", "initMessageRefs", env);
    }
}

void MessageUtil::debugStackTrace(Subsystem subsystem, int level, JNIEnv* env) {
    if (env == nullptr || !isLogged(subsystem, level)) {
        return;
    }
    if (debugStackTraceMethod == nullptr) {
        initMessageRefs(env);
    }
    env->CallStaticVoidMethod(messageClass, debugStackTraceMethod);
    clearPendingException(env);
}
