#include "run_progress.h"

#include "connection_probe.h"
#include "link/remote_link.h"
#include "platform/console_keys.h"

RunProgress runProgress;

void FinishStop() {
    if (runProgress.remoteOpen) {
        // The reader may be inside a read; the device is closed only after it
        // has been ended, and nothing is read after the close.
        EndReaderForStop();
        if (runProgress.motorSwitchedOn) {
            SetRumble(0);
        }
        if (runProgress.ledsLit) {
            SetLeds(0x00);
        }
        CloseRemote();
        runProgress.remoteOpen = false;
    }
    EndKeyInput();
}

void PauseForSuspension() {
    if (runProgress.remoteOpen && runProgress.motorSwitchedOn) {
        SetRumble(0);
    }
    EndKeyInput();
}

void ResumeAfterSuspension() {
    if (runProgress.takingKeys) {
        BeginKeyInput();
    }
}
