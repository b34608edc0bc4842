#ifndef TOLVANE_FATALASSERT_H
#define TOLVANE_FATALASSERT_H

#include <jni.h>

// Ends the process after a broken invariant of the library or of the fixed
// Java-side contract. Prints one console line naming the item, the source and
// the function, then calls JNI FatalError when an environment is at hand
// (env, else the one of the calling thread), otherwise abort().
[[noreturn]] void fatalAssert(const char* item, const char* source, const char* function, JNIEnv* env = nullptr);

#endif
