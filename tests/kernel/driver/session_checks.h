// Verdicts on a recorded session: an empty string when all is well, else the
// first thing that went wrong.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "session.h"

// The LED bits the device is shown, each change once: the greeting's f0, 00,
// then one entry per level the presses reach, and the closing 00.
using LedBar = std::vector<uint8_t>;

// A full session with presses: what reached the device, byte for byte and
// in order, the pulse timing, the screen and the exit status.
// expectOpenClose: the program is the device's only user, so the kernel opens
// the device for it and closes it once when it is done.
std::string CheckPressSession(const SessionRecord& record, bool expectOpenClose,
                              const LedBar& expectedBar);
// A session whose controller was taken away: the exit status, the screen,
// the reports on the first device and on the one that came back, the time the
// program took to use it and its processor share while it was away (figures).
std::string CheckDropoutSession(const SessionRecord& record, int expectedStatus);
// A controller that went away inside the probe window: the cannot-open
// notice and status 0, nothing on standard output.
std::string CheckCannotOpen(const SessionRecord& record);
// No controller to be found: the notice, status 1, nothing sent anywhere.
std::string CheckNotFound(const SessionRecord& record);
// The program's reports by ID and length, with how many came of each.
std::string DescribeReportLengths(const SessionRecord& record);
// The reports, one a line, for a failure's context or for the record.
std::string DescribeReports(const SessionRecord& record, size_t first, size_t count);
