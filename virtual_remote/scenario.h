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
//   stream <ms> <jitter ms> <hex bytes>
//                              a controller that keeps sending: this report
//                              arrives every <ms>, each arrival up to
//                              <jitter ms> early or late, whether or not
//                              anyone reads; consecutive stream steps share
//                              one timeline, which starts a period after the
//                              first read that reaches it. Reads take the
//                              arrivals through the real library's read
//                              policy, so they see what a streaming
//                              controller gives.
//
// A read or stream step may end in "*N" to stand for N such reads or
// arrivals. After the last step the controller is silent. Reads cut short by
// a signal consume nothing.
//
//   keys <path>                a user's hand on the controller (scripts/try):
//                              the stream step just before goes on for as long
//                              as the controller is read, and each byte that
//                              comes through the file at <path> (a FIFO) holds
//                              a button down in its reports for 150 ms: a A,
//                              + +, - -, h Home (see hand.h). The path is the
//                              rest of the line; no step may follow.
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

enum class StepKind : uint8_t { report, fail, silent, raise, stream };

struct ScenarioStep {
    StepKind kind;
    int64_t delayUs;  // for a stream, its period
    int64_t jitterUs;
    int signal;
    uint32_t repeat;
    uint32_t length;
    bool forProbe;
    bool endless;  // the stream step a keys line follows
    uint8_t bytes[64];
};

struct Scenario {
    bool openFails;
    char keyPath[512];  // empty without a keys line
    size_t stepCount;
    ScenarioStep steps[8192];
};

// Parses text (NUL-terminated). On a bad line gives false with its number.
bool ParseScenario(const char* text, Scenario* scenario, int* badLine);
