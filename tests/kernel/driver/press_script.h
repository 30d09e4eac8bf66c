// Which buttons the controller holds, step by step. A press is either held
// until the program shows its effect on the LED bar, which keeps the script in
// step with what the program has read however slow the machine, or held for a
// fixed time as a user would, its effect awaited after the release. Every
// press's latency, from the first report that carries it to the LED report
// that shows it, is kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A step presses buttons, or takes the controller away: it is destroyed (as
// when its batteries go flat) and, after holdUs, comes back as a new device;
// or it stays away and the program is sent Ctrl-C.
enum class StepAction : uint8_t { press, vanish, vanishAndStop };

struct PressStep {
    const char* name;
    uint8_t buttons1;
    uint8_t buttons2;
    int awaitedLeds;     // LED bits that show the press was taken; -1: hold to the end
    int64_t holdUs;      // 0: until the effect shows; for a vanish, the time away
    bool afterMotorOn;   // starts just after the program switches the motor on
    int64_t restUs = 0;  // released for this long afterwards; 0: the usual time
    StepAction action = StepAction::press;
};

enum class ScriptStage : uint8_t {
    waitingForScreen,
    settling,
    waitingForMotorOn,
    holding,
    away,
    releasing,
    done
};

inline constexpr size_t maxPressSteps = 16;

struct PressScript {
    const PressStep* steps;
    size_t stepCount;
    size_t step;
    ScriptStage stage;
    int64_t stageStartUs;
    bool effectSeen;
    int64_t pressedAtUs[maxPressSteps];
    int64_t latencyUs[maxPressSteps];  // -1 until the effect shows
    std::string failure;
};

void StartScript(PressScript* script, const PressStep* steps, size_t stepCount);
// Moves on as time passes; screenShown says the program has printed its usage.
void AdvanceScript(PressScript* script, int64_t nowUs, bool screenShown);
void NoteLedReport(PressScript* script, uint8_t ledBits, int64_t atUs);
void NoteMotorOn(PressScript* script, int64_t atUs);
// The controller that went away is back: the next step begins.
void NoteReturned(PressScript* script, int64_t atUs);
// The controller sent a report now; the first one with a press dates it.
void NoteReportSent(PressScript* script, int64_t atUs);
void ScriptButtons(const PressScript& script, uint8_t* buttons1, uint8_t* buttons2);
