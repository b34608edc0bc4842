#ifndef TOLVANE_MESSAGEUTIL_H
#define TOLVANE_MESSAGEUTIL_H

#include <jni.h>
#include <cstdio>

// Names the part of the system a debug message comes from; tested as bits
// against MessageUtil::filteredSubSystems.
typedef int Subsystem;

// The library's diagnostics: one-line console messages on standard error
// ("tolvane> " + text) and a filtered debug log file opened on first use.
// No lock: callers on different threads may interleave their output.
class MessageUtil {
public:
    static void message(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static void debugOut(Subsystem subsystem, int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    static void debugOut(const char* format, ...) __attribute__((format(printf, 1, 2)));
    // Writes text verbatim (no format interpretation) when the filter allows.
    static void debugText(Subsystem subsystem, int level, const char* text);
    static bool isLogged(Subsystem subsystem, int level);
    static void setDebugLevel(int level);
    static void setFilteredSubsystems(int subsystems);
    static void setDebugFileName(const char* name);
    static const char* getDebugFileName();
    static void initDefaultDebugFileName();
    static FILE* getDebugFile();
    static void initMessageRefs(JNIEnv* env);
    static void debugStackTrace(Subsystem subsystem, int level, JNIEnv* env);

    static int debugLevel;
    static int filteredSubSystems;
    static char* debugFileName;
    static FILE* s_debugFile;
    static jclass messageClass;
    static jmethodID debugStackTraceMethod;
};

#endif
