// A stop request closes the box (see stop_signals_windows.cpp), so the wait
// here ends either way.
#include <windows.h>

#include "platform/message_box.h"

void ShowMessageBox(const char* text) {
    MessageBoxA(nullptr, text, nullptr, MB_OK);
}
