// Fixed text on standard output, one line per call, no conversions.
#pragma once

void PrintLine(const char* line);
