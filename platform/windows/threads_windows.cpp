// _beginthreadex rather than _beginthread: the handle _beginthread gives is
// closed by the runtime as soon as the thread leaves its routine, after which
// it may name some other object. Ours stays valid until EndThreadNow closes
// it, so terminating a thread that has already finished is harmless.
// Console control events reach the process on a thread of their own, so the
// new thread needs nothing to keep stop requests away from it.
#include <process.h>
#include <windows.h>

#include "platform/threads.h"

static_assert(sizeof(HANDLE) <= sizeof(ThreadHandle));

namespace {
unsigned __stdcall RunRoutine(void* routine) {
    reinterpret_cast<void (*)()>(routine)();
    return 0;
}
}  // namespace

ThreadHandle StartThread(void (*routine)()) {
    const uintptr_t thread =
        _beginthreadex(nullptr, 0, RunRoutine, reinterpret_cast<void*>(routine), 0, nullptr);
    return thread != 0 ? static_cast<ThreadHandle>(thread) : noThread;
}

void EndThreadNow(ThreadHandle thread) {
    // TerminateThread does not wait for a read the thread is blocked in; the
    // system cancels that read as the thread goes. The wait makes sure the
    // thread has stopped before the caller closes the device.
    const HANDLE handle = reinterpret_cast<HANDLE>(thread);
    TerminateThread(handle, static_cast<DWORD>(-1));
    WaitForSingleObject(handle, INFINITE);
    CloseHandle(handle);
}

void SleepMilliseconds(int32_t ms) {
    Sleep(static_cast<DWORD>(ms));
}
