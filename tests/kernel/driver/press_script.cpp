#include "press_script.h"

#include <cstdio>

namespace {
// A little idle time after the usage text, so the first press is read by the
// control loop rather than by the start-up probe.
constexpr int64_t settleUs = 300'000;
// Room for a slow emulated machine, and for a library that reads stale
// reports: a full hidraw queue takes about 6.3 s to reach a new press.
constexpr int64_t effectLimitUs = 30'000'000;
// Long enough that several released reports enter even a full queue.
constexpr int64_t releaseUs = 1'000'000;
// After a press held for a fixed time: a few pulses at the new level.
constexpr int64_t timedReleaseUs = 500'000;

void EnterStage(PressScript* script, ScriptStage stage, int64_t nowUs) {
    script->stage = stage;
    script->stageStartUs = nowUs;
}

void StartPress(PressScript* script, int64_t nowUs) {
    if (script->step >= script->stepCount) {
        EnterStage(script, ScriptStage::done, nowUs);
        return;
    }
    const PressStep& step = script->steps[script->step];
    script->effectSeen = false;
    script->pressedAtUs[script->step] = -1;
    script->latencyUs[script->step] = -1;
    if (step.afterMotorOn) {
        EnterStage(script, ScriptStage::waitingForMotorOn, nowUs);
    } else {
        EnterStage(script,
                   step.action == StepAction::press ? ScriptStage::holding : ScriptStage::away,
                   nowUs);
    }
}

void FailUntaken(PressScript* script, const char* how) {
    const PressStep& step = script->steps[script->step];
    const long long seconds = effectLimitUs / 1'000'000;
    char text[160];
    if (step.awaitedLeds < 0) {
        snprintf(text, sizeof(text), "%s held for %lld s and the program did not end", step.name,
                 seconds);
    } else {
        snprintf(text, sizeof(text), "%s %s and LED report 11 %02x did not come within %lld s",
                 step.name, how, static_cast<unsigned>(step.awaitedLeds), seconds);
    }
    script->failure = text;
}
}  // namespace

void StartScript(PressScript* script, const PressStep* steps, size_t stepCount) {
    *script = PressScript{};
    script->steps = steps;
    script->stepCount = stepCount < maxPressSteps ? stepCount : maxPressSteps;
    script->stage = ScriptStage::waitingForScreen;
}

void AdvanceScript(PressScript* script, int64_t nowUs, bool screenShown) {
    const int64_t elapsedUs = nowUs - script->stageStartUs;
    if (!script->failure.empty()) {
        return;
    }
    switch (script->stage) {
        case ScriptStage::waitingForScreen:
            if (screenShown) {
                EnterStage(script, ScriptStage::settling, nowUs);
            }
            return;
        case ScriptStage::settling:
            if (elapsedUs >= settleUs) {
                StartPress(script, nowUs);
            }
            return;
        case ScriptStage::waitingForMotorOn:
        case ScriptStage::away:
            return;
        case ScriptStage::holding: {
            const int64_t holdUs = script->steps[script->step].holdUs;
            if (holdUs > 0 ? elapsedUs >= holdUs : script->effectSeen) {
                EnterStage(script, ScriptStage::releasing, nowUs);
            } else if (elapsedUs >= effectLimitUs) {
                FailUntaken(script, "was held");
            }
            return;
        }
        case ScriptStage::releasing: {
            const PressStep& step = script->steps[script->step];
            const int64_t restUs = step.restUs > 0   ? step.restUs
                                   : step.holdUs > 0 ? timedReleaseUs
                                                     : releaseUs;
            // A timed press with no effect to await (the device may take no
            // LED report) moves on once released.
            const bool awaited = step.awaitedLeds >= 0 || step.holdUs == 0;
            if ((script->effectSeen || !awaited) && elapsedUs >= restUs) {
                ++script->step;
                StartPress(script, nowUs);
            } else if (!script->effectSeen && awaited && elapsedUs >= effectLimitUs) {
                FailUntaken(script, "was pressed");
            }
            return;
        }
        case ScriptStage::done:
            return;
    }
}

void NoteLedReport(PressScript* script, uint8_t ledBits, int64_t atUs) {
    const bool pressing =
        script->stage == ScriptStage::holding || script->stage == ScriptStage::releasing;
    if (pressing && !script->effectSeen && script->pressedAtUs[script->step] >= 0 &&
        script->steps[script->step].awaitedLeds == static_cast<int>(ledBits)) {
        script->effectSeen = true;
        script->latencyUs[script->step] = atUs - script->pressedAtUs[script->step];
    }
}

void NoteMotorOn(PressScript* script, int64_t atUs) {
    if (script->stage == ScriptStage::waitingForMotorOn) {
        const bool press = script->steps[script->step].action == StepAction::press;
        EnterStage(script, press ? ScriptStage::holding : ScriptStage::away, atUs);
    }
}

// A step that rests after the return leaves the buttons alone that long first.
void NoteReturned(PressScript* script, int64_t atUs) {
    if (script->stage != ScriptStage::away) {
        return;
    }
    if (script->steps[script->step].restUs > 0) {
        EnterStage(script, ScriptStage::releasing, atUs);
        return;
    }
    ++script->step;
    StartPress(script, atUs);
}

void NoteReportSent(PressScript* script, int64_t atUs) {
    if (script->stage == ScriptStage::holding && script->pressedAtUs[script->step] < 0) {
        script->pressedAtUs[script->step] = atUs;
    }
}

void ScriptButtons(const PressScript& script, uint8_t* buttons1, uint8_t* buttons2) {
    *buttons1 = 0;
    *buttons2 = 0;
    if (script.stage == ScriptStage::holding) {
        *buttons1 = script.steps[script.step].buttons1;
        *buttons2 = script.steps[script.step].buttons2;
    }
}
