// The doctor's Bluetooth verdicts on Windows' three facts of a remembered
// device, one row per combination: the line, its mark, and the first fix;
// a service that cannot be asked, told apart by why; and which controller it
// names among several.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "doctor/facts.h"
#include "doctor/report.h"
#include "doctor/verdicts.h"

namespace {
constexpr char address[] = "00:1F:32:AA:BB:CC";

struct Row {
    bool remembered;
    bool connected;
    bool authenticated;
    bool remoteElsewhere;  // another RVL-CNT-01 is there as a HID device
    const char* line;
    const char* fix;  // the first fix line, or empty
};

const Row rows[] = {
    {true, true, true, false,
     "ok    Nintendo RVL-CNT-01 (00:1F:32:AA:BB:CC): RVL-CNT-01, remembered, connected, "
     "authenticated",
     ""},
    {true, true, false, false,
     "ok    Nintendo RVL-CNT-01 (00:1F:32:AA:BB:CC): RVL-CNT-01, remembered, connected, not "
     "authenticated",
     ""},
    {false, true, true, false,
     "note  Nintendo RVL-CNT-01 (00:1F:32:AA:BB:CC): RVL-CNT-01, not remembered, connected, "
     "authenticated: pair it, or it is forgotten once it drops out",
     ""},
    {true, false, true, false,
     "FAIL  Nintendo RVL-CNT-01 (00:1F:32:AA:BB:CC): RVL-CNT-01, remembered, not connected, "
     "authenticated",
     "      Fix: press a button on the controller to wake it. If it does not connect within"},
    {true, false, false, false,
     "FAIL  Nintendo RVL-CNT-01 (00:1F:32:AA:BB:CC): RVL-CNT-01, remembered, not connected, not "
     "authenticated",
     "      Fix: press a button on the controller to wake it. If it does not connect within"},
    {false, false, false, false,
     "FAIL  Nintendo RVL-CNT-01 (00:1F:32:AA:BB:CC): RVL-CNT-01, not remembered, not connected, "
     "not authenticated",
     "      Fix: Windows has seen this controller but not paired with it:"},
    // Beside a controller that is there, a remembered one that is away is
    // worth a note, not a failure.
    {true, false, true, true,
     "note  Nintendo RVL-CNT-01 (00:1F:32:AA:BB:CC): RVL-CNT-01, remembered, not connected, "
     "authenticated",
     ""},
};

std::string Judged(const Row& row) {
    static DoctorFacts facts;
    facts = DoctorFacts{};
    facts.system = SystemKind::windows;
    facts.bluetooth.service = ServiceState::reachable;
    facts.bluetooth.deviceCount = 1;
    BluetoothDeviceFacts& device = facts.bluetooth.devices[0];
    CopyText(device.name, sizeof(device.name), "Nintendo RVL-CNT-01");
    CopyText(device.address, sizeof(device.address), address);
    device.product = remoteProduct;
    device.remembered = row.remembered ? Known::yes : Known::no;
    device.connected = row.connected ? Known::yes : Known::no;
    device.authenticated = row.authenticated ? Known::yes : Known::no;
    if (row.remoteElsewhere) {
        facts.kernel.listed = true;
        facts.kernel.nodeCount = 1;
        facts.kernel.nodes[0].product = remoteProduct;
    }
    testing::internal::CaptureStdout();
    StartReport(false);
    JudgeBluetooth(facts);
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(DoctorVerdicts, WindowsBluetoothStates) {
    for (const Row& row : rows) {
        const std::string out = Judged(row);
        SCOPED_TRACE(out);
        EXPECT_EQ(out.rfind("ok    Bluetooth: Windows lists the devices it knows\n", 0), 0u);
        EXPECT_NE(out.find(std::string(row.line) + "\n"), std::string::npos);
        const size_t fix = out.find("      Fix:");
        if (row.fix[0] == '\0') {
            EXPECT_EQ(fix, std::string::npos);
        } else {
            EXPECT_EQ(out.find(std::string(row.fix) + "\n"), fix);
        }
    }
}

// With no Nintendo device at all, the fix is the pairing itself, through the
// window that works.
TEST(DoctorVerdicts, WindowsWithoutController) {
    static DoctorFacts facts;
    facts = DoctorFacts{};
    facts.system = SystemKind::windows;
    facts.bluetooth.service = ServiceState::reachable;
    testing::internal::CaptureStdout();
    StartReport(false);
    JudgeBluetooth(facts);
    fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("FAIL  Controller: Windows knows no Wii Remote\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("          control printers\n"), std::string::npos) << out;
    EXPECT_NE(out.find("leave the PIN empty and choose Next."), std::string::npos) << out;
    EXPECT_EQ(out.find("bluetoothctl"), std::string::npos) << out;
}

// A Bluetooth service that cannot be asked: the line says which of the ways
// it is missing, and the fix under the missing controller starts what is
// there and installs only what is not.
struct ServiceRow {
    SystemKind system;
    ServiceState service;
    Known installed;
    const char* why;
    const char* line;
    const char* commands[3];  // the fix's commands before the pairing, in order
};

const ServiceRow serviceRows[] = {
    {SystemKind::bluezHidraw,
     ServiceState::absent,
     Known::yes,
     "The name org.bluez was not provided by any .service files",
     "note  Bluetooth: BlueZ is installed but not running (The name org.bluez was not provided "
     "by any .service files)",
     {"sudo systemctl start bluetooth   # it starts once an adapter is there"}},
    {SystemKind::bluezHidraw,
     ServiceState::noBus,
     Known::yes,
     "Connection refused",
     "note  Bluetooth: no system bus (D-Bus) to ask BlueZ on (Connection refused)",
     {"sudo systemctl start dbus        # the system bus BlueZ answers on",
      "sudo systemctl start bluetooth   # it starts once an adapter is there"}},
    {SystemKind::windows,
     ServiceState::absent,
     Known::unknown,
     "Windows finds no Bluetooth radio",
     "note  Bluetooth: Windows finds no Bluetooth radio",
     {"control printers"}},
};

TEST(DoctorVerdicts, ServiceThatCannotBeAsked) {
    for (const ServiceRow& row : serviceRows) {
        static DoctorFacts facts;
        facts = DoctorFacts{};
        facts.system = row.system;
        facts.bluetooth.service = row.service;
        facts.bluetooth.installed = row.installed;
        CopyText(facts.bluetooth.why, sizeof(facts.bluetooth.why), row.why);
        facts.kernel.listed = true;
        testing::internal::CaptureStdout();
        StartReport(false);
        JudgeBluetooth(facts);
        JudgeKernel(facts);
        fflush(stdout);
        const std::string out = testing::internal::GetCapturedStdout();
        SCOPED_TRACE(out);
        EXPECT_EQ(out.rfind(std::string(row.line) + "\n", 0), 0u);
        EXPECT_EQ(out.find("apt install"), std::string::npos);
        size_t at = 0;
        for (const char* command : row.commands) {
            if (command != nullptr) {
                at = out.find("          " + std::string(command) + "\n", at);
                EXPECT_NE(at, std::string::npos) << command;
            }
        }
    }
}

// A -TR beside two controllers blocks nothing, and the last line names the
// controller the library took, not the first one listed.
TEST(DoctorVerdicts, SeveralControllersBesideATr) {
    static DoctorFacts facts;
    facts = DoctorFacts{};
    facts.system = SystemKind::bluezHidraw;
    facts.kernel.listed = true;
    facts.kernel.nodeCount = 3;
    const int32_t products[] = {remotePlusProduct, remoteProduct, remoteProduct};
    for (int i = 0; i < 3; ++i) {
        NodeFacts& node = facts.kernel.nodes[i];
        snprintf(node.node, sizeof(node.node), "/dev/hidraw%d", i);
        snprintf(node.address, sizeof(node.address), "00:1f:32:00:00:0%d", i);
        CopyText(node.name, sizeof(node.name), "Nintendo RVL-CNT-01");
        node.product = products[i];
        node.bus = Bus::bluetooth;
    }
    facts.talk = TalkFacts{true, true, "/dev/hidraw2", true, 4.0, true, 0xC0, 0, ""};
    testing::internal::CaptureStdout();
    StartReport(false);
    JudgeKernel(facts);
    JudgeTalk(facts);
    const bool usable = Conclude(facts);
    fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(usable) << out;
    EXPECT_EQ(out.find("FAIL"), std::string::npos) << out;
    EXPECT_EQ(out.find("Fix:"), std::string::npos) << out;
    EXPECT_EQ(
        out.rfind("note  /dev/hidraw0: RVL-CNT-01-TR (Wii Remote Plus) on Bluetooth, \"Nintendo "
                  "RVL-CNT-01\", 00:1f:32:00:00:00, no driver: Quivertap does not drive it\n",
                  0),
        0u)
        << out;
    EXPECT_NE(out.find("note  Talking to it: of 2 controllers, Quivertap takes /dev/hidraw2\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Quivertap will find and use Nintendo RVL-CNT-01, 00:1f:32:00:00:02, "
                       "/dev/hidraw2.\n"),
              std::string::npos)
        << out;
}
}  // namespace
