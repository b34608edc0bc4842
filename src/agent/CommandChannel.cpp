#include "CommandChannel.h"

#include "JniUtil.h"
#include "ProfilingSession.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

const char CommandChannel::PREFIX[] = "tolvane-command:";

namespace {

const char CONTROL_CLASS[] = "com.tolvane.agent.recorder.RecorderControl";
const char CLASSES_COMMAND[] = "classes ";
// The recorder's classes come to some 60 KB; a bundle far larger is not one of ours.
const size_t MAX_BUNDLE_BYTES = 4 << 20;
const int MAX_BUNDLE_CLASSES = 256;

// The whole of a regular file of this process's user, reached without
// following a link; empty when it is not such a file or too large.
std::vector<char> readPrivateFile(const char* path) {
    std::vector<char> bytes;
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return bytes;
    }
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_size > 0 &&
        static_cast<size_t>(st.st_size) <= MAX_BUNDLE_BYTES) {
        bytes.resize(static_cast<size_t>(st.st_size));
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = read(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                bytes.clear();
                break;
            }
            done += static_cast<size_t>(n);
        }
    }
    close(fd);
    return bytes;
}

// One class of a bundle: its internal name (com/tolvane/...) and its class file.
struct BundledClass {
    const char* name;
    const jbyte* bytes;
    jsize length;
};

// A bundle is a sequence of (name, zero byte, four-byte big-endian length,
// class file); false when malformed.
bool parseBundle(const std::vector<char>& bundle, std::vector<BundledClass>& classes) {
    size_t at = 0;
    while (at < bundle.size()) {
        const void* end = std::memchr(bundle.data() + at, '\0', bundle.size() - at);
        if (end == nullptr || classes.size() >= static_cast<size_t>(MAX_BUNDLE_CLASSES)) {
            return false;
        }
        size_t nameEnd = static_cast<size_t>(static_cast<const char*>(end) - bundle.data());
        if (nameEnd == at || bundle.size() - nameEnd - 1 < 4) {
            return false;
        }
        const unsigned char* size = reinterpret_cast<const unsigned char*>(bundle.data() + nameEnd + 1);
        size_t length = (size_t{size[0]} << 24) | (size_t{size[1]} << 16) | (size_t{size[2]} << 8) | size[3];
        size_t start = nameEnd + 5;
        if (length == 0 || length > bundle.size() - start) {
            return false;
        }
        classes.push_back({bundle.data() + at, reinterpret_cast<const jbyte*>(bundle.data() + start),
                           static_cast<jsize>(length)});
        at = start + length;
    }
    return !classes.empty();
}

jobject systemClassLoader(JNIEnv* env) {
    LocalRef<jclass> loaderClass(env, env->FindClass("java/lang/ClassLoader"));
    if (clearPendingException(env) || loaderClass.get() == nullptr) {
        return nullptr;
    }
    jmethodID systemLoader =
        env->GetStaticMethodID(loaderClass.get(), "getSystemClassLoader", "()Ljava/lang/ClassLoader;");
    if (clearPendingException(env) || systemLoader == nullptr) {
        return nullptr;
    }
    jobject loader = env->CallStaticObjectMethod(loaderClass.get(), systemLoader);
    return clearPendingException(env) ? nullptr : loader;
}

// Defines the recorder's classes in the system class loader from a bundle the
// tool wrote, unless they are there already. Loading the agent jar through
// the class path would open it with the JDK's zip and file system classes,
// a hundred classes a program run from a directory never needed; defined
// from bytes, the JVM gets the recorder's classes and nothing else.
jint defineRecorder(JNIEnv* env, const char* bundlePath) {
    LocalRef<jclass> present(env, CommandChannel::loadAgentClass(env, CONTROL_CLASS));
    if (present.get() != nullptr) {
        return CommandChannel::HANDLED;
    }
    std::vector<char> bundle = readPrivateFile(bundlePath);
    std::vector<BundledClass> classes;
    if (!parseBundle(bundle, classes)) {
        return CommandChannel::BAD_COMMAND;
    }
    LocalRef<jobject> loader(env, systemClassLoader(env));
    if (loader.get() == nullptr) {
        return CommandChannel::NO_RECORDER;
    }
    // A class whose supertype is another of the bundle waits for it: passes
    // until a pass defines nothing more. A class the loader has already
    // (the program carries the agent jar) stays as it is.
    std::vector<bool> done(classes.size(), false);
    for (bool progress = true; progress;) {
        progress = false;
        for (size_t i = 0; i < classes.size(); i++) {
            if (done[i]) {
                continue;
            }
            LocalRef<jclass> defined(
                env, env->DefineClass(classes[i].name, loader.get(), classes[i].bytes, classes[i].length));
            bool duplicate = false;
            if (env->ExceptionCheck()) {
                LocalRef<jthrowable> thrown(env, env->ExceptionOccurred());
                env->ExceptionClear();
                LocalRef<jclass> linkage(env, env->FindClass("java/lang/LinkageError"));
                LocalRef<jclass> noDef(env, env->FindClass("java/lang/NoClassDefFoundError"));
                clearPendingException(env);
                // NoClassDefFoundError (a LinkageError too): a supertype still to come.
                duplicate = linkage.get() != nullptr && noDef.get() != nullptr &&
                            env->IsInstanceOf(thrown.get(), linkage.get()) &&
                            !env->IsInstanceOf(thrown.get(), noDef.get());
            }
            if (defined.get() != nullptr || duplicate) {
                done[i] = true;
                progress = true;
            }
        }
    }
    LocalRef<jclass> control(env, CommandChannel::loadAgentClass(env, CONTROL_CLASS));
    return control.get() != nullptr ? CommandChannel::HANDLED : CommandChannel::NO_RECORDER;
}

