#include "session_checks.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {
constexpr const char* screenText =
    "###########################################\n"
    "#                                         #\n"
    "#   Quivertap Test version 0.1            #\n"
    "#                  build 2006.12.11       #\n"
    "#                                         #\n"
    "###########################################\n"
    "\n"
    "Usage:\n"
    "   A button  ... On/Off\n"
    "   (+) button  ... pow up\n"
    "   (-) button  ... pow down\n"
    "   Home button  ... Quit\n"
    "\n";

constexpr int64_t greetingUs = 200'000;
// On and off time of a pulse, in ms, for LED bits 0x10 (level 1) to 0xF0 (4).
struct PulseTimes {
    uint8_t ledBits;
    int64_t onMs;
    int64_t offMs;
};
constexpr PulseTimes pulseTimes[] = {{0x10, 30, 70}, {0x30, 50, 50}, {0x70, 75, 25}, {0xF0, 99, 1}};
// Each power level the script visits must show a few whole pulses.
constexpr int minPulsesPerLevel = 3;

std::string Format(const char* format, ...) {
    char text[256];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof(text), format, arguments);
    va_end(arguments);
    return text;
}

std::string Hex(const RemoteEvent& event) {
    std::string text;
    const uint32_t shown = event.length < maxKeptBytes ? event.length : maxKeptBytes;
    for (uint32_t i = 0; i < shown; ++i) {
        text += Format(i == 0 ? "%02x" : " %02x", event.bytes[i]);
    }
    return text;
}

bool Is(const RemoteEvent& event, uint8_t id, uint8_t value) {
    return event.length == 2 && event.bytes[0] == id && event.bytes[1] == value;
}

// A status above 128 is that of a process ended by signal status - 128, as a
// shell reports it: the program may end by raising the signal again.
std::string ExitProblem(const ProgramRun& run, int expectedStatus) {
    if (expectedStatus > 128 && WIFSIGNALED(run.status) &&
        WTERMSIG(run.status) == expectedStatus - 128) {
        return {};
    }
    if (WIFSIGNALED(run.status)) {
        return Format("the program died of signal %d", WTERMSIG(run.status));
    }
    if (!WIFEXITED(run.status) || WEXITSTATUS(run.status) != expectedStatus) {
        return Format("exit status %d, expected %d", WEXITSTATUS(run.status), expectedStatus);
    }
    return {};
}

const PulseTimes* PulseFor(uint8_t ledBits) {
    for (const PulseTimes& times : pulseTimes) {
        if (times.ledBits == ledBits) {
            return &times;
        }
    }
    return nullptr;
}

// Every report on its own: a known ID, the declared length, a known value,
// and sent as an output report.
std::string CheckEachReport(const std::vector<ReceivedReport>& reports) {
    for (size_t i = 0; i < reports.size(); ++i) {
        const RemoteEvent& event = reports[i].event;
        const std::string where = Format("report %zu (%s, %u bytes)", i, Hex(event).c_str(),
                                         static_cast<unsigned>(event.length));
        if (event.viaSetReport || event.featureReport) {
            return where + " did not come as an output report";
        }
        // The mode report may carry the motor bit when the library sets it
        // again mid-pulse.
        const bool ok = (event.length == 3 && event.bytes[0] == 0x12 && event.bytes[1] <= 0x01 &&
                         event.bytes[2] == 0x31) ||
                        (event.length == 2 && event.bytes[0] == 0x11 &&
                         (event.bytes[1] == 0x00 || PulseFor(event.bytes[1]) != nullptr)) ||
                        (event.length == 2 && event.bytes[0] == 0x13 && event.bytes[1] <= 0x01);
        if (!ok) {
            return where + " is not a report of the program at its declared length";
        }
    }
    return {};
}

