// The guest's test driver: plays the controller through /dev/uhid, runs the
// program against it phase by phase and prints one verdict line for the host.
#include <sched.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "phases.h"

namespace {
// Above the program, which busy-waits through every pulse: the driver must
// take each report the moment it is written, or its clock would shorten the
// pulses it measures. Children start with the ordinary policy.
void RunAhead() {
    sched_param priority{};
    priority.sched_priority = 10;
    if (sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &priority) != 0) {
        printf("kernel-test: cannot take a real-time priority; timings may suffer\n");
    }
}

struct Phase {
    const char* name;
    std::string (*run)(const char* program);
};

constexpr Phase phases[] = {
    {"usb", RunUsbPhase},
    {"streaming", RunStreamingPhase},
    {"dropout", RunDropoutPhase},
    {"dropout-idle", RunIdleDropoutPhase},
    {"dropout-stop", RunStoppedDropoutPhase},
    {"probe-dropout", RunProbeDropoutPhase},
    {"absent", RunAbsentPhase},
    {"bluetooth", RunBluetoothPhase},
    {"bluetooth-answering", RunAnsweringBluetoothPhase},
    {"reader-end", RunReaderEndPhase},
};

std::string RunPhase(const char* name, const char* program) {
    for (const Phase& phase : phases) {
        if (strcmp(name, phase.name) == 0) {
            return phase.run(program);
        }
    }
    std::string problem;
    if (RunOddPhase(name, program, &problem) || RunDoctorPhase(name, program, &problem)) {
        return problem;
    }
    return "no such phase";
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        printf("KERNEL-TEST: FAIL usage: %s PROGRAM PHASE...\n", argv[0]);
        return 2;
    }
    RunAhead();
    printf("kernel-test: every time below is on the guest's clock\n");
    std::string failures;
    for (int i = 2; i < argc; ++i) {
        printf("kernel-test: phase %s\n", argv[i]);
        fflush(stdout);
        const std::string problem = RunPhase(argv[i], argv[1]);
        printf("kernel-test: phase %s: %s\n", argv[i], problem.empty() ? "ok" : problem.c_str());
        fflush(stdout);
        if (!problem.empty()) {
            failures += (failures.empty() ? "" : "; ") + std::string(argv[i]) + ": " + problem;
        }
    }
    if (failures.empty()) {
        printf("KERNEL-TEST: PASS\n");
    } else {
        printf("KERNEL-TEST: FAIL %s\n", failures.c_str());
    }
    fflush(stdout);
    return failures.empty() ? 0 : 1;
}
