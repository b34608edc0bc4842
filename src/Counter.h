#ifndef TOLVANE_COUNTER_H
#define TOLVANE_COUNTER_H

#include <jni.h>

// The library's only clock: microseconds since the start of the whole second
// of the epoch in which it was first read; -1 when the clock cannot be read.
class Counter {
public:
    static jlong getUsec();
    static void init();

    static bool initialized;
    static unsigned int s_startTime;
};

#endif
