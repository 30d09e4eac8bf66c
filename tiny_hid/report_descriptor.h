// How many bytes each output report of a device takes, read from its HID
// report descriptor. Some stacks reject a padded report from this controller,
// so every write goes out at exactly its declared length.
#pragma once

#include <cstddef>
#include <cstdint>

struct OutputReportLengths {
    // Bytes on the wire for each report ID, the ID byte included; 0 when the
    // descriptor declares no output report with that ID.
    uint32_t bytes[256];
};

// Fills lengths from the descriptor. A truncated or malformed descriptor
// gives false and declares nothing; the parser never reads past size.
bool ParseOutputReportLengths(const uint8_t* descriptor, size_t size, OutputReportLengths* lengths);

// The callers' buffers hold 256 bytes; nothing longer is ever sent.
inline constexpr uint32_t maxSendLength = 256;

// Bytes to send for a report with this ID: its declared length, or 0 when
// it must not be sent (undeclared, or longer than a caller's buffer).
uint32_t SendLength(const OutputReportLengths& lengths, uint8_t reportId);
