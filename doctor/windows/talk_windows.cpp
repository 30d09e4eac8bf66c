// What the talk with the controller needs of Windows.
//
// The library's read waits alertably until a report comes, and an APC queued
// to the reading thread ends that wait (the read then fails). A waitable
// timer's completion routine is such an APC: queued at the limit, it ends the
// wait it finds, or the next one if it comes early, so it is never lost. One
// left over from a read that ended just in time is run off before the next.
//
// The library tells a debugger which way its output reports go
// (OutputDebugString). That raises DBG_PRINTEXCEPTION_C in this process
// first, where a vectored handler reads the text and lets it go on.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "doctor/gather.h"
#include "tiny_hid/tiny_hid.h"

namespace {
constexpr DWORD debugPrintException = 0x40010006;  // DBG_PRINTEXCEPTION_C
constexpr char wayPrefix[] = "tiny_hid: output reports go by ";

HANDLE limitTimer = nullptr;

void CALLBACK LimitReached(void*, DWORD, DWORD) {}

// The library's last word on its writes, kept as the user should read it.
char writeWay[textBytes];
std::atomic<bool> wayTold{false};

void KeepWay(const char* said) {
    const char* way = said + sizeof(wayPrefix) - 1;
    if (strncmp(way, "IOCTL_HID_SET_OUTPUT_REPORT", 27) == 0) {
        CopyText(writeWay, sizeof(writeWay), "HidD_SetOutputReport (IOCTL_HID_SET_OUTPUT_REPORT)");
    } else {
        CopyText(writeWay, sizeof(writeWay), way);
        writeWay[strcspn(writeWay, "\r\n")] = '\0';
    }
    wayTold.store(true);
}

LONG CALLBACK HearDebugText(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    if (record->ExceptionCode == debugPrintException && record->NumberParameters >= 2) {
        const char* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
        if (text != nullptr && strncmp(text, wayPrefix, sizeof(wayPrefix) - 1) == 0) {
            KeepWay(text);
        }
    }
    return EXCEPTION_CONTINUE_SEARCH;
}
}  // namespace

bool ReadWithin(int32_t handle, uint8_t* buffer, uint32_t* length, int32_t milliseconds) {
    if (limitTimer == nullptr) {
        limitTimer = CreateWaitableTimerA(nullptr, FALSE, nullptr);
    }
    if (milliseconds <= 0 || limitTimer == nullptr) {
        return false;
    }
    LARGE_INTEGER due{};
    due.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10'000;  // relative, in 100 ns
    if (!SetWaitableTimer(limitTimer, &due, 0, LimitReached, nullptr, FALSE)) {
        return false;
    }
    const bool read = ReadReport(handle, buffer, length) != 0;
    CancelWaitableTimer(limitTimer);
    SleepEx(0, TRUE);
    return read;
}

void WatchLibrary() {
    static bool watching = false;
    if (!watching) {
        watching = AddVectoredExceptionHandler(1, HearDebugText) != nullptr;
    }
}

void LibraryWriteWay(char* way, size_t size) {
    CopyText(way, size, wayTold.load() ? writeWay : "");
}

// Windows names no file a process has open.
void LibraryNode(char* node, size_t size) {
    if (size > 0) {
        node[0] = '\0';
    }
}

void GatherHolders(const AccessFacts&, HolderFacts* facts) {
    *facts = HolderFacts{};
    // One that holds it without sharing shows as a refused open instead.
    CopyText(facts->why, sizeof(facts->why), "Windows does not say which programs hold it open");
}

bool ColourWanted() {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return getenv("NO_COLOR") == nullptr && GetConsoleMode(out, &mode) &&
           SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

// A console that has this process alone was made for it: a double-click.
// It would close with the doctor, before the user could read a line.
void HoldWindowIfOwn() {
    DWORD processes[2];
    DWORD mode = 0;
    if (GetConsoleProcessList(processes, 2) != 1 ||
        !GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) {
        return;
    }
    printf("\nPress Enter to close this window.\n");
    fflush(stdout);
    for (int c = getchar(); c != '\n' && c != EOF; c = getchar()) {
    }
}
