#pragma once

#include <cstdint>

// Microseconds on the monotonic clock.
int64_t NowUs();
