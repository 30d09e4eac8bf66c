// The caller's output reports and the device's input reports in any order,
// with returns of the device and looks at the mode between them.
#include "tiny_hid/mode_keeper.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {
void Check(bool holds) {
    if (!holds) {
        abort();
    }
}

using Bytes = std::vector<uint8_t>;

// A restore is the caller's last mode report, as long as it went out, with
// the motor as the caller last asked for it.
void CheckRestore(bool given, const uint8_t* report, uint32_t length, const Bytes& mode,
                  bool motorOn) {
    Check(given == !mode.empty());
    if (!given) {
        return;
    }
    Check(length >= 3 && length <= maxModeBytes && length == mode.size());
    Check(report[0] == mode[0] && (report[1] & 0x01) == (motorOn ? 1 : 0));
    Check((report[1] & ~0x01) == (mode[1] & ~0x01));
    Check(memcmp(report + 2, mode.data() + 2, length - 2) == 0);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ModeKeeper keeper;
    ResetModeKeeper(&keeper);
    Bytes mode;               // the caller's last mode report; empty while none
    bool motorOn = false;     // bit 0 of byte 1 of its last motor or mode report
    bool oneMoreTry = false;  // a status report came, the mode was not set twice since
    for (size_t at = 0; at < size;) {
        const uint8_t step = data[at++];
        // Exactly maxModeBytes on the heap: a longer report is caught.
        auto report = std::make_unique<uint8_t[]>(maxModeBytes);
        uint32_t length = 0;
        if ((step & 0x3) == 0) {
            ResetModeKeeper(&keeper);
            mode.clear();
            motorOn = oneMoreTry = false;
            continue;
        }
        if ((step & 0x3) == 3) {
            if ((step & 0x4) != 0) {
                CheckRestore(ModeAfterReturn(&keeper, report.get(), &length), report.get(), length,
                             mode, motorOn);
                oneMoreTry = false;  // the mode goes out anew, a try of its own
            } else {
                CheckRestore(CurrentMode(keeper, report.get(), &length), report.get(), length, mode,
                             motorOn);
            }
            continue;
        }
        // A report of 0 to 15 bytes, on the heap at exactly its length.
        const size_t reportLength = step >> 4;
        const size_t taken = reportLength < size - at ? reportLength : size - at;
        auto bytes = std::make_unique<uint8_t[]>(reportLength);
        memset(bytes.get(), 0, reportLength);
        memcpy(bytes.get(), data + at, taken);
        at += taken;
        if ((step & 0x3) == 1) {
            NoteCallerReport(&keeper, bytes.get(), static_cast<uint32_t>(reportLength));
            if (reportLength >= 2 && bytes[0] == 0x13) {
                motorOn = (bytes[1] & 0x01) != 0;
            } else if (reportLength >= 3 && reportLength <= maxModeBytes && bytes[0] == 0x12) {
                mode.assign(bytes.get(), bytes.get() + reportLength);
                motorOn = (bytes[1] & 0x01) != 0;
                oneMoreTry = false;
            }
            continue;
        }
        const bool restore = ModeToRestore(
            &keeper, bytes.get(), static_cast<uint32_t>(reportLength), report.get(), &length);
        // Every status report sets the mode again; after one, data of another
        // kind than the caller asked for sets it once more; nothing else does.
        const uint8_t id = reportLength > 0 ? bytes[0] : 0;
        bool expected = false;
        if (reportLength > 0 && !mode.empty() && id == 0x20) {
            expected = oneMoreTry = true;
        } else if (reportLength > 0 && oneMoreTry && (id & 0xF0) == 0x30 && id != mode[2]) {
            expected = true;
            oneMoreTry = false;
        }
        Check(restore == expected);
        if (restore) {
            CheckRestore(true, report.get(), length, mode, motorOn);
        }
    }
    return 0;
}
