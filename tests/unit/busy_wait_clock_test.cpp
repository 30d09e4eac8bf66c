// The busy-wait on the real counter: it waits at least as long as asked and
// never gives up the processor. Only lower bounds: machines are noisy.
#include <gtest/gtest.h>

#include <chrono>

#include "timing/busy_wait.h"

#if defined(__linux__)
#include <sys/resource.h>
#endif

namespace {
using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

TEST(BusyWaitClock, WaitsMoreThanTheTimeAskedFor) {
    for (int32_t ms : {0, 1, 5, 30, 100}) {
        const auto start = Clock::now();
        WaitMilliseconds(ms);
        EXPECT_GT(MillisecondsSince(start), static_cast<double>(ms)) << ms << " ms";
    }
}

TEST(BusyWaitClock, NeverSleepsOrYields) {
#if defined(__linux__)
    // A thread that sleeps, yields or blocks counts a voluntary switch; one
    // that is only preempted does not.
    rusage before{};
    rusage after{};
    getrusage(RUSAGE_THREAD, &before);
    WaitMilliseconds(100);
    getrusage(RUSAGE_THREAD, &after);
    EXPECT_EQ(after.ru_nvcsw, before.ru_nvcsw);
#else
    GTEST_SKIP() << "per-thread context switch counts are read from Linux only";
#endif
}
}  // namespace
