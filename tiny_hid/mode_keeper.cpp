#include "mode_keeper.h"

#include <cstring>

namespace {
constexpr uint8_t modeReportId = 0x12;
constexpr uint8_t motorReportId = 0x13;
constexpr uint8_t statusReportId = 0x20;
constexpr uint8_t motorBit = 0x01;

// Data reports carry the buttons, and more by mode: 0x30 to 0x3F.
bool IsDataReport(uint8_t reportId) {
    return (reportId & 0xF0) == 0x30;
}

bool CallerMode(const ModeKeeper& keeper, uint8_t* report, uint32_t* length) {
    if (keeper.modeLength < 3) {
        return false;
    }
    memcpy(report, keeper.mode, keeper.modeLength);
    report[1] = static_cast<uint8_t>((report[1] & ~motorBit) | (keeper.motorOn ? motorBit : 0));
    *length = keeper.modeLength;
    return true;
}
}  // namespace

void ResetModeKeeper(ModeKeeper* keeper) {
    memset(keeper, 0, sizeof(*keeper));
}

void NoteCallerReport(ModeKeeper* keeper, const uint8_t* report, uint32_t length) {
    if (length < 2) {
        return;
    }
    if (report[0] == motorReportId) {
        keeper->motorOn = (report[1] & motorBit) != 0;
    } else if (report[0] == modeReportId && length >= 3 && length <= maxModeBytes) {
        memcpy(keeper->mode, report, length);
        keeper->modeLength = length;
        keeper->motorOn = (report[1] & motorBit) != 0;
        keeper->watching = false;
    }
}

bool ModeToRestore(ModeKeeper* keeper, const uint8_t* input, uint32_t inputLength, uint8_t* report,
                   uint32_t* length) {
    if (inputLength == 0 || keeper->modeLength < 3) {
        return false;
    }
    if (input[0] == statusReportId) {
        keeper->watching = true;
        return CallerMode(*keeper, report, length);
    }
    if (!keeper->watching || !IsDataReport(input[0])) {
        return false;
    }
    // Whichever of two mode reports reached the device last wins, and the
    // kernel's own driver sends its own as it sees the status report. Data
    // of another kind than the caller's means the other one won: one more
    // try, then no more until the next status report, so nothing loops.
    if (input[0] == keeper->mode[2]) {
        return false;
    }
    keeper->watching = false;
    return CallerMode(*keeper, report, length);
}

bool ModeAfterReturn(ModeKeeper* keeper, uint8_t* report, uint32_t* length) {
    keeper->watching = false;
    return CallerMode(*keeper, report, length);
}

bool CurrentMode(const ModeKeeper& keeper, uint8_t* report, uint32_t* length) {
    return CallerMode(keeper, report, length);
}
