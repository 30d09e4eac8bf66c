#include <gtest/gtest.h>

#include "scripted_counter.h"
#include "timing/busy_wait.h"

namespace {
// Returns how many counter readings the wait took, the start reading included.
size_t ReadingsTaken(int32_t ms, int64_t frequency, std::vector<int64_t> readings) {
    scriptedCounter = ScriptedCounter{frequency, std::move(readings), 0, 0};
    WaitMilliseconds(ms);
    return scriptedCounter.readingsTaken;
}

TEST(BusyWaitEdges, ZeroReturnsAtTheFirstReadingThatShowsAnyTime) {
    EXPECT_EQ(ReadingsTaken(0, 1000, {500, 500, 500, 501, 502}), 4u);
}

TEST(BusyWaitEdges, ExactlyTheTimeIsNotEnough) {
    // 1 count = 1 ms: the reading at exactly 1.000 ms does not end the wait.
    EXPECT_EQ(ReadingsTaken(1, 1000, {0, 1, 1, 2, 3}), 4u);
    // The same at a frequency where the division is exact in binary.
    EXPECT_EQ(ReadingsTaken(100, 1'000'000'000, {0, 99'999'999, 100'000'000, 100'000'001}), 4u);
}

TEST(BusyWaitEdges, MeasuresFromTheStartReadingNotFromZero) {
    EXPECT_EQ(ReadingsTaken(2, 1000, {1'000'000, 1'000'001, 1'000'002, 1'000'003}), 4u);
}

TEST(BusyWaitEdges, UsesTheFrequencyOfEachCall) {
    // 2 ms at 10 counts per ms needs more than 20 counts, at 1 count per ms
    // more than 2.
    EXPECT_EQ(ReadingsTaken(2, 10'000, {0, 3, 20, 21}), 4u);
    EXPECT_EQ(scriptedCounter.frequencyQueries, 1);
    EXPECT_EQ(ReadingsTaken(2, 1000, {0, 3}), 2u);
    EXPECT_EQ(scriptedCounter.frequencyQueries, 1);
}

TEST(BusyWaitEdges, ANegativeTimeReturnsAtTheFirstReading) {
    EXPECT_EQ(ReadingsTaken(-5, 1000, {7, 7}), 2u);
}
}  // namespace
