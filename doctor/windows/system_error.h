// The system's own words for an error, as the user's Windows would show them.
#pragma once

#include <windows.h>

#include <cstddef>

void SystemErrorText(DWORD error, char* text, size_t size);
