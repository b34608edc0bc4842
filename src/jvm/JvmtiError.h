#ifndef TOLVANE_JVMTIERROR_H
#define TOLVANE_JVMTIERROR_H

#include <jvmti.h>

// The symbolic name of a JVMTI error code ("JVMTI_ERROR_WRONG_PHASE"), or
// null for a code this library does not know. A static table rather than
// JVMTI GetErrorName: it needs no environment, works in every phase and
// allocates nothing.
const char* jvmtiErrorName(jvmtiError error);

// A JVMTI error as it appears in messages: its name and its number, such as
// "JVMTI_ERROR_WRONG_PHASE (112)"; an unknown code reads
// "unknown JVMTI error (n)". Formatted into the object, so it can be used
// where nothing may be allocated.
class JvmtiErrorText {
public:
    explicit JvmtiErrorText(jvmtiError error);
    const char* get() const { return text; }

private:
    char text[80];
};

#endif
