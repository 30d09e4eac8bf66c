#include "main_sequence.h"

#include "connection_probe.h"
#include "console_lines.h"
#include "control_loop.h"
#include "link/remote_link.h"
#include "platform/message_box.h"
#include "platform/stop_signals.h"
#include "run_progress.h"
#include "timing/busy_wait.h"

namespace {
constexpr int exitNoRemote = 1;
constexpr int exitDone = 0;

bool OpenTheRemote() {
    runProgress.remoteOpen = OpenRemote();
    return runProgress.remoteOpen;
}

void CloseTheRemote() {
    CloseRemote();
    runProgress.remoteOpen = false;
}

void ReportNoRemote() {
    ShowMessageBox("Wii-Remote not found.");
    HonourStop();
}

// The box comes first; the reader is ended only once it is dismissed.
void ReportDeadRemote() {
    ShowMessageBox("Wii-Remote cannot open.");
    HonourStop();
    StopReader();
    CloseTheRemote();
}

void GreetWithLeds() {
    runProgress.ledsLit = true;
    SetLeds(0xF0);
    WaitMilliseconds(200);
    SetLeds(0x00);
}

void ShutDown() {
    SetLeds(0x00);
    CloseTheRemote();
}
}  // namespace

int RunMainSequence() {
    InstallStopHandlers(FinishStop, PauseForSuspension, ResumeAfterSuspension);
    if (!OpenTheRemote()) {
        ReportNoRemote();
        return exitNoRemote;
    }
    SetReportingMode(0x00, 0x31);
    if (!ProbeConnection()) {
        ReportDeadRemote();
        HonourStop();
        return exitDone;
    }
    GreetWithLeds();
    PrintBanner();
    PrintUsage();
    WaitForReaderToLeave();
    RunControlLoop();
    ShutDown();
    HonourStop();
    return exitDone;
}
