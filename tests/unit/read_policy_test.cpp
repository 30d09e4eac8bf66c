#include "tiny_hid/read_policy.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {
using Bytes = std::vector<uint8_t>;

// A streaming controller at rest: the motion bytes change, the input does not.
Bytes Motion(uint8_t buttons1, uint8_t buttons2, uint8_t jitter) {
    return {0x31, buttons1, buttons2, 0x80, static_cast<uint8_t>(0x80 + jitter), 0x98};
}
const Bytes status = {0x20, 0x00, 0x00, 0x02, 0x00, 0x00, 0xC8};
const Bytes acknowledgement = {0x22, 0x00, 0x00, 0x12, 0x00};

// One pass of the caller: what arrived since the last read, then the report
// the read must hand out (empty: the read would wait).
struct Pass {
    std::vector<Bytes> arrivals;
    Bytes handedOut;
};

struct Case {
    const char* name;
    std::vector<Pass> passes;
};

std::vector<Bytes> Stream(uint8_t buttons1, uint8_t buttons2, int count) {
    std::vector<Bytes> reports;
    for (int i = 0; i < count; ++i) {
        reports.push_back(Motion(buttons1, buttons2, static_cast<uint8_t>(i % 2)));
    }
    return reports;
}

std::vector<Bytes> Join(std::initializer_list<std::vector<Bytes>> parts) {
    std::vector<Bytes> all;
    for (const std::vector<Bytes>& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

const Case cases[] = {
    {"motion only: the newest report each pass, then a wait",
     {{Stream(0, 0, 10), Motion(0, 0, 0)},  // the first report is a change
      {Stream(0, 0, 10), Motion(0, 0, 1)},
      {{}, {}}}},
    {"a press and its release inside one pass are both handed out, in order",
     {{Stream(0, 0, 1), Motion(0, 0, 0)},
      {Join({Stream(0, 0, 3), Stream(0, 0x08, 4), Stream(0, 0, 3)}), Motion(0, 0x08, 0)},
      {{}, Motion(0, 0, 0)},
      {{}, {}}}},
    {"motion that came behind a change, before the read that took it, is not news",
     {{Stream(0, 0, 1), Motion(0, 0, 0)},
      {Stream(0x10, 0, 6), Motion(0x10, 0, 0)},
      {{}, {}},
      {Stream(0x10, 0, 2), Motion(0x10, 0, 1)}}},
    {"a burst of presses is taken one per pass, none merged",
     {{Stream(0, 0, 1), Motion(0, 0, 0)},
      {Join({Stream(0, 0x08, 1), Stream(0x10, 0, 1), Stream(0, 0x10, 1), Stream(0, 0x80, 1)}),
       Motion(0, 0x08, 0)},
      {{}, Motion(0x10, 0, 0)},
      {{}, Motion(0, 0x10, 0)},
      {{}, Motion(0, 0x80, 0)},
      {{}, {}}}},
    {"non-data reports change the input by their ID and are handed out in order",
     {{Stream(0, 0, 1), Motion(0, 0, 0)},
      {Join({Stream(0, 0, 2), {status}, Stream(0, 0, 2), {acknowledgement}, Stream(0, 0, 2)}),
       status},
      {{}, Motion(0, 0, 0)},
      {{}, acknowledgement},
      {{}, Motion(0, 0, 0)},
      {{}, {}}}},
    {"after a silent gap the next report is handed out at once",
     {{Stream(0, 0, 1), Motion(0, 0, 0)}, {{}, {}}, {{}, {}}, {Stream(0, 0, 1), Motion(0, 0, 0)}}},
};

class ReadPolicyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        policy = std::make_unique<ReadPolicy>();
        ResetReadPolicy(policy.get());
    }
    Bytes Read() {
        uint8_t buffer[heldReportBytes];
        uint32_t length = 0;
        if (!TakeReport(policy.get(), buffer, &length)) {
            return {};
        }
        return Bytes(buffer, buffer + length);
    }
    void Arrive(const Bytes& report) {
        NoteArrival(policy.get(), report.data(), static_cast<uint32_t>(report.size()));
    }
    std::unique_ptr<ReadPolicy> policy;
};

TEST_F(ReadPolicyTest, HandsOutChangesFirstThenTheNewestThenNothing) {
    for (const Case& c : cases) {
        SetUp();
        for (size_t pass = 0; pass < c.passes.size(); ++pass) {
            for (const Bytes& report : c.passes[pass].arrivals) {
                Arrive(report);
            }
            EXPECT_EQ(Read(), c.passes[pass].handedOut) << c.name << ", pass " << pass;
        }
    }
}

TEST_F(ReadPolicyTest, AFullRingKeepsTheEarliestChangesAndEndsOnTheLatestInput) {
    const int presses = static_cast<int>(heldChangeCount) + 10;
    for (int i = 0; i < presses; ++i) {
        Arrive(Motion(0, (i % 2) != 0 ? 0x08 : 0x00, 0));
    }
    for (int i = 0; i + 1 < static_cast<int>(heldChangeCount); ++i) {
        EXPECT_EQ(Read(), Motion(0, (i % 2) != 0 ? 0x08 : 0x00, 0)) << "change " << i;
    }
    EXPECT_EQ(Read(), Motion(0, ((presses - 1) % 2) != 0 ? 0x08 : 0x00, 0));
    EXPECT_EQ(Read(), Bytes{});
}

TEST_F(ReadPolicyTest, ShortEmptyAndOversizedReports) {
    Arrive({});
    EXPECT_EQ(Read(), Bytes{}) << "an empty report is not a report";
    Arrive({0x30});  // no button bytes: read as buttons up
    Arrive({0x30, 0x00, 0x00});
    EXPECT_EQ(Read(), Bytes{0x30});
    EXPECT_EQ(Read(), Bytes{}) << "the same input as the short report, before the read";
    Bytes huge(heldReportBytes + 40, 0x5A);
    huge[0] = 0x21;
    Arrive(huge);
    EXPECT_EQ(Read(), (Bytes(huge.begin(), huge.begin() + heldReportBytes)));
}
}  // namespace
