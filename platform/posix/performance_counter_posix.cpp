#include <time.h>

#include "platform/performance_counter.h"

int64_t QueryCounterFrequency() {
    return 1'000'000'000;
}

int64_t QueryCounterReading() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}
