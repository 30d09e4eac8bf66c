// A virtual controller behind the HID library's ABI. Placed first on the
// library search path it stands in for the real library: the program runs
// unchanged, plays the scenario named by VIRTUAL_REMOTE_SCRIPT, and every
// call is logged to VIRTUAL_REMOTE_LOG with a monotonic timestamp in
// microseconds and the calling thread:
//
//   <us> <thread> open 057e 0306 -> <handle>
//   <us> <thread> write <b0> <b1> <b2> len=<bytes sent> tail=<zero|dirty> ok=<0|1>
//   <us> <thread> read-begin in-flight=<n>
//   <us> <thread> read-end <ok <bytes>|fail|interrupted|cancelled>
//   <us> <thread> arrive at=<us> <bytes>   a streamed report that changes the
//                                          input, taken in by a read; at= is
//                                          when it arrived
//   <us> <thread> close <handle> in-flight=<n>
//
// With VIRTUAL_REMOTE_SHOW=1 it also shows its LEDs and motor on stderr. A
// scenario with a keys line is worked live from the keyboard (scripts/try).
// The keys come into the controller rather than into the program: the
// program reads its own keyboard (ESC) unchanged, and a channel into the
// controller puts each press into the reports at the moment it happens, so
// the program meets it through the same read policy as a thumb on a real
// controller.
#include <atomic>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "hand.h"
#include "remote_display.h"
#include "scenario.h"
#include "tiny_hid/read_policy.h"
#include "tiny_hid/report_descriptor.h"
#include "tiny_hid/tiny_hid.h"
#include "virtual_os.h"

