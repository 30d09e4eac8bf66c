#include "busy_wait.h"

#include "platform/performance_counter.h"
#include "platform/stop_signals.h"

void WaitMilliseconds(int32_t ms) {
    const int64_t frequency = QueryCounterFrequency();
    const int64_t start = QueryCounterReading();
    for (;;) {
        // A stop request is taken here too, so that Ctrl-C in the middle of a
        // pulse switches the motor off at once instead of after the phase.
        HonourStop();
        const int64_t now = QueryCounterReading();
        const double elapsed =
            static_cast<double>(now - start) / static_cast<double>(frequency) * 1000.0;
        if (static_cast<double>(ms) < elapsed) {
            return;
        }
    }
}
