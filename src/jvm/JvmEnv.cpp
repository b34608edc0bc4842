#include "JvmEnv.h"

jvmtiEnv* g_profilingInterface = nullptr;
JavaVM* g_javaVm = nullptr;