namespace {
constexpr int32_t controllerVendor = 0x057E;
constexpr int32_t controllerProduct = 0x0306;
constexpr int32_t controllerHandle = 0;
constexpr int64_t foreverUs = INT64_MAX / 4;

// The output half of the controller's report descriptor: LEDs 0x11 (1 byte),
// mode 0x12 (2), motor 0x13 (1), each a vendor-page output item.
constexpr uint8_t controllerDescriptor[] = {
    0x05, 0x01, 0x09, 0x05, 0xA1, 0x01,              // generic desktop, game pad
    0x85, 0x11, 0x75, 0x08, 0x95, 0x01, 0x06, 0x00,  // report 0x11: 1 x 8 bits
    0xFF, 0x09, 0x01, 0x91, 0x02,                    // output
    0x85, 0x12, 0x95, 0x02, 0x09, 0x01, 0x91, 0x02,  // report 0x12: 2 x 8 bits
    0x85, 0x13, 0x95, 0x01, 0x09, 0x01, 0x91, 0x02,  // report 0x13: 1 x 8 bits
    0x85, 0x30, 0x95, 0x02, 0x09, 0x01, 0x81, 0x02,  // input 0x30: 2 bytes
    0x85, 0x31, 0x95, 0x05, 0x09, 0x01, 0x81, 0x02,  // input 0x31: 5 bytes
    0xC0,
};

Scenario scenario;
// Where the main thread's reads and the other threads' reads are in the
// scenario; with no probe steps both take the plain steps from one cursor.
struct Cursor {
    size_t next;
    uint32_t used;
};
Cursor plainCursor;
Cursor probeCursor;
bool hasProbeSteps = false;
// The streamed reports' timeline and the real library's choice among them.
struct Stream {
    bool running;
    int64_t slotUs;     // when the next arrival is due, before its jitter
    int64_t arrivalUs;  // when it arrives
    uint32_t jitterSeed;
    uint8_t lastInput[3];
    ReadPolicy policy;
};
Stream stream;
bool loaded = false;
bool isOpen = false;
OutputReportLengths lengths;
std::atomic<int> readsInFlight{0};
char logPath[512];

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

void Log(const char* format, ...) {
    if (logPath[0] == '\0') {
        return;
    }
    char thread[32];
    DescribeCallingThread(thread, sizeof(thread));
    char line[512];
    int used =
        snprintf(line, sizeof(line), "%lld %s ", static_cast<long long>(NowMicroseconds()), thread);
    va_list arguments;
    va_start(arguments, format);
    used += vsnprintf(line + used, sizeof(line) - static_cast<size_t>(used) - 1, format, arguments);
    va_end(arguments);
    if (used > static_cast<int>(sizeof(line)) - 2) {
        used = static_cast<int>(sizeof(line)) - 2;
    }
    line[used++] = '\n';
    AppendToFile(logPath, line, static_cast<size_t>(used));
}

void LoadScenario() {
    if (loaded) {
        return;
    }
    loaded = true;
    ParseOutputReportLengths(controllerDescriptor, sizeof(controllerDescriptor), &lengths);
    ResetReadPolicy(&stream.policy);
    if (const char* path = ReadSetting("VIRTUAL_REMOTE_LOG")) {
        snprintf(logPath, sizeof(logPath), "%s", path);
    }
    ShowOnTerminal(ReadSetting("VIRTUAL_REMOTE_SHOW") != nullptr);
    const char* path = ReadSetting("VIRTUAL_REMOTE_SCRIPT");
    if (path == nullptr) {
        return;
    }
    static char text[1 << 20];
    FILE* file = fopen(path, "r");
    const size_t size = file != nullptr ? fread(text, 1, sizeof(text) - 1, file) : 0;
    text[size] = '\0';
    if (file != nullptr) {
        fclose(file);
    }
    int badLine = 0;
    if (file == nullptr || !ParseScenario(text, &scenario, &badLine)) {
        fprintf(stderr, "virtual remote: cannot use scenario %s (line %d)\n", path, badLine);
        scenario.openFails = true;
    }
    for (size_t i = 0; i < scenario.stepCount; ++i) {
        hasProbeSteps = hasProbeSteps || scenario.steps[i].forProbe;
    }
    if (scenario.keyPath[0] != '\0' && !StartHand(scenario.keyPath)) {
        fprintf(stderr, "virtual remote: no keys can come from %s\n", scenario.keyPath);
    }
}

bool OnMainThread() {
    char thread[32];
    DescribeCallingThread(thread, sizeof(thread));
    return strcmp(thread, "main") == 0;
}

Cursor& CursorOfCaller(bool* probe) {
    *probe = hasProbeSteps && !OnMainThread();
    return *probe ? probeCursor : plainCursor;
}

const ScenarioStep* CurrentStep(Cursor& cursor, bool probe) {
    while (cursor.next < scenario.stepCount && scenario.steps[cursor.next].forProbe != probe) {
        ++cursor.next;
    }
    if (cursor.next < scenario.stepCount) {
        return &scenario.steps[cursor.next];
    }
    // The probe's last step repeats for any further read of the reader's.
    for (size_t i = scenario.stepCount; probe && i > 0; --i) {
        if (scenario.steps[i - 1].forProbe) {
            return &scenario.steps[i - 1];
        }
    }
    return nullptr;
}

void ConsumeStep(Cursor& cursor) {
    if (cursor.next < scenario.stepCount && !scenario.steps[cursor.next].endless &&
        ++cursor.used >= scenario.steps[cursor.next].repeat) {
        cursor.used = 0;
        ++cursor.next;
    }
}

void FormatBytes(const uint8_t* bytes, uint32_t length, char* text, size_t size) {
    text[0] = '\0';
    size_t used = 0;
    for (uint32_t i = 0; i < length && used + 4 < size; ++i) {
        used +=
            static_cast<size_t>(snprintf(text + used, size - used, i ? " %02x" : "%02x", bytes[i]));
    }
}

// Jitter from a fixed sequence, so that a scenario plays the same every time.
int64_t NextJitterUs(int64_t jitterUs) {
    stream.jitterSeed = stream.jitterSeed * 1103515245u + 12345u;
    const int64_t spread = 2 * jitterUs + 1;
    return static_cast<int64_t>((stream.jitterSeed >> 8) % static_cast<uint32_t>(spread)) -
           jitterUs;
}

void ScheduleArrival(const ScenarioStep& step) {
    stream.slotUs += step.delayUs;
    stream.arrivalUs = stream.slotUs + NextJitterUs(step.jitterUs);
}

const ScenarioStep* StreamStep(Cursor& cursor, bool probe) {
    const ScenarioStep* step = CurrentStep(cursor, probe);
    return step != nullptr && step->kind == StepKind::stream ? step : nullptr;
}

// Everything the controller has sent by now goes into the policy, as a
// draining read of the real library takes it from the system's queue. Only
// arrivals that change the input are logged: the log sits on the timing path.
void TakeInArrivals(Cursor& cursor, bool probe, int64_t nowUs) {
    const ScenarioStep* step = StreamStep(cursor, probe);
    if (step != nullptr && !stream.running) {
        stream.running = true;
        stream.slotUs = nowUs;
        ScheduleArrival(*step);
    }
    while (step != nullptr && stream.arrivalUs <= nowUs) {
        uint8_t bytes[sizeof(step->bytes)];
        memcpy(bytes, step->bytes, step->length);
        if (scenario.keyPath[0] != '\0' && step->length >= 3) {
            uint8_t held1 = 0;
            uint8_t held2 = 0;
            HeldButtons(stream.arrivalUs, step->delayUs, &held1, &held2);
            bytes[1] |= held1;
            bytes[2] |= held2;
        }
        const bool changes = memcmp(stream.lastInput, bytes, 3) != 0;
        memcpy(stream.lastInput, bytes, 3);
        if (changes) {
            char text[200];
            FormatBytes(bytes, step->length, text, sizeof(text));
            Log("arrive at=%lld %s", static_cast<long long>(stream.arrivalUs), text);
        }
        NoteArrival(&stream.policy, bytes, step->length);
        ConsumeStep(cursor);
        step = StreamStep(cursor, probe);
        if (step != nullptr) {
            ScheduleArrival(*step);
        }
    }
    stream.running = step != nullptr;
}

void OnReaderEnded() {
    readsInFlight.fetch_sub(1);
    Log("read-end cancelled");
}

int32_t EndRead(const char* outcome) {
    readsInFlight.fetch_sub(1);
    Log("read-end %s", outcome);
    return 0;
}

int32_t Deliver(uint8_t* buffer, uint32_t* bytesRead, const uint8_t* bytes, uint32_t length) {
    if (buffer != bytes) {
        memcpy(buffer, bytes, length);
    }
    *bytesRead = length;
    ShowButtons(bytes, length);
    char text[200];
    FormatBytes(bytes, length, text, sizeof(text));
    readsInFlight.fetch_sub(1);
    Log("read-end ok %s", text);
    return 1;
}

// A read while the controller streams: whatever is due is taken at once,
// without sleeping; otherwise the read waits for the next arrival.
// Gives -1 once the stream is over and nothing of it is left to hand out.
int32_t ReadFromStream(Cursor& cursor, bool probe, uint8_t* buffer, uint32_t* bytesRead) {
    for (;;) {
        TakeInArrivals(cursor, probe, NowMicroseconds());
        if (TakeReport(&stream.policy, buffer, bytesRead)) {
            return Deliver(buffer, bytesRead, buffer, *bytesRead);
        }
        if (!stream.running) {
            return -1;
        }
        if (!WaitUntil(stream.arrivalUs, OnReaderEnded)) {
            return EndRead("interrupted");
        }
    }
}
}  // namespace

