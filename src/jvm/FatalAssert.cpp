#include "FatalAssert.h"

#include "JvmEnv.h"
#include "MessageUtil.h"

#include <cstdio>
#include <cstdlib>

namespace {

const char* orUnknown(const char* text) {
    return text != nullptr ? text : "?";
}

}  // namespace

void fatalAssert(const char* item, const char* source, const char* function, JNIEnv* env) {
    item = orUnknown(item);
    source = orUnknown(source);
    function = orUnknown(function);
    MessageUtil::message("Assertion failed: %s (%s, %s)", item, source, function);

    if (env == nullptr && g_javaVm != nullptr) {
        void* current = nullptr;
        if (g_javaVm->GetEnv(&current, JNI_VERSION_1_4) == JNI_OK) {
            env = static_cast<JNIEnv*>(current);
        }
    }
    if (env != nullptr) {
        // FatalError lets the JVM write its error report before it ends.
        char text[512];
        std::snprintf(text, sizeof text, "tolvane: assertion failed: %s (%s, %s)", item, source, function);
        env->FatalError(text);
    }
    std::abort();
}
