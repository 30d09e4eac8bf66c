// The Windows library under the probe's forced end, many times over: the
// check tool beside the program (tests/windows/reader_end_check.cpp) runs in
// the program's place against a controller that keeps reporting, ends a
// reading thread inside ReadReport round after round and opens the
// controller again each time.
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "clock.h"
#include "hid_sysfs.h"
#include "phases.h"
#include "processor_load.h"
#include "session.h"
#include "uhid_remote.h"

namespace {
constexpr char checkTool[] = "reader_end_check.exe";
// An address no other phase's controller has: Wine names a device after it.
constexpr uint8_t readerEndUnit = 0xE0;
constexpr int64_t releaseLimitUs = 30'000'000;
constexpr int64_t bindLimitUs = 10'000'000;
constexpr int64_t listenStepUs = 10'000;
// Wine opens a new node at once and shows it to programs once it has
// installed it, which keeps the guest busy for a while: the tool starts once
// the processor has been quiet for half a second.
constexpr int64_t settleMinUs = 1'000'000;
constexpr int64_t settleLimitUs = 20'000'000;
constexpr int64_t quietStepUs = 250'000;
constexpr int quietStepsWanted = 2;
constexpr double quietBusyShare = 0.1;

std::string ToolBeside(const char* program) {
    const std::string path = program;
    const size_t slash = path.rfind('/');
    return (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + checkTool;
}

bool AwaitInstalledDevice(int remoteFd, SessionRecord* record) {
    const int64_t bindEndUs = NowUs() + bindLimitUs;
    while (BoundDeviceDriver().empty() || record->opens == 0) {
        if (NowUs() > bindEndUs) {
            return false;
        }
        ListenToRemote(remoteFd, listenStepUs, record);
    }
    const int64_t startUs = NowUs();
    ListenToRemote(remoteFd, settleMinUs, record);
    ProcessorTimes last = ReadProcessorTimes();
    for (int quietSteps = 0; quietSteps < quietStepsWanted && NowUs() - startUs < settleLimitUs;) {
        ListenToRemote(remoteFd, quietStepUs, record);
        const ProcessorTimes now = ReadProcessorTimes();
        quietSteps = BusyShare(last, now) < quietBusyShare ? quietSteps + 1 : 0;
        last = now;
    }
    return true;
}

// The tool's own last line: its summary, or what went wrong.
std::string LastLine(const std::string& text) {
    const size_t end = text.find_last_not_of("\r\n");
    if (end == std::string::npos) {
        return {};
    }
    const size_t start = text.find_last_of('\n', end);
    return text.substr(start == std::string::npos ? 0 : start + 1,
                       end + 1 - (start == std::string::npos ? 0 : start + 1));
}
}  // namespace

std::string RunReaderEndPhase(const char* program) {
    if (ProgramOpensDeviceItself()) {
        return "the check tool is a Windows program: this phase runs under Wine only";
    }
    if (WaitForRemovedNodesReleased(releaseLimitUs) < 0) {
        return "the last phase's device is still held open";
    }
    ResetRemote({});
    SessionRecord record{};
    record.unit = readerEndUnit;
    int remoteFd = CreateRemote(RemoteBus::usb, remoteProduct, record.unit);
    if (remoteFd < 0) {
        return "cannot create a uhid device";
    }
    if (!AwaitInstalledDevice(remoteFd, &record)) {
        DestroyRemote(remoteFd);
        return "Wine never opened the device";
    }
    const std::string tool = ToolBeside(program);
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
