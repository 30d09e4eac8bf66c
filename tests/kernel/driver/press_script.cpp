#include "press_script.h"

#include <cstdio>

namespace {
// A little idle time after the usage text, so the first press is read by the
// control loop rather than by the start-up probe.
constexpr int64_t settleUs = 300'000;
// At one read per 100 ms pass, a full hidraw queue (63 reports) takes about
// 6.3 s to reach a new press; this leaves room for a slow emulated machine.
constexpr int64_t holdLimitUs = 30'000'000;
// Long enough that several released reports enter even a full queue.
constexpr int64_t releaseUs = 1'000'000;

void EnterStage(PressScript* script, ScriptStage stage, int64_t nowUs) {
    script->stage = stage;
    script->stageStartUs = nowUs;
    script->effectSeen = false;
}
}  // namespace

void StartScript(PressScript* script, const PressStep* steps, size_t stepCount) {
    *script = PressScript{steps, stepCount, 0, ScriptStage::waitingForScreen, 0, false, {}};
}

void AdvanceScript(PressScript* script, int64_t nowUs, bool screenShown) {
    const int64_t elapsedUs = nowUs - script->stageStartUs;
    switch (script->stage) {
        case ScriptStage::waitingForScreen:
            if (screenShown) {
                EnterStage(script, ScriptStage::settling, nowUs);
            }
            return;
        case ScriptStage::settling:
            if (elapsedUs >= settleUs) {
                EnterStage(script, ScriptStage::holding, nowUs);
            }
            return;
        case ScriptStage::holding:
            if (script->effectSeen) {
                EnterStage(script, ScriptStage::releasing, nowUs);
            } else if (elapsedUs >= holdLimitUs && script->failure.empty()) {
                const PressStep& step = script->steps[script->step];
                const long long seconds = holdLimitUs / 1'000'000;
                char text[160];
                if (step.awaitedLeds < 0) {
                    snprintf(text, sizeof(text), "%s held for %lld s and the program did not end",
                             step.name, seconds);
                } else {
                    snprintf(text, sizeof(text),
                             "%s held for %lld s and LED report 11 %02x never came", step.name,
                             seconds, static_cast<unsigned>(step.awaitedLeds));
                }
                script->failure = text;
            }
            return;
        case ScriptStage::releasing:
            if (elapsedUs >= releaseUs) {
                ++script->step;
                EnterStage(
                    script,
                    script->step < script->stepCount ? ScriptStage::holding : ScriptStage::done,
                    nowUs);
            }
            return;
        case ScriptStage::done:
            return;
    }
}

void NoteLedReport(PressScript* script, uint8_t ledBits) {
    if (script->stage == ScriptStage::holding &&
        script->steps[script->step].awaitedLeds == static_cast<int>(ledBits)) {
        script->effectSeen = true;
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