std::string CheckGreeting(const std::vector<ReceivedReport>& reports) {
    if (reports.size() < 4) {
        return Format("only %zu reports reached the device", reports.size());
    }
    if (reports[0].event.bytes[0] != 0x12) {
        return "the first report is " + Hex(reports[0].event) + ", not the mode report";
    }
    if (!Is(reports[1].event, 0x11, 0xF0) || !Is(reports[2].event, 0x11, 0x00)) {
        return "the greeting is " + Hex(reports[1].event) + ", " + Hex(reports[2].event) +
               " instead of 11 f0, 11 00";
    }
    const int64_t litUs = reports[2].atUs - reports[1].atUs;
    if (litUs < greetingUs) {
        return Format("the greeting LEDs were lit for %lld us, less than 200 ms",
                      static_cast<long long>(litUs));
    }
    return {};
}

// After the greeting: passes (11 00 alone, or 11 xx, 13 01, 13 00 at a power
// level), then the closing 11 00. Pulse phases last at least their level's
// times; the off phase runs to the next pass's LED report.
std::string CheckPasses(const std::vector<ReceivedReport>& reports, const LedBar& expectedBar,
                        LedBar* ledBar) {
    int pulsesAt[256] = {};
    size_t i = 3;
    while (i < reports.size()) {
        const RemoteEvent& led = reports[i].event;
        if (led.bytes[0] != 0x11) {
            return Format("report %zu is %s where a pass begins with its LED report", i,
                          Hex(led).c_str());
        }
        if (ledBar->back() != led.bytes[1]) {
            ledBar->push_back(led.bytes[1]);
        }
        if (led.bytes[1] == 0x00) {
            ++i;
            continue;
        }
        if (i + 3 >= reports.size() || !Is(reports[i + 1].event, 0x13, 0x01) ||
            !Is(reports[i + 2].event, 0x13, 0x00)) {
            return Format(
                "the pass at report %zu (LEDs %02x) is not followed by 13 01, 13 00 "
                "and another pass",
                i, led.bytes[1]);
        }
        const PulseTimes& times = *PulseFor(led.bytes[1]);
        const int64_t onUs = reports[i + 2].atUs - reports[i + 1].atUs;
        const int64_t offUs = reports[i + 3].atUs - reports[i + 2].atUs;
        if (onUs < times.onMs * 1000 || offUs < times.offMs * 1000) {
            return Format(
                "the pulse at report %zu (LEDs %02x) lasted %lld us on, %lld us off; "
                "at least %lld ms and %lld ms expected",
                i, led.bytes[1], static_cast<long long>(onUs), static_cast<long long>(offUs),
                static_cast<long long>(times.onMs), static_cast<long long>(times.offMs));
        }
        ++pulsesAt[led.bytes[1]];
        i += 3;
    }
    // The bar's first two entries are the greeting's.
    for (size_t level = 2; level < expectedBar.size(); ++level) {
        const uint8_t ledBits = expectedBar[level];
        if (ledBits != 0x00 && pulsesAt[ledBits] < minPulsesPerLevel) {
            return Format("only %d pulses with LEDs %02x", pulsesAt[ledBits], ledBits);
        }
    }
    return {};
}

std::string Bar(const LedBar& bar) {
    std::string text;
    for (uint8_t bits : bar) {
        text += Format(text.empty() ? "%02x" : " %02x", bits);
    }
    return text;
}

// The program sends its mode report once, first, and one 13 01 per pulse;
// any later mode report is the library's, setting the mode again, and so is a
// 13 01 while the motor is already on, keeping it on against another writer.
// Both are checked where a phase expects them. A 13 01 after a pass's 13 00
// stays in, and fails the pass.
std::vector<ReceivedReport> WithoutKeptReports(const std::vector<ReceivedReport>& reports) {
    std::vector<ReceivedReport> kept;
    bool motorOn = false;
    for (size_t i = 0; i < reports.size(); ++i) {
        const RemoteEvent& event = reports[i].event;
        const bool motorAgain = Is(event, 0x13, 0x01) && motorOn;
        if (event.bytes[0] == 0x13) {
            motorOn = event.bytes[1] == 0x01;
        }
        if ((i == 0 || event.bytes[0] != 0x12) && !motorAgain) {
            kept.push_back(reports[i]);
        }
    }
    return kept;
}

