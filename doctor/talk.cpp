#include "talk.h"

#include <chrono>
#include <cstring>

#include "gather.h"
#include "tiny_hid/tiny_hid.h"

namespace {
constexpr size_t reportBytes = 256;
constexpr uint8_t modeReport = 0x12;
constexpr uint8_t motionMode = 0x31;
constexpr uint8_t statusRequest = 0x15;
constexpr uint8_t statusReport = 0x20;
constexpr uint32_t statusReportBytes = 7;

using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Reads until a report satisfies wanted or limitMs have passed since start.
template <typename Wanted>
bool AwaitReport(int32_t handle, Clock::time_point start, uint8_t* report, uint32_t* length,
                 Wanted wanted) {
    for (;;) {
        const int32_t leftMs = answerLimitMs - static_cast<int32_t>(MillisecondsSince(start));
        if (leftMs <= 0 || !ReadWithin(handle, report, length, leftMs)) {
            return false;
        }
        if (wanted(report, *length)) {
            return true;
        }
    }
}

// The first 0x31 report whose X byte is not 0, as the program's probe wants.
void TimeFirstMotion(int32_t handle, TalkFacts* facts) {
    static uint8_t out[reportBytes];
    static uint8_t in[reportBytes];
    memset(out, 0, sizeof(out));
    out[0] = modeReport;
    out[2] = motionMode;
    uint32_t written = 0;
    uint32_t length = 0;
    const Clock::time_point start = Clock::now();
    WriteReport(handle, out, &written);
    facts->motionSeen = AwaitReport(handle, start, in, &length, [](const uint8_t* r, uint32_t n) {
        return n >= 4 && r[0] == motionMode && r[3] != 0;
    });
    facts->motionMs = MillisecondsSince(start);
}

// The status request carries the motor bit in byte 1, left clear.
void AskStatus(int32_t handle, TalkFacts* facts) {
    static uint8_t out[reportBytes];
    static uint8_t in[reportBytes];
    memset(out, 0, sizeof(out));
    out[0] = statusRequest;
    uint32_t written = 0;
    uint32_t length = 0;
    const Clock::time_point start = Clock::now();
    WriteReport(handle, out, &written);
    facts->statusSeen = AwaitReport(handle, start, in, &length, [](const uint8_t* r, uint32_t n) {
        return n >= statusReportBytes && r[0] == statusReport;
    });
    if (facts->statusSeen) {
        facts->statusFlags = in[3];
        facts->battery = in[6];
    }
}
}  // namespace

void TalkToController(TalkFacts* facts) {
    facts->tried = true;
    WatchLibrary();
    const int32_t handle = OpenHidHandle(nintendoVendor, remoteProduct);
    facts->opened = handle != -1;
    if (!facts->opened) {
        return;
    }
    LibraryNode(facts->node, sizeof(facts->node));
    TimeFirstMotion(handle, facts);
    AskStatus(handle, facts);
    CloseHidHandle(handle);
    LibraryWriteWay(facts->writeWay, sizeof(facts->writeWay));
}
