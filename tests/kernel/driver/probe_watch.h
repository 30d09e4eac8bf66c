// Follows the program's probe from outside: when the mode report reached the
// controller, when the first motion report went out, when the reader thread
// the probe starts just before its window appeared, and when it ended. The
// reader pauses 100 ms after each read and leaves once the window is over, so
// its end, less that pause, bounds from above when it read the report that
// passed the probe.
#pragma once

#include <sys/types.h>

#include <cstdint>

struct ProbeWatch {
    int64_t modeSetUs;      // 0 until the program's mode report came
    int64_t firstMotionUs;  // the first 0x31 report sent after it
    int64_t readerEndedUs;  // 0 until the reader was seen to end
    int knownThreads[64];   // the program's threads when the mode came
    int knownCount;
    int readerThread;      // the first thread started after it, 0 until seen
    int64_t readerSeenUs;  // when it was first seen
};

// Called as the mode report arrives: the driver runs above the program, which
// has not started its reader yet.
void NoteModeSet(ProbeWatch* watch, pid_t program, int64_t nowUs);
void NoteMotionSent(ProbeWatch* watch, int64_t nowUs);
// Looks at the program's threads; cheap enough for every pass of the session.
void FollowReader(ProbeWatch* watch, pid_t program, int64_t nowUs);
// When the session should look again, at the latest: every millisecond until
// the reader has appeared, and while it may be ending (never before its pause
// after the mode report), so that both are seen when they come; else 0.
int64_t NextReaderLookUs(const ProbeWatch& watch, int64_t nowUs);
// The figure line, or why there is none.
void PrintProbeMargin(const ProbeWatch& watch);
