#include "tiny_hid/report_descriptor.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

namespace {
using Bytes = std::vector<uint8_t>;

// Output item: report ID, size in bits, count.
Bytes Output(uint8_t id, uint8_t size, uint8_t count) {
    return {0x85, id, 0x75, size, 0x95, count, 0x09, 0x01, 0x91, 0x02};
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// The controller's outputs as it declares them, with an input and a feature
// report in between that must not count.
const Bytes controller = Join({
    {0x05, 0x01, 0x09, 0x05, 0xA1, 0x01},
    Output(0x10, 8, 1),
    Output(0x11, 8, 1),
    Output(0x12, 8, 2),
    Output(0x13, 8, 1),
    {0x85, 0x31, 0x95, 0x05, 0x09, 0x01, 0x81, 0x02},
    Output(0x16, 8, 21),
    {0x85, 0x20, 0x95, 0x06, 0x09, 0x01, 0xB1, 0x02},
    {0xC0},
});

// Parses from a heap block of exactly the descriptor's size, so that a read
// past its end is caught by the address sanitizer.
bool Parse(const Bytes& descriptor, OutputReportLengths* lengths) {
    auto exact = std::make_unique<uint8_t[]>(descriptor.size() + (descriptor.empty() ? 1 : 0));
    std::copy(descriptor.begin(), descriptor.end(), exact.get());
    return ParseOutputReportLengths(exact.get(), descriptor.size(), lengths);
}

bool DeclaresNothing(const OutputReportLengths& lengths) {
    for (uint32_t bytes : lengths.bytes) {
        if (bytes != 0) {
            return false;
        }
    }
    return true;
}

TEST(ReportDescriptor, ControllerReportsGoOutAtTheirDeclaredLength) {
    OutputReportLengths lengths;
    ASSERT_TRUE(Parse(controller, &lengths));
    EXPECT_EQ(SendLength(lengths, 0x11), 2u);
    EXPECT_EQ(SendLength(lengths, 0x12), 3u);
    EXPECT_EQ(SendLength(lengths, 0x13), 2u);
    EXPECT_EQ(SendLength(lengths, 0x10), 2u);
    EXPECT_EQ(SendLength(lengths, 0x16), 22u);
    // Input and feature reports, and undeclared IDs, are not sendable.
    EXPECT_EQ(SendLength(lengths, 0x31), 0u);
    EXPECT_EQ(SendLength(lengths, 0x20), 0u);
    EXPECT_EQ(SendLength(lengths, 0x14), 0u);
    EXPECT_EQ(SendLength(lengths, 0x00), 0u);
}

TEST(ReportDescriptor, ItemsOfOneReportAddUpAndRoundToBytes) {
    OutputReportLengths lengths;
    // Two 4-bit fields and one 1-bit field: 9 bits, 2 bytes, plus the ID byte.
    ASSERT_TRUE(Parse(Join({Output(0x11, 4, 2), {0x75, 0x01, 0x95, 0x01, 0x91, 0x02}}), &lengths));
    EXPECT_EQ(lengths.bytes[0x11], 3u);
}

TEST(ReportDescriptor, WithoutReportIdsTheLeadingZeroCounts) {
    OutputReportLengths lengths;
    ASSERT_TRUE(Parse({0x75, 0x08, 0x95, 0x08, 0x91, 0x02}, &lengths));
    EXPECT_EQ(SendLength(lengths, 0x00), 9u);
}

TEST(ReportDescriptor, PushAndPopRestoreSizeCountAndId) {
    OutputReportLengths lengths;
    const Bytes descriptor = Join({
        {0x85, 0x11, 0x75, 0x08, 0x95, 0x01},
        {0xA4, 0x85, 0x12, 0x95, 0x04, 0x91, 0x02, 0xB4},  // push, report 0x12 x4, pop
        {0x91, 0x02},                                      // back on report 0x11 x1
    });
    ASSERT_TRUE(Parse(descriptor, &lengths));
    EXPECT_EQ(lengths.bytes[0x12], 5u);
    EXPECT_EQ(lengths.bytes[0x11], 2u);
}

TEST(ReportDescriptor, LongItemsAreSkipped) {
    OutputReportLengths lengths;
    ASSERT_TRUE(Parse(Join({{0xFE, 0x03, 0x10, 0x91, 0x91, 0x91}, Output(0x13, 8, 1)}), &lengths));
    EXPECT_EQ(lengths.bytes[0x13], 2u);
}

TEST(ReportDescriptor, EveryTruncationIsRejectedOrParsedWithinBounds) {
    for (size_t size = 0; size < controller.size(); ++size) {
        const Bytes cut(controller.begin(), controller.begin() + static_cast<long>(size));
        OutputReportLengths lengths;
        if (!Parse(cut, &lengths)) {
            EXPECT_TRUE(DeclaresNothing(lengths)) << size;
        }
    }
    // Cut inside an item's data: the item is incomplete, so the whole is bad.
    OutputReportLengths lengths;
    EXPECT_FALSE(Parse({0x85, 0x11, 0x75}, &lengths));
    EXPECT_FALSE(Parse({0x85, 0x11, 0x97, 0x01, 0x00}, &lengths));  // 4-byte count, 2 present
    EXPECT_FALSE(Parse({0xFE, 0x05, 0x10, 0x00}, &lengths));        // long item past the end
    EXPECT_FALSE(Parse({0xFE, 0x00}, &lengths));
}

TEST(ReportDescriptor, HostileDescriptorsAreRejected) {
    OutputReportLengths lengths;
    // Size and count at their maximum: the product must not wrap around.
    EXPECT_FALSE(
        Parse({0x85, 0x11, 0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x91, 0x02},
              &lengths));
    EXPECT_TRUE(DeclaresNothing(lengths));
    // Many modest items that only add up to too much.
    Bytes piling = {0x85, 0x11, 0x75, 0x08, 0x96, 0x00, 0x10};  // 4096 bytes per item
    for (int i = 0; i < 200; ++i) {
        piling.insert(piling.end(), {0x91, 0x02});
    }
    EXPECT_FALSE(Parse(piling, &lengths));
    // Report ID 0 and IDs beyond a byte are not report IDs.
    EXPECT_FALSE(Parse({0x85, 0x00, 0x91, 0x02}, &lengths));
    EXPECT_FALSE(Parse({0x86, 0x00, 0x01, 0x91, 0x02}, &lengths));
    // An unbalanced pop and a push stack without end.
    EXPECT_FALSE(Parse({0xB4}, &lengths));
    EXPECT_FALSE(Parse(Bytes(100, 0xA4), &lengths));
}

TEST(ReportDescriptor, ReportsLongerThanTheCallersBufferAreNotSent) {
    OutputReportLengths lengths;
    ASSERT_TRUE(Parse({0x85, 0x11, 0x75, 0x08, 0x96, 0xFF, 0x00, 0x91, 0x02}, &lengths));  // 255
    EXPECT_EQ(SendLength(lengths, 0x11), 256u);
    ASSERT_TRUE(Parse({0x85, 0x11, 0x75, 0x08, 0x96, 0x00, 0x01, 0x91, 0x02}, &lengths));  // 256
    EXPECT_EQ(lengths.bytes[0x11], 257u);
    EXPECT_EQ(SendLength(lengths, 0x11), 0u);
}

TEST(ReportDescriptor, RandomBytesNeverReadOutOfBounds) {
    std::mt19937 random(20061211);
    for (int round = 0; round < 20000; ++round) {
        Bytes noise(random() % 64);
        for (uint8_t& byte : noise) {
            byte = static_cast<uint8_t>(random());
        }
        OutputReportLengths lengths;
        if (!Parse(noise, &lengths)) {
            ASSERT_TRUE(DeclaresNothing(lengths));
        }
    }
}
}  // namespace
