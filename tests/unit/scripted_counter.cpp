#include "scripted_counter.h"

#include <gtest/gtest.h>

#include "platform/performance_counter.h"

ScriptedCounter scriptedCounter;

int64_t QueryCounterFrequency() {
    ++scriptedCounter.frequencyQueries;
    return scriptedCounter.frequency;
}

int64_t QueryCounterReading() {
    if (scriptedCounter.readingsTaken >= scriptedCounter.readings.size()) {
        // Past the script: the wait should have returned by now.
        ADD_FAILURE() << "the wait read the counter past its script";
        return INT64_MAX / 2;
    }
    return scriptedCounter.readings[scriptedCounter.readingsTaken++];
}
