#include "report_descriptor.h"

#include <cstring>

namespace {
// Item types and tags of the short items that matter here.
constexpr uint8_t typeMain = 0;
constexpr uint8_t typeGlobal = 1;
constexpr uint8_t tagOutput = 0x9;
constexpr uint8_t tagReportSize = 0x7;
constexpr uint8_t tagReportId = 0x8;
constexpr uint8_t tagReportCount = 0x9;
constexpr uint8_t tagPush = 0xA;
constexpr uint8_t tagPop = 0xB;
constexpr uint8_t longItemPrefix = 0xFE;

// No report can be longer than this: the largest descriptor a device may
// have cannot declare more within reason, and it keeps sums far from overflow.
constexpr uint64_t maxReportBits = 8u * 65536u;
constexpr int maxPushDepth = 16;

struct Globals {
    uint32_t reportSize;
    uint32_t reportCount;
    uint32_t reportId;
};

uint32_t LittleEndian(const uint8_t* data, size_t size) {
    uint32_t value = 0;
    for (size_t i = 0; i < size; ++i) {
        value |= static_cast<uint32_t>(data[i]) << (8 * i);
    }
    return value;
}

bool ApplyGlobal(uint8_t tag, uint32_t value, Globals* globals, Globals* stack, int* depth) {
    switch (tag) {
        case tagReportSize:
            globals->reportSize = value;
            return true;
        case tagReportCount:
            globals->reportCount = value;
            return true;
        case tagReportId:
            globals->reportId = value;
            return value >= 1 && value <= 255;
        case tagPush:
            if (*depth == maxPushDepth) {
                return false;
            }
            stack[(*depth)++] = *globals;
            return true;
        case tagPop:
            if (*depth == 0) {
                return false;
            }
            *globals = stack[--(*depth)];
            return true;
        default:
            return true;
    }
}

bool AddOutputItem(const Globals& globals, uint64_t* bits) {
    const uint64_t itemBits =
        static_cast<uint64_t>(globals.reportSize) * static_cast<uint64_t>(globals.reportCount);
    if (itemBits > maxReportBits) {
        return false;
    }
    bits[globals.reportId] += itemBits;
    return bits[globals.reportId] <= maxReportBits;
}
}  // namespace

bool ParseOutputReportLengths(const uint8_t* descriptor, size_t size,
                              OutputReportLengths* lengths) {
    memset(lengths, 0, sizeof(*lengths));
    uint64_t bits[256] = {};
    bool declared[256] = {};
    Globals globals{};
    Globals stack[maxPushDepth];
    int depth = 0;

    size_t at = 0;
    while (at < size) {
        const uint8_t prefix = descriptor[at];
        if (prefix == longItemPrefix) {
            // Long items: prefix, data size, tag, data. None of them matters.
            if (size - at < 3 || size - at - 3 < descriptor[at + 1]) {
                return false;
            }
            at += 3 + static_cast<size_t>(descriptor[at + 1]);
            continue;
        }
        const size_t dataSize = (prefix & 0x3) == 3 ? 4 : (prefix & 0x3);
        if (size - at - 1 < dataSize) {
            return false;
        }
        const uint8_t type = (prefix >> 2) & 0x3;
        const uint8_t tag = prefix >> 4;
        const uint32_t value = LittleEndian(descriptor + at + 1, dataSize);
        at += 1 + dataSize;

        if (type == typeGlobal && !ApplyGlobal(tag, value, &globals, stack, &depth)) {
            return false;
        }
        if (type == typeMain && tag == tagOutput) {
            if (!AddOutputItem(globals, bits)) {
                return false;
            }
            declared[globals.reportId] = true;
        }
    }

    for (int id = 0; id < 256; ++id) {
        if (declared[id]) {
            // The ID byte leads every report; for a device without report IDs
            // it is the 0 that the kernel strips before the transfer.
            lengths->bytes[id] = 1 + static_cast<uint32_t>((bits[id] + 7) / 8);
        }
    }
    return true;
}

uint32_t SendLength(const OutputReportLengths& lengths, uint8_t reportId) {
    const uint32_t bytes = lengths.bytes[reportId];
    return bytes <= maxSendLength ? bytes : 0;
}
