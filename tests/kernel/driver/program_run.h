// The program under test as a child process: standard input from /dev/null,
// standard output and error captured through pipes. KERNEL_TEST_RUNNER, when
// set, names a loader the program runs under (Wine for the Windows build).
#pragma once

#include <sys/types.h>

#include <string>

struct ProgramRun {
    pid_t pid;
    int outFd;  // non-blocking read ends, -1 once at end of file
    int errFd;
    std::string out;
    std::string err;
    bool ended;
    int status;  // as waitpid reports it, once ended
};

bool StartProgram(const char* path, ProgramRun* run);
// Programs started from now on run as this user and group (0: as the driver,
// root).
void RunProgramsAs(uid_t user);
// Under a runner the program reaches the device through the runner's own HID
// stack, which opens the device for itself and keeps it open while it lives:
// the device's opens and closes are then not the program's.
bool ProgramOpensDeviceItself();
// Moves whatever the pipes hold into out and err.
void CollectOutput(ProgramRun* run);
// Notes the end of the process if it has ended; never blocks.
void CheckEnded(ProgramRun* run);
// Kills the process if it is still running and waits for it.
void EndProgram(ProgramRun* run);
