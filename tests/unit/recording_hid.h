// A stand-in for the HID library that records what the link hands it.
#pragma once

#include <cstdint>
#include <vector>

struct RecordedWrite {
    int32_t handle;
    std::vector<uint8_t> buffer;  // all 256 bytes as handed over
    const uint32_t* count;
};

struct RecordingHid {
    int32_t openResult = 0;
    int32_t openedVendor = 0;
    int32_t openedProduct = 0;
    std::vector<int32_t> closed;
    std::vector<RecordedWrite> writes;
    // The next reads: a report to deliver, or an empty one for a failed read
    // that leaves the buffer untouched.
    std::vector<std::vector<uint8_t>> reads;
    int32_t readHandle = -2;
    const uint8_t* readBuffer = nullptr;
    const uint32_t* readCount = nullptr;
};

extern RecordingHid recordingHid;
