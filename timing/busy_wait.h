// The program's one timed pause on the main thread. It spins on the
// performance counter: the pulse phases go down to 1 ms, far below what a
// sleeping wait can promise.
#pragma once

#include <cstdint>

// Returns at the first counter reading that shows strictly more than ms
// milliseconds since the call began.
void WaitMilliseconds(int32_t ms);
