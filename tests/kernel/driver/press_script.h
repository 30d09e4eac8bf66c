// Which buttons the controller holds, step by step. Each press is held until
// the program shows its effect on the LED bar, then released for a while: the
// program reads one report per pass while the controller sends one every
// 10 ms, so hidraw's queue runs full at any power level and the program sees
// each change seconds late. Waiting for the effect keeps the script in step
// with what the program has actually read, however slow the machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct PressStep {
    const char* name;
    uint8_t buttons1;
    uint8_t buttons2;
    int awaitedLeds;  // LED bits that show the press was taken; -1: hold to the end
};

enum class ScriptStage : uint8_t { waitingForScreen, settling, holding, releasing, done };

struct PressScript {
    const PressStep* steps;
    size_t stepCount;
    size_t step;
    ScriptStage stage;
    int64_t stageStartUs;
    bool effectSeen;
    std::string failure;
};

void StartScript(PressScript* script, const PressStep* steps, size_t stepCount);
// Moves on as time passes; screenShown says the program has printed its usage.
void AdvanceScript(PressScript* script, int64_t nowUs, bool screenShown);
void NoteLedReport(PressScript* script, uint8_t ledBits);
void ScriptButtons(const PressScript& script, uint8_t* buttons1, uint8_t* buttons2);
