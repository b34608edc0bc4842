#include "Counter.h"

#include <sys/time.h>
#include <time.h>

bool Counter::initialized = false;
unsigned int Counter::s_startTime = 0;
jlong Counter::s_initialUsec = 0;
jlong Counter::s_monotonicBase = -1;

jlong Counter::monotonicUsec() {
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        return -1;
    }
    return static_cast<jlong>(now.tv_sec) * 1000000 + static_cast<jlong>(now.tv_nsec) / 1000;
}

namespace {

jlong wallUsec(const struct timeval& now) {
    return (static_cast<jlong>(now.tv_sec) - static_cast<jlong>(Counter::s_startTime)) * 1000000 +
           static_cast<jlong>(now.tv_usec);
}

}  // namespace

void Counter::init() {
    struct timeval now;
    jlong monotonic = monotonicUsec();
    if (gettimeofday(&now, nullptr) == 0) {
        s_startTime = static_cast<unsigned int>(now.tv_sec);
        s_initialUsec = wallUsec(now);
        s_monotonicBase = monotonic;
    } else {
        s_monotonicBase = -1;
    }
    // Published with release order so that a thread that sees the flag also
    // sees the base; after a failed read the base stays 0.
    __atomic_store_n(&initialized, true, __ATOMIC_RELEASE);
}

jlong Counter::getUsec() {
    if (!__atomic_load_n(&initialized, __ATOMIC_ACQUIRE)) {
        init();
    }
    if (s_monotonicBase >= 0) {
        jlong monotonic = monotonicUsec();
        if (monotonic >= 0) {
            return s_initialUsec + (monotonic - s_monotonicBase);
        }
    }
    struct timeval now;
    if (gettimeofday(&now, nullptr) != 0) {
        return -1;
    }
    return wallUsec(now);
}
