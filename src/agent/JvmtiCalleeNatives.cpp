// The natives of com.tolvane.agent.callee.JvmtiCallee: the library's whole
// JNI surface. Each checks that the agent is attached and hands over to the
// layer that does the work.

#include <jni.h>

#include <cstring>
#include <vector>

#include "ClassProfilingSession.h"
#include "CommandChannel.h"
#include "CpuProfilingSession.h"
#include "JniUtil.h"
#include "MessageUtil.h"
#include "ProfilingSession.h"
#include "Recording.h"

extern "C" JNIEXPORT void JNICALL
Java_com_tolvane_agent_callee_JvmtiCallee_record(JNIEnv* env, jclass calleeClass, jlong durationMillis,
                                                 jboolean sampleTransactions, jboolean recordAgentThreads,
                                                 jbyteArray snapshotPath) {
    if (!isAgentAttached()) {
        return;
    }
    Recording::run(env, calleeClass, durationMillis, sampleTransactions, recordAgentThreads, snapshotPath);
}

extern "C" JNIEXPORT void JNICALL
Java_com_tolvane_agent_callee_JvmtiCallee_associateThread(JNIEnv* env, jobject classOrInstance, jobject thread,
                                                          jboolean currentThread, jobject threadManager) {
    if (!isAgentAttached()) {
        return;
    }
    LiveCpuProfilingHelper::associateThread(env, thread, currentThread != JNI_FALSE, threadManager,
                                            g_recordingInProgress);
}

extern "C" JNIEXPORT void JNICALL
Java_com_tolvane_agent_callee_JvmtiCallee_setFilters(JNIEnv* env, jclass, jobjectArray filters,
                                                     jboolean filterInverted, jobjectArray ignoredClassNames,
                                                     jboolean sampleAgentClasses) {
    if (!isAgentAttached()) {
        return;
    }
    ClassProfilingHelper::setFilters(env, filters, filterInverted != JNI_FALSE, ignoredClassNames,
                                     sampleAgentClasses != JNI_FALSE,
                                     g_profilingSession->classProfilingSession);
}

extern "C" JNIEXPORT void JNICALL
Java_com_tolvane_agent_callee_JvmtiCallee_addNetioClass(JNIEnv* env, jclass, jstring className,
                                                        jobjectArray methodNames,
                                                        jobjectArray methodSignatures) {
    if (!isAgentAttached()) {
        return;
    }
    ClassProfilingHelper::addNetioClass(env, className, methodNames, methodSignatures);
}

extern "C" JNIEXPORT jlong JNICALL
Java_com_tolvane_agent_callee_JvmtiCallee_createInterceptionMethodId(JNIEnv* env, jclass, jstring name) {
    if (!isAgentAttached()) {
        return 0;
    }
    return ClassProfilingHelper::createInterceptionMethodId(env, name);
}

// Writes Java text into the debug log verbatim: it is never used as a format.
// Works before the attach: the log needs nothing of the JVM.
extern "C" JNIEXPORT void JNICALL
Java_com_tolvane_agent_callee_JvmtiCallee_debugOut0(JNIEnv* env, jclass, jint subsystem, jint level, jstring text) {
    if (text == nullptr || !MessageUtil::isLogged(subsystem, level)) {
        return;
    }
    UtfChars chars(env, text);
    MessageUtil::debugText(subsystem, level, chars.get());
}

namespace {

// A file name from Java: the bytes of `path`, which must end in its only zero byte; false otherwise.
bool pathFromJava(JNIEnv* env, jbyteArray path, std::vector<char>& bytes) {
    jsize length = path == nullptr ? 0 : env->GetArrayLength(path);
    if (length < 1) {
        return false;
    }
    bytes.resize(static_cast<size_t>(length));
    env->GetByteArrayRegion(path, 0, length, reinterpret_cast<jbyte*>(bytes.data()));
    return !clearPendingException(env) && std::memchr(bytes.data(), '\0', bytes.size()) == &bytes.back();
}

}  // namespace

// Works before the attach, as the file system needs nothing of the JVM.
extern "C" JNIEXPORT jint JNICALL
Java_com_tolvane_agent_callee_JvmtiCallee_fileKind(JNIEnv* env, jclass, jbyteArray path) {
    std::vector<char> pathBytes;
    if (!pathFromJava(env, path, pathBytes)) {
        return CommandChannel::FILE_MISSING;
    }
    return CommandChannel::fileKind(pathBytes.data());
}

// Answers a command of the tolvane tool in the reply file it named (see
// CommandChannel::writeReply); both arguments are bytes, the path ending in a zero byte.
extern "C" JNIEXPORT jboolean JNICALL
Java_com_tolvane_agent_callee_JvmtiCallee_writeReply(JNIEnv* env, jclass, jbyteArray path, jbyteArray text) {
    std::vector<char> pathBytes;
    if (!isAgentAttached() || text == nullptr || !pathFromJava(env, path, pathBytes)) {
        return JNI_FALSE;
    }
    jsize textLength = env->GetArrayLength(text);
    std::vector<char> textBytes(static_cast<size_t>(textLength) + 1);
    env->GetByteArrayRegion(text, 0, textLength, reinterpret_cast<jbyte*>(textBytes.data()));
    if (clearPendingException(env)) {
        return JNI_FALSE;
    }
    return CommandChannel::writeReply(pathBytes.data(), textBytes.data(), static_cast<size_t>(textLength)) ? JNI_TRUE
                                                                                                           : JNI_FALSE;
}
