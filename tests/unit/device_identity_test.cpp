#include "tiny_hid/device_identity.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {
DeviceIdentity Device(int32_t vendor, int32_t product, const char* unique) {
    DeviceIdentity identity{vendor, product, {}};
    strncpy(identity.unique, unique, sizeof(identity.unique) - 1);
    return identity;
}

const DeviceIdentity opened = Device(0x057E, 0x0306, "00:1f:32:aa:bb:cc");

TEST(DeviceIdentityTest, MatchesByIdsAndByTheSpellingOfTheUniqueId) {
    struct Row {
        DeviceIdentity wanted;
        DeviceIdentity found;
        DeviceMatch match;
    };
    const Row rows[] = {
        {opened, Device(0x057E, 0x0306, "00:1f:32:aa:bb:cc"), DeviceMatch::sameController},
        {opened, Device(0x057E, 0x0306, "001F32AABBCC"), DeviceMatch::sameController},
        {opened, Device(0x057E, 0x0306, "00:1f:32:aa:bb:cd"), DeviceMatch::sameIds},
        {opened, Device(0x057E, 0x0306, "00:1f:32:aa:bb"), DeviceMatch::sameIds},
        {opened, Device(0x057E, 0x0306, ""), DeviceMatch::sameIds},
        {opened, Device(0x057E, 0x0330, "00:1f:32:aa:bb:cc"), DeviceMatch::none},
        {opened, Device(0x057F, 0x0306, "00:1f:32:aa:bb:cc"), DeviceMatch::none},
        // A device the system gives no unique id is another device's equal.
        {Device(0x057E, 0x0306, ""), Device(0x057E, 0x0306, ""), DeviceMatch::sameIds},
        {Device(0x057E, 0x0306, "::"), Device(0x057E, 0x0306, "--"), DeviceMatch::sameIds},
        // Ids compare as the 16 bits the system keeps.
        {Device(0x1057E, 0x0306, ""), Device(0x057E, 0x0306, ""), DeviceMatch::sameIds},
    };
    for (size_t i = 0; i < sizeof(rows) / sizeof(rows[0]); ++i) {
        EXPECT_EQ(MatchDevice(rows[i].wanted, rows[i].found), rows[i].match) << "row " << i;
    }
}

// What a scan over the devices present, in their order, settles on.
int Choose(const DeviceIdentity& wanted, const std::vector<DeviceIdentity>& present, int* looked) {
    ScanChoice choice{};
    StartScan(&choice);
    *looked = 0;
    for (size_t i = 0; i < present.size() && !ScanSettled(choice, wanted); ++i) {
        ++*looked;
        ConsiderDevice(&choice, wanted, present[i], static_cast<int>(i));
    }
    return choice.index;
}

TEST(DeviceIdentityTest, AScanPrefersTheOpenedControllerThenTheFirstWithItsIds) {
    const DeviceIdentity other = Device(0x057E, 0x0306, "00:1f:32:00:00:01");
    const DeviceIdentity stranger = Device(0x046D, 0xC52B, "");
    int looked = 0;
    EXPECT_EQ(Choose(opened, {stranger, other, opened, other}, &looked), 2);
    EXPECT_EQ(looked, 3) << "the scan ends at the controller that was opened";
    EXPECT_EQ(Choose(opened, {stranger, other, Device(0x057E, 0x0306, "x")}, &looked), 1);
    EXPECT_EQ(looked, 3) << "it looks on for the opened one before it settles";
    EXPECT_EQ(Choose(opened, {stranger}, &looked), -1);
    const DeviceIdentity firstOpen = Device(0x057E, 0x0306, "");
    EXPECT_EQ(Choose(firstOpen, {stranger, other, opened}, &looked), 1);
    EXPECT_EQ(looked, 2) << "with nothing to prefer, the first with the ids will do";
}
}  // namespace
