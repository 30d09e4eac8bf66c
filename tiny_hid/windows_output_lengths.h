// The output items a Windows HID device declares, rebuilt from its preparsed
// data: Windows gives no user-mode access to the raw report descriptor. The
// value and button caps are turned back into descriptor items and fed to the
// same parser as on Linux, so both platforms count the bytes of a report the
// same way. Constant padding items have no caps and are missing from that
// count; a stack that needs them gets the padded write.
#pragma once

#include <windows.h>
// windows.h first: the HID headers need its types. MinGW's HID headers
// declare C functions without saying so to C++.
extern "C" {
#include <hidsdi.h>
}

#include "report_descriptor.h"

bool ReadOutputLengths(PHIDP_PREPARSED_DATA preparsed, OutputReportLengths* lengths);
