// The scenario a virtual controller plays, one line per step:
//
//   # a comment
//   open fail                  OpenHidHandle finds no controller
//   read <ms> <hex bytes>      the next read waits <ms> from its call, then
//                              delivers this input report
//   read <ms> fail             the next read waits <ms>, then fails
//   read silent                this and every later read waits forever
//   read raise <signal>        the next read raises the signal in its own
//                              thread just before it starts waiting, then
//                              waits forever: a signal that lands in the gap
//                              before a read
//
// A read step may end in "*N" to stand for N such reads. After the last step
// the controller is silent. Reads cut short by a signal consume nothing.
//
//   probe read ...             a step for reads on threads other than the main
//                              one (the probe's reader)
//
// Once a scenario has probe steps, the main thread's reads take only the
// plain steps and the other threads' reads only the probe steps, the last of
// which repeats for them: a reader that gets one more read in than planned
// (a slow machine) cannot eat a step meant for the control loop.
#pragma once

#include <cstddef>
#include <cstdint>

enum class StepKind : uint8_t { report, fail, silent, raise };

struct ScenarioStep {
    StepKind kind;
    int64_t delayUs;
    int signal;
    uint32_t repeat;
    uint32_t length;
    bool forProbe;
    uint8_t bytes[64];
};

struct Scenario {
    bool openFails;
    size_t stepCount;
    ScenarioStep steps[8192];
};

// Parses text (NUL-terminated). On a bad line gives false with its number.
bool ParseScenario(const char* text, Scenario* scenario, int* badLine);
