#include <gtest/gtest.h>

#include <cstring>

#include "link/remote_link.h"
#include "recording_hid.h"

namespace {
// Each case starts from a fresh process's state: everything zeroed.
class RemoteLink : public testing::Test {
  protected:
    void SetUp() override {
        recordingHid = RecordingHid{};
        memset(outReport, 0, sizeof(outReport));
        memset(inReport, 0, sizeof(inReport));
        hidHandle = 0;
        for (auto* field : {&RemoteState.buttons1, &RemoteState.buttons2, &RemoteState.accelX,
                            &RemoteState.accelY, &RemoteState.accelZ}) {
            field->store(0);
        }
    }

    static void ExpectBuffer(const RecordedWrite& write, std::vector<uint8_t> head) {
        ASSERT_EQ(write.buffer.size(), 256u);
        for (size_t i = 0; i < 256; ++i) {
            const uint8_t expected = i < head.size() ? head[i] : 0;
            ASSERT_EQ(write.buffer[i], expected) << "byte " << i;
        }
    }

    static void Deliver(std::vector<uint8_t> report) {
        recordingHid.reads.push_back(report);
        PollRemote();
    }

    static std::vector<uint8_t> State() {
        return {RemoteState.buttons1.load(), RemoteState.buttons2.load(), RemoteState.accelX.load(),
                RemoteState.accelY.load(), RemoteState.accelZ.load()};
    }
};

TEST_F(RemoteLink, OpensTheControllerIdsAndRemembersTheHandle) {
    recordingHid.openResult = 7;
    EXPECT_TRUE(OpenRemote());
    EXPECT_EQ(recordingHid.openedVendor, 0x057E);
    EXPECT_EQ(recordingHid.openedProduct, 0x0306);
    EXPECT_EQ(hidHandle, 7);
    SetLeds(0x10);
    PollRemote();
    CloseRemote();
    EXPECT_EQ(recordingHid.writes.at(0).handle, 7);
    EXPECT_EQ(recordingHid.writes.at(0).count, &bytesWritten);
    EXPECT_EQ(recordingHid.readHandle, 7);
    EXPECT_EQ(recordingHid.readBuffer, inReport);
    EXPECT_EQ(recordingHid.readCount, &bytesRead);
    EXPECT_EQ(recordingHid.closed, std::vector<int32_t>{7});
}

TEST_F(RemoteLink, OpenFailsOnMinusOne) {
    recordingHid.openResult = -1;
    EXPECT_FALSE(OpenRemote());
    EXPECT_EQ(hidHandle, -1);
}

TEST_F(RemoteLink, ReportsBeforeTheModeReportCarryOnlyTheirOwnBytes) {
    SetLeds(0x10);
    SetRumble(1);
    ASSERT_EQ(recordingHid.writes.size(), 2u);
    ExpectBuffer(recordingHid.writes[0], {0x11, 0x10});
    ExpectBuffer(recordingHid.writes[1], {0x13, 0x01});
}

TEST_F(RemoteLink, TheModeByteStaysInEveryLaterReport) {
    SetReportingMode(0x00, 0x31);
    SetLeds(0xF0);
    SetRumble(1);
    SetRumble(0);
    SetLeds(0x00);
    ASSERT_EQ(recordingHid.writes.size(), 5u);
    ExpectBuffer(recordingHid.writes[0], {0x12, 0x00, 0x31});
    ExpectBuffer(recordingHid.writes[1], {0x11, 0xF0, 0x31});
    ExpectBuffer(recordingHid.writes[2], {0x13, 0x01, 0x31});
    ExpectBuffer(recordingHid.writes[3], {0x13, 0x00, 0x31});
    ExpectBuffer(recordingHid.writes[4], {0x11, 0x00, 0x31});
}

TEST_F(RemoteLink, AllLedBarsAndBothMotorStates) {
    SetReportingMode(0x00, 0x31);
    for (uint8_t bits : {0x00, 0x10, 0x30, 0x70, 0xF0}) {
        SetLeds(bits);
        ExpectBuffer(recordingHid.writes.back(), {0x11, bits, 0x31});
    }
}

TEST_F(RemoteLink, DecodesButtonsAndAcceleration) {
    Deliver({0x31, 0x10, 0x88, 0x81, 0x82, 0x83});
    EXPECT_EQ(State(), (std::vector<uint8_t>{0x10, 0x88, 0x81, 0x82, 0x83}));
    // A buttons-only report keeps the acceleration of the last 0x31 report.
    Deliver({0x30, 0x00, 0x08});
    EXPECT_EQ(State(), (std::vector<uint8_t>{0x00, 0x08, 0x81, 0x82, 0x83}));
    // A 0x31 report with X byte 0 sets it to 0.
    Deliver({0x31, 0x00, 0x00, 0x00, 0x82, 0x83});
    EXPECT_EQ(RemoteState.accelX.load(), 0);
}

TEST_F(RemoteLink, OtherReportIdsChangeNothing) {
    Deliver({0x31, 0x10, 0x08, 0x81, 0x82, 0x83});
    for (uint8_t id : {0x00, 0x20, 0x21, 0x32, 0x33, 0x3D, 0xFF}) {
        Deliver({id, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
        EXPECT_EQ(State(), (std::vector<uint8_t>{0x10, 0x08, 0x81, 0x82, 0x83})) << int(id);
    }
}

TEST_F(RemoteLink, AFailedReadAppliesThePreviousReportAgain) {
    Deliver({0x31, 0x00, 0x80, 0x81, 0x82, 0x83});
    RemoteState.accelX.store(0);
    RemoteState.buttons2.store(0);
    Deliver({});  // the read fails and leaves inReport as it was
    EXPECT_EQ(State(), (std::vector<uint8_t>{0x00, 0x80, 0x81, 0x82, 0x83}));
}
}  // namespace
