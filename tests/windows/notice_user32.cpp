// A stand-in for user32.dll in the scenario runs under Wine. There is no
// display there, so a real message box returns at once and shows nothing.
// This one does what the notice does on Linux: the text on standard error,
// then a wait for Enter or the end of standard input. The scenario suites
// can then check the notice's text and that the program waits for it. Only
// what the program imports from user32 is here; the harness copies it
// beside the program, and the Wine prefix prefers it for quivertap.exe.
#include <windows.h>

namespace {
void WriteAll(HANDLE file, const char* text, DWORD length) {
    while (length > 0) {
        DWORD written = 0;
        if (!WriteFile(file, text, length, &written, nullptr) || written == 0) {
            return;
        }
        text += written;
        length -= written;
    }
}

void WaitForDismissal() {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    for (;;) {
        char c = 0;
        DWORD got = 0;
        if (!ReadFile(input, &c, 1, &got, nullptr) || got == 0 || c == '\n') {
            return;
        }
    }
}
}  // namespace

// Exported under user32's names by notice_user32.def.
extern "C" int WINAPI StandInMessageBoxA(HWND, const char* text, const char*, UINT) {
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    WriteAll(error, text, static_cast<DWORD>(lstrlenA(text)));
    WriteAll(error, "\n", 1);
    WaitForDismissal();
    return IDOK;
}

// No window of the stand-in ever exists, so there is nothing to post or list.
extern "C" BOOL WINAPI StandInPostMessageA(HWND, UINT, WPARAM, LPARAM) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
}

extern "C" BOOL WINAPI StandInEnumThreadWindows(DWORD, WNDENUMPROC, LPARAM) {
    return TRUE;
}
