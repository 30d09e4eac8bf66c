#include "phases.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "clock.h"
#include "hid_sysfs.h"
#include "press_script.h"
#include "processor_load.h"
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
// shows it to programs a moment later, once it has installed it: the guest is
// busy meanwhile, for half a second to a second here. The program starts once
// the processor has been quiet for a while.
constexpr int64_t stackSettleMinUs = 1'000'000;
constexpr int64_t stackSettleLimitUs = 20'000'000;
constexpr int64_t quietStepUs = 250'000;
constexpr int quietStepsWanted = 2;
constexpr double quietBusyShare = 0.1;
// Presses held as a user would, their effect not awaited: a device may take
// no LED report.
constexpr PressStep timedSteps[] = {
    {"A", 0x00, 0x08, -1, 150'000, false},
    {"+", 0x10, 0x00, -1, 150'000, false},
    {"Home", 0x00, 0x80, -1, 0, false},
};
// Under a flood of reports a press still takes effect within a pass or so.
constexpr int64_t floodUs = 3'000'000;
constexpr int64_t floodLatencyLimitUs = 250'000;
// How long it may take to let go of the last phase's device.
constexpr int64_t releaseLimitUs = 30'000'000;

constexpr PressStep pressSteps[] = {
    {"A", 0x00, 0x08, 0x10, 0, false},
    {"+", 0x10, 0x00, 0x30, 0, false},
    {"-", 0x00, 0x10, 0x10, 0, false},
    {"Home", 0x00, 0x80, -1, 0, false},
};
const LedBar pressBar = {0xF0, 0x00, 0x10, 0x30, 0x10, 0x00};
// On Bluetooth, level 2 is kept for 5 s without a press, across hid-wiimote's
// status requests and its mode changes: the pulses must keep running.
constexpr int64_t unpressedUs = 5'000'000;
constexpr PressStep bluetoothSteps[] = {
    {"A", 0x00, 0x08, 0x10, 0, false},
    {"+", 0x10, 0x00, 0x30, 0, false, unpressedUs},
    {"-", 0x00, 0x10, 0x10, 0, false},
    {"Home", 0x00, 0x80, -1, 0, false},
};
// The longest gap between two pulses that tells running from stalled pulses.
constexpr int64_t pulseGapLimitUs = 1'000'000;
// An on-phase that one of hid-wiimote's reports cuts with at least this much
// of it left must get the motor back before it ends.
constexpr int64_t interruptedLeftUs = 10'000;

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
// The controller goes away for 3 s mid-pulse at level 1, or at level 0, and
// comes back as a new device; or it stays away and the program gets Ctrl-C.
constexpr int64_t awayUs = 3'000'000;
constexpr PressStep dropoutSteps[] = {
    {"A", 0x00, 0x08, 0x10, 0, false},
    {"away", 0x00, 0x00, -1, awayUs, true, 0, StepAction::vanish},
    {"+", 0x10, 0x00, 0x30, 0, false},
    {"Home", 0x00, 0x80, -1, 0, false},
};
constexpr PressStep idleDropoutSteps[] = {
    {"A", 0x00, 0x08, 0x10, 0, false},
    {"A off", 0x00, 0x08, 0x00, 0, false},
    {"away", 0x00, 0x00, -1, awayUs, false, 0, StepAction::vanish},
    {"A", 0x00, 0x08, 0x10, 0, false},
    {"Home", 0x00, 0x80, -1, 0, false},
};
// On Bluetooth the controller goes mid-pulse at level 2 and comes back under
// hid-wiimote, which sets its own mode as it starts: the pulses must come back
// without a press, and run for 5 s before the next one.
constexpr PressStep bluetoothDropoutSteps[] = {
    {"A", 0x00, 0x08, 0x10, 0, false},
    {"+", 0x10, 0x00, 0x30, 0, false},
    {"away", 0x00, 0x00, -1, awayUs, true, unpressedUs, StepAction::vanish},
    {"-", 0x00, 0x10, 0x10, 0, false},
    {"Home", 0x00, 0x80, -1, 0, false},
};
constexpr PressStep stoppedDropoutSteps[] = {
    {"A", 0x00, 0x08, 0x10, 0, false},
    {"away", 0x00, 0x00, -1, 0, true, 0, StepAction::vanishAndStop},
};
// At level 0 a program waiting for its controller to return stays near idle.
constexpr double idleShareLimit = 0.05;
// The clean stop's usual time: the motor and LEDs off, the terminal restored.
constexpr int64_t stopLimitUs = 1'000'000;
// Ctrl-C's status: by SIGINT natively (130 in a shell); a Windows program
// ends with STATUS_CONTROL_C_EXIT, of which Wine passes on the low byte.
int StatusAfterCtrlC() {
    return ProgramOpensDeviceItself() ? 130 : 0x3A;
}

// Tells a library that hands out fresh input from one that reads hidraw's
// stale queue (about 6 s behind) by an order of magnitude; how fast it really
// is belongs to the benchmark.
constexpr int64_t pressLatencyLimitUs = 1'000'000;

void AwaitSettledStack(int remoteFd, SessionRecord* record) {
    const int64_t startUs = NowUs();
    ListenToRemote(remoteFd, stackSettleMinUs, record);
    ProcessorTimes last = ReadProcessorTimes();
    int quietSteps = 0;
    while (quietSteps < quietStepsWanted && NowUs() - startUs < stackSettleLimitUs) {
        ListenToRemote(remoteFd, quietStepUs, record);
        const ProcessorTimes now = ReadProcessorTimes();
        quietSteps = BusyShare(last, now) < quietBusyShare ? quietSteps + 1 : 0;
        last = now;
    }
    printf("kernel-test: figure: the HID stack had settled %.1f ms after it opened the device%s\n",
           static_cast<double>(NowUs() - startUs) / 1000.0,
           quietSteps < quietStepsWanted ? " (not quiet yet: started anyway)" : "");
}

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
            AwaitSettledStack(remoteFd, record);
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
    RemoteHistory& history = record->history;
    size_t firstReportBack = history.firstReportBack;
    // A returned controller hears from the library first (its mode report);
    // an LED report before that is hid-wiimote's, binding the new device.
    bool libraryBack = false;
    for (size_t i = 0; i < record->reports.size(); ++i) {
        const ReceivedReport& report = record->reports[i];
        const uint8_t id = report.event.bytes[0];
        const bool before = i < record->firstProgramReport;
        const bool back = history.backAtUs != 0 && i >= history.firstReportBack;
        libraryBack = libraryBack || (back && id == 0x12 && report.event.bytes[2] == 0x31);
        if (back && !libraryBack && id == 0x11) {
            ++requestsDuring;
        } else if (report.event.length == 3 && id == 0x12 && report.event.bytes[2] == 0x30) {
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
        if (history.backAtUs != 0 && i < history.firstReportBack) {
            --firstReportBack;
        }
    }
    record->firstProgramReport = firstProgramReport;
    history.firstReportBack = firstReportBack;
    record->reports = kept;
    printf(
        "kernel-test: hid-wiimote sent %d status and memory requests before the program "
        "and %d while it ran; mode 0x30 at%s (relative to the program's start)\n",
        requestsBefore, requestsDuring, modeChanges.empty() ? " no time" : modeChanges.c_str());
    return modeChangesDuring;
}

void Show(const char* title, const std::string& text) {
    printf("%s\n%s", title, text.c_str());
    fflush(stdout);
}

bool Is13(const RemoteEvent& event, uint8_t value) {
    return event.length == 2 && event.bytes[0] == 0x13 && event.bytes[1] == value;
}

bool IsWiimoteReport(const RemoteEvent& event) {
    const uint8_t id = event.bytes[0];
    return (id >= 0x15 && id <= 0x17) ||
           (id == 0x12 && event.length == 3 && event.bytes[2] == 0x30);
}

bool SetsMotor(const RemoteEvent& event) {
    return (event.bytes[0] == 0x12 || event.bytes[0] == 0x13) && (event.bytes[1] & 0x01) != 0;
}

double Median(std::vector<int64_t> values) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? static_cast<double>(values[middle])
                                  : static_cast<double>(values[middle - 1] + values[middle]) / 2.0;
}

// hid-wiimote puts its own motor bit, 0, into every report it sends: each one
// inside an on-phase switches the motor off. The library must switch it on
// again before the phase ends when at least interruptedLeftUs of it is left,
// and never after the phase's own 13 00. Gives the figures (how many such
// reports, the motor-off time each caused) and what went wrong.
std::string CheckInterruptedPulses(const SessionRecord& record) {
    // Under a runner's HID stack (Wine's) every report, the controller's
    // answer and the program's own 13 00 alike, costs the emulated processor
    // about 5 ms on its way: a burst of them can hold up the 13 00, so that
    // the pulse runs long and the answers arrive only after it. There the
    // figures are shown and only the rule against a late 13 01 is judged.
    const bool judged = ProgramOpensDeviceItself();
    const std::vector<ReceivedReport>& reports = record.reports;
    const RemoteHistory& history = record.history;
    std::vector<int64_t> offTimesUs;
    int64_t motorUs = 0;
    std::string problem;
    size_t phaseStart = 0;   // the 13 01 that began the open on-phase; 0: none open
    bool passEnded = false;  // the program's 13 00 came and no LED report since
    for (size_t i = record.firstProgramReport; i < reports.size(); ++i) {
        const RemoteEvent& event = reports[i].event;
        if (history.backAtUs != 0 && i == history.firstReportBack) {
            phaseStart = 0;  // the 13 00 of the pulse cut by the absence never arrived
            passEnded = false;
        }
        if (event.bytes[0] == 0x11) {
            passEnded = false;
        } else if (Is13(event, 0x00)) {
            if (phaseStart != 0) {
                motorUs += reports[i].atUs - reports[phaseStart].atUs;
            }
            phaseStart = 0;
            passEnded = true;
        } else if (SetsMotor(event) && passEnded && problem.empty()) {
            problem = "the motor was switched on again after its pass's 13 00";
        } else if (Is13(event, 0x01) && phaseStart == 0) {
            phaseStart = i;
        } else if (IsWiimoteReport(event) && phaseStart != 0) {
            size_t end = i + 1;
            size_t back = 0;  // the first report after it that sets the motor again
            bool motorReport = false;
            for (; end < reports.size() && !Is13(reports[end].event, 0x00); ++end) {
                if (back == 0 && SetsMotor(reports[end].event)) {
                    back = end;
                }
                motorReport = motorReport || Is13(reports[end].event, 0x01);
            }
            if (end == reports.size()) {
                continue;  // the run ended, or the controller went, inside this phase
            }
            const int64_t leftUs = reports[end].atUs - reports[i].atUs;
            offTimesUs.push_back((back != 0 ? reports[back].atUs : reports[end].atUs) -
                                 reports[i].atUs);
            if (leftUs >= interruptedLeftUs && !motorReport && problem.empty() && judged) {
                char text[160];
                snprintf(text, sizeof(text),
                         "hid-wiimote's report at %+.1f ms cut a pulse with %.1f ms left and no "
                         "13 01 followed before its 13 00",
                         static_cast<double>(reports[i].atUs - record.programStartUs) / 1000.0,
                         static_cast<double>(leftUs) / 1000.0);
                problem = text;
                Show("the pulse it cut:",
                     DescribeReports(record, phaseStart, end + 2 - phaseStart));
            }
        }
    }
    printf(
        "kernel-test: figure: hid-wiimote's reports inside on-phases: %zu in %.1f s of motor; the "
        "motor off after each until switched on again: median %.1f ms, max %.1f ms\n",
        offTimesUs.size(), static_cast<double>(motorUs) / 1e6, Median(offTimesUs) / 1000.0,
        offTimesUs.empty()
            ? 0.0
            : static_cast<double>(*std::max_element(offTimesUs.begin(), offTimesUs.end())) /
                  1000.0);
    return problem;
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

// After the controller's own status report it sends nothing until its mode
// is set again: the library must set it, carrying the motor state of that
// moment, and the pulses must go on within a pass or so.
std::string CheckModeRestored(const SessionRecord& record) {
    const int64_t statusUs = record.history.statusAtUs;
    const ReceivedReport* restored = nullptr;
    const ReceivedReport* nextPulse = nullptr;
    bool motorOn = false;  // as the program last set it before the mode came again
    for (size_t i = record.firstProgramReport; i < record.reports.size(); ++i) {
        const ReceivedReport& report = record.reports[i];
        const uint8_t id = report.event.bytes[0];
        // A controller that came back was told the motor state by the mode
        // report the library sent it first.
        const bool told = id == 0x13 || (id == 0x12 && report.atUs < statusUs);
        if (restored == nullptr && told) {
            motorOn = (report.event.bytes[1] & 0x01) != 0;
        } else if (restored == nullptr && id == 0x12 && report.atUs >= statusUs) {
            restored = &report;
        } else if (restored != nullptr && id == 0x13 && report.event.bytes[1] == 0x01) {
            nextPulse = &report;
            break;
        }
    }
    if (restored == nullptr || restored->event.bytes[2] != 0x31 ||
        (restored->event.bytes[1] & 0x01) != (motorOn ? 1 : 0)) {
        return "after the status report the mode was not set to 31 with the motor bit of that "
               "moment";
    }
    if (nextPulse == nullptr) {
        return "no pulse after the mode was set again";
    }
    const int64_t resumeUs = nextPulse->atUs - statusUs;
    printf(
        "kernel-test: figure: status report -> mode 12 %02x 31 set again after %.1f ms, the "
        "pulses on at the next 13 01 after %.1f ms\n",
        restored->event.bytes[1], static_cast<double>(restored->atUs - statusUs) / 1000.0,
        static_cast<double>(resumeUs) / 1000.0);
    return resumeUs <= pulseGapLimitUs ? std::string()
                                       : "the pulses stopped after the status report";
}

// The longest time between two switch-ons while the motor is meant to run,
// the absence of a controller that went away aside; and after it came back,
// the time to the first switch-on, which no press may be needed for.
std::string CheckPulseGaps(const SessionRecord& record) {
    int64_t lastOnUs = 0;
    int64_t longestUs = 0;
    bool running = false;
    const RemoteHistory& history = record.history;
    int64_t resumedUs = -1;
    for (size_t i = record.firstProgramReport; i < record.reports.size(); ++i) {
        const RemoteEvent& event = record.reports[i].event;
        if (history.backAtUs != 0 && i == history.firstReportBack) {
            lastOnUs = 0;
            resumedUs = 0;
        }
        if (resumedUs == 0 && Is13(event, 0x01)) {
            resumedUs = record.reports[i].atUs - history.backAtUs;
        }
        if (event.bytes[0] == 0x11) {
            running = event.bytes[1] != 0x00;
            lastOnUs = running ? lastOnUs : 0;
        } else if (event.bytes[0] == 0x13 && event.bytes[1] == 0x01) {
            const int64_t atUs = record.reports[i].atUs;
            longestUs = lastOnUs != 0 && atUs - lastOnUs > longestUs ? atUs - lastOnUs : longestUs;
            lastOnUs = atUs;
        }
    }
    printf("kernel-test: figure: longest gap between two 13 01 reports: %.1f ms\n",
           static_cast<double>(longestUs) / 1000.0);
    if (resumedUs > 0) {
        printf("kernel-test: figure: the pulses came back %.1f ms after the controller did\n",
               static_cast<double>(resumedUs) / 1000.0);
    }
    if (resumedUs == 0 || resumedUs > pulseGapLimitUs) {
        return "the pulses did not come back with the controller";
    }
    return longestUs <= pulseGapLimitUs ? std::string() : "the pulses stalled";
}

enum class Verdict : uint8_t { presses, dropout, stoppedWhileAway, cannotOpen, survives };

// A device that claims the controller's ids and misbehaves: the program must
// end as usual (Home, or its notice when the probe fails) and send nothing
// the device's descriptor does not declare, nor longer than it declares.
std::string CheckSurvived(const SessionRecord& record) {
    if (!record.failure.empty()) {
        return record.failure;
    }
    if (!WIFEXITED(record.run.status) || WEXITSTATUS(record.run.status) != 0) {
        char text[80];
        snprintf(text, sizeof(text), "the program ended with wait status 0x%x, not status 0",
                 static_cast<unsigned>(record.run.status));
        return text;
    }
    for (size_t i = record.firstProgramReport; i < record.reports.size(); ++i) {
        const RemoteEvent& event = record.reports[i].event;
        const uint32_t declared = DeclaredOutputBytes(event.bytes[0]);
        if (declared == 0 || event.length > declared) {
            char text[120];
            snprintf(text, sizeof(text),
                     "the program sent report %02x of %u bytes; the descriptor declares %u",
                     event.bytes[0], event.length, declared);
            return text;
        }
    }
    const std::string& err = record.run.err;
    printf("kernel-test: figure: the program %s\n",
           record.run.out.find("Home button") != std::string::npos
               ? "showed its usage and ended as asked"
           : err == "Wii-Remote cannot open.\n" ? "said \"Wii-Remote cannot open.\""
                                                : "ended before its usage");
    return err.empty() || err == "Wii-Remote cannot open.\n"
               ? std::string()
               : "the program wrote to standard error: " + err;
}

struct SessionPlan {
    RemoteBus bus;
    const char* expectedDriver;
    bool expectOpenClose;
    RemoteBehaviour behaviour;
    const PressStep* steps;
    size_t stepCount;
    const LedBar* bar;
    int64_t latencyLimitUs;  // 0: no limit, no figures
    Verdict verdict = Verdict::presses;
    double awayShareLimit = 1.0;
};

std::string Judge(const SessionPlan& plan, const PressScript& script, const SessionRecord& record,
                  int modeChanges) {
    std::string problem;
    switch (plan.verdict) {
        case Verdict::presses:
            problem = CheckPressSession(record, plan.expectOpenClose, *plan.bar);
            break;
        case Verdict::dropout:
            problem = CheckDropoutSession(record, 0);
            break;
        case Verdict::stoppedWhileAway: {
            problem = CheckDropoutSession(record, StatusAfterCtrlC());
            const int64_t stopUs = record.programEndUs - record.history.stopSentAtUs;
            printf("kernel-test: figure: Ctrl-C while away -> the program ended after %.1f ms\n",
                   static_cast<double>(stopUs) / 1000.0);
            if (problem.empty() && (record.history.stopSentAtUs == 0 || stopUs > stopLimitUs)) {
                problem = "Ctrl-C while the controller was away did not end the run in time";
            }
            break;
        }
        case Verdict::cannotOpen:
            return CheckCannotOpen(record);
        case Verdict::survives:
            problem = CheckSurvived(record);
            break;
    }
    if (problem.empty() && record.history.cpuWhileGone > plan.awayShareLimit) {
        problem = "the program was not idle while its controller was away";
    }
    if (problem.empty() && plan.latencyLimitUs > 0) {
        problem = CheckLatencies(script, plan.latencyLimitUs);
    }
    if (problem.empty() && plan.bus == RemoteBus::bluetooth) {
        problem = CheckPulseGaps(record);
    }
    if (problem.empty() && record.history.statusAtUs != 0) {
        problem = CheckModeRestored(record);
    }
    if (problem.empty() && plan.behaviour.answersRequests && modeChanges == 0) {
        problem = "hid-wiimote never set its mode while the program ran";
    }
    return problem;
}

// The last phase's device, gone from the kernel, may still be held by the
// runner's HID stack (Wine's) while it takes it out; how long is a figure.
bool AwaitRelease() {
    const int64_t waitedUs = WaitForRemovedNodesReleased(releaseLimitUs);
    if (waitedUs > 0) {
        printf("kernel-test: figure: the last device was let go of after %.1f ms\n",
               static_cast<double>(waitedUs) / 1000.0);
    }
    return waitedUs >= 0;
}

// Every phase plays a controller of its own: a HID stack that names devices
// after their address (Wine's) must never take one phase's device for the
// last phase's, still on its way out.
uint8_t NextUnit() {
    static uint8_t unit = 0;
    return ++unit;
}

std::string PressSession(const SessionPlan& plan, const char* program) {
    if (!AwaitRelease()) {
        return "the last phase's device is still held open";
    }
    const RemoteBus bus = plan.bus;
    ResetRemote(plan.behaviour);
    SessionRecord record{};
    record.unit = NextUnit();
    int remoteFd = CreateRemote(bus, remoteProduct, record.unit);
    if (remoteFd < 0) {
        return "cannot create a uhid device";
    }
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
    RunSession(&remoteFd, bus, program, &script, &record);
    if (remoteFd >= 0) {
        DestroyRemote(remoteFd);
    }
    if (plan.verdict != Verdict::cannotOpen) {
        PrintProbeMargin(record.probe);
    }
    const std::string interrupted =
        bus == RemoteBus::bluetooth ? CheckInterruptedPulses(record) : std::string();
    const int modeChanges = bus == RemoteBus::bluetooth ? SetAsideWiimoteReports(&record) : 0;
    std::string problem = Judge(plan, script, record, modeChanges);
    if (problem.empty()) {
        problem = interrupted;
    }
    printf("kernel-test: figure: reports at the device: %s\n",
           DescribeReportLengths(record).c_str());
    if (!problem.empty()) {
        Show("reports before the program started:",
             DescribeReports(record, 0, record.firstProgramReport));
        Show("the program's first reports:",
             DescribeReports(record, record.firstProgramReport, shownReports));
    }
    fflush(stdout);
    return problem;
}

template <size_t count>
constexpr size_t CountOf(const PressStep (&)[count]) {
    return count;
}

}  // namespace

// The controller also reports its status unasked at level 2, with an
// extension plugged in, and then falls silent until its mode is set again.
std::string RunUsbPhase(const char* program) {
    return PressSession({RemoteBus::usb,
                         "hid-generic",
                         ProgramOpensDeviceItself(),
                         {false, true, true, false},
                         pressSteps,
                         CountOf(pressSteps),
                         &pressBar,
                         0},
                        program);
}

std::string RunStreamingPhase(const char* program) {
    return PressSession({RemoteBus::usb,
                         "hid-generic",
                         ProgramOpensDeviceItself(),
                         {},
                         userSteps,
                         CountOf(userSteps),
                         &userBar,
                         pressLatencyLimitUs},
                        program);
}

std::string RunDropoutPhase(const char* program) {
    return PressSession({RemoteBus::usb,
                         "hid-generic",
                         false,
                         {},
                         dropoutSteps,
                         CountOf(dropoutSteps),
                         nullptr,
                         pressLatencyLimitUs,
                         Verdict::dropout},
                        program);
}

std::string RunIdleDropoutPhase(const char* program) {
    return PressSession({RemoteBus::usb,
                         "hid-generic",
                         false,
                         {},
                         idleDropoutSteps,
                         CountOf(idleDropoutSteps),
                         nullptr,
                         pressLatencyLimitUs,
                         Verdict::dropout,
                         idleShareLimit},
                        program);
}

std::string RunStoppedDropoutPhase(const char* program) {
    return PressSession({RemoteBus::usb,
                         "hid-generic",
                         false,
                         {},
                         stoppedDropoutSteps,
                         CountOf(stoppedDropoutSteps),
                         nullptr,
                         0,
                         Verdict::stoppedWhileAway},
                        program);
}

std::string RunProbeDropoutPhase(const char* program) {
    return PressSession({RemoteBus::usb,
                         "hid-generic",
                         false,
                         {false, false, false, true},
                         nullptr,
                         0,
                         nullptr,
                         0,
                         Verdict::cannotOpen},
                        program);
}

std::string RunAbsentPhase(const char* program) {
    if (!AwaitRelease() || !WaitForNoHidraw(bindLimitUs)) {
        return "a hidraw node is left from before";
    }
    SessionRecord alone{};
    int noRemote = -1;
    RunSession(&noRemote, RemoteBus::usb, program, nullptr, &alone);
    std::string problem = CheckNotFound(alone);
    if (!problem.empty()) {
        return "with no device: " + problem;
    }
    ResetRemote({});
    SessionRecord stranger{};
    stranger.unit = NextUnit();
    int remoteFd = CreateRemote(RemoteBus::usb, strangerProduct, stranger.unit);
    if (remoteFd < 0) {
        return "cannot create a uhid device";
    }
    if (AwaitBinding(remoteFd, &stranger).empty()) {
        DestroyRemote(remoteFd);
        return "the device with other ids got no hidraw node";
    }
    RunSession(&remoteFd, RemoteBus::usb, program, nullptr, &stranger);
    DestroyRemote(remoteFd);
    // Natively nothing else in the guest opens a hidraw node; a runner's HID
    // stack (Wine's) opens every one itself.
    if (ProgramOpensDeviceItself() && stranger.opens > 0) {
        return "the program opened the device of other ids";
    }
    problem = CheckNotFound(stranger);
    return problem.empty() ? problem : "with a device of other ids: " + problem;
}

// The controller goes away mid-pulse and comes back under hid-wiimote.
std::string RunBluetoothPhase(const char* program) {
    return PressSession({RemoteBus::bluetooth,
                         "wiimote",
                         false,
                         {true, false, false, false},
                         bluetoothDropoutSteps,
                         CountOf(bluetoothDropoutSteps),
                         nullptr,
                         0,
                         Verdict::dropout},
                        program);
}

// The controller answers hid-wiimote, whose answers to its status reports
// set mode 0x30 under the program: the library must win the mode back.
std::string RunAnsweringBluetoothPhase(const char* program) {
    return PressSession({RemoteBus::bluetooth,
                         "wiimote",
                         false,
                         {true, false, false, false},
                         bluetoothSteps,
                         CountOf(bluetoothSteps),
                         &pressBar,
                         0},
                        program);
}

// The Windows library under the probe's forced end, many times over: the
// check tool beside the program (tests/windows/reader_end_check.cpp) runs in
// the program's place, ends a reading thread inside ReadReport round after
// round and opens the controller again each time. The controller keeps
// reporting and sends a status report after every fourth motion report, so
// that some reader is ended while it hands a mode report to be sent again.
namespace {
constexpr char readerEndTool[] = "reader_end_check.exe";
constexpr uint32_t readerEndStatusEvery = 4;

std::string ToolBeside(const char* program, const char* tool) {
    const std::string path = program;
    const size_t slash = path.rfind('/');
    return (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + tool;
}

// The tool's own last line: its summary, or what went wrong.
std::string LastLine(const std::string& text) {
    const size_t end = text.find_last_not_of("\r\n");
    if (end == std::string::npos) {
        return {};
    }
    const size_t start = text.find_last_of('\n', end);
    const size_t from = start == std::string::npos ? 0 : start + 1;
    return text.substr(from, end + 1 - from);
}
}  // namespace

std::string RunReaderEndPhase(const char* program) {
    if (ProgramOpensDeviceItself()) {
        return "the check tool is a Windows program: this phase runs under Wine only";
    }
    if (!AwaitRelease()) {
        return "the last phase's device is still held open";
    }
    RemoteBehaviour behaviour{};
    behaviour.statusEveryReports = readerEndStatusEvery;
    ResetRemote(behaviour);
    SessionRecord record{};
    record.unit = NextUnit();
    int remoteFd = CreateRemote(RemoteBus::usb, remoteProduct, record.unit);
    if (remoteFd < 0) {
        return "cannot create a uhid device";
    }
    if (AwaitBinding(remoteFd, &record) != "hid-generic") {
        DestroyRemote(remoteFd);
        return "the device was not bound by hid-generic";
    }
    const std::string tool = ToolBeside(program, readerEndTool);
    RunSession(&remoteFd, RemoteBus::usb, tool.c_str(), nullptr, &record);
    if (remoteFd >= 0) {
        DestroyRemote(remoteFd);
    }
    const std::string summary = LastLine(record.run.out);
    printf("kernel-test: figure: %s (%.1f s in all)\n", summary.c_str(),
           static_cast<double>(record.programEndUs - record.programStartUs) / 1e6);
    fflush(stdout);
    if (!record.failure.empty()) {
        return record.failure;
    }
    if (!WIFEXITED(record.run.status) || WEXITSTATUS(record.run.status) != 0) {
        return "the check failed: " + (summary.empty() ? record.run.err : summary);
    }
    return record.run.err.empty() ? std::string()
                                  : "the check wrote to standard error: " + record.run.err;
}

namespace {
std::string MisbehavingSession(const RemoteBehaviour& behaviour, const PressStep* steps,
                               size_t stepCount, int64_t latencyLimitUs, const char* program) {
    return PressSession({RemoteBus::usb, "hid-generic", false, behaviour, steps, stepCount, nullptr,
                         latencyLimitUs, Verdict::survives},
                        program);
}

RemoteBehaviour Misbehaving(RemoteDescriptor descriptor, MotionShape shape, int64_t flood) {
    RemoteBehaviour behaviour{};
    behaviour.descriptor = descriptor;
    behaviour.motionShape = shape;
    behaviour.floodUs = flood;
    return behaviour;
}
}  // namespace

// One row per device: its name, how it misbehaves and how it is pressed.
struct OddDevice {
    const char* name;
    RemoteDescriptor descriptor;
    MotionShape shape;
    int64_t floodUs;
    bool userPresses;  // presses awaited on the LED bar, latencies limited
};

constexpr OddDevice oddDevices[] = {
    {"odd-no-motor", RemoteDescriptor::noMotor, MotionShape::usual, 0, false},
    {"odd-wide-outputs", RemoteDescriptor::wideOutputs, MotionShape::usual, 0, false},
    {"odd-deep-nesting", RemoteDescriptor::deepNesting, MotionShape::usual, 0, false},
    {"odd-no-report-ids", RemoteDescriptor::noReportIds, MotionShape::usual, 0, false},
    {"odd-short-reports", RemoteDescriptor::standard, MotionShape::idOnly, 0, false},
    {"odd-long-reports", RemoteDescriptor::longMotion, MotionShape::longest, 0, false},
    {"odd-flood", RemoteDescriptor::standard, MotionShape::usual, floodUs, true},
};

bool RunOddPhase(const char* name, const char* program, std::string* problem) {
    for (const OddDevice& device : oddDevices) {
        if (strcmp(name, device.name) == 0) {
            const RemoteBehaviour behaviour =
                Misbehaving(device.descriptor, device.shape, device.floodUs);
            *problem =
                device.userPresses
                    ? MisbehavingSession(behaviour, userSteps, CountOf(userSteps),
                                         floodLatencyLimitUs, program)
                    : MisbehavingSession(behaviour, timedSteps, CountOf(timedSteps), 0, program);
            return true;
        }
    }
    return false;
}

// quivertap-doctor, beside the program, against one device per row: what it
// prints and its status, and that it sends the controller nothing but the
// mode report and the status request (the library may send the mode again
// after the status report), so the motor and the LEDs stay as they were.
namespace {
constexpr char doctorTool[] = "quivertap-doctor";
constexpr char windowsDoctorTool[] = "quivertap-doctor.exe";
// The guest's /etc/passwd names this user "tester".
constexpr uid_t unprivilegedUser = 1000;
constexpr int64_t silentDoctorLimitUs = 5'000'000;

enum class DoctorSetup : uint8_t {
    reporting,     // a controller that reports, with a low battery of 0x60
    plusOnly,      // an RVL-CNT-01-TR, and nothing else
    unprivileged,  // the doctor runs as a user who may not open the node
    silent,        // a controller that sends nothing
    held,          // another process holds the node open
    absent,        // no controller at all
};

// Lines the doctor must print; {node} stands for the device's node, {pid}
// for the driver's process id, {address} for the controller's address. A row
// with lines for Windows runs under Wine too, with those lines.
struct DoctorRow {
    const char* name;
    DoctorSetup setup;
    int status;
    const char* expected[4];
    const char* expectedOnWindows[4];
};

constexpr DoctorRow doctorRows[] = {
    {"doctor-reporting",
     DoctorSetup::reporting,
     0,
     {"ok    Access: {node} opens for reading and writing",
      "note  Status: battery 37 % (0x60), nearly empty, no extension plugged in",
      "Quivertap will find and use Quivertap kernel test remote, {address}, {node}."},
     {"skip  Bluetooth: not checked under Wine",
      "ok    Output reports: go by WriteFile at their exact length",
      "note  Status: battery 37 % (0x60), nearly empty, no extension plugged in",
      "Quivertap will find and use "}},
    {"doctor-plus",
     DoctorSetup::plusOnly,
     1,
     {"FAIL  {node}: RVL-CNT-01-TR (Wii Remote Plus) on USB",
      "Fix: use an original Wii Remote, RVL-CNT-01",
      "Quivertap will not find and use a controller: {node}: RVL-CNT-01-TR"},
     {": RVL-CNT-01-TR (Wii Remote Plus) on USB", "Fix: use an original Wii Remote, RVL-CNT-01",
      "FAIL  HID: no RVL-CNT-01 among the HID devices",
      "Quivertap will not find and use a controller: "}},
    {"doctor-unreadable",
     DoctorSetup::unprivileged,
     1,
     {"FAIL  Access: {node} does not open for reading and writing (Permission denied)",
      "owner root, group root, mode 0600",
      "sudo udevadm trigger --subsystem-match=hidraw --action=change", "cannot be looked at"},
     {}},
    {"doctor-silent",
     DoctorSetup::silent,
     1,
     {"FAIL  Motion report: none within 1000 ms of asking for one",
      "Fix: wake the controller: press a button on it.",
      "note  Status: no status report within 1000 ms of asking"},
     {}},
    {"doctor-held",
     DoctorSetup::held,
     0,
     {"note  Other programs: kernel_test_driver (pid {pid}) holds {node} open",
      "ok    Motion report: first after"},
     {}},
    {"doctor-absent",
     DoctorSetup::absent,
     1,
     {"FAIL  Kernel: no RVL-CNT-01 among the HID devices", "bluetoothctl pair <address>",
      "Quivertap will not find and use a controller: Kernel: no RVL-CNT-01"},
     {"FAIL  HID: no RVL-CNT-01 among the HID devices", "          control printers",
      "leave the PIN empty and choose Next.",
      "Quivertap will not find and use a controller: HID: no RVL-CNT-01"}},
};

std::string Filled(const char* pattern, const std::string& node, const std::string& address) {
    std::string text = pattern;
    const std::pair<const char*, std::string> fields[] = {
        {"{node}", node}, {"{address}", address}, {"{pid}", std::to_string(getpid())}};
    for (const auto& [field, value] : fields) {
        for (size_t at = text.find(field); at != std::string::npos; at = text.find(field)) {
            text.replace(at, strlen(field), value);
        }
    }
    return text;
}

// Only 12 00 31 and 15 00 may reach the controller from the doctor, and a
// doctor that talks to it sends both.
std::string CheckDoctorReports(const SessionRecord& record, bool talks) {
    bool modeSeen = false;
    bool statusSeen = false;
    for (size_t i = record.firstProgramReport; i < record.reports.size(); ++i) {
        const RemoteEvent& event = record.reports[i].event;
        const bool mode = event.length == 3 && event.bytes[0] == 0x12 && event.bytes[1] == 0x00 &&
                          event.bytes[2] == 0x31;
        const bool status = event.length == 2 && event.bytes[0] == 0x15 && event.bytes[1] == 0x00;
        if (!mode && !status) {
            char text[64];
            snprintf(text, sizeof(text), "it sent report %02X %02X (%u bytes)", event.bytes[0],
                     event.length > 1 ? event.bytes[1] : 0, event.length);
            return text;
        }
        modeSeen = modeSeen || mode;
        statusSeen = statusSeen || status;
    }
    if (talks && !(modeSeen && statusSeen)) {
        return "it did not send both the mode report and the status request";
    }
    return {};
}

std::string JudgeDoctor(const DoctorRow& row, const SessionRecord& record, const std::string& node,
                        const std::string& address) {
    const ProgramRun& run = record.run;
    if (!record.failure.empty()) {
        return record.failure;
    }
    if (!WIFEXITED(run.status) || WEXITSTATUS(run.status) != row.status) {
        return "it did not end with status " + std::to_string(row.status);
    }
    if (!run.err.empty()) {
        return "it wrote to standard error: " + run.err;
    }
    const bool native = ProgramOpensDeviceItself();
    for (const char* pattern : native ? row.expected : row.expectedOnWindows) {
        if (pattern != nullptr &&
            run.out.find(Filled(pattern, node, address)) == std::string::npos) {
            return "its output lacks \"" + Filled(pattern, node, address) + "\"";
        }
    }
    if (native && row.setup == DoctorSetup::plusOnly && record.opens != 0) {
        return "it opened the -TR's node";
    }
    const int64_t tookUs = record.programEndUs - record.programStartUs;
    if (row.setup == DoctorSetup::silent && tookUs >= silentDoctorLimitUs) {
        return "it took 5 s or more with a silent controller";
    }
    const bool talks = row.setup != DoctorSetup::plusOnly &&
                       row.setup != DoctorSetup::unprivileged && row.setup != DoctorSetup::absent;
    return CheckDoctorReports(record, talks);
}

std::string DoctorSession(const DoctorRow& row, const char* program) {
    const bool native = ProgramOpensDeviceItself();
    if (!native && row.expectedOnWindows[0] == nullptr) {
        return "this phase runs natively only";
    }
    if (!AwaitRelease()) {
        return "the last phase's device is still held open";
    }
    RemoteBehaviour behaviour{};
    behaviour.answersRequests = row.setup != DoctorSetup::silent;
    behaviour.silent = row.setup == DoctorSetup::silent;
    behaviour.statusBattery = 0x60;
    behaviour.statusFlags = 0x01;  // nearly empty
    ResetRemote(behaviour);
    SessionRecord record{};
    record.unit = NextUnit();
    const uint16_t product = row.setup == DoctorSetup::plusOnly ? strangerProduct : remoteProduct;
    int remoteFd = -1;
    if (row.setup != DoctorSetup::absent) {
        remoteFd = CreateRemote(RemoteBus::usb, product, record.unit);
        if (remoteFd < 0) {
            return "cannot create a uhid device";
        }
        if (AwaitBinding(remoteFd, &record) != "hid-generic") {
            DestroyRemote(remoteFd);
            return "the device was not bound by hid-generic";
        }
    }
    const std::string node = HidrawNode();
    char address[32];
    snprintf(address, sizeof(address), "00:1f:32:00:00:%02x", record.unit);
    const int held = row.setup == DoctorSetup::held ? open(node.c_str(), O_RDONLY | O_CLOEXEC) : -1;
    record.opens = 0;
    RunProgramsAs(row.setup == DoctorSetup::unprivileged ? unprivilegedUser : 0);
    const std::string doctor = ToolBeside(program, native ? doctorTool : windowsDoctorTool);
    RunSession(&remoteFd, RemoteBus::usb, doctor.c_str(), nullptr, &record);
    RunProgramsAs(0);
    if (held >= 0) {
        close(held);
    }
    if (remoteFd >= 0) {
        DestroyRemote(remoteFd);
    }
    printf("kernel-test: figure: the doctor ended after %.1f ms; it printed:\n%s",
           static_cast<double>(record.programEndUs - record.programStartUs) / 1000.0,
           record.run.out.c_str());
    fflush(stdout);
    return JudgeDoctor(row, record, node, address);
}
}  // namespace

bool RunDoctorPhase(const char* name, const char* program, std::string* problem) {
    for (const DoctorRow& row : doctorRows) {
        if (strcmp(name, row.name) == 0) {
            *problem = DoctorSession(row, program);
            return true;
        }
    }
    return false;
}
