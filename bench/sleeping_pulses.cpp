// The program's pulse pattern once more, with sleeping waits in place of the
// busy-wait, so the benchmark can set what the spinning buys against what it
// costs. It goes through the same HID library (the virtual controller) and
// keeps the program's pass: one read, the LED report, then one pulse.
//
//   sleeping_pulses <pulses per level>
//
// Deadlines are absolute on CLOCK_MONOTONIC and advance by the pulse period,
// so a late wake-up shortens the next wait instead of piling up. For each
// level it prints the wall and processor time (microseconds) of its pulses:
//
//   level <n> pulses=<count> wall_us=<us> cpu_us=<us>
#include <time.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "tiny_hid/tiny_hid.h"

namespace {
constexpr int32_t controllerVendor = 0x057E;
constexpr int32_t controllerProduct = 0x0306;
constexpr int32_t levelCount = 4;

struct PulseShape {
    uint8_t ledBits;
    int64_t onUs;
    int64_t offUs;
};

constexpr PulseShape shapes[levelCount] = {
    {0x10, 30'000, 70'000}, {0x30, 50'000, 50'000}, {0x70, 75'000, 25'000}, {0xF0, 99'000, 1'000}};

int32_t handle = -1;
uint8_t outReport[256];
uint8_t inReport[256];

int64_t ReadClock(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void SleepUntil(int64_t deadlineNs) {
    timespec deadline{};
    deadline.tv_sec = deadlineNs / 1'000'000'000;
    deadline.tv_nsec = deadlineNs % 1'000'000'000;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

// Byte 2 is left as the mode report set it, as in the program.
void Send(uint8_t id, uint8_t value) {
    outReport[0] = id;
    outReport[1] = value;
    uint32_t written = 0;
    WriteReport(handle, outReport, &written);
}

void Poll() {
    uint32_t got = 0;
    ReadReport(handle, inReport, &got);
}

struct Usage {
    int64_t wallNs;
    int64_t cpuNs;
};

Usage Now() {
    return {ReadClock(CLOCK_MONOTONIC), ReadClock(CLOCK_PROCESS_CPUTIME_ID)};
}

void PrintLevel(int32_t level, int32_t pulses, Usage from, Usage to) {
    printf("level %d pulses=%d wall_us=%lld cpu_us=%lld\n", level, pulses,
           static_cast<long long>((to.wallNs - from.wallNs) / 1000),
           static_cast<long long>((to.cpuNs - from.cpuNs) / 1000));
}
}  // namespace

int main(int argc, char** argv) {
    const int32_t pulsesPerLevel = argc > 1 ? atoi(argv[1]) : 0;
    if (pulsesPerLevel <= 0) {
        fprintf(stderr, "usage: sleeping_pulses <pulses per level>\n");
        return 2;
    }
    handle = OpenHidHandle(controllerVendor, controllerProduct);
    if (handle == -1) {
        fprintf(stderr, "sleeping_pulses: no controller\n");
        return 1;
    }
    outReport[2] = 0x31;
    Send(0x12, 0x00);

    // The first pulse is put a little ahead, so that it starts from a wake-up
    // like every other one.
    int64_t pulseStartNs = ReadClock(CLOCK_MONOTONIC) + 5'000'000;
    Usage levelStart{};
    for (int32_t level = 1; level <= levelCount; ++level) {
        const PulseShape& shape = shapes[level - 1];
        for (int32_t pulse = 0; pulse < pulsesPerLevel; ++pulse) {
            Poll();
            Send(0x11, shape.ledBits);
            SleepUntil(pulseStartNs);
            if (pulse == 0) {
                // A level's time runs from its first pulse to the next level's.
                const Usage now = Now();
                if (level > 1) {
                    PrintLevel(level - 1, pulsesPerLevel, levelStart, now);
                }
                levelStart = now;
            }
            Send(0x13, 0x01);
            SleepUntil(pulseStartNs + shape.onUs * 1000);
            Send(0x13, 0x00);
            pulseStartNs += (shape.onUs + shape.offUs) * 1000;
        }
    }
    SleepUntil(pulseStartNs);
    PrintLevel(levelCount, pulsesPerLevel, levelStart, Now());
    Send(0x11, 0x00);
    CloseHidHandle(handle);
    return 0;
}
