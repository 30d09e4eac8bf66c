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
// A runner's HID stack (Wine's) opens a new node as soon as it sees it and
// shows it to programs a moment later.
constexpr int64_t stackSettleUs = 3'000'000;

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
        if (!driver.empty() && ProgramOpensDeviceItself()) {
            return driver;
        }
        if (!driver.empty() && record->opens > 0) {
            ListenToRemote(remoteFd, stackSettleUs, record);
            return driver;
        }
    }
    return {};
}

// hid-wiimote's own traffic: status requests (0x15), memory writes and reads
// (0x16, 0x17) and its reporting mode 0x30 (the program asks for 0x31).
// They are listed and taken out; anything else the kernel sends stays in and
// must fit the program's pattern.
// Gives how many times hid-wiimote set its mode while the program ran.
int SetAsideWiimoteReports(SessionRecord* record) {
    std::vector<ReceivedReport> kept;
    int requestsBefore = 0;
    int requestsDuring = 0;
    std::string modeChanges;
    int modeChangesDuring = 0;
    size_t firstProgramReport = record->firstProgramReport;
    for (size_t i = 0; i < record->reports.size(); ++i) {
        const ReceivedReport& report = record->reports[i];
        const uint8_t id = report.event.bytes[0];
        const bool before = i < record->firstProgramReport;
        if (report.event.length == 3 && id == 0x12 && report.event.bytes[2] == 0x30) {
            char at[32];
            snprintf(at, sizeof(at), " %+.0f ms",
                     static_cast<double>(report.atUs - record->programStartUs) / 1000.0);
            modeChanges += at;
            modeChangesDuring += before ? 0 : 1;
        } else if (id >= 0x15 && id <= 0x17) {
            ++(before ? requestsBefore : requestsDuring);
        } else {
            kept.push_back(report);
            continue;
        }
        if (before) {
            --firstProgramReport;
        }
    }
    record->firstProgramReport = firstProgramReport;
    record->reports = kept;
    printf(
        "kernel-test: hid-wiimote sent %d status and memory requests before the program "
        "and %d while it ran; mode 0x30 at%s (relative to the program's start)\n",
        requestsBefore, requestsDuring, modeChanges.empty() ? " no time" : modeChanges.c_str());
    return modeChangesDuring;
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
                         bool expectOpenClose, bool answersRequests) {
    ResetRemote(answersRequests);
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
    const int modeChanges = bus == RemoteBus::bluetooth ? SetAsideWiimoteReports(&record) : 0;
    std::string problem = CheckPressSession(record, expectOpenClose);
    printf("kernel-test: figure: reports at the device: %s\n",
           DescribeReportLengths(record).c_str());
    if (problem.empty() && answersRequests && modeChanges == 0) {
        problem = "hid-wiimote never set its mode while the program ran";
    }
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
    return PressSession(RemoteBus::usb, "hid-generic", program, ProgramOpensDeviceItself(), false);
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
    return PressSession(RemoteBus::bluetooth, "wiimote", program, false, false);
}

// The controller's unasked status report mid-session makes hid-wiimote set
// mode 0x30 under the program, which must carry on with buttons only.
std::string RunAnsweringBluetoothPhase(const char* program) {
    return PressSession(RemoteBus::bluetooth, "wiimote", program, false, true);
}
