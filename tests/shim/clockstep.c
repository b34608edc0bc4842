/*
 * Test shim loaded with LD_PRELOAD into a child JVM: gettimeofday answers
 * as if the system time had been set by TOLVANE_TEST_CLOCK_STEP seconds
 * (negative: back) once TOLVANE_TEST_CLOCK_STEP_AFTER_MS milliseconds have
 * passed since its first call. Every other clock is left alone.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <sys/time.h>
#include <time.h>

typedef int (*gettimeofday_fn)(struct timeval*, void*);

static long long monotonic_ms(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

int gettimeofday(struct timeval* tv, void* tz) {
    static gettimeofday_fn real;
    static long long first_ms = -1;
    if (real == NULL) {
        real = (gettimeofday_fn)dlsym(RTLD_NEXT, "gettimeofday");
    }
    int result = real(tv, tz);
    const char* step = getenv("TOLVANE_TEST_CLOCK_STEP");
    const char* after = getenv("TOLVANE_TEST_CLOCK_STEP_AFTER_MS");
    if (result != 0 || tv == NULL || step == NULL || after == NULL) {
        return result;
    }
    long long now = monotonic_ms();
    if (first_ms < 0) {
        first_ms = now;
    }
    if (now - first_ms >= atoll(after)) {
        tv->tv_sec += atoll(step);
    }
    return result;
}
