/*
 * Test shim loaded with LD_PRELOAD into a child JVM: gettimeofday answers as
 * if the system time had been set by TOLVANE_TEST_CLOCK_STEP seconds
 * (negative: back) for as long as the file TOLVANE_TEST_CLOCK_STEP_FILE
 * exists. Every other clock is left alone.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <sys/time.h>
#include <unistd.h>

typedef int (*gettimeofday_fn)(struct timeval*, void*);

int gettimeofday(struct timeval* tv, void* tz) {
    static gettimeofday_fn real;
    if (real == NULL) {
        real = (gettimeofday_fn)dlsym(RTLD_NEXT, "gettimeofday");
    }
    int result = real(tv, tz);
    const char* step = getenv("TOLVANE_TEST_CLOCK_STEP");
    const char* trigger = getenv("TOLVANE_TEST_CLOCK_STEP_FILE");
    if (result == 0 && tv != NULL && step != NULL && trigger != NULL && access(trigger, F_OK) == 0) {
        tv->tv_sec += atoll(step);
    }
    return result;
}
