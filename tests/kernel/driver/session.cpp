#include "session.h"

#include <poll.h>
#include <time.h>

#include "clock.h"

namespace {
constexpr int64_t reportPeriodUs = 10'000;
constexpr int64_t sessionLimitUs = 90'000'000;
// Reports the program wrote just before it ended may still be on their way.
constexpr int64_t afterEndUs = 300'000;
constexpr uint8_t modeReportId = 0x12;
constexpr uint8_t ledReportId = 0x11;
constexpr uint8_t motorReportId = 0x13;

struct Controller {
    uint8_t mode;  // 0 until a mode report arrives: the controller stays quiet
    bool answersRequests;
    bool statusVolunteered;
    uint32_t reportsSent;
};

Controller controller{0, false, false, 0};

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

void SendStatus(int remoteFd, const PressScript* script) {
    uint8_t buttons1 = 0;
    uint8_t buttons2 = 0;
    CurrentButtons(script, &buttons1, &buttons2);
    const uint8_t status[] = {0x20, buttons1, buttons2, 0x00, 0x00, 0x00, 0xC8};
    SendInputReport(remoteFd, status, sizeof(status));
}

// What a real controller says to the status request (0x15: status report
// 0x20, no extension, battery fine), to a memory read (0x17: data report 0x21
// carrying an error, as for an address with nothing behind it) and to a memory
// write (0x16: acknowledgement 0x22).
void Answer(int remoteFd, const RemoteEvent& event, const PressScript* script) {
    uint8_t buttons1 = 0;
    uint8_t buttons2 = 0;
    CurrentButtons(script, &buttons1, &buttons2);
    if (event.bytes[0] == 0x15) {
        SendStatus(remoteFd, script);
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
// probe looks for.
void SendReport(int remoteFd, Controller& controller, PressScript* script) {
    uint8_t buttons1 = 0;
    uint8_t buttons2 = 0;
    CurrentButtons(script, &buttons1, &buttons2);
    const uint8_t jitter = static_cast<uint8_t>(++controller.reportsSent % 2);
    if (controller.mode == 0x30) {
        const uint8_t report[] = {0x30, buttons1, buttons2};
        SendInputReport(remoteFd, report, sizeof(report));
    } else if (controller.mode == 0x31) {
        const uint8_t report[] = {0x31,
                                  buttons1,
                                  buttons2,
                                  static_cast<uint8_t>(0x80 + jitter),
                                  static_cast<uint8_t>(0x80 - jitter),
                                  static_cast<uint8_t>(0x98 + jitter)};
        SendInputReport(remoteFd, report, sizeof(report));
    } else {
        return;
    }
    if (script != nullptr) {
        NoteReportSent(script, NowUs());
    }
}

void TakeEvent(int remoteFd, Controller* controller, PressScript* script, SessionRecord* record) {
    RemoteEvent event{};
    if (!ReadRemoteEvent(remoteFd, &event)) {
        return;
    }
    Record(event, NowUs(), record);
    if (event.kind != RemoteEventKind::output || event.length < 2) {
        return;
    }
    if (event.bytes[0] == modeReportId && event.length >= 3) {
        controller->mode = event.bytes[2];
    }
    if (controller->answersRequests) {
        Answer(remoteFd, event, script);
        // A real controller also reports its status unasked, when an
        // extension comes or goes; hid-wiimote then sets its own reporting
        // mode. Once, in the middle of the session, at power level 2.
        if (event.bytes[0] == ledReportId && event.bytes[1] == 0x30 &&
            !controller->statusVolunteered) {
            controller->statusVolunteered = true;
            SendStatus(remoteFd, script);
        }
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
        if (before != script->stage) {
            SendReport(remoteFd, *controller, script);
        }
    }
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
}  // namespace

void ResetRemote(bool answersRequests) {
    controller = Controller{0, answersRequests, false, 0};
}

void ListenToRemote(int remoteFd, int64_t quietUs, SessionRecord* record) {
    const int64_t endUs = NowUs() + quietUs;
    for (int64_t nowUs = NowUs(); nowUs < endUs; nowUs = NowUs()) {
        pollfd remote{remoteFd, POLLIN, 0};
        const timespec timeout = Timeout(endUs - nowUs);
        if (ppoll(&remote, 1, &timeout, nullptr) > 0) {
            TakeEvent(remoteFd, &controller, nullptr, record);
        }
    }
}

void RunSession(int remoteFd, const char* program, PressScript* script, SessionRecord* record) {
    record->programStartUs = NowUs();
    record->firstProgramReport = record->reports.size();
    if (!StartProgram(program, &record->run)) {
        record->failure = "cannot start the program";
        return;
    }
    int64_t nextReportUs = record->programStartUs;
    while (!record->run.ended) {
        const int64_t nowUs = NowUs();
        if (nowUs - record->programStartUs > sessionLimitUs) {
            record->failure = "the program was still running after 90 s";
            break;
        }
        if (nowUs >= nextReportUs) {
            SendReport(remoteFd, controller, script);
            // Steady 10 ms steps; after a long stall, start afresh rather than
            // sending a burst.
            nextReportUs += reportPeriodUs;
            if (nextReportUs < nowUs) {
                nextReportUs = nowUs + reportPeriodUs;
            }
        }
        pollfd watched[3] = {
            {remoteFd, POLLIN, 0}, {record->run.outFd, POLLIN, 0}, {record->run.errFd, POLLIN, 0}};
        const timespec timeout = Timeout(nextReportUs - NowUs());
        if (ppoll(watched, 3, &timeout, nullptr) > 0 && (watched[0].revents & POLLIN) != 0) {
            TakeEvent(remoteFd, &controller, script, record);
        }
        CollectOutput(&record->run);
        CheckEnded(&record->run);
        if (script != nullptr) {
            AdvanceScript(script, NowUs(), ScreenShown(record->run));
            if (!script->failure.empty()) {
                record->failure = script->failure;
                break;
            }
        }
    }
    EndProgram(&record->run);
    if (remoteFd >= 0) {
        ListenToRemote(remoteFd, afterEndUs, record);
    }
}
