// The controller at the far end of pipe_find.cpp's pipe, for the test of a
// clean stop on a stack that holds every write:
//
//   pipe_remote.exe PIPE
//
// It makes the pipe and says "listening", then sends a 0x31 report every
// 10 ms, so the probe passes and the program reads. Once the greeting is over
// it presses A; once the motor is switched on it stops reading, and once the
// pipe's buffer is full, so that the program's next write stays pending, it
// stops reporting too and says "stalled". From then on nothing the program
// starts on the pipe completes by the far end's doing: the library's read
// waits as its writes do, and only a cancellation ends them.
#include <windows.h>

#include <atomic>
#include <cstdio>

namespace {
// Room for a few of the program's reports: it fills it within a pass. Its
// LED and motor reports take 2 bytes each.
constexpr DWORD bufferBytes = 16;
constexpr DWORD shortestOutput = 2;
constexpr DWORD reportPeriodMs = 10;
constexpr DWORD pressMs = 200;
constexpr uint8_t aButton = 0x08;  // in byte 2

HANDLE pipe = INVALID_HANDLE_VALUE;
std::atomic<uint8_t> buttons2{0};
std::atomic<bool> reporting{true};

void Say(const char* line) {
    printf("%s\n", line);
    fflush(stdout);
}

// Overlapped, each with its own event: one thread reads while another writes.
bool Transfer(bool write, uint8_t* bytes, DWORD length, DWORD* done) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const BOOL started = write ? WriteFile(pipe, bytes, length, nullptr, &overlapped)
                               : ReadFile(pipe, bytes, length, nullptr, &overlapped);
    bool worked = false;
    if (started || GetLastError() == ERROR_IO_PENDING) {
        worked = GetOverlappedResult(pipe, &overlapped, done, TRUE) != FALSE;
    }
    CloseHandle(overlapped.hEvent);
    return worked;
}

DWORD WINAPI Report(void*) {
    for (uint8_t jitter = 0; reporting.load(); jitter ^= 1) {
        uint8_t report[] = {0x31, 0x00, buttons2.load(), static_cast<uint8_t>(0x80 + jitter),
                            0x80, 0x98};
        DWORD written = 0;
        if (!Transfer(true, report, sizeof(report), &written)) {
            ExitProcess(0);  // the program has gone
        }
        Sleep(reportPeriodMs);
    }
    return 0;
}

// Reads the program's reports until one starts with id and byte.
bool AwaitReport(uint8_t id, uint8_t byte) {
    for (;;) {
        uint8_t report[64];
        DWORD got = 0;
        if (!Transfer(false, report, sizeof(report), &got)) {
            return false;
        }
        if (got >= 2 && report[0] == id && report[1] == byte) {
            return true;
        }
    }
}

bool AwaitFullBuffer() {
    for (;;) {
        DWORD waiting = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr)) {
            return false;
        }
        if (waiting + shortestOutput > bufferBytes) {
            return true;
        }
        Sleep(1);
    }
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: pipe_remote.exe PIPE\n");
        return 2;
    }
    pipe = CreateNamedPipeA(argv[1], PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, bufferBytes,
                            bufferBytes, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "pipe_remote: cannot make %s (%lu)\n", argv[1], GetLastError());
        return 1;
    }
    Say("listening");
    OVERLAPPED connected{};
    connected.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD ignored = 0;
    if (!ConnectNamedPipe(pipe, &connected) && GetLastError() != ERROR_PIPE_CONNECTED &&
        !(GetLastError() == ERROR_IO_PENDING &&
          GetOverlappedResult(pipe, &connected, &ignored, TRUE))) {
        fprintf(stderr, "pipe_remote: nobody connected (%lu)\n", GetLastError());
        return 1;
    }
    HANDLE reporter = CreateThread(nullptr, 0, Report, nullptr, 0, nullptr);
    // The greeting: all LEDs on, then off.
    if (!AwaitReport(0x11, 0xF0) || !AwaitReport(0x11, 0x00)) {
        fprintf(stderr, "pipe_remote: no greeting\n");
        return 1;
    }
    buttons2.store(aButton);
    Sleep(pressMs);
    buttons2.store(0);
    if (!AwaitReport(0x13, 0x01)) {
        fprintf(stderr, "pipe_remote: the motor was never switched on\n");
        return 1;
    }
    Say("motor on");
    if (!AwaitFullBuffer()) {
        fprintf(stderr, "pipe_remote: the pipe broke before its buffer was full\n");
        return 1;
    }
    // The last report is on its way before the test's Ctrl-C: once the
    // program has taken it, its read can only be cancelled.
    reporting.store(false);
    WaitForSingleObject(reporter, INFINITE);
    Say("stalled");
    Sleep(INFINITE);
}
