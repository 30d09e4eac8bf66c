// One run of the program against the controller (or against no controller):
// the controller answers as the real one does and every report the kernel
// hands it is recorded with the time it arrived.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "press_script.h"
#include "program_run.h"
#include "uhid_remote.h"

struct ReceivedReport {
    int64_t atUs;
    RemoteEvent event;
};

struct SessionRecord {
    std::vector<ReceivedReport> reports;
    size_t firstProgramReport;  // reports before it came before the program started
    int64_t programStartUs;
    ProgramRun run;
    int opens;
    int closes;
    int64_t lastCloseUs;
    std::string failure;  // the session itself went wrong (script, time limit)
};

// A fresh controller for a new device, one that answers the status and memory
// requests of the kernel's own driver or one that ignores them.
void ResetRemote(bool answersRequests);
// Receives whatever the device is sent for quietUs on end, answering requests.
void ListenToRemote(int remoteFd, int64_t quietUs, SessionRecord* record);
// remoteFd may be -1 (no controller); script may be null (no presses).
void RunSession(int remoteFd, const char* program, PressScript* script, SessionRecord* record);
