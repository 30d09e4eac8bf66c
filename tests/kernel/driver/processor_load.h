// How busy the guest's processors are, from the kernel's own counts.
#pragma once

#include <cstdint>

struct ProcessorTimes {
    uint64_t busy;
    uint64_t total;
};

// The counts since boot, all processors together; zero when unreadable.
ProcessorTimes ReadProcessorTimes();
// The busy share of the time between two readings; 1 when none passed.
double BusyShare(const ProcessorTimes& from, const ProcessorTimes& to);
