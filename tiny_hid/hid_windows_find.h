// Finding a HID device and opening it, on Windows. The transfer code
// (hid_windows.cpp) keeps what these open and moves its bytes; the tests
// build the same transfer code over a finder of their own.
#pragma once

#include <windows.h>

#include "device_identity.h"
#include "report_descriptor.h"

// What the transfer code needs to know of an open device's reports.
struct Description {
    OutputReportLengths lengths;
    DWORD inputBytes;         // a whole input report, ID byte included
    DWORD paddedOutputBytes;  // the longest output report, ID byte included
    char path[1024];          // where it was opened; empty where no path reopens it
};

// Opens, for overlapped I/O, the device that best answers for wanted and
// gives its identity and description; null when none does. One call at a
// time: the transfer code calls it under its lock.
HANDLE OpenBestDevice(const DeviceIdentity& wanted, DeviceIdentity* identity,
                      Description* description);
// From now on sets wake whenever the system announces a new HID interface,
// where it announces them at all.
void ListenForArrivals(HANDLE wake);
// Whether a device that went may be back where it was: its path opens again.
// Costs one failed open while it is away, not a listing of every interface.
bool MayBeBack(const Description& description);
