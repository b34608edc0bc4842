// The natives of com.tolvane.agent.callee.JvmtiCallee: the library's whole
// JNI surface. Each checks that the agent is attached and hands over to the
// layer that does the work.

#include <jni.h>

#include "ClassProfilingSession.h"
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