std::string CheckReports(const std::vector<ReceivedReport>& all, const LedBar& expectedBar) {
    std::string problem = CheckEachReport(all);
    const std::vector<ReceivedReport> reports = WithoutKeptReports(all);
    if (problem.empty()) {
        problem = CheckGreeting(reports);
    }
    LedBar ledBar = {0xF0, 0x00};
    if (problem.empty()) {
        problem = CheckPasses(reports, expectedBar, &ledBar);
    }
    if (problem.empty() && !Is(reports.back().event, 0x11, 0x00)) {
        problem = "the last report is " + Hex(reports.back().event) + ", not LEDs off";
    }
    if (problem.empty() && ledBar != expectedBar) {
        problem = "the LED bar went " + Bar(ledBar) + " instead of " + Bar(expectedBar);
    }
    return problem;
}
}  // namespace

std::string CheckPressSession(const SessionRecord& record, bool expectOpenClose,
                              const LedBar& expectedBar) {
    if (!record.failure.empty()) {
        return record.failure;
    }
    std::string problem = ExitProblem(record.run, 0);
    if (!problem.empty()) {
        return problem;
    }
    if (!record.run.err.empty()) {
        return "the program wrote to standard error: " + record.run.err;
    }
    if (record.run.out != screenText) {
        return "standard output is not the banner and usage text: " + record.run.out;
    }
    const std::vector<ReceivedReport> reports(
        record.reports.begin() + static_cast<std::ptrdiff_t>(record.firstProgramReport),
        record.reports.end());
    problem = CheckReports(reports, expectedBar);
    if (!problem.empty()) {
        return problem;
    }
    if (expectOpenClose) {
        if (record.opens != 1 || record.closes != 1) {
            return Format("the device was opened %d and closed %d times, once each expected",
                          record.opens, record.closes);
        }
        if (record.lastCloseUs < reports.back().atUs) {
            return "the device was closed before the last report arrived";
        }
    }
    return {};
}

std::string CheckDropoutSession(const SessionRecord& record, int expectedStatus) {
    if (!record.failure.empty()) {
        return record.failure;
    }
    const RemoteHistory& history = record.history;
    std::string problem = ExitProblem(record.run, expectedStatus);
    if (problem.empty() && !record.run.err.empty()) {
        problem = "the program wrote to standard error: " + record.run.err;
    }
    if (problem.empty() && record.run.out != screenText) {
        problem = "standard output is not the banner and usage text: " + record.run.out;
    }
    if (!problem.empty()) {
        return problem;
    }
    printf(
        "kernel-test: figure: processor share of the program while the controller was away: "
        "%.1f %%\n",
        100.0 * history.cpuWhileGone);
    const size_t back = history.backAtUs != 0 ? history.firstReportBack : record.reports.size();
    const std::vector<ReceivedReport> before(
        record.reports.begin() + static_cast<std::ptrdiff_t>(record.firstProgramReport),
        record.reports.begin() + static_cast<std::ptrdiff_t>(back));
    const std::vector<ReceivedReport> after(
        record.reports.begin() + static_cast<std::ptrdiff_t>(back), record.reports.end());
    problem = CheckEachReport(before);
    if (problem.empty()) {
        problem = CheckGreeting(before);
    }
    if (problem.empty()) {
        problem = CheckEachReport(after);
    }
    if (!problem.empty() || history.backAtUs == 0) {
        return problem;
    }
    printf("kernel-test: figure: the controller went from %s and came back as %s\n",
           history.nodeBefore, history.nodeAfter);
    if (strcmp(history.nodeBefore, history.nodeAfter) == 0) {
        return "the controller came back under its old node";
    }
    // The returned controller starts in its own mode: the library sets the
    // program's again, with the motor off, as the program last asked.
    if (after.empty() || after[0].event.length != 3 || after[0].event.bytes[0] != 0x12 ||
        after[0].event.bytes[1] != 0x00) {
        return "the returned controller's first report is " +
               (after.empty() ? std::string("missing") : Hex(after[0].event)) +
               ", not the mode report 12 00 31";
    }
    for (const ReceivedReport& report : after) {
        if (report.event.bytes[0] == 0x11 && report.atUs >= history.firstInputBackUs) {
            const double ms = static_cast<double>(report.atUs - history.firstInputBackUs) / 1000.0;
            printf(
                "kernel-test: figure: the program used the returned controller %.1f ms after "
                "its first report (%.0f ms after it came back; the mode report after %.1f ms)\n",
                ms, static_cast<double>(report.atUs - history.backAtUs) / 1000.0,
                static_cast<double>(after[0].atUs - history.firstInputBackUs) / 1000.0);
            return ms <= 1000.0 ? std::string()
                                : Format(
                                      "the returned controller's first report was used only "
                                      "after %.0f ms",
                                      ms);
        }
    }
    return "no LED report reached the returned controller after its first report";
}

