#include "session.h"

#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include <fcntl.h>

#include "clock.h"
#include "hid_sysfs.h"

namespace {
constexpr int64_t reportPeriodUs = 10'000;
constexpr int64_t sessionLimitUs = 90'000'000;
// Reports the program wrote just before it ended may still be on their way.
constexpr int64_t afterEndUs = 300'000;
// Ctrl-C goes out this long after the controller was taken away.
constexpr int64_t stopWhileGoneUs = 1'000'000;
constexpr uint8_t modeReportId = 0x12;
constexpr uint8_t ledReportId = 0x11;
constexpr uint8_t motorReportId = 0x13;
constexpr uint8_t statusRequestId = 0x15;
constexpr uint8_t continuousBit = 0x04;
constexpr uint8_t extensionBit = 0x02;  // in byte 3 of a status report

struct Controller {
    RemoteBehaviour behaviour;
    uint8_t mode;
    bool continuous;
    bool silenced;  // a status report went out and no mode report came since
    bool statusVolunteered;
    bool sentData;
    uint8_t lastButtons1;
    uint8_t lastButtons2;
    uint32_t reportsSent;
    int64_t floodStartUs;
};

Controller controller{};

void Record(const RemoteEvent& event, int64_t atUs, SessionRecord* record) {
    switch (event.kind) {
        case RemoteEventKind::output:
            record->reports.push_back({atUs, event});
            return;
        case RemoteEventKind::open:
            ++record->opens;
            return;
        case RemoteEventKind::close:
            ++record->closes;
            record->lastCloseUs = atUs;
            return;
        default:
            return;
    }
}

void CurrentButtons(const PressScript* script, uint8_t* buttons1, uint8_t* buttons2) {
    *buttons1 = 0;
    *buttons2 = 0;
    if (script != nullptr) {
        ScriptButtons(*script, buttons1, buttons2);
    }
}

// After a status report a real controller sends no data until its mode is
// set again.
void SendStatus(int remoteFd, const PressScript* script, bool extension) {
    uint8_t buttons1 = 0;
    uint8_t buttons2 = 0;
    CurrentButtons(script, &buttons1, &buttons2);
    const uint8_t flags =
        static_cast<uint8_t>((extension ? extensionBit : 0x00) | controller.behaviour.statusFlags);
    const uint8_t status[] = {
        0x20, buttons1, buttons2, flags, 0x00, 0x00, controller.behaviour.statusBattery};
    SendInputReport(remoteFd, status, sizeof(status));
    controller.silenced = true;
}

// What a real controller says to the status request (0x15: status report
// 0x20, its battery and flags), to a memory read (0x17: data report 0x21
// carrying an error, as for an address with nothing behind it) and to a memory
// write (0x16: acknowledgement 0x22).
void Answer(int remoteFd, const RemoteEvent& event, const PressScript* script) {
    uint8_t buttons1 = 0;
    uint8_t buttons2 = 0;
    CurrentButtons(script, &buttons1, &buttons2);
    if (event.bytes[0] == statusRequestId) {
        SendStatus(remoteFd, script, false);
    } else if (event.bytes[0] == 0x17 && event.length >= 7) {
        uint8_t data[22] = {0x21, buttons1, buttons2, 0xF8, event.bytes[3], event.bytes[4]};
        SendInputReport(remoteFd, data, sizeof(data));
    } else if (event.bytes[0] == 0x16) {
        const uint8_t acknowledgement[] = {0x22, buttons1, buttons2, 0x16, 0x00};
        SendInputReport(remoteFd, acknowledgement, sizeof(acknowledgement));
    }
}

// The buttons, and for mode 0x31 the motion bytes of a controller in a hand,
// each axis jittering by one count: X is never 0, which is what the program's
// probe looks for. Without the continuous bit, a report goes out only when
// something in it changed: in mode 0x31 always, in 0x30 only with a button.
void SendReport(int remoteFd, PressScript* script, SessionRecord* record) {
    uint8_t buttons1 = 0;
    uint8_t buttons2 = 0;
    CurrentButtons(script, &buttons1, &buttons2);
    const bool changed = !controller.sentData || buttons1 != controller.lastButtons1 ||
                         buttons2 != controller.lastButtons2;
    if (remoteFd < 0 || controller.silenced || controller.behaviour.silent ||
        (controller.mode == 0x30 && !changed && !controller.continuous)) {
        return;
    }
    const uint8_t jitter = static_cast<uint8_t>(++controller.reportsSent % 2);
    if (controller.mode == 0x30) {
        const uint8_t report[] = {0x30, buttons1, buttons2};
        SendInputReport(remoteFd, report, sizeof(report));
    } else if (controller.mode == 0x31) {
        static uint8_t report[4096];
        const uint8_t usual[] = {0x31,
                                 buttons1,
                                 buttons2,
                                 static_cast<uint8_t>(0x80 + jitter),
                                 static_cast<uint8_t>(0x80 - jitter),
                                 static_cast<uint8_t>(0x98 + jitter)};
        memcpy(report, usual, sizeof(usual));
        size_t length = sizeof(usual);
        if (controller.behaviour.motionShape == MotionShape::idOnly) {
            length = 1;
        } else if (controller.behaviour.motionShape == MotionShape::longest) {
            length = DeclaredMotionBytes();
            memset(report + sizeof(usual), 0x5A, length - sizeof(usual));
        }
        SendInputReport(remoteFd, report, length);
    } else {
        return;
    }
    controller.sentData = true;
    controller.lastButtons1 = buttons1;
    controller.lastButtons2 = buttons2;
    RemoteHistory& history = record->history;
    if (history.backAtUs != 0 && history.firstInputBackUs == 0) {
        history.firstInputBackUs = NowUs();
    }
    if (controller.mode == 0x31) {
        NoteMotionSent(&record->probe, NowUs());
    }
    const uint32_t statusEvery = controller.behaviour.statusEveryReports;
    if (statusEvery != 0 && controller.reportsSent % statusEvery == 0) {
        SendStatus(remoteFd, script, false);
    }
    if (script != nullptr) {
        NoteReportSent(script, NowUs());
    }
}

// Another program keeps the old node open, as a desktop's input stack may:
// hidraw then keeps its minor number taken, and the controller comes back
// under a new one, which the program's library must find.
int heldNode = -1;

void TakeController(int* remoteFd, SessionRecord* record) {
    snprintf(record->history.nodeBefore, sizeof(record->history.nodeBefore), "%s",
             HidrawNode().c_str());
    heldNode = open(record->history.nodeBefore, O_RDONLY | O_CLOEXEC);
    DestroyRemote(*remoteFd);
    *remoteFd = -1;
    record->history.goneAtUs = NowUs();
}

void TakeEvent(int* remoteFd, PressScript* script, SessionRecord* record) {
    RemoteEvent event{};
    if (!ReadRemoteEvent(*remoteFd, &event)) {
        return;
    }
    Record(event, NowUs(), record);
    if (event.kind != RemoteEventKind::output || event.length < 2) {
        return;
    }
    if (event.bytes[0] == modeReportId && event.length >= 3) {
        controller.mode = event.bytes[2];
        controller.continuous = (event.bytes[1] & continuousBit) != 0;
        controller.silenced = false;
        controller.sentData = false;  // a fresh mode reports at once
        // The program's own mode, not hid-wiimote's 0x30, opens its probe.
        if (record->run.pid > 0 && !record->run.ended && event.bytes[2] == 0x31) {
            NoteModeSet(&record->probe, record->run.pid, NowUs());
        }
        if (controller.behaviour.vanishesOnMode) {
            TakeController(remoteFd, record);
            return;
        }
    }
    if (controller.behaviour.answersRequests) {
        Answer(*remoteFd, event, script);
    }
    // A real controller also reports its status unasked, when an extension
    // comes or goes. Once, in the middle of the session, at power level 2.
    if ((controller.behaviour.answersRequests || controller.behaviour.volunteersStatus) &&
        event.bytes[0] == ledReportId && event.bytes[1] == 0x30 && !controller.statusVolunteered) {
        controller.statusVolunteered = true;
        SendStatus(*remoteFd, script, controller.behaviour.extensionInStatus);
        record->history.statusAtUs = NowUs();
    }
    if (script == nullptr) {
        return;
    }
    if (event.bytes[0] == ledReportId) {
        NoteLedReport(script, event.bytes[1], NowUs());
    }
    if (event.bytes[0] == motorReportId && (event.bytes[1] & 0x01) != 0) {
        // A press timed against the pulse goes out at once, not at the next
        // 10 ms step.
        const ScriptStage before = script->stage;
        NoteMotorOn(script, NowUs());
        if (before != script->stage && script->stage == ScriptStage::holding) {
            SendReport(*remoteFd, script, record);
        }
    }
}

// A flood runs from the first press for floodUs: 5,000 reports a second.
constexpr int floodReportsPerStep = 50;

bool FloodingAt(const PressScript* script, int64_t nowUs) {
    if (controller.behaviour.floodUs == 0 || script == nullptr ||
        script->stage == ScriptStage::waitingForScreen || script->stage == ScriptStage::settling) {
        return false;
    }
    if (controller.floodStartUs == 0) {
        controller.floodStartUs = nowUs;
    }
    return nowUs - controller.floodStartUs < controller.behaviour.floodUs;
}

timespec Timeout(int64_t us) {
    if (us < 0) {
        us = 0;
    }
    return timespec{static_cast<time_t>(us / 1'000'000), static_cast<long>(us % 1'000'000) * 1000};
}

bool ScreenShown(const ProgramRun& run) {
    return run.out.find("Home button") != std::string::npos;
}

// The program's processor time so far, all threads, in clock ticks.
long ProcessorTicks(pid_t pid) {
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/stat", static_cast<int>(pid));
    FILE* file = fopen(path, "r");
    if (file == nullptr) {
        return -1;
    }
    char text[1024];
    const size_t n = fread(text, 1, sizeof(text) - 1, file);
    fclose(file);
    text[n] = '\0';
    // Fields 14 and 15 (utime, stime) follow the parenthesised name.
    const char* at = strrchr(text, ')');
    long utime = 0;
    long stime = 0;
    if (at == nullptr || sscanf(at + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld",
                                &utime, &stime) != 2) {
        return -1;
    }
    return utime + stime;
}

// The program's share of a core since the controller went away.
double ShareSince(const SessionRecord* record, long ticksAtGone, int64_t nowUs) {
    const double seconds = static_cast<double>(ProcessorTicks(record->run.pid) - ticksAtGone) /
                           static_cast<double>(sysconf(_SC_CLK_TCK));
    return seconds / (static_cast<double>(nowUs - record->history.goneAtUs) / 1e6);
}

// Takes the controller away when the script says so, brings it back when its
// time away is over, and sends Ctrl-C to a program whose controller stays
// away for good.
void FollowAbsence(int* remoteFd, RemoteBus bus, PressScript* script, SessionRecord* record,
                   long* ticksAtGone) {
    if (script == nullptr || script->stage != ScriptStage::away) {
        return;
    }
    const PressStep& step = script->steps[script->step];
    RemoteHistory& history = record->history;
    const int64_t nowUs = NowUs();
    if (*remoteFd >= 0) {
        TakeController(remoteFd, record);
        *ticksAtGone = ProcessorTicks(record->run.pid);
        return;
    }
    if (step.action == StepAction::vanishAndStop) {
        if (history.stopSentAtUs == 0 && nowUs - history.goneAtUs >= stopWhileGoneUs) {
            history.cpuWhileGone = ShareSince(record, *ticksAtGone, nowUs);
            kill(record->run.pid, SIGINT);
            history.stopSentAtUs = nowUs;
        }
        return;
    }
    if (nowUs - history.goneAtUs < step.holdUs) {
        return;
    }
    history.cpuWhileGone = ShareSince(record, *ticksAtGone, nowUs);
    const RemoteBehaviour behaviour = controller.behaviour;
    ResetRemote(behaviour);
    *remoteFd = CreateRemote(bus, remoteProduct, record->unit);
    history.backAtUs = NowUs();
    history.firstReportBack = record->reports.size();
    NoteReturned(script, history.backAtUs);
}
}  // namespace

