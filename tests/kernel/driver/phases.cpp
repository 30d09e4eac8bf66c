#include "phases.h"

#include <cstdio>
#include <vector>

#include "clock.h"
#include "hid_sysfs.h"
#include "press_script.h"
#include "session.h"
#include "session_checks.h"
#include "uhid_remote.h"

namespace {
constexpr int64_t bindLimitUs = 10'000'000;
constexpr int64_t listenStepUs = 10'000;
constexpr uint16_t strangerProduct = 0x0330;
constexpr size_t shownReports = 40;
constexpr int64_t quietUs = 2'000'000;
constexpr int64_t settleLimitUs = 15'000'000;

constexpr PressStep pressSteps[] = {
    {"A", 0x00, 0x08, 0x10},
    {"+", 0x10, 0x00, 0x30},
    {"-", 0x00, 0x10, 0x10},
    {"Home", 0x00, 0x80, -1},
};

// Listens to the device until the kernel has bound it; gives the driver.
std::string AwaitBinding(int remoteFd, SessionRecord* record) {
    const int64_t endUs = NowUs() + bindLimitUs;
    while (NowUs() < endUs) {
        ListenToRemote(remoteFd, listenStepUs, record);
        const std::string driver = BoundDeviceDriver();
        if (!driver.empty()) {
            return driver;
        }
    }
    return {};
}

// hid-wiimote's status requests (0x15) and memory writes and reads (0x16,
// 0x17): report IDs the program never uses. They are counted and taken out;
// anything else the kernel sends stays in and must fit the program's pattern.
void SetAsideWiimoteRequests(SessionRecord* record) {
    std::vector<ReceivedReport> kept;
    int before = 0;
    int during = 0;
    for (size_t i = 0; i < record->reports.size(); ++i) {
        const uint8_t id = record->reports[i].event.bytes[0];
        if (id >= 0x15 && id <= 0x17) {
            ++(i < record->firstProgramReport ? before : during);
        } else {
            kept.push_back(record->reports[i]);
        }
    }
    record->firstProgramReport -= static_cast<size_t>(before);
    record->reports = kept;
    printf(
        "kernel-test: hid-wiimote sent %d status and memory requests before the program "
        "and %d while it ran\n",
        before, during);
}

// hid-wiimote asks the controller for its status and extensions and waits a
// second for each answer that never comes; the program starts once it is
// done, as it would on a desktop where the controller was paired earlier.
void AwaitQuiet(int remoteFd, SessionRecord* record) {
    const int64_t endUs = NowUs() + settleLimitUs;
    size_t seen = record->reports.size();
    int64_t quietSinceUs = NowUs();
    while (NowUs() < endUs && NowUs() - quietSinceUs < quietUs) {
        ListenToRemote(remoteFd, listenStepUs, record);
        if (record->reports.size() != seen) {
            seen = record->reports.size();
            quietSinceUs = NowUs();
        }
    }
}

void Show(const char* title, const std::string& text) {
    printf("%s\n%s", title, text.c_str());
    fflush(stdout);
}

std::string PressSession(RemoteBus bus, const char* expectedDriver, const char* program,
                         bool expectOpenClose) {
    const int remoteFd = CreateRemote(bus, remoteProduct);
    if (remoteFd < 0) {
        return "cannot create a uhid device";
    }
    SessionRecord record{};
    const std::string driver = AwaitBinding(remoteFd, &record);
    if (driver != expectedDriver) {
        DestroyRemote(remoteFd);
        return "the device was bound by \"" + driver + "\", not " + expectedDriver;
    }
    if (bus == RemoteBus::bluetooth) {
        AwaitQuiet(remoteFd, &record);
    }
    PressScript script{};
    StartScript(&script, pressSteps, sizeof(pressSteps) / sizeof(pressSteps[0]));
    RunSession(remoteFd, program, &script, &record);
    DestroyRemote(remoteFd);
    if (bus == RemoteBus::bluetooth) {
        SetAsideWiimoteRequests(&record);
    }
    const std::string problem = CheckPressSession(record, expectOpenClose);
    if (!problem.empty()) {
        Show("reports before the program started:",
             DescribeReports(record, 0, record.firstProgramReport));
        Show("the program's first reports:",
             DescribeReports(record, record.firstProgramReport, shownReports));
    }
    return problem;
}
}  // namespace

std::string RunUsbPhase(const char* program) {
    return PressSession(RemoteBus::usb, "hid-generic", program, true);
}

std::string RunAbsentPhase(const char* program) {
    if (!WaitForNoHidraw(bindLimitUs)) {
        return "a hidraw node is left from before";
    }
    SessionRecord alone{};
    RunSession(-1, program, nullptr, &alone);
    std::string problem = CheckNotFound(alone);
    if (!problem.empty()) {
        return "with no device: " + problem;
    }
    const int remoteFd = CreateRemote(RemoteBus::usb, strangerProduct);
    if (remoteFd < 0) {
        return "cannot create a uhid device";
    }
    SessionRecord stranger{};
    if (AwaitBinding(remoteFd, &stranger).empty()) {
        DestroyRemote(remoteFd);
        return "the device with other ids got no hidraw node";
    }
    RunSession(remoteFd, program, nullptr, &stranger);
    DestroyRemote(remoteFd);
    problem = CheckNotFound(stranger);
    return problem.empty() ? problem : "with a device of other ids: " + problem;
}

std::string RunBluetoothPhase(const char* program) {
    return PressSession(RemoteBus::bluetooth, "wiimote", program, false);
}
