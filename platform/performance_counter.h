// A monotonic high-resolution counter with a fixed, known frequency.
#pragma once

#include <cstdint>

// Counts per second.
int64_t QueryCounterFrequency();
// Readings never go backwards.
int64_t QueryCounterReading();
