// A clean stop on an outside request (Ctrl-C, terminal closed, termination),
// so that the motor is never left running. The request itself only raises a
// flag; the work runs on the main thread at the next HonourStop.
#pragma once

// Installs the handlers; finish does the device clean-up. It runs once, on
// the main thread, with further stop requests held off. Afterwards the
// process ends with the status the request usually gives.
// Where a console can suspend a program (Ctrl-Z), pause runs on the main
// thread before the process suspends itself and resume once it continues:
// a suspended program must not leave the motor running either.
void InstallStopHandlers(void (*finish)(), void (*pause)(), void (*resume)());
// On the main thread only: when a stop was requested, runs finish and ends
// the process; when a suspension was requested, pauses, suspends and
// resumes; otherwise returns at once. Blocking waits on the main thread (a
// read, a notice) are cut short by a request so that this is reached.
void HonourStop();
