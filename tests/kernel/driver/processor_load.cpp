#include "processor_load.h"

#include <cinttypes>
#include <cstdio>

ProcessorTimes ReadProcessorTimes() {
    ProcessorTimes times{};
    FILE* stat = fopen("/proc/stat", "re");
    if (stat == nullptr) {
        return times;
    }
    // user nice system idle iowait irq softirq steal
    uint64_t field[8] = {};
    const int got = fscanf(stat,
                           "cpu %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64
                           " %" SCNu64 " %" SCNu64 " %" SCNu64,
                           &field[0], &field[1], &field[2], &field[3], &field[4], &field[5],
                           &field[6], &field[7]);
    fclose(stat);
    if (got != 8) {
        return times;
    }
    for (const uint64_t ticks : field) {
        times.total += ticks;
    }
    times.busy = times.total - field[3] - field[4];
    return times;
}

double BusyShare(const ProcessorTimes& from, const ProcessorTimes& to) {
    if (to.total <= from.total) {
        return 1.0;
    }
    return static_cast<double>(to.busy - from.busy) / static_cast<double>(to.total - from.total);
}
