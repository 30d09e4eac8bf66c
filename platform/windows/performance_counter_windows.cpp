#include <windows.h>

#include "platform/performance_counter.h"

int64_t QueryCounterFrequency() {
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
}

int64_t QueryCounterReading() {
    LARGE_INTEGER reading{};
    QueryPerformanceCounter(&reading);
    return reading.QuadPart;
}
