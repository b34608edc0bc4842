#ifndef TOLVANE_JVMENV_H
#define TOLVANE_JVMENV_H

#include <jni.h>
#include <jvmti.h>

// The JVM the library is attached to. The attach sequence sets both once and
// they stay for the life of the process; null before the attach. Every layer
// that calls the JVM reads them here, below the agent that sets them.
extern jvmtiEnv* g_profilingInterface;
// Lets code without a JNIEnv at hand (fatalAssert) find the calling
// thread's environment.
extern JavaVM* g_javaVm;

#endif
