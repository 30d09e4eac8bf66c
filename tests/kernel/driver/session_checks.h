// Verdicts on a recorded session: an empty string when all is well, else the
// first thing that went wrong.
#pragma once

#include <string>

#include "session.h"

// A full session with presses: what reached the device, byte for byte and
// in order, the pulse timing, the screen and the exit status.
// expectOpenClose: the program is the device's only user, so the kernel opens
// the device for it and closes it once when it is done.
std::string CheckPressSession(const SessionRecord& record, bool expectOpenClose);
// No controller to be found: the notice, status 1, nothing sent anywhere.
std::string CheckNotFound(const SessionRecord& record);
// The program's reports by ID and length, with how many came of each.
std::string DescribeReportLengths(const SessionRecord& record);
// The reports, one a line, for a failure's context or for the record.
std::string DescribeReports(const SessionRecord& record, size_t first, size_t count);
