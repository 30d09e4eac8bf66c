// A stand-in for user32.dll in the scenario runs under Wine. There is no
// display there, so a real message box returns at once and shows nothing.
// This one does what the notice does on Linux: the text on standard error,
// then a wait for Enter or the end of standard input. The scenario suites
// can then check the notice's text and that the program waits for it. Only
// what the program imports from user32 is here; the harness copies it
// beside the program, and the Wine prefix prefers it for quivertap.exe.
//
// A stop request closes a real box (the stop's kick posts WM_CLOSE to the
// main thread's windows). The stand-in has none, and Wine's
// CancelSynchronousIo does not cut short a read on a Unix pipe, so standard
// input is read on a thread of its own while the calling thread waits
// alertably: the APC that the same kick queues ends the wait instead.
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

DWORD WINAPI ReadToEnter(void*) {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    for (;;) {
        char c = 0;
        DWORD got = 0;
        if (!ReadFile(input, &c, 1, &got, nullptr) || got == 0 || c == '\n') {
            return 0;
        }
    }
}

void WaitForDismissal() {
    const HANDLE reader = CreateThread(nullptr, 0, ReadToEnter, nullptr, 0, nullptr);
    if (reader == nullptr) {
        ReadToEnter(nullptr);
        return;
    }
    // On an APC the reader is left in its read: the stop ends the process.
    WaitForSingleObjectEx(reader, INFINITE, TRUE);
    CloseHandle(reader);
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
