// How far a run has got, so that a stop request undoes exactly what is due.
// Main thread only.
#pragma once

struct RunProgress {
    bool remoteOpen;
    bool ledsLit;
    bool motorSwitchedOn;
};

extern RunProgress runProgress;

// Runs on the main thread when a stop has been requested: motor off, LEDs
// off, reader ended, device closed once, terminal restored.
void FinishStop();
