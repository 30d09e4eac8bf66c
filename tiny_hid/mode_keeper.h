// Keeps the controller in the reporting mode its caller asked for. After a
// status report (0x20: an extension plugged in or pulled out, or the answer
// to a status request) the controller sends no more data reports until the
// mode is set again, and the kernel's own driver, where it is bound, answers
// the same status report with a mode of its own. The caller reads once per
// pass and its pulses run once per report, so a controller that stops
// reporting would stop the motor for good. The library therefore sets the
// caller's last mode again when a status report arrives, and once more if
// data of another kind than the caller asked for comes after that.
#pragma once

#include <cstdint>

inline constexpr uint32_t maxModeBytes = 8;

struct ModeKeeper {
    uint8_t mode[maxModeBytes];  // the caller's last mode report, as it went out
    uint32_t modeLength;         // 0 until the caller sets a mode
    bool motorOn;                // bit 0 of byte 1 of the caller's last motor report
    bool watching;               // a status report came and the mode was not set twice since
};

void ResetModeKeeper(ModeKeeper* keeper);
// Every output report the caller had sent, with the length that went out.
void NoteCallerReport(ModeKeeper* keeper, const uint8_t* report, uint32_t length);
// Every input report as it arrives, in order. True when the mode report is to
// be written again now: it is then in report, with its length, and carries
// the motor state the caller last asked for, so a pulse under way goes on.
bool ModeToRestore(ModeKeeper* keeper, const uint8_t* input, uint32_t inputLength, uint8_t* report,
                   uint32_t* length);
// The device came back after dropping out: it starts in its own default mode.
bool ModeAfterReturn(ModeKeeper* keeper, uint8_t* report, uint32_t* length);
// The caller's last mode report with the motor state it last asked for, as a
// restore that ModeToRestore or ModeAfterReturn called for goes out when it is
// sent later, on another thread; false before the caller set a mode.
bool CurrentMode(const ModeKeeper& keeper, uint8_t* report, uint32_t* length);
