// The HID library under the probe's forced end, many times over. After a
// failed probe the program ends its reader with TerminateThread, which may
// stop it at any instruction of ReadReport, and then closes the device. Here
// a thread reads in a loop and is ended at a point that varies from round to
// round; the handle is closed, the controller opened again, and the fresh
// handle must read. The close, the open and that first read must each be done
// within a second, every round.
//
//   reader_end_check.exe [ROUNDS]
//
// The controller (057E:0306) must be there; after every open it is set to
// report continuously (mode report 12 04 31). One line tells how many rounds
// held and the slowest close, open and read (on the system's clock: a guest's,
// under emulation); the status is 0 only if every round held.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "tiny_hid/tiny_hid.h"

namespace {
constexpr int defaultRounds = 200;
constexpr int32_t remoteVendor = 0x057E;
constexpr int32_t remoteProduct = 0x0306;
constexpr LONGLONG stepLimitUs = 1'000'000;
constexpr DWORD watchPeriodMs = 20;
// The reader is ended 0 to 20 ms after it started reading: at 100 reports a
// second that spans its waits and its work on a couple of reports. A step of
// a prime number of microseconds lands each round somewhere new.
constexpr LONGLONG delaySpanUs = 20'000;
constexpr LONGLONG delayStepUs = 7'919;
constexpr SIZE_T readerStackBytes = 64 * 1024;

LARGE_INTEGER frequency;
int32_t handle = -1;
std::atomic<bool> readerStarted{false};
// The step under way, watched from a thread of its own: one that hangs cannot
// be timed by the thread stuck in it.
std::atomic<LONGLONG> stepStartUs{0};  // 0: none
std::atomic<const char*> stepName{""};
std::atomic<int> currentRound{0};

LONGLONG NowUs() {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart / frequency.QuadPart * 1'000'000 +
           counter.QuadPart % frequency.QuadPart * 1'000'000 / frequency.QuadPart;
}

DWORD WINAPI WatchSteps(void*) {
    for (;;) {
        Sleep(watchPeriodMs);
        const LONGLONG startUs = stepStartUs.load();
        if (startUs != 0 && NowUs() - startUs > stepLimitUs) {
            printf("reader-end: round %d: %s took more than a second\n", currentRound.load(),
                   stepName.load());
            fflush(stdout);
            ExitProcess(1);
        }
    }
}

void BeginStep(const char* name) {
    stepName.store(name);
    stepStartUs.store(NowUs());
}

// How long the step took, kept if it is the slowest so far.
void EndStep(LONGLONG* slowestUs) {
    const LONGLONG tookUs = NowUs() - stepStartUs.load();
    stepStartUs.store(0);
    if (slowestUs != nullptr && tookUs > *slowestUs) {
        *slowestUs = tookUs;
    }
}

DWORD WINAPI ReadForever(void*) {
    readerStarted.store(true);
    uint8_t report[256];
    uint32_t length = 0;
    for (;;) {
        ReadReport(handle, report, &length);
    }
}

bool SetContinuousMode() {
    uint8_t mode[256] = {0x12, 0x04, 0x31};
    uint32_t written = 0;
    return WriteReport(handle, mode, &written) != 0;
}

void SpinUs(LONGLONG us) {
    const LONGLONG endUs = NowUs() + us;
    while (NowUs() < endUs) {
    }
}

// Waits until the reader is inside the library, not in the system's start of
// a thread (ended there, it would hold the loader's lock for good), then lets
// it run for a while and ends it.
bool EndReaderAfter(LONGLONG delayUs) {
    readerStarted.store(false);
    BeginStep("starting the reader");
    HANDLE reader = CreateThread(nullptr, readerStackBytes, ReadForever, nullptr,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (reader == nullptr) {
        return false;
    }
    while (!readerStarted.load()) {
        Sleep(0);
    }
    EndStep(nullptr);
    SpinUs(delayUs);
    BeginStep("ending the reader");
    TerminateThread(reader, 1);
    WaitForSingleObject(reader, INFINITE);
    CloseHandle(reader);
    EndStep(nullptr);
    return true;
}

void Fail(int round, const char* what) {
    printf("reader-end: round %d: %s\n", round, what);
    fflush(stdout);
    ExitProcess(1);
}
}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? atoi(argv[1]) : defaultRounds;
    QueryPerformanceFrequency(&frequency);
    CloseHandle(CreateThread(nullptr, 0, WatchSteps, nullptr, 0, nullptr));
    handle = OpenHidHandle(remoteVendor, remoteProduct);
    if (handle < 0 || !SetContinuousMode()) {
        Fail(0, "no controller to open");
    }
    LONGLONG slowestCloseUs = 0;
    LONGLONG slowestOpenUs = 0;
    LONGLONG slowestReadUs = 0;
    for (int round = 1; round <= rounds; ++round) {
        currentRound.store(round);
        if (!EndReaderAfter(static_cast<LONGLONG>(round) * delayStepUs % delaySpanUs)) {
            Fail(round, "cannot start a reader");
        }
        BeginStep("CloseHidHandle");
        CloseHidHandle(handle);
        EndStep(&slowestCloseUs);
        BeginStep("OpenHidHandle");
        handle = OpenHidHandle(remoteVendor, remoteProduct);
        EndStep(&slowestOpenUs);
        if (handle < 0) {
            Fail(round, "the controller did not open again");
        }
        BeginStep("the mode report");
        const bool modeSet = SetContinuousMode();
        EndStep(nullptr);
        if (!modeSet) {
            Fail(round, "the mode report did not go out");
        }
        BeginStep("the first read");
        uint8_t report[256];
        uint32_t length = 0;
        const bool read = ReadReport(handle, report, &length) != 0 && length > 0;
        EndStep(&slowestReadUs);
        if (!read) {
            Fail(round, "the fresh handle's read failed");
        }
    }
    CloseHidHandle(handle);
    printf(
        "reader-end: %d rounds held; slowest CloseHidHandle %.1f ms, OpenHidHandle %.1f ms, "
        "first read %.1f ms\n",
        rounds, static_cast<double>(slowestCloseUs) / 1000.0,
        static_cast<double>(slowestOpenUs) / 1000.0, static_cast<double>(slowestReadUs) / 1000.0);
    return 0;
}
