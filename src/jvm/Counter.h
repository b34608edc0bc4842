#ifndef TOLVANE_COUNTER_H
#define TOLVANE_COUNTER_H

#include <jni.h>

// The library's only clock: microseconds since the start of the whole second
// of the epoch in which it was first read; -1 when the clock cannot be read.
//
// Only that first read looks at the wall clock. From then on the clock
// advances with the monotonic clock, so setting the system time, or a
// machine resuming from suspend, neither moves it back nor makes it jump:
// every interval computed from it is time that really passed.
class Counter {
public:
    static jlong getUsec();
    static void init();
    // Microseconds of the monotonic clock itself (no fixed origin), or -1
    // when it cannot be read: for measuring intervals.
    static jlong monotonicUsec();

    static bool initialized;
    static unsigned int s_startTime;
    // Library-clock value at the first read, and the monotonic clock then (us);
    // s_monotonicBase is -1 when the monotonic clock could not be read, and
    // the clock then follows the wall clock.
    static jlong s_initialUsec;
    static jlong s_monotonicBase;
};

#endif