int32_t OpenHidHandle(int32_t vendorId, int32_t productId) {
    LoadScenario();
    const bool found =
        !scenario.openFails && vendorId == controllerVendor && productId == controllerProduct;
    isOpen = found;
    Log("open %04x %04x -> %d", static_cast<unsigned>(vendorId), static_cast<unsigned>(productId),
        found ? controllerHandle : -1);
    return found ? controllerHandle : -1;
}

int32_t ReadReport(int32_t handle, uint8_t* buffer, uint32_t* bytesRead) {
    SettleEndedWaits();
    const int inFlight = readsInFlight.fetch_add(1) + 1;
    Log("read-begin in-flight=%d", inFlight);
    const int64_t start = NowMicroseconds();
    *bytesRead = 0;
    if (!isOpen || handle != controllerHandle) {
        return EndRead("fail bad-handle");
    }
    bool probe = false;
    Cursor& cursor = CursorOfCaller(&probe);
    if (const int32_t streamed = ReadFromStream(cursor, probe, buffer, bytesRead); streamed >= 0) {
        return streamed;
    }
    const ScenarioStep* step = CurrentStep(cursor, probe);
    if (step != nullptr && step->kind == StepKind::raise) {
        std::raise(step->signal);
    }
    const bool silent =
        step == nullptr || step->kind == StepKind::silent || step->kind == StepKind::raise;
    if (!WaitUntil(silent ? foreverUs : start + step->delayUs, OnReaderEnded)) {
        return EndRead("interrupted");
    }
    if (silent) {
        return EndRead("interrupted");
    }
    ConsumeStep(cursor);
    if (step->kind == StepKind::fail) {
        return EndRead("fail");
    }
    return Deliver(buffer, bytesRead, step->bytes, step->length);
}

int32_t WriteReport(int32_t handle, uint8_t* buffer, uint32_t* bytesWritten) {
    const bool valid = isOpen && handle == controllerHandle;
    const uint32_t length = valid ? SendLength(lengths, buffer[0]) : 0;
    bool tailZero = true;
    for (uint32_t i = 3; i < 256; ++i) {
        tailZero = tailZero && buffer[i] == 0;
    }
    *bytesWritten = length;
    Log("write %02x %02x %02x len=%u tail=%s ok=%d", buffer[0], buffer[1], buffer[2], length,
        tailZero ? "zero" : "dirty", length > 0 ? 1 : 0);
    if (length > 0) {
        ShowOutputReport(buffer[0], buffer[1]);
    }
    return length > 0 ? 1 : 0;
}

void CloseHidHandle(int32_t handle) {
    SettleEndedWaits();
    Log("close %d in-flight=%d", handle, readsInFlight.load());
    if (handle == controllerHandle && isOpen) {
        isOpen = false;
        ShowClosed();
    }
}
