#include "tiny_hid/mode_keeper.h"

#include <gtest/gtest.h>

#include <vector>

namespace {
using Bytes = std::vector<uint8_t>;

// One event: the caller sent report, or report arrived, after which the
// keeper must write restored again (empty: nothing).
struct Event {
    bool sent;
    Bytes report;
    Bytes restored;
};

Event Sent(Bytes report) {
    return {true, std::move(report), {}};
}
Event Arrived(Bytes report, Bytes restored = {}) {
    return {false, std::move(report), std::move(restored)};
}

const Bytes mode31 = {0x12, 0x00, 0x31};
const Bytes mode31MotorOn = {0x12, 0x01, 0x31};
const Bytes status = {0x20, 0x00, 0x00, 0x02, 0x00, 0x00, 0xC8};
const Bytes data31 = {0x31, 0x00, 0x00, 0x80, 0x80, 0x98};
const Bytes data30 = {0x30, 0x00, 0x00};

struct Case {
    const char* name;
    std::vector<Event> events;
};

const Case cases[] = {
    {"no mode set yet: nothing to restore", {Arrived(status), Arrived(data30)}},
    {"a status report in the probe window",
     {Sent(mode31), Arrived(status, mode31), Arrived(data31), Arrived(data31)}},
    {"a status report mid-pulse keeps the motor on",
     {Sent(mode31), Sent({0x11, 0x10, 0x31}), Sent({0x13, 0x01, 0x31}),
      Arrived(status, mode31MotorOn), Sent({0x13, 0x00, 0x31}), Arrived(data31)}},
    {"a run of status reports: each one restores",
     {Sent(mode31), Arrived(status, mode31), Arrived(status, mode31), Arrived(data31),
      Arrived(status, mode31), Arrived(data31)}},
    {"the kernel's mode wins the first time: once more, then no more",
     {Sent(mode31), Arrived(data31), Arrived(status, mode31), Arrived(data30, mode31),
      Arrived(data30), Arrived(data30), Arrived(status, mode31), Arrived(data31), Arrived(data31),
      Arrived(data30, mode31), Arrived(data30)}},
    {"the caller's mode holds: other reports change nothing",
     {Sent(mode31), Arrived(status, mode31), Arrived(data31), Arrived({0x21, 0x00, 0x00, 0xF8}),
      Arrived({0x22, 0x00, 0x00, 0x16, 0x00}), Arrived(data31)}},
    {"without a status report, the kernel's data is left alone",
     {Sent(mode31), Arrived(data30), Arrived(data30)}},
};

TEST(ModeKeeperTest, RestoresTheCallersModeAfterStatusReports) {
    for (const Case& c : cases) {
        ModeKeeper keeper{};
        ResetModeKeeper(&keeper);
        for (size_t i = 0; i < c.events.size(); ++i) {
            const Event& event = c.events[i];
            if (event.sent) {
                NoteCallerReport(&keeper, event.report.data(),
                                 static_cast<uint32_t>(event.report.size()));
                continue;
            }
            uint8_t report[maxModeBytes] = {};
            uint32_t length = 0;
            const bool restore =
                ModeToRestore(&keeper, event.report.data(),
                              static_cast<uint32_t>(event.report.size()), report, &length);
            EXPECT_EQ(restore ? Bytes(report, report + length) : Bytes{}, event.restored)
                << c.name << ", event " << i;
        }
    }
}

TEST(ModeKeeperTest, AReturnedDeviceGetsTheModeWithTheMotorAsLastAsked) {
    ModeKeeper keeper{};
    ResetModeKeeper(&keeper);
    uint8_t report[maxModeBytes] = {};
    uint32_t length = 0;
    EXPECT_FALSE(ModeAfterReturn(&keeper, report, &length));
    const Bytes wideMode = {0x12, 0x04, 0x33, 0x00};  // continuous, four bytes on the wire
    NoteCallerReport(&keeper, wideMode.data(), 4);
    const Bytes motorOn = {0x13, 0x01};
    NoteCallerReport(&keeper, motorOn.data(), 2);
    ASSERT_TRUE(ModeAfterReturn(&keeper, report, &length));
    EXPECT_EQ(Bytes(report, report + length), (Bytes{0x12, 0x05, 0x33, 0x00}));
}

// A restore called for while the motor ran goes out after the caller switched
// it off: it must not switch it on again.
TEST(ModeKeeperTest, ARestoreSentLaterCarriesTheMotorStateOfThatMoment) {
    ModeKeeper keeper{};
    ResetModeKeeper(&keeper);
    uint8_t report[maxModeBytes] = {};
    uint32_t length = 0;
    EXPECT_FALSE(CurrentMode(keeper, report, &length));
    NoteCallerReport(&keeper, mode31.data(), 3);
    const Bytes motorOn = {0x13, 0x01};
    NoteCallerReport(&keeper, motorOn.data(), 2);
    ASSERT_TRUE(ModeToRestore(&keeper, status.data(), 7, report, &length));
    const Bytes motorOff = {0x13, 0x00};
    NoteCallerReport(&keeper, motorOff.data(), 2);
    ASSERT_TRUE(CurrentMode(keeper, report, &length));
    EXPECT_EQ(Bytes(report, report + length), mode31);
}
}  // namespace