std::string CheckCannotOpen(const SessionRecord& record) {
    if (!record.failure.empty()) {
        return record.failure;
    }
    std::string problem = ExitProblem(record.run, 0);
    if (!problem.empty()) {
        return problem + " (standard error: \"" + record.run.err + "\")";
    }
    if (problem.empty() && record.run.err != "Wii-Remote cannot open.\n") {
        problem = "standard error is \"" + record.run.err + "\", not the cannot-open notice";
    }
    if (problem.empty() && !record.run.out.empty()) {
        problem = "the program wrote to standard output: " + record.run.out;
    }
    return problem;
}

std::string CheckNotFound(const SessionRecord& record) {
    if (!record.failure.empty()) {
        return record.failure;
    }
    std::string problem = ExitProblem(record.run, 1);
    if (!problem.empty()) {
        return problem;
    }
    if (record.run.err != "Wii-Remote not found.\n") {
        return "standard error is \"" + record.run.err + "\", not the not-found notice";
    }
    if (!record.run.out.empty()) {
        return "the program wrote to standard output: " + record.run.out;
    }
    // Opening every node to read its ids is how the library looks; writing
    // to a stranger is not.
    if (record.reports.size() != record.firstProgramReport) {
        return "the program wrote to a device that is not a controller";
    }
    return {};
}

std::string DescribeReportLengths(const SessionRecord& record) {
    struct Kind {
        uint8_t id;
        uint32_t length;
        int count;
    };
    std::vector<Kind> kinds;
    for (size_t i = record.firstProgramReport; i < record.reports.size(); ++i) {
        const RemoteEvent& event = record.reports[i].event;
        auto kind = std::find_if(kinds.begin(), kinds.end(), [&](const Kind& known) {
            return known.id == event.bytes[0] && known.length == event.length;
        });
        if (kind == kinds.end()) {
            kinds.push_back({event.bytes[0], event.length, 1});
        } else {
            ++kind->count;
        }
    }
    std::string text;
    for (const Kind& kind : kinds) {
        text += Format("%s%02x: %d x %u bytes", text.empty() ? "" : ", ", kind.id, kind.count,
                       static_cast<unsigned>(kind.length));
    }
    return text.empty() ? "none" : text;
}

std::string DescribeReports(const SessionRecord& record, size_t first, size_t count) {
    std::string text;
    for (size_t i = first; i < record.reports.size() && i < first + count; ++i) {
        const ReceivedReport& report = record.reports[i];
        text +=
            Format("  %+9.1f ms  %s%s\n",
                   static_cast<double>(report.atUs - record.programStartUs) / 1000.0,
                   Hex(report.event).c_str(), report.event.viaSetReport ? "  (SET_REPORT)" : "");
    }
    return text;
}
