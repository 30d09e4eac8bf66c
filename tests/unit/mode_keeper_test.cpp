#include "tiny_hid/mode_keeper.h"

#include <gtest/gtest.h>

#include <vector>

namespace {
using Bytes = std::vector<uint8_t>;
using Reports = std::vector<Bytes>;

enum class Kind { sent, arrived, silent, returned };

// One event at atMs: the caller sent report, report arrived, nothing arrived,
// or the device came back; after it the library must send sends, in order.
struct Event {
    Kind kind;
    int64_t atMs;
    Bytes report;
    Reports sends;
};

Event Sent(Bytes report) {
    return {Kind::sent, 0, std::move(report), {}};
}
Event Arrived(int64_t atMs, Bytes report, Reports sends = {}) {
    return {Kind::arrived, atMs, std::move(report), std::move(sends)};
}
Event Silent(int64_t atMs, Reports sends = {}) {
    return {Kind::silent, atMs, {}, std::move(sends)};
}
Event Returned(int64_t atMs, Reports sends) {
    return {Kind::returned, atMs, {}, std::move(sends)};
}

const Bytes mode31 = {0x12, 0x00, 0x31};
const Bytes mode31MotorOn = {0x12, 0x01, 0x31};
const Bytes motorOn = {0x13, 0x01};
const Bytes motorOff = {0x13, 0x00};
const Bytes status = {0x20, 0x00, 0x00, 0x02, 0x00, 0x00, 0xC8};
const Bytes data31 = {0x31, 0x00, 0x00, 0x80, 0x80, 0x98};
const Bytes data30 = {0x30, 0x00, 0x00};
const Bytes memoryData = {0x21, 0x00, 0x00, 0xF8, 0x00, 0xFA};
const Bytes writeAcknowledged = {0x22, 0x00, 0x00, 0x16, 0x00};
const Bytes motorAcknowledged = {0x22, 0x00, 0x00, 0x13, 0x00};

struct Case {
    const char* name;
    std::vector<Event> events;
};

const Case cases[] = {
    {"no mode set yet: nothing to restore", {Arrived(0, status), Arrived(5, data30)}},
    {"a status report in the probe window",
     {Sent(mode31), Arrived(0, status, {mode31}), Arrived(10, data31), Arrived(20, data31)}},
    {"a status report mid-pulse: the mode with the motor bit, then the motor",
     {Sent(mode31), Sent({0x11, 0x10}), Sent(motorOn), Arrived(0, status, {mode31MotorOn, motorOn}),
      Sent(motorOff), Arrived(10, data31)}},
    {"every status report restores, however close",
     {Sent(mode31), Arrived(0, status, {mode31}), Arrived(1, status, {mode31}),
      Arrived(2, data31)}},
    {"the kernel's mode after a status report: once more at once, then at most every 200 ms",
     {Sent(mode31), Arrived(0, status, {mode31}), Arrived(5, data30, {mode31}), Arrived(50, data30),
      Arrived(204, data30), Arrived(205, data30, {mode31}), Arrived(215, data31),
      Arrived(300, data30)}},
    {"data of another mode without a status report wins the mode back",
     {Sent(mode31), Arrived(0, data30, {mode31}), Arrived(10, data30)}},
    {"answers to another writer's requests while the motor runs: the motor again",
     {Sent(mode31), Sent(motorOn), Arrived(0, memoryData, {motorOn}),
      Arrived(1, writeAcknowledged, {motorOn}), Arrived(2, motorAcknowledged), Arrived(3, data31),
      Sent(motorOff), Arrived(4, memoryData), Arrived(5, writeAcknowledged)}},
    {"a silent controller is left alone until it has reported",
     {Sent(mode31), Silent(1000), Arrived(2000, data31), Silent(2199), Silent(2200, {mode31}),
      Silent(2399), Silent(2400, {mode31}), Arrived(2410, data31), Silent(2609),
      Silent(2610, {mode31})}},
    {"silence with the motor on: the mode and the motor",
     {Sent(mode31), Arrived(0, data31), Sent(motorOn), Silent(200, {mode31MotorOn, motorOn})}},
    {"a returned device: the mode with the motor as last asked, silence timed from there",
     {Sent(mode31), Arrived(0, data31), Sent(motorOn), Sent(motorOff), Returned(5000, {mode31}),
      Silent(5199), Silent(5200, {mode31})}},
};

// What the keeper called for, as the library would send it now.
Reports Sends(const ModeKeeper& keeper, uint8_t writes) {
    Reports sends;
    uint8_t report[maxModeBytes] = {};
    uint32_t length = 0;
    if ((writes & keepMode) != 0 && CurrentMode(keeper, report, &length)) {
        sends.emplace_back(report, report + length);
    }
    if ((writes & keepMotor) != 0 && CurrentMotor(keeper, report, &length)) {
        sends.emplace_back(report, report + length);
    }
    return sends;
}

TEST(ModeKeeperTest, KeepsTheCallersModeAndMotorAgainstOtherWriters) {
    for (const Case& c : cases) {
        ModeKeeper keeper{};
        ResetModeKeeper(&keeper);
        for (size_t i = 0; i < c.events.size(); ++i) {
            const Event& event = c.events[i];
            uint8_t writes = keepNothing;
            switch (event.kind) {
                case Kind::sent:
                    NoteCallerReport(&keeper, event.report.data(),
                                     static_cast<uint32_t>(event.report.size()));
                    continue;
                case Kind::arrived:
                    writes = KeeperWritesForArrival(&keeper, event.report.data(),
                                                    static_cast<uint32_t>(event.report.size()),
                                                    event.atMs);
                    break;
                case Kind::silent:
                    writes = KeeperWritesForSilence(&keeper, event.atMs);
                    break;
                case Kind::returned:
                    writes = KeeperWritesAfterReturn(&keeper, event.atMs);
                    break;
            }
            EXPECT_EQ(Sends(keeper, writes), event.sends) << c.name << ", event " << i;
        }
    }
}

// A decision taken while the motor ran is sent after the caller switched it
// off: it must not switch it on again.
TEST(ModeKeeperTest, WhatIsSentLaterCarriesTheMotorStateOfThatMoment) {
    ModeKeeper keeper{};
    ResetModeKeeper(&keeper);
    uint8_t report[maxModeBytes] = {};
    uint32_t length = 0;
    EXPECT_FALSE(CurrentMode(keeper, report, &length));
    const Bytes wideMode = {0x12, 0x04, 0x33, 0x00};  // continuous, four bytes on the wire
    NoteCallerReport(&keeper, wideMode.data(), 4);
    NoteCallerReport(&keeper, motorOn.data(), 2);
    const uint8_t writes = KeeperWritesForArrival(&keeper, status.data(), 7, 0);
    EXPECT_EQ(writes, keepMode | keepMotor);
    ASSERT_TRUE(CurrentMode(keeper, report, &length));
    EXPECT_EQ(Bytes(report, report + length), (Bytes{0x12, 0x05, 0x33, 0x00}));
    NoteCallerReport(&keeper, motorOff.data(), 2);
    EXPECT_FALSE(CurrentMotor(keeper, report, &length));
    ASSERT_TRUE(CurrentMode(keeper, report, &length));
    EXPECT_EQ(Bytes(report, report + length), wideMode);
}
}  // namespace
