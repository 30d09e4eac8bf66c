#include "talk.h"

#include <chrono>
#include <cstring>

#include "gather.h"
#include "link/remote_link.h"
#include "tiny_hid/tiny_hid.h"

namespace {
constexpr uint8_t modeReport = 0x12;
constexpr uint8_t motionMode = 0x31;
constexpr uint8_t statusRequest = 0x15;
constexpr uint8_t statusReport = 0x20;
constexpr uint32_t statusReportBytes = 7;

using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

uint8_t out[reportBufferSize];
uint8_t in[reportBufferSize];

// Sends the report ID, byte1, byte2 (the motor bit in byte 1 left clear) and
// reads until a report satisfies wanted, for answerLimitMs at most; the
// answer is in in. Gives the time from the send to the answer.
template <typename Wanted>
bool Ask(int32_t handle, uint8_t id, uint8_t byte2, Wanted wanted, double* answerMs) {
    memset(out, 0, sizeof(out));
    out[0] = id;
    out[2] = byte2;
    uint32_t written = 0;
    uint32_t length = 0;
    const Clock::time_point start = Clock::now();
    WriteReport(handle, out, &written);
    for (;;) {
        const int32_t leftMs = answerLimitMs - static_cast<int32_t>(MillisecondsSince(start));
        if (leftMs <= 0 || !ReadWithin(handle, in, &length, leftMs)) {
            return false;
        }
        if (wanted(in, length)) {
            *answerMs = MillisecondsSince(start);
            return true;
        }
    }
}

// The first 0x31 report whose X byte is not 0, as the program's probe wants.
void TimeFirstMotion(int32_t handle, TalkFacts* facts) {
    facts->motionSeen = Ask(
        handle, modeReport, motionMode,
        [](const uint8_t* r, uint32_t n) { return n >= 4 && r[0] == motionMode && r[3] != 0; },
        &facts->motionMs);
}

void AskStatus(int32_t handle, TalkFacts* facts) {
    double answerMs = 0;
    facts->statusSeen = Ask(
        handle, statusRequest, 0x00,
        [](const uint8_t* r, uint32_t n) { return n >= statusReportBytes && r[0] == statusReport; },
        &answerMs);
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
