#include "mode_keeper.h"

#include <cstring>

namespace {
constexpr uint8_t modeReportId = 0x12;
constexpr uint8_t motorReportId = 0x13;
constexpr uint8_t statusReportId = 0x20;
constexpr uint8_t memoryDataId = 0x21;
constexpr uint8_t acknowledgementId = 0x22;
constexpr uint8_t motorBit = 0x01;
// However the other writer and the keeper take turns, the keeper's own mode
// reports for data of another mode or for silence stay this far apart.
constexpr int64_t restoreGapMs = silenceMs;

// Data reports carry the buttons, and more by mode: 0x30 to 0x3F.
bool IsDataReport(uint8_t reportId) {
    return (reportId & 0xF0) == 0x30;
}

// Reports the controller sends only in answer to a request the caller never
// makes. An acknowledgement names the report it answers (byte 3): one of the
// motor report is the answer to the keeper's own, and must not call for
// another.
bool AnswersAnotherWriter(const uint8_t* input, uint32_t length) {
    const uint8_t id = input[0];
    if (id == acknowledgementId) {
        return length < 4 || input[3] != motorReportId;
    }
    return id == statusReportId || id == memoryDataId;
}

bool HasMode(const ModeKeeper& keeper) {
    return keeper.modeLength >= 3;
}

bool RestoreDue(const ModeKeeper& keeper, int64_t nowMs) {
    return !keeper.restored || nowMs - keeper.restoredAtMs >= restoreGapMs;
}

uint8_t Restore(ModeKeeper* keeper, int64_t nowMs) {
    keeper->restored = true;
    keeper->restoredAtMs = nowMs;
    return keepMode;
}

// Another writer was at work (its mode, or a request the controller
// answered): whatever it sent cleared the rumble bit.
uint8_t WithMotor(const ModeKeeper& keeper, uint8_t writes, bool anotherWriter) {
    return (writes != keepNothing || anotherWriter) && keeper.motorOn && keeper.motorLength >= 2
               ? static_cast<uint8_t>(writes | keepMotor)
               : writes;
}
}  // namespace

void ResetModeKeeper(ModeKeeper* keeper) {
    memset(keeper, 0, sizeof(*keeper));
}

void NoteCallerReport(ModeKeeper* keeper, const uint8_t* report, uint32_t length) {
    if (length < 2) {
        return;
    }
    if (report[0] == motorReportId && length <= maxMotorBytes) {
        memcpy(keeper->motor, report, length);
        keeper->motorLength = length;
        keeper->motorOn = (report[1] & motorBit) != 0;
    } else if (report[0] == modeReportId && length >= 3 && length <= maxModeBytes) {
        memcpy(keeper->mode, report, length);
        keeper->modeLength = length;
        keeper->motorOn = (report[1] & motorBit) != 0;
        keeper->watching = false;
    }
}

uint8_t KeeperWritesForArrival(ModeKeeper* keeper, const uint8_t* input, uint32_t inputLength,
                               int64_t nowMs) {
    if (inputLength == 0) {
        return keepNothing;
    }
    keeper->heard = true;
    keeper->lastArrivalMs = nowMs;
    const uint8_t id = input[0];
    uint8_t writes = keepNothing;
    if (id == statusReportId && HasMode(*keeper)) {
        keeper->watching = true;
        writes = Restore(keeper, nowMs);
    } else if (IsDataReport(id) && HasMode(*keeper) && id != keeper->mode[2] &&
               (keeper->watching || RestoreDue(*keeper, nowMs))) {
        // The kernel's driver sends its mode as it sees the status report,
        // so the first try after one may lose: one more at once.
        keeper->watching = false;
        writes = Restore(keeper, nowMs);
    }
    return WithMotor(*keeper, writes, AnswersAnotherWriter(input, inputLength));
}

int64_t SilenceDeadlineMs(const ModeKeeper& keeper) {
    if (!keeper.heard || !HasMode(keeper)) {
        return INT64_MAX;
    }
    const int64_t quietSinceMs = keeper.restored && keeper.restoredAtMs > keeper.lastArrivalMs
                                     ? keeper.restoredAtMs
                                     : keeper.lastArrivalMs;
    return quietSinceMs + silenceMs;
}

uint8_t KeeperWritesForSilence(ModeKeeper* keeper, int64_t nowMs) {
    if (nowMs < SilenceDeadlineMs(*keeper)) {
        return keepNothing;
    }
    return WithMotor(*keeper, Restore(keeper, nowMs), false);
}

uint8_t KeeperWritesAfterReturn(ModeKeeper* keeper, int64_t nowMs) {
    keeper->watching = false;
    if (!HasMode(*keeper)) {
        return keepNothing;
    }
    // Counted as a restore: the silence that follows is timed from here, not
    // from the last report before the device went.
    return Restore(keeper, nowMs);
}

bool CurrentMode(const ModeKeeper& keeper, uint8_t* report, uint32_t* length) {
    if (!HasMode(keeper)) {
        return false;
    }
    memcpy(report, keeper.mode, keeper.modeLength);
    report[1] = static_cast<uint8_t>((report[1] & ~motorBit) | (keeper.motorOn ? motorBit : 0));
    *length = keeper.modeLength;
    return true;
}

bool CurrentMotor(const ModeKeeper& keeper, uint8_t* report, uint32_t* length) {
    if (!keeper.motorOn || keeper.motorLength < 2) {
        return false;
    }
    memcpy(report, keeper.motor, keeper.motorLength);
    report[1] |= motorBit;  // on now, whichever report last said so
    *length = keeper.motorLength;
    return true;
}
