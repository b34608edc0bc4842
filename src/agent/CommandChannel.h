#ifndef TOLVANE_COMMANDCHANNEL_H
#define TOLVANE_COMMANDCHANNEL_H

#include <jni.h>

#include <cstddef>

// Commands from the tolvane tool. The tool has no channel into the JVM but the
// Attach API: it loads this (already loaded) library again with an option
// string that starts with PREFIX, and the JVM calls Agent_OnAttach on its
// attach listener thread with it. The command goes on to the recorder's Java
// code; its answer is written into a file the tool created and named in the
// command (see writeReply). Nothing listens in the JVM for this.
//
// A command's result is the return value of Agent_OnAttach. It is never 0, so
// that the JVM keeps no record of the load (a successful load stays listed
// for the life of the JVM); the tool reads it from the load's failure.
namespace CommandChannel {

// Every command's option string starts with this.
extern const char PREFIX[];

// What Agent_OnAttach returns for a command; the tool knows the same numbers.
enum Result : jint {
    HANDLED = 100,          // the recorder took it; its answer is in the reply file
    NOT_INITIALISED = 101,  // the library never completed its start in this JVM
    NO_RECORDER = 102,      // the recorder's classes cannot be loaded (no agent jar, or another version)
    RECORDER_FAILED = 103,  // the recorder threw; the JVM's standard error has it
    BAD_COMMAND = 104,      // malformed, or the reply file is unusable
};

// The command in an option string, past the prefix; null when it is none.
const char* command(const char* options);

// Runs one command on the calling thread (the attach listener): "classes
// PATH" defines the recorder's classes from a bundle file the tool wrote,
// unless the JVM has them; anything else goes to the recorder. Short calls only: the recorder does
// the recording on its own thread.
jint dispatch(JavaVM* vm, const char* command);

// Replaces the contents of the reply file at `path` with `length` bytes.
// Writes only into an existing regular file of this process's user, reached
// without following a link and without blocking; false otherwise.
bool writeReply(const char* path, const char* data, size_t length);

// What is at `path`, its last element not followed: the recorder's checks of
// its outputs, made without the JDK's file system classes. Any error reading
// it counts as nothing there.
enum FileKind : jint { FILE_MISSING = 0, FILE_REGULAR = 1, FILE_OTHER = 2 };
FileKind fileKind(const char* path);

// The class `name` (binary name) from the system class loader, which holds
// the agent jar; null, with no exception pending, when it cannot be loaded.
jclass loadAgentClass(JNIEnv* env, const char* name);

}  // namespace CommandChannel

#endif
