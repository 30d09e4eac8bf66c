// Which of the input reports that arrived since the last read a read hands
// out. The caller reads once per 100 ms pass while a controller in a motion
// mode sends up to a hundred reports a second, and the system's own queue
// either drops the newest (hidraw) or the oldest (Windows) once it is full:
// taken one at a time in arrival order, a press would show seconds late, or
// never. So each read first takes everything the system holds, then hands
// out, in this order of preference:
//   1. the oldest report not yet handed out that changes the input (its ID or
//      either button byte differs from the report received just before it):
//      no press or release is lost, however short;
//   2. the newest report received since the last read: the input is never
//      older than one pass;
//   3. nothing: the caller waits for the next report, as before.
// Shared by every platform's build; the platform files only move bytes.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t heldReportBytes = 256;
// Changes wait here until handed out, one per read. A pass lasts 100 ms, so
// even a burst of presses and status reports fills only a few.
inline constexpr size_t heldChangeCount = 32;

struct HeldReport {
    uint32_t length;
    uint8_t bytes[heldReportBytes];
};

struct ReadPolicy {
    HeldReport changes[heldChangeCount];  // a ring, oldest at firstChange
    uint32_t firstChange;
    uint32_t changeCount;
    HeldReport newest;
    bool newestUnread;  // newest arrived after the last report handed out
    bool anyReceived;
    uint8_t lastInput[3];  // ID and button bytes of the report received last
};

// Forgets everything: a freshly opened device.
void ResetReadPolicy(ReadPolicy* policy);
// One report taken from the system, in arrival order. Longer reports keep
// their first heldReportBytes bytes; empty ones are ignored.
void NoteArrival(ReadPolicy* policy, const uint8_t* bytes, uint32_t length);
// The report a read hands out now, if any: copied into buffer (which offers
// heldReportBytes), its length in *length.
bool TakeReport(ReadPolicy* policy, uint8_t* buffer, uint32_t* length);
