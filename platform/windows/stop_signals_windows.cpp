// Ctrl-C, Ctrl-Break and the console window closing only record the request;
// the clean-up runs on the main thread at its next HonourStop. The console
// calls the handler on a thread of its own, and that thread keeps kicking the
// main thread every few milliseconds until HonourStop has begun:
// - CancelSynchronousIo ends a blocking synchronous read or write;
// - an empty APC ends an alertable wait (our HID library reads that way);
// - a message box of the main thread is closed.
// Repeating the kick closes the race of a request landing just before a read
// starts: that read is cut short by the next kick.
// Windows ends the process as soon as the handler returns from a close event,
// so for that one the handler waits until the clean-up is done.
#include <windows.h>

#include <atomic>

#include "platform/stop_signals.h"

namespace {
constexpr DWORD kickIntervalMs = 5;
constexpr DWORD noEvent = 0xFFFFFFFF;

std::atomic<DWORD> stopEvent{noEvent};
std::atomic<bool> honouring{false};
HANDLE mainThread = nullptr;
DWORD mainThreadId = 0;
HANDLE finishDone = nullptr;
void (*finishRoutine)() = nullptr;

bool StopRequested() {
    return stopEvent.load() != noEvent;
}

void CALLBACK IgnoreApc(ULONG_PTR) {
    // Nothing to do: ending the alertable wait is the point.
}

BOOL CALLBACK CloseNotice(HWND window, LPARAM) {
    PostMessageA(window, WM_CLOSE, 0, 0);
    return TRUE;
}

void KickMainThread() {
    CancelSynchronousIo(mainThread);
    QueueUserAPC(IgnoreApc, mainThread, 0);
    EnumThreadWindows(mainThreadId, CloseNotice, 0);
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    DWORD none = noEvent;
    stopEvent.compare_exchange_strong(none, event);
    while (!honouring.load()) {
        KickMainThread();
        Sleep(kickIntervalMs);
    }
    if (event == CTRL_CLOSE_EVENT) {
        WaitForSingleObject(finishDone, INFINITE);
    }
    return TRUE;
}
}  // namespace

// A Windows console has no suspension, so pause and resume are never needed.
void InstallStopHandlers(void (*finish)(), void (*)(), void (*)()) {
    finishRoutine = finish;
    mainThreadId = GetCurrentThreadId();
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &mainThread, 0,
                    FALSE, DUPLICATE_SAME_ACCESS);
    finishDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void HonourStop() {
    if (!StopRequested()) {
        return;
    }
    // From here on further requests are taken as handled and change nothing.
    honouring.store(true);
    if (finishRoutine != nullptr) {
        finishRoutine();
    }
    SetEvent(finishDone);
    ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}
