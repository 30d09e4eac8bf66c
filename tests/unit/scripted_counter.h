// A performance counter that gives readings from a script, so that the
// busy-wait's edges can be hit exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct ScriptedCounter {
    int64_t frequency = 1000;
    std::vector<int64_t> readings;
    size_t readingsTaken = 0;
    int frequencyQueries = 0;
};

extern ScriptedCounter scriptedCounter;
