// How far a run has got, so that a stop request undoes exactly what is due.
// Main thread only.
#pragma once

struct RunProgress {
    bool remoteOpen;
    bool ledsLit;
    bool motorSwitchedOn;
    bool takingKeys;
};

extern RunProgress runProgress;

// Runs on the main thread when a stop has been requested: motor off, LEDs
// off, reader ended, device closed once, terminal restored.
void FinishStop();
// Around a suspension (Ctrl-Z): the motor off and the terminal as it was
// while suspended, single keys again once continued.
void PauseForSuspension();
void ResumeAfterSuspension();
