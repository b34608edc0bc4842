#include "Counter.h"

#include <sys/time.h>

bool Counter::initialized = false;
unsigned int Counter::s_startTime = 0;

void Counter::init() {
    struct timeval now;
    if (gettimeofday(&now, nullptr) == 0) {
        s_startTime = static_cast<unsigned int>(now.tv_sec);
    }
    // Published with release order so that a thread that sees the flag also
    // sees the base; after a failed read the base stays 0.
    __atomic_store_n(&initialized, true, __ATOMIC_RELEASE);
}

jlong Counter::getUsec() {
    if (!__atomic_load_n(&initialized, __ATOMIC_ACQUIRE)) {
        init();
    }
    struct timeval now;
    if (gettimeofday(&now, nullptr) != 0) {
        return -1;
    }
    return (static_cast<jlong>(now.tv_sec) - static_cast<jlong>(s_startTime)) * 1000000 + static_cast<jlong>(now.tv_usec);
}
