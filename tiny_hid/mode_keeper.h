// Keeps the controller in the state its caller asked for, whatever else
// writes to it. The caller reads once per pass and its pulses run once per
// report, so the reporting mode it set and the motor it switched on must stay
// in force.
//
// The mode. After a status report (0x20: an extension plugged in or pulled
// out, or the answer to a status request) the controller sends no more data
// reports until the mode is set again, and the kernel's own driver, where it
// is bound, answers the same status report with a buttons-only mode of its
// own, as it does several times over whenever the controller connects. In
// that mode, without the continuous bit, a controller reports only when a
// button changes: the caller would wait for a press. So the caller's last
// mode is set again when a status report arrives, when data of another mode
// arrives, and when a controller that was reporting has been silent for two
// passes; never before its first report (a probe of a silent controller sends
// the mode alone), and at most a few times a second, whoever else writes.
//
// The motor. Bit 0 of byte 1 of every output report is the rumble bit, and
// another writer (the kernel's driver, polling the controller every few
// seconds) puts its own idea of the motor there: each of its reports switches
// the motor off until the caller's next pulse. The controller answers most of
// them (memory data 0x21, an acknowledgement 0x22, a status report 0x20), so
// an answer, or anything else that shows another writer at work, while the
// caller's motor is on sends the caller's last motor report again at once.
//
// Nothing here sends. The library's writes and the caller's go out under one
// lock, and what a decision calls for is built at the moment it is sent
// (CurrentMode, CurrentMotor): a motor report the keeper asked for can never
// overtake a motor-off of the caller's, so the motor is never left running.
#pragma once

#include <cstdint>

inline constexpr uint32_t maxModeBytes = 8;
inline constexpr uint32_t maxMotorBytes = 8;

// What the keeper calls for, to be sent in this order: the mode report first,
// then the motor report.
inline constexpr uint8_t keepNothing = 0;
inline constexpr uint8_t keepMode = 0x01;
inline constexpr uint8_t keepMotor = 0x02;

// Two passes of the caller's without a report: it is waiting for one.
inline constexpr int64_t silenceMs = 200;

struct ModeKeeper {
    uint8_t mode[maxModeBytes];    // the caller's last mode report, as it went out
    uint32_t modeLength;           // 0 until the caller sets a mode
    uint8_t motor[maxMotorBytes];  // the caller's last motor report, as it went out
    uint32_t motorLength;          // 0 until the caller sends one
    bool motorOn;                  // bit 0 of byte 1 of the caller's last motor or mode report
    bool watching;                 // a status report came and the mode was not set twice since
    bool heard;                    // the device has reported since it was opened
    bool restored;                 // restoredAtMs holds the time of the keeper's last mode report
    int64_t lastArrivalMs;
    int64_t restoredAtMs;
};

void ResetModeKeeper(ModeKeeper* keeper);
// Every output report the caller had sent, with the length that went out.
void NoteCallerReport(ModeKeeper* keeper, const uint8_t* report, uint32_t length);
// Every input report as it arrives, in order, on a monotonic clock in ms.
uint8_t KeeperWritesForArrival(ModeKeeper* keeper, const uint8_t* input, uint32_t inputLength,
                               int64_t nowMs);
// When silence calls for the mode next, on the same clock; INT64_MAX: not
// before the next arrival.
int64_t SilenceDeadlineMs(const ModeKeeper& keeper);
// Nothing arrived until nowMs (the device is there).
uint8_t KeeperWritesForSilence(ModeKeeper* keeper, int64_t nowMs);
// The device came back after dropping out: it starts in its own default mode.
uint8_t KeeperWritesAfterReturn(ModeKeeper* keeper, int64_t nowMs);
// The caller's last mode report with the motor state it last asked for;
// false before the caller set a mode.
bool CurrentMode(const ModeKeeper& keeper, uint8_t* report, uint32_t* length);
// The caller's last motor report; false unless the motor is on now.
bool CurrentMotor(const ModeKeeper& keeper, uint8_t* report, uint32_t* length);
