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
    {"A", 0x00, 0x08, 0x10, 0, false},
    {"+", 0x10, 0x00, 0x30, 0, false},
    {"-", 0x00, 0x10, 0x10, 0, false},
    {"Home", 0x00, 0x80, -1, 0, false},
};
const LedBar pressBar = {0xF0, 0x00, 0x10, 0x30, 0x10, 0x00};

// Presses as a user makes them, each held 150 ms whatever the program does,
// through every level; and a 40 ms tap of - that starts just as a pulse
// switches the motor on, so that it ends before the pulse does.
constexpr int64_t userHoldUs = 150'000;
constexpr int64_t tapUs = 40'000;
constexpr PressStep userSteps[] = {
    {"A", 0x00, 0x08, 0x10, userHoldUs, false},     {"+", 0x10, 0x00, 0x30, userHoldUs, false},
    {"+", 0x10, 0x00, 0x70, userHoldUs, false},     {"+", 0x10, 0x00, 0xF0, userHoldUs, false},
    {"-", 0x00, 0x10, 0x70, userHoldUs, false},     {"- tap", 0x00, 0x10, 0x30, tapUs, true},
    {"A off", 0x00, 0x08, 0x00, userHoldUs, false}, {"Home", 0x00, 0x80, -1, 0, false},
};
const LedBar userBar = {0xF0, 0x00, 0x10, 0x30, 0x70, 0xF0, 0x70, 0x30, 0x00};
// Tells a library that hands out fresh input from one that reads hidraw's
// stale queue (about 6 s behind) by an order of magnitude; how fast it really
// is belongs to the benchmark.
constexpr int64_t pressLatencyLimitUs = 1'000'000;

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

// Each press's time from its first report to the LED report that shows it,
// as figures; a press slower than the limit fails the phase.
std::string CheckLatencies(const PressScript& script, int64_t limitUs) {
    std::string problem;
    for (size_t i = 0; i < script.stepCount; ++i) {
        if (script.steps[i].awaitedLeds < 0) {
            continue;
        }
        const double ms = static_cast<double>(script.latencyUs[i]) / 1000.0;
        printf("kernel-test: figure: press %-5s -> LED report 11 %02x after %7.1f ms\n",
               script.steps[i].name, static_cast<unsigned>(script.steps[i].awaitedLeds), ms);
        if (problem.empty() && script.latencyUs[i] > limitUs) {
            char text[120];
            snprintf(text, sizeof(text), "press %s took effect only after %.0f ms",
                     script.steps[i].name, ms);
            problem = text;
        }
    }
    fflush(stdout);
    return problem;
}

struct SessionPlan {
    RemoteBus bus;
    const char* expectedDriver;
    bool expectOpenClose;
    bool answersRequests;
    const PressStep* steps;
    size_t stepCount;
    const LedBar* bar;
    int64_t latencyLimitUs;  // 0: no limit, no figures
};

std::string PressSession(const SessionPlan& plan, const char* program) {
    const RemoteBus bus = plan.bus;
    ResetRemote(plan.answersRequests);
    const int remoteFd = CreateRemote(bus, remoteProduct);
    if (remoteFd < 0) {
        return "cannot create a uhid device";
    }
    SessionRecord record{};
    const std::string driver = AwaitBinding(remoteFd, &record);
    if (driver != plan.expectedDriver) {
        DestroyRemote(remoteFd);
        return "the device was bound by \"" + driver + "\", not " + plan.expectedDriver;
    }
    if (bus == RemoteBus::bluetooth) {
        AwaitQuiet(remoteFd, &record);
    }
    PressScript script{};
    StartScript(&script, plan.steps, plan.stepCount);
    RunSession(remoteFd, program, &script, &record);
    DestroyRemote(remoteFd);
    const int modeChanges = bus == RemoteBus::bluetooth ? SetAsideWiimoteReports(&record) : 0;
    std::string problem = CheckPressSession(record, plan.expectOpenClose, *plan.bar);
    if (plan.latencyLimitUs > 0) {
        const std::string slow = CheckLatencies(script, plan.latencyLimitUs);
        problem = problem.empty() ? slow : problem;
    }
    if (problem.empty() && plan.answersRequests && modeChanges == 0) {
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

constexpr size_t pressStepCount = sizeof(pressSteps) / sizeof(pressSteps[0]);
constexpr size_t userStepCount = sizeof(userSteps) / sizeof(userSteps[0]);
}  // namespace

std::string RunUsbPhase(const char* program) {
    return PressSession(
        {RemoteBus::usb, "hid-generic", true, false, pressSteps, pressStepCount, &pressBar, 0},
        program);
}

std::string RunStreamingPhase(const char* program) {
    return PressSession({RemoteBus::usb, "hid-generic", true, false, userSteps, userStepCount,
                         &userBar, pressLatencyLimitUs},
                        program);
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
    return PressSession(
        {RemoteBus::bluetooth, "wiimote", false, false, pressSteps, pressStepCount, &pressBar, 0},
        program);
}

// The controller's unasked status report mid-session makes hid-wiimote set
// mode 0x30 under the program, which must carry on with buttons only.
std::string RunAnsweringBluetoothPhase(const char* program) {
    return PressSession(
        {RemoteBus::bluetooth, "wiimote", false, true, pressSteps, pressStepCount, &pressBar, 0},
        program);
}
