#include "control_loop.h"

#include <cstdint>

#include "link/remote_link.h"
#include "platform/console_keys.h"
#include "platform/stop_signals.h"
#include "run_progress.h"
#include "timing/busy_wait.h"

namespace {
constexpr int32_t topLevel = 4;

struct LevelRow {
    uint8_t ledBits;
    int32_t motorOnMs;
    int32_t motorOffMs;
};

// Every pulse lasts 100 ms; the top level keeps a 1 ms off phase.
constexpr LevelRow levelTable[topLevel + 1] = {
    {0x00, 0, 0}, {0x10, 30, 70}, {0x30, 50, 50}, {0x70, 75, 25}, {0xF0, 99, 1},
};

struct ControlState {
    int32_t powerLevel;
    bool aHeld;
    bool plusHeld;
    bool minusHeld;
};

bool EscapePressed() {
    return KeyWaiting() && TakeKey() == escapeKey;
}

bool HomeDown() {
    return (RemoteState.buttons2.load() & homeButtonMask) != 0;
}

// A switches the motor on at level 1 and off again, once per press.
void TakeAButton(ControlState& state) {
    if ((RemoteState.buttons2.load() & aButtonMask) == 0) {
        state.aHeld = false;
        return;
    }
    if (!state.aHeld) {
        state.aHeld = true;
        state.powerLevel = state.powerLevel == 0 ? 1 : 0;
    }
}

// + counts only while the motor runs; a press held from level 0 on is taken
// as soon as the level rises above 0.
void TakePlusButton(ControlState& state) {
    if ((RemoteState.buttons1.load() & plusButtonMask) == 0) {
        state.plusHeld = false;
        return;
    }
    if (!state.plusHeld && state.powerLevel > 0) {
        state.plusHeld = true;
        if (state.powerLevel < topLevel) {
            ++state.powerLevel;
        }
    }
}

// - stops at level 1: only A switches the motor off.
void TakeMinusButton(ControlState& state) {
    if ((RemoteState.buttons2.load() & minusButtonMask) == 0) {
        state.minusHeld = false;
        return;
    }
    if (!state.minusHeld && state.powerLevel > 0) {
        state.minusHeld = true;
        if (state.powerLevel > 1) {
            --state.powerLevel;
        }
    }
}

void Pulse(const LevelRow& level) {
    runProgress.motorSwitchedOn = true;
    SetRumble(1);
    WaitMilliseconds(level.motorOnMs);
    SetRumble(0);
    WaitMilliseconds(level.motorOffMs);
}

void RunPasses() {
    ControlState state{};
    for (;;) {
        if (EscapePressed()) {
            return;
        }
        PollRemote();
        HonourStop();  // a read cut short by a stop request ends the run here
        if (HomeDown()) {
            return;
        }
        TakeAButton(state);
        TakePlusButton(state);
        TakeMinusButton(state);
        SetLeds(levelTable[state.powerLevel].ledBits);
        if (state.powerLevel > 0) {
            Pulse(levelTable[state.powerLevel]);
        }
    }
}
}  // namespace

void RunControlLoop() {
    BeginKeyInput();
    runProgress.takingKeys = true;
    RunPasses();
    runProgress.takingKeys = false;
    EndKeyInput();
}
