// Follows the program's probe from outside: when the mode report reached the
// controller, when the first motion report went out, when the reader thread
// the probe starts just before its window appeared, and when that thread
// began its first long pause. The reader pauses 100 ms after each read and
// runs no code meanwhile, so the last moment it ran before its first stretch
// of 95 ms without processor time bounds from above when it had read its
// first report.
#pragma once

#include <sys/types.h>

#include <cstdint>

struct ProbeWatch {
    int64_t modeSetUs;      // 0 until the program's mode report came
    int64_t firstMotionUs;  // the first 0x31 report sent after it
    int knownThreads[64];   // the program's threads when the mode came
    int knownCount;
    int readerThread;      // the first thread started after it, 0 until seen
    int64_t lookedUs;      // the last look before it was seen
    int64_t readerSeenUs;  // when it was first seen
    uint64_t readerRunNs;  // its processor time at the last look
    int64_t lastRanUs;     // the look that last saw that time grow
    int64_t pauseFromUs;   // lastRanUs once a long pause followed it, else 0
    bool readerLost;       // it ended before such a pause was seen
};

// Called as the mode report arrives: the driver runs above the program, which
// has not started its reader yet.
void NoteModeSet(ProbeWatch* watch, pid_t program, int64_t nowUs);
void NoteMotionSent(ProbeWatch* watch, int64_t nowUs);
// Looks at the program's threads; cheap enough for every pass of the session.
void FollowReader(ProbeWatch* watch, pid_t program, int64_t nowUs);
// When the session should look again, at the latest: every millisecond from
// the mode report until the reader's first pause was found; else 0.
int64_t NextReaderLookUs(const ProbeWatch& watch, int64_t nowUs);
// The figure line, or why there is none.
void PrintProbeMargin(const ProbeWatch& watch);
