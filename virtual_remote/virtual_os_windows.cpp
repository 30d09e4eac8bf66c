// The virtual controller's OS services on Windows (and under Wine).
//
// A forced end (TerminateThread) runs none of the thread's code, so onEnded
// cannot run on the ended thread itself. A real device cancels the read of a
// thread that is gone; to show the same, every wait is registered, and
// SettleEndedWaits runs onEnded for waits whose thread has died, labelled as
// that thread, before the next call of the ABI takes stock.
//
// Under Wine the harness hands over Unix paths; a setting that starts with a
// single '/' is taken as one and reached through drive Z:, Wine's view of the
// Unix root.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "virtual_os.h"

namespace {
constexpr int maxWaits = 8;
enum WaitState : int { waitFree, waitFilling, waitActive, waitSettling };

struct RegisteredWait {
    std::atomic<int> state;
    HANDLE thread;
    DWORD threadId;
    void (*onEnded)();
};

RegisteredWait waits[maxWaits];
DWORD mainThreadId = 0;
thread_local DWORD labelAsThread = 0;

int RegisterWait(void (*onEnded)()) {
    for (int i = 0; i < maxWaits; ++i) {
        int expected = waitFree;
        if (waits[i].state.compare_exchange_strong(expected, waitFilling)) {
            DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(),
                            &waits[i].thread, SYNCHRONIZE, FALSE, 0);
            waits[i].threadId = GetCurrentThreadId();
            waits[i].onEnded = onEnded;
            waits[i].state.store(waitActive);
            return i;
        }
    }
    return -1;
}

void UnregisterWait(int slot) {
    if (slot >= 0) {
        CloseHandle(waits[slot].thread);
        waits[slot].state.store(waitFree);
    }
}

// Translated settings live here; a name keeps its slot.
struct TranslatedSetting {
    char name[64];
    char value[MAX_PATH * 2];
};
TranslatedSetting translated[8];

const char* TranslatePath(const char* name, const char* value) {
    for (TranslatedSetting& slot : translated) {
        if (slot.name[0] == '\0' || strcmp(slot.name, name) == 0) {
            snprintf(slot.name, sizeof(slot.name), "%s", name);
            snprintf(slot.value, sizeof(slot.value), "Z:%s", value);
            for (char* c = slot.value; *c != '\0'; ++c) {
                if (*c == '/') {
                    *c = '\\';
                }
            }
            return slot.value;
        }
    }
    return value;
}
}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    // The program links the library at load time, so the loading thread is
    // the process's main thread.
    if (reason == DLL_PROCESS_ATTACH) {
        mainThreadId = GetCurrentThreadId();
    }
    return TRUE;
}

int64_t NowMicroseconds() {
    static const int64_t frequency = [] {
        LARGE_INTEGER value{};
        QueryPerformanceFrequency(&value);
        return static_cast<int64_t>(value.QuadPart);
    }();
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    const int64_t ticks = now.QuadPart;
    return ticks / frequency * 1'000'000 + ticks % frequency * 1'000'000 / frequency;
}

void DescribeCallingThread(char* label, size_t size) {
    const DWORD thread = labelAsThread != 0 ? labelAsThread : GetCurrentThreadId();
    if (thread == mainThreadId) {
        snprintf(label, size, "main");
    } else {
        snprintf(label, size, "t%lu", static_cast<unsigned long>(thread));
    }
}

// An APC (what a stop request sends the main thread) ends the wait early.
bool WaitUntil(int64_t deadlineUs, void (*onEnded)()) {
    const int slot = RegisterWait(onEnded);
    bool cutShort = false;
    for (;;) {
        const int64_t leftUs = deadlineUs - NowMicroseconds();
        if (leftUs <= 0) {
            break;
        }
        const int64_t leftMs = (leftUs + 999) / 1000;
        const DWORD sleepMs = leftMs >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(leftMs);
        if (SleepEx(sleepMs, TRUE) == WAIT_IO_COMPLETION) {
            cutShort = true;
            break;
        }
    }
    UnregisterWait(slot);
    return !cutShort;
}

void SettleEndedWaits() {
    for (RegisteredWait& wait : waits) {
        if (wait.state.load() != waitActive ||
            WaitForSingleObject(wait.thread, 0) != WAIT_OBJECT_0) {
            continue;
        }
        int expected = waitActive;
        if (!wait.state.compare_exchange_strong(expected, waitSettling)) {
            continue;
        }
        labelAsThread = wait.threadId;
        if (wait.onEnded != nullptr) {
            wait.onEnded();
        }
        labelAsThread = 0;
        CloseHandle(wait.thread);
        wait.state.store(waitFree);
    }
}

void AppendToFile(const char* path, const char* text, size_t length) {
    // Opened once: the log sits on the program's timing path. One WriteFile
    // per line, so a forced end never leaves half a line.
    static const HANDLE file =
        CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr);
    }
}

namespace {
struct Listener {
    char path[MAX_PATH * 2];
    void (*onByte)(uint8_t);
};
Listener listener;

DWORD WINAPI Listen(LPVOID) {
    const HANDLE file = CreateFileA(listener.path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    uint8_t bytes[64];
    DWORD got = 0;
    while (ReadFile(file, bytes, sizeof(bytes), &got, nullptr) != FALSE && got > 0) {
        for (DWORD i = 0; i < got; ++i) {
            listener.onByte(bytes[i]);
        }
    }
    CloseHandle(file);
    return 0;
}
}  // namespace

// A stop comes as a console event on a thread of Windows' own: this thread
// needs no protection from it.
bool ListenForBytes(const char* path, void (*onByte)(uint8_t byte)) {
    snprintf(listener.path, sizeof(listener.path), "%s", path);
    listener.onByte = onByte;
    const HANDLE thread = CreateThread(nullptr, 0, Listen, nullptr, 0, nullptr);
    if (thread == nullptr) {
        return false;
    }
    CloseHandle(thread);
    return true;
}

const char* ReadSetting(const char* name) {
    const char* value = getenv(name);
    if (value != nullptr && value[0] == '/' && value[1] != '/') {
        return TranslatePath(name, value);
    }
    return value;
}

bool StderrIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != FALSE;
}

void WriteStderr(const char* text, size_t length) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(length), &written, nullptr);
}
