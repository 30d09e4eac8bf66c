// One run of the program against the controller (or against no controller):
// the controller answers as the real one does and every report the kernel
// hands it is recorded with the time it arrived.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "press_script.h"
#include "probe_watch.h"
#include "program_run.h"
#include "uhid_remote.h"

struct ReceivedReport {
    int64_t atUs;
    RemoteEvent event;
};

// What the controller went through besides presses, with times on the
// session's clock (0: did not happen).
struct RemoteHistory {
    int64_t statusAtUs;        // it volunteered a status report
    int64_t goneAtUs;          // it was taken away
    double cpuWhileGone;       // the program's share of a core meanwhile
    int64_t backAtUs;          // it came back as a new device
    size_t firstReportBack;    // the first report the new device received
    int64_t firstInputBackUs;  // the new device's first input report
    int64_t stopSentAtUs;      // Ctrl-C went to the program while it was away
    char nodeBefore[32];       // its hidraw node before it went
    char nodeAfter[32];        // and once it was back
};

struct SessionRecord {
    uint8_t unit;  // which controller: it comes back with the same address
    std::vector<ReceivedReport> reports;
    size_t firstProgramReport;  // reports before it came before the program started
    int64_t programStartUs;
    int64_t programEndUs;
    ProgramRun run;
    int opens;
    int closes;
    int64_t lastCloseUs;
    RemoteHistory history;
    ProbeWatch probe;
    std::string failure;  // the session itself went wrong (script, time limit)
};

enum class MotionShape : uint8_t { usual, idOnly, longest };

// How the controller behaves besides sending its reports. It starts, as a
// real one does, in mode 0x30 and reports only when its data changes (in
// mode 0x31 its motion bytes change all the time) unless the mode report
// sets the continuous bit; and after any status report it sends no data
// until a mode report comes.
struct RemoteBehaviour {
    bool answersRequests;    // answers hid-wiimote's status and memory requests
    bool volunteersStatus;   // reports its status unasked, once, at power level 2
    bool extensionInStatus;  // that status report says an extension was plugged in
    bool vanishesOnMode;     // is destroyed as soon as the first mode report comes
    // Reports its status after every so many motion reports (0: never), as
    // one with a loose extension plug might.
    uint32_t statusEveryReports = 0;
    // A device that claims the controller's ids and misbehaves: its
    // descriptor, motion reports cut to their ID byte or padded to the
    // longest length it declares, and a flood of reports (50 every 10 ms)
    // for floodUs from the first press.
    RemoteDescriptor descriptor = RemoteDescriptor::standard;
    MotionShape motionShape = MotionShape::usual;
    int64_t floodUs = 0;
    // What its status reports say: the battery byte and the low-battery and
    // other flags (the extension bit comes from extensionInStatus).
    uint8_t statusBattery = 0xC8;
    uint8_t statusFlags = 0x00;
    // Sends nothing at all, as a controller that is asleep.
    bool silent = false;
};

// A fresh controller for a new device.
void ResetRemote(const RemoteBehaviour& behaviour);
// Receives whatever the device is sent for quietUs on end, answering requests.
void ListenToRemote(int remoteFd, int64_t quietUs, SessionRecord* record);
// *remoteFd may be -1 (no controller); script may be null (no presses). A
// script that takes the controller away destroys it and creates it again on
// bus, so *remoteFd changes.
void RunSession(int* remoteFd, RemoteBus bus, const char* program, PressScript* script,
                SessionRecord* record);