jint toRecorder(JNIEnv* env, const char* command) {
    LocalRef<jclass> control(env, CommandChannel::loadAgentClass(env, CONTROL_CLASS));
    if (control.get() == nullptr) {
        return CommandChannel::NO_RECORDER;
    }
    jmethodID entry = env->GetStaticMethodID(control.get(), "command", "([B)I");
    if (clearPendingException(env) || entry == nullptr) {
        return CommandChannel::NO_RECORDER;
    }
    // As bytes: the recorder decodes them, and a file name in them need not be valid modified UTF-8.
    jsize length = static_cast<jsize>(std::strlen(command));
    LocalRef<jbyteArray> bytes(env, env->NewByteArray(length));
    if (clearPendingException(env) || bytes.get() == nullptr) {
        return CommandChannel::RECORDER_FAILED;
    }
    env->SetByteArrayRegion(bytes.get(), 0, length, reinterpret_cast<const jbyte*>(command));
    if (clearPendingException(env)) {
        return CommandChannel::RECORDER_FAILED;
    }
    jint result = env->CallStaticIntMethod(control.get(), entry, bytes.get());
    if (clearPendingException(env)) {  // the JVM's standard error shows what went wrong
        return CommandChannel::RECORDER_FAILED;
    }
    return result;
}

}  // namespace

const char* CommandChannel::command(const char* options) {
    bool prefixed = options != nullptr && std::strncmp(options, PREFIX, sizeof PREFIX - 1) == 0;
    return prefixed ? options + sizeof PREFIX - 1 : nullptr;
}

jint CommandChannel::dispatch(JavaVM* vm, const char* command) {
    if (!isAgentAttached() || vm == nullptr) {
        return NOT_INITIALISED;
    }
    void* jni = nullptr;
    if (vm->GetEnv(&jni, JNI_VERSION_1_6) != JNI_OK || jni == nullptr) {
        return NOT_INITIALISED;
    }
    JNIEnv* env = static_cast<JNIEnv*>(jni);
    if (std::strncmp(command, CLASSES_COMMAND, sizeof CLASSES_COMMAND - 1) == 0) {
        return defineRecorder(env, command + sizeof CLASSES_COMMAND - 1);
    }
    return toRecorder(env, command);
}

bool CommandChannel::writeReply(const char* path, const char* data, size_t length) {
    int fd = open(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return false;
    }
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && ftruncate(fd, 0) == 0;
    // One write at offset 0 where the file system allows it; the reader
    // recognises an answer only by its closing line, so a torn read is retried.
    size_t done = 0;
    while (ok && done < length) {
        ssize_t n = pwrite(fd, data + done, length - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ok = n > 0;
        done += ok ? static_cast<size_t>(n) : 0;
    }
    close(fd);
    return ok;
}

CommandChannel::FileKind CommandChannel::fileKind(const char* path) {
    struct stat st;
    if (lstat(path, &st) != 0) {
        return FILE_MISSING;
    }
    return S_ISREG(st.st_mode) ? FILE_REGULAR : FILE_OTHER;
}

jclass CommandChannel::loadAgentClass(JNIEnv* env, const char* name) {
    LocalRef<jobject> loader(env, systemClassLoader(env));
    if (loader.get() == nullptr) {
        return nullptr;
    }
    LocalRef<jclass> loaderClass(env, env->FindClass("java/lang/ClassLoader"));
    if (clearPendingException(env) || loaderClass.get() == nullptr) {
        return nullptr;
    }
    jmethodID loadClass = env->GetMethodID(loaderClass.get(), "loadClass", "(Ljava/lang/String;)Ljava/lang/Class;");
    if (clearPendingException(env) || loadClass == nullptr) {
        return nullptr;
    }
    LocalRef<jstring> className(env, env->NewStringUTF(name));
    if (clearPendingException(env) || className.get() == nullptr) {
        return nullptr;
    }
    jclass found = static_cast<jclass>(env->CallObjectMethod(loader.get(), loadClass, className.get()));
    if (env->ExceptionCheck()) {
        // Not there (no agent jar yet): the caller tells what that means, without a stack trace.
        env->ExceptionClear();
        return nullptr;
    }
    return found;
}