void ResetRemote(const RemoteBehaviour& behaviour) {
    controller = Controller{};
    controller.behaviour = behaviour;
    UseDescriptor(behaviour.descriptor);
    // A device without report IDs cannot be told a mode: it sends its one
    // report, here the motion report's bytes.
    controller.mode = behaviour.descriptor == RemoteDescriptor::noReportIds ? 0x31 : 0x30;
    // In its default mode a real controller reports only when a button
    // changes: nothing until then. A report sent as the program starts could
    // otherwise reach it late through a runner's HID stack, behind its mode
    // report, and be the one report its probe reads.
    controller.sentData = true;
}

void ListenToRemote(int remoteFd, int64_t quietUs, SessionRecord* record) {
    const int64_t endUs = NowUs() + quietUs;
    for (int64_t nowUs = NowUs(); nowUs < endUs && remoteFd >= 0; nowUs = NowUs()) {
        pollfd remote{remoteFd, POLLIN, 0};
        const timespec timeout = Timeout(endUs - nowUs);
        if (ppoll(&remote, 1, &timeout, nullptr) > 0) {
            TakeEvent(&remoteFd, nullptr, record);
        }
    }
}

void RunSession(int* remoteFd, RemoteBus bus, const char* program, PressScript* script,
                SessionRecord* record) {
    record->programStartUs = NowUs();
    record->firstProgramReport = record->reports.size();
    if (!StartProgram(program, &record->run)) {
        record->failure = "cannot start the program";
        return;
    }
    int64_t nextReportUs = record->programStartUs;
    long ticksAtGone = 0;
    while (!record->run.ended) {
        const int64_t nowUs = NowUs();
        FollowReader(&record->probe, record->run.pid, nowUs);
        if (nowUs - record->programStartUs > sessionLimitUs) {
            record->failure = "the program was still running after 90 s";
            break;
        }
        if (nowUs >= nextReportUs) {
            for (int i = FloodingAt(script, nowUs) ? floodReportsPerStep : 1; i > 0; --i) {
                SendReport(*remoteFd, script, record);
            }
            // Steady 10 ms steps; after a long stall, start afresh rather than
            // sending a burst.
            nextReportUs += reportPeriodUs;
            if (nextReportUs < nowUs) {
                nextReportUs = nowUs + reportPeriodUs;
            }
        }
        pollfd watched[3] = {
            {*remoteFd, POLLIN, 0}, {record->run.outFd, POLLIN, 0}, {record->run.errFd, POLLIN, 0}};
        const int64_t lookUs = NextReaderLookUs(record->probe, NowUs());
        const int64_t wakeUs = lookUs != 0 && lookUs < nextReportUs ? lookUs : nextReportUs;
        const timespec timeout = Timeout(wakeUs - NowUs());
        if (ppoll(watched, 3, &timeout, nullptr) > 0 && (watched[0].revents & POLLIN) != 0) {
            TakeEvent(remoteFd, script, record);
        }
        CollectOutput(&record->run);
        CheckEnded(&record->run);
        if (script != nullptr) {
            AdvanceScript(script, NowUs(), ScreenShown(record->run));
            FollowAbsence(remoteFd, bus, script, record, &ticksAtGone);
            if (!script->failure.empty()) {
                record->failure = script->failure;
                break;
            }
        }
    }
    record->programEndUs = NowUs();
    EndProgram(&record->run);
    ListenToRemote(*remoteFd, afterEndUs, record);
    if (record->history.backAtUs != 0) {
        snprintf(record->history.nodeAfter, sizeof(record->history.nodeAfter), "%s",
                 HidrawNode().c_str());
    }
    if (heldNode >= 0) {
        close(heldNode);
        heldNode = -1;
    }
}
