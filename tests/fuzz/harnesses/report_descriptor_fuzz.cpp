// Report descriptors as a device may send them: whole, cut short or hostile.
#include "tiny_hid/report_descriptor.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {
void Check(bool holds) {
    if (!holds) {
        abort();
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // libFuzzer's copy of the input is exactly size bytes long, so the address
    // sanitizer stops any read past the descriptor's end.
    OutputReportLengths lengths;
    const bool parsed = ParseOutputReportLengths(data, size, &lengths);
    for (int id = 0; id < 256; ++id) {
        const uint32_t bytes = lengths.bytes[id];
        // A refused descriptor declares nothing; a declared report is its ID
        // byte and at most 64 KiB of fields.
        Check(parsed || bytes == 0);
        Check(bytes <= 1 + 65536);
        Check(SendLength(lengths, static_cast<uint8_t>(id)) ==
              (bytes <= maxSendLength ? bytes : 0));
        Check(SendLength(lengths, static_cast<uint8_t>(id)) <= maxSendLength);
    }
    // A long item and an end of collection after a whole descriptor declare
    // no output: the lengths stay as they were.
    if (!parsed) {
        return 0;
    }
    std::vector<uint8_t> longer(data, data + size);
    longer.insert(longer.end(), {0xFE, 0x02, 0x10, 0x91, 0x02, 0xC0});
    OutputReportLengths after;
    Check(ParseOutputReportLengths(longer.data(), longer.size(), &after));
    Check(memcmp(&after, &lengths, sizeof(after)) == 0);
    return 0;
}
