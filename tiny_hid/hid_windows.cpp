// The HID access library on Windows: the handles and the transfers. Finding
// and opening a device (SetupAPI, hid.dll) is hid_windows_find.cpp's.
//
// The device is opened for overlapped I/O: a read may be outstanding while
// the main thread writes, and synchronous I/O on one handle is serialized, so
// a write would wait behind the read. A caller's read waits alertably, which
// lets a stop request (an APC to the reading thread) cut it short; writes
// wait without that, so a motor-off is never lost.
//
// The caller's reading thread may be the probe's reader, which the program
// ends with TerminateThread at any instruction. Such a thread must not be
// inside anything that holds a lock of the process's: under Wine even
// ReadFile takes the allocator's (a reader ended inside it left every later
// open hanging). So the library's own thread, started by the first open,
// issues every read: it keeps one read outstanding per device, so reports
// keep moving out of the class driver's ring (32 reports, oldest
// overwritten), and passes each report through a ring of its own to the
// caller's ReadReport, which only takes them from there into the read policy
// and waits on an event. A reading thread takes no lock, makes no handle or
// thread, allocates nothing and makes no I/O call.
//
// Output reports. Microsoft's newer Bluetooth stacks take this controller's
// reports only at their exact length, older ones only padded to the
// collection's OutputReportByteLength (22), and a few stacks only over the
// control channel. The order of attempts:
//   1. WriteFile with the exact length, as on Linux;
//   2. WriteFile padded with zeros to OutputReportByteLength;
//   3. IOCTL_HID_SET_OUTPUT_REPORT with the padded report (what
//      HidD_SetOutputReport sends, but overlapped, so it is bounded as the
//      others are).
// The first attempt that works is remembered for the handle and tried first
// from then on, so a stack that rejects the exact length costs one failed
// write, not one per report. A write is judged by its success alone: the HID
// class driver sends a report whole or not at all, and the count it gives
// back differs between stacks (Wine's leaves out the report ID byte): taken
// for a short write, it would send the same report again by the next way.
// Which way a handle settled on goes to the debugger (OutputDebugString,
// DebugView): it is the one thing about a user's stack the library learns.
//
// A stack that holds a write (a Bluetooth link failing but not yet dropped)
// must not hold the program: a write not done within a second is cancelled
// and fails, as hidapi's are. A stack that held a report that long is
// stalled, where a healthy one takes milliseconds, so from then on the
// handle's writes get 100 ms until one is done in time again: a clean stop
// sends its motor-off and LEDs-off after the write it cut into, and all of
// it must end within two seconds. A write that ran out of time is not a
// refusal: the ladder tries no other way for it. No lock is held while a
// transfer waits.
//
// A cancellation is only a request: a driver that ignores it keeps the I/O
// pending, and nothing would end a wait for it. So a cancelled write, and at
// close the cancelled read, are waited for a second at most, without the
// lock: a stack that honours a cancellation answers at once, and a stop must
// end whatever the stack does. Until the system has completed such an
// abandoned transfer it may still read or write its OVERLAPPED and buffer,
// so these live in the device's slot, not on a stack: a write copies its
// report into its writer's own buffer, a writer whose last write is still
// abandoned fails at once (the caller does not look; it must not block), a
// read is not made again while one is abandoned, and a slot is not opened
// again until all of its transfers have completed. A stack that holds a
// cancelled write costs a clean stop that write's limit and the second, then
// its later writes fail at once, and the close another second.
//
// A controller that drops out: its reads and writes fail (typically
// ERROR_DEVICE_NOT_CONNECTED). The library's thread marks the device gone
// and looks for it again; the caller's read simply waits for the next report
// meanwhile. It looks whenever Windows announces a new HID interface
// (CM_Register_Notification, where cfgmgr32 has it), every half second while
// a device is gone, since not every system announces them, and sooner when
// the path the device had opens again: where the stack gives a returning
// controller the path it had (Wine 8 does), trying that path every 50 ms
// costs one failed open, where a look lists every interface.
//
// Keeping the controller's state (mode_keeper.h): the same thread shows every
// report to the keeper as it arrives and sends what it calls for at once, in
// the middle of the caller's pulse if need be. Every write, the caller's and
// the thread's, holds the device's write order from the moment the keeper
// learns of it to the end of the transfer, and what the thread sends is built
// when it takes that order: it can never overtake a motor-off.
#include <windows.h>

#include <atomic>
#include <cstring>

#include "hid_windows_find.h"
#include "mode_keeper.h"
#include "read_policy.h"
#include "tiny_hid.h"

// hidclass.h's control codes need CTL_CODE from windows.h.
#include <hidclass.h>

namespace {
constexpr int maxHandles = 16;
constexpr size_t maxReportBytes = 4096;
constexpr size_t callerBufferBytes = 256;
// Where no arrival is announced, a returning controller is found by the next
// look: half a second keeps it in use within a second of its return, whatever
// the phase of the looks (once a second, one that came back just after a look
// waited a whole second more), and a look costs little.
constexpr DWORD rescanMs = 500;
constexpr DWORD backProbeMs = 50;
constexpr DWORD writeLimitMs = 1000;
constexpr DWORD stalledWriteLimitMs = 100;
// How long a cancelled transfer is waited for: a stack that honours a
// cancellation answers at once, and a close must end whatever the stack does.
constexpr DWORD cancelLimitMs = 1000;
// Reports on their way from the library's thread to a read: the caller reads
// at least once per 100 ms pass, and the greeting and banner hold it for
// about 300 ms, at up to 100 reports a second. When it is full the thread
// leaves the rest in the class driver's ring and looks again shortly.
constexpr uint32_t arrivalCount = 64;
constexpr DWORD fullArrivalsPollMs = 10;

enum class WriteMethod { exactWrite, paddedWrite, setOutputReport };
constexpr WriteMethod writeMethods[] = {WriteMethod::exactWrite, WriteMethod::paddedWrite,
                                        WriteMethod::setOutputReport};
enum class WriteOutcome { sent, refused, timedOut };

// One writer's transfer: the caller's writes, or the library thread's mode
// reports. The system may read bytes and write overlapped until the write
// has completed, which outlives the call when the write is abandoned.
struct Writer {
    OVERLAPPED overlapped;
    uint8_t bytes[maxReportBytes];
    bool abandoned;  // its last write was cancelled and not yet completed
};

// A file is closed only while no thread can be using it. Writers (the
// caller's writes, the library thread's mode reports) count themselves in users under
// the lock before they touch it and out again after their last wait; the
// file closes once users is 0 and only then, by the library thread's re-open or by
// whoever counts out last after the handle was closed. The library's thread
// makes its reads under the lock and never waits for one there; a caller's
// reading thread never touches the file at all.
//
// Every event and OVERLAPPED is made at open, and the outstanding read's
// OVERLAPPED and buffer live here: the system completes a read into that
// memory when the file closes, or later still when its stack ignores the
// cancellation.
struct OpenDevice {
    // Under the lock.
    bool inUse;
    bool closing;  // the caller closed it; the last writer out lets go
    int users;
    HANDLE file;  // null once the library thread has let go of a gone device's file
    DeviceIdentity identity;
    Description description;
    WriteMethod lastWorked;
    bool methodTold;
    ModeKeeper keeper;
    uint8_t keeperWrites;  // what the keeper called for and the thread has not sent
    bool reading;          // incoming has a read outstanding on file
    bool readAbandoned;    // incoming may still hold a read of a file let go of
    OVERLAPPED incoming;
    uint8_t incomingBytes[maxReportBytes];
    // Without the lock.
    std::atomic<bool> gone;           // set and cleared by the library's thread
    std::atomic<bool> writesStalled;  // the last write ran out of time
    // Taken before the lock, held across a whole write: one writer at a time,
    // in the order the keeper learns of them.
    SRWLOCK writeOrder;
    // Each its writer's own; the lock only while no writer is in.
    Writer callerWrite;
    Writer libraryWrite;
    // From the library's thread to the caller's reads: the thread alone moves
    // arrivalsIn, the reader alone arrivalsOut. A reader ended mid-take
    // leaves arrivalsOut behind; nothing but the next open, which starts
    // both afresh, looks at it after a close.
    HeldReport arrivals[arrivalCount];
    std::atomic<uint32_t> arrivalsIn;
    std::atomic<uint32_t> arrivalsOut;
    HANDLE arrived;  // auto-reset: arrivals has something new
    // The caller's reading thread's alone.
    ReadPolicy policy;
};

OpenDevice devices[maxHandles] = {};
// Held only for short work, never across a transfer's wait: between the
// caller's opens, writes and closes and the library thread.
SRWLOCK deviceLock = SRWLOCK_INIT;
bool libraryThreadRunning = false;  // under the lock
HANDLE libraryWake = nullptr;       // auto-reset; made before the first handle, never closed
bool listening = false;             // the library's thread hears of new interfaces

struct Locked {
    Locked() {
        AcquireSRWLockExclusive(&deviceLock);
    }
    ~Locked() {
        ReleaseSRWLockExclusive(&deviceLock);
    }
};

struct InWriteOrder {
    explicit InWriteOrder(OpenDevice* device) : order(&device->writeOrder) {
        AcquireSRWLockExclusive(order);
    }
    ~InWriteOrder() {
        ReleaseSRWLockExclusive(order);
    }
    SRWLOCK* order;
};

int64_t NowMs() {
    return static_cast<int64_t>(GetTickCount64());
}

OpenDevice* DeviceFor(int32_t handle) {
    if (handle < 0 || handle >= maxHandles || !devices[handle].inUse || devices[handle].closing) {
        return nullptr;
    }
    return &devices[handle];
}

// --- Writes -------------------------------------------------------------------

// The system is done with a transfer's memory once its status is final and
// its event is set, which comes last.
bool Completed(const OVERLAPPED& overlapped) {
    return HasOverlappedIoCompleted(&overlapped) &&
           WaitForSingleObject(overlapped.hEvent, 0) == WAIT_OBJECT_0;
}

// False while the writer's last write is still abandoned: its OVERLAPPED and
// buffer are the system's until it completes.
bool WriterFree(Writer* writer) {
    if (writer->abandoned && Completed(writer->overlapped)) {
        writer->abandoned = false;
    }
    return !writer->abandoned;
}

// A writer's hold on a device's file, taken and given back under the lock.
struct Transfer {
    OpenDevice* device;
    HANDLE file;
    Writer* writer;      // the caller's or the library thread's
    WriteMethod method;  // the way that worked last
    DWORD paddedBytes;
};

Transfer TakeFile(OpenDevice* device, Writer* writer) {
    ++device->users;
    return {device, device->file, writer, device->lastWorked,
            device->description.paddedOutputBytes};
}

// The writer's bytes, length of them. Waits without alerts: a stop's kick
// must not cut short a motor-off. A write that slips through between the
// wait and its cancellation counts as timed out all the same: the stack is
// stalled either way.
WriteOutcome Write(const Transfer& transfer, WriteMethod method, DWORD length) {
    Writer* writer = transfer.writer;
    OVERLAPPED* overlapped = &writer->overlapped;
    const HANDLE done = overlapped->hEvent;
    *overlapped = OVERLAPPED{};
    overlapped->hEvent = done;
    const BOOL started =
        method == WriteMethod::setOutputReport
            ? DeviceIoControl(transfer.file, IOCTL_HID_SET_OUTPUT_REPORT, writer->bytes, length,
                              nullptr, 0, nullptr, overlapped)
            : WriteFile(transfer.file, writer->bytes, length, nullptr, overlapped);
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        return WriteOutcome::refused;
    }
    std::atomic<bool>& stalled = transfer.device->writesStalled;
    const DWORD limitMs = stalled.load() ? stalledWriteLimitMs : writeLimitMs;
    const bool inTime = WaitForSingleObject(done, limitMs) == WAIT_OBJECT_0;
    stalled.store(!inTime);
    if (!inTime) {
        CancelIoEx(transfer.file, overlapped);
        if (WaitForSingleObject(done, cancelLimitMs) != WAIT_OBJECT_0) {
            writer->abandoned = true;
        }
        return WriteOutcome::timedOut;
    }
    DWORD counted = 0;
    return GetOverlappedResult(transfer.file, overlapped, &counted, FALSE) != FALSE
               ? WriteOutcome::sent
               : WriteOutcome::refused;
}

// *sent is the length handed over, the same on every stack. A writer still
// held by an abandoned write fails at once, as stalled as one that ran out
// of time: the ladder tries no other way.
WriteOutcome TryWrite(const Transfer& transfer, WriteMethod method, const uint8_t* buffer,
                      DWORD length, DWORD* sent) {
    *sent = 0;
    // Zeros after the declared bytes, not whatever the caller's buffer holds.
    const DWORD bytes = method == WriteMethod::exactWrite ? length : transfer.paddedBytes;
    if (bytes < length || bytes > maxReportBytes) {
        return WriteOutcome::refused;
    }
    Writer* writer = transfer.writer;
    if (!WriterFree(writer)) {
        return WriteOutcome::timedOut;
    }
    memcpy(writer->bytes, buffer, length);
    memset(writer->bytes + length, 0, bytes - length);
    const WriteOutcome outcome = Write(transfer, method, bytes);
    *sent = outcome == WriteOutcome::sent ? bytes : 0;
    return outcome;
}

// The way that worked last first, then the others in order; a write that ran
// out of time ends the ladder. True with *used when one way worked.
bool SendByLadder(const Transfer& transfer, const uint8_t* buffer, DWORD length, DWORD* sent,
                  WriteMethod* used) {
    WriteOutcome outcome = TryWrite(transfer, transfer.method, buffer, length, sent);
    *used = transfer.method;
    for (WriteMethod method : writeMethods) {
        if (outcome != WriteOutcome::refused) {
            break;
        }
        if (method != transfer.method) {
            outcome = TryWrite(transfer, method, buffer, length, sent);
            *used = method;
        }
    }
    return outcome == WriteOutcome::sent;
}

// Told once per handle, and again only if the stack changes its mind.
void Settle(OpenDevice* device, WriteMethod method) {
    if (device->methodTold && device->lastWorked == method) {
        return;
    }
    device->lastWorked = method;
    device->methodTold = true;
    switch (method) {
        case WriteMethod::exactWrite:
            OutputDebugStringA("tiny_hid: output reports go by WriteFile at their exact length\n");
            return;
        case WriteMethod::paddedWrite:
            OutputDebugStringA("tiny_hid: output reports go by WriteFile, padded\n");
            return;
        case WriteMethod::setOutputReport:
            OutputDebugStringA("tiny_hid: output reports go by IOCTL_HID_SET_OUTPUT_REPORT\n");
            return;
    }
}

// --- Letting go ---------------------------------------------------------------

// Under the lock. The outstanding read is cancelled, not waited for: a read
// that has not completed by then stays abandoned, and its OVERLAPPED and
// buffer are not used again until it has. A close gives it its bounded wait
// beforehand, without the lock.
void LetGoOfFile(OpenDevice* device) {
    if (device->file == nullptr) {
        return;
    }
    if (device->reading) {
        CancelIoEx(device->file, &device->incoming);
        device->readAbandoned = true;
    }
    device->reading = false;
    CloseHandle(device->file);
    device->file = nullptr;
}

// Under the lock: false while a read of a file let go of may still complete
// into incoming.
bool ReadFree(OpenDevice* device) {
    if (device->readAbandoned && Completed(device->incoming)) {
        device->readAbandoned = false;
    }
    return !device->readAbandoned;
}

// Under the lock, for a slot not in use: nothing the system may still
// complete into it.
bool SlotFree(OpenDevice* device) {
    return ReadFree(device) && WriterFree(&device->callerWrite) &&
           WriterFree(&device->libraryWrite);
}

// Under the lock, with no writer in: the slot is free again once SlotFree.
void FreeSlot(OpenDevice* device) {
    LetGoOfFile(device);
    device->gone.store(false);
    device->keeperWrites = keepNothing;
    device->closing = false;
    device->inUse = false;
}

// Under the lock: a writer is done with the file.
void GiveBackFile(OpenDevice* device) {
    if (--device->users > 0) {
        return;
    }
    if (device->closing) {
        FreeSlot(device);
    } else if (device->gone.load()) {
        SetEvent(libraryWake);  // it waited for this writer before it could re-open
    }
}

// --- Devices that came back, and mode reports sent again ----------------------

// Under the lock and the device's write order, with no writer in. The
// device starts in its own default mode: the caller's is set again before
// any write of the caller's own reaches it.
void ReopenGone(OpenDevice* device) {
    LetGoOfFile(device);
    DeviceIdentity identity{};
    static Description description;
    HANDLE file = OpenBestDevice(device->identity, &identity, &description);
    if (file == nullptr) {
        return;
    }
    device->identity = identity;
    device->description = description;
    device->file = file;
    device->writesStalled.store(false);
    device->keeperWrites |= KeeperWritesAfterReturn(&device->keeper, NowMs());
    device->gone.store(false);
}

// What the keeper called for (the caller's mode report, its motor report),
// built as the write order is taken, with the motor state of this moment, and
// sent the way the caller's own reports last went out. Its outcome matters to
// nobody: a device that refuses it has gone, and the next read finds that out.
// The device's write order is held.
void SendKeptInOrder(OpenDevice* device) {
    Transfer transfer{};
    uint8_t reports[2][maxModeBytes > maxMotorBytes ? maxModeBytes : maxMotorBytes];
    uint32_t lengths[2] = {};
    {
        Locked locked;
        const uint8_t writes = device->keeperWrites;
        device->keeperWrites = keepNothing;
        if (!device->inUse || device->closing || device->gone.load()) {
            return;
        }
        const bool mode =
            (writes & keepMode) != 0 && CurrentMode(device->keeper, reports[0], &lengths[0]);
        const bool motor =
            (writes & keepMotor) != 0 && CurrentMotor(device->keeper, reports[1], &lengths[1]);
        if (!mode && !motor) {
            return;
        }
        lengths[0] = mode ? lengths[0] : 0;
        lengths[1] = motor ? lengths[1] : 0;
        transfer = TakeFile(device, &device->libraryWrite);
    }
    for (int i = 0; i < 2; ++i) {
        DWORD sent = 0;
        if (lengths[i] != 0) {
            TryWrite(transfer, transfer.method, reports[i], lengths[i], &sent);
        }
    }
    Locked locked;
    GiveBackFile(device);
}

void SendKept(OpenDevice* device) {
    {
        // Most passes call for nothing: the thread then goes back to its
        // reads at once, without waiting for a caller's write to end.
        Locked locked;
        if (device->keeperWrites == keepNothing) {
            return;
        }
    }
    InWriteOrder order(device);
    SendKeptInOrder(device);
}

bool AwaitsReturn(const OpenDevice& device) {
    return device.inUse && !device.closing && device.users == 0 && device.gone.load();
}

// A full look lists every interface; otherwise only a device whose old path
// opens again is looked for. A caller's write that comes while the device is
// opened again waits for the write order, and so for the kept reports.
void ReopenGoneDevices(bool fullLook) {
    for (OpenDevice& device : devices) {
        {
            Locked locked;
            if (!AwaitsReturn(device)) {
                continue;
            }
        }
        InWriteOrder order(&device);
        {
            Locked locked;
            if (!AwaitsReturn(device) || !(fullLook || MayBeBack(device.description))) {
                continue;
            }
            ReopenGone(&device);
            if (device.gone.load()) {
                continue;
            }
        }
        SendKeptInOrder(&device);
    }
}

// --- The library's thread: every read, and devices that came back -----------

// The length a read asks for: room for a whole input report, as the stack wants.
DWORD ReadLength(const OpenDevice& device) {
    const DWORD length = device.description.inputBytes;
    return length == 0 || length > maxReportBytes ? maxReportBytes : length;
}

bool ArrivalsFull(const OpenDevice& device) {
    return device.arrivalsIn.load() - device.arrivalsOut.load() >= arrivalCount;
}

// Under the lock: one completed read, passed on to the caller's reads, and
// the mode report sent again if it calls for that.
void TakeArrival(OpenDevice* device, DWORD got) {
    const uint32_t kept = got < callerBufferBytes ? got : callerBufferBytes;
    const uint32_t in = device->arrivalsIn.load();
    HeldReport& arrival = device->arrivals[in % arrivalCount];
    memcpy(arrival.bytes, device->incomingBytes, kept);
    arrival.length = kept;
    device->arrivalsIn.store(in + 1);
    device->keeperWrites |=
        KeeperWritesForArrival(&device->keeper, device->incomingBytes, kept, NowMs());
}

// Under the lock: takes every read that has completed and leaves a new one
// outstanding, without waiting. False when the device refuses reads: it has
// gone. Only a close cancels these reads, so any failure is the device's.
bool CollectReports(OpenDevice* device) {
    bool passedOn = false;
    bool working = true;
    while (!ArrivalsFull(*device)) {
        if (!device->reading) {
            if (!ReadFree(device)) {
                break;  // its event says when the abandoned read is done
            }
            if (!ReadFile(device->file, device->incomingBytes, ReadLength(*device), nullptr,
                          &device->incoming) &&
                GetLastError() != ERROR_IO_PENDING) {
                working = false;
                break;
            }
            device->reading = true;
        }
        DWORD got = 0;
        if (!GetOverlappedResult(device->file, &device->incoming, &got, FALSE)) {
            working = GetLastError() == ERROR_IO_INCOMPLETE;
            device->reading = working;
            break;
        }
        device->reading = false;
        TakeArrival(device, got);
        passedOn = true;
    }
    if (passedOn) {
        SetEvent(device->arrived);
    }
    return working;
}

// Under the lock. True when some device is gone.
bool CollectAll() {
    bool anyGone = false;
    for (OpenDevice& device : devices) {
        if (!device.inUse || device.closing) {
            continue;
        }
        if (!device.gone.load() && !CollectReports(&device)) {
            device.gone.store(true);
        }
        if (!device.gone.load()) {
            device.keeperWrites |= KeeperWritesForSilence(&device.keeper, NowMs());
        }
        anyGone = anyGone || device.gone.load();
    }
    return anyGone;
}

// Under the lock: what the thread waits for next (its wake and every
// outstanding read), and for how long at most.
DWORD WaitList(HANDLE* events, DWORD* timeoutMs) {
    DWORD count = 0;
    events[count++] = libraryWake;
    bool anyGone = false;
    bool anyFull = false;
    int64_t silenceMs = INT64_MAX;  // until the first silence the keeper answers
    const int64_t nowMs = NowMs();
    for (const OpenDevice& device : devices) {
        if (!device.inUse || device.closing) {
            continue;
        }
        anyGone = anyGone || device.gone.load();
        anyFull = anyFull || (!device.gone.load() && ArrivalsFull(device));
        if (device.reading || device.readAbandoned) {
            events[count++] = device.incoming.hEvent;
        }
        const int64_t deadlineMs = SilenceDeadlineMs(device.keeper);
        if (!device.gone.load() && deadlineMs != INT64_MAX && deadlineMs - nowMs < silenceMs) {
            silenceMs = deadlineMs <= nowMs ? 0 : deadlineMs - nowMs;
        }
    }
    *timeoutMs = anyFull ? fullArrivalsPollMs : anyGone ? backProbeMs : INFINITE;
    if (silenceMs < static_cast<int64_t>(*timeoutMs)) {
        *timeoutMs = static_cast<DWORD>(silenceMs);
    }
    return count;
}

// Arrivals matter only once a device has gone, and listening for them loads
// cfgmgr32 under the loader's lock, which every thread needs to start or end:
// taken at the first open, it would hold up the probe's reader.
DWORD WINAPI RunLibraryThread(void*) {
    int64_t nextLookMs = 0;
    for (;;) {
        HANDLE events[1 + maxHandles];
        DWORD timeoutMs = INFINITE;
        DWORD count = 0;
        {
            Locked locked;
            count = WaitList(events, &timeoutMs);
        }
        const DWORD woken = WaitForMultipleObjects(count, events, FALSE, timeoutMs);
        // An announcement, or a writer that let go of a gone device's file,
        // wakes the thread itself; otherwise a full look is due every
        // rescanMs.
        const bool fullLook = woken == WAIT_OBJECT_0 || NowMs() >= nextLookMs;
        if (fullLook) {
            nextLookMs = NowMs() + rescanMs;
        }
        ReopenGoneDevices(fullLook);
        bool anyGone = false;
        {
            Locked locked;
            anyGone = CollectAll();
        }
        if (anyGone && !listening) {
            ListenForArrivals(libraryWake);
            listening = true;
        }
        for (OpenDevice& device : devices) {
            SendKept(&device);
        }
    }
}

// Under the lock, on the caller's thread.
bool StartLibraryThread() {
    if (libraryThreadRunning) {
        return true;
    }
    if (libraryWake == nullptr) {
        libraryWake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    HANDLE thread = libraryWake != nullptr
                        ? CreateThread(nullptr, 0, RunLibraryThread, nullptr, 0, nullptr)
                        : nullptr;
    if (thread == nullptr) {
        return false;
    }
    CloseHandle(thread);
    libraryThreadRunning = true;
    return true;
}

// Made once per slot and kept for the life of the process: the library's
// thread may be waiting on a read's event just as the caller closes.
bool MakeEvents(OpenDevice* device) {
    for (HANDLE* event : {&device->incoming.hEvent, &device->callerWrite.overlapped.hEvent,
                          &device->libraryWrite.overlapped.hEvent}) {
        if (*event == nullptr) {
            *event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        }
    }
    if (device->arrived == nullptr) {
        device->arrived = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    return device->incoming.hEvent != nullptr && device->callerWrite.overlapped.hEvent != nullptr &&
           device->libraryWrite.overlapped.hEvent != nullptr && device->arrived != nullptr;
}

// Everything the library's thread passed on since the last read, into the
// read policy. On the caller's reading thread: memory and atomics only.
void TakeArrivals(OpenDevice* device) {
    const uint32_t in = device->arrivalsIn.load();
    for (uint32_t out = device->arrivalsOut.load(); out != in; ++out) {
        const HeldReport& arrival = device->arrivals[out % arrivalCount];
        NoteArrival(&device->policy, arrival.bytes, arrival.length);
        device->arrivalsOut.store(out + 1);
    }
}
}  // namespace

int32_t OpenHidHandle(int32_t vendorId, int32_t productId) {
    Locked locked;
    if (!StartLibraryThread()) {
        return -1;
    }
    for (int32_t handle = 0; handle < maxHandles; ++handle) {
        OpenDevice& device = devices[handle];
        if (device.inUse || !SlotFree(&device)) {
            continue;
        }
        const DeviceIdentity wanted{vendorId, productId, {}};
        if (!MakeEvents(&device)) {
            return -1;
        }
        HANDLE file = OpenBestDevice(wanted, &device.identity, &device.description);
        if (file == nullptr) {
            return -1;
        }
        device.file = file;
        device.users = 0;
        device.closing = false;
        device.gone.store(false);
        device.keeperWrites = keepNothing;
        device.writesStalled.store(false);
        device.lastWorked = WriteMethod::exactWrite;
        device.methodTold = false;
        device.reading = false;
        device.arrivalsIn.store(0);
        device.arrivalsOut.store(0);
        ResetEvent(device.arrived);
        ResetReadPolicy(&device.policy);
        ResetModeKeeper(&device.keeper);
        device.inUse = true;
        SetEvent(libraryWake);  // its first read
        return handle;
    }
    return -1;
}

int32_t ReadReport(int32_t handle, uint8_t* buffer, uint32_t* bytesRead) {
    *bytesRead = 0;
    OpenDevice* device = DeviceFor(handle);
    if (device == nullptr) {
        return 0;
    }
    for (;;) {
        TakeArrivals(device);
        if (TakeReport(&device->policy, buffer, bytesRead)) {
            return 1;
        }
        // Nothing new, or the device is away: wait for the next report. An
        // APC (a stop request) ends the wait.
        if (WaitForSingleObjectEx(device->arrived, INFINITE, TRUE) != WAIT_OBJECT_0) {
            return 0;
        }
    }
}

int32_t WriteReport(int32_t handle, uint8_t* buffer, uint32_t* bytesWritten) {
    *bytesWritten = 0;
    if (handle < 0 || handle >= maxHandles) {
        return 0;
    }
    InWriteOrder order(&devices[handle]);
    OpenDevice* device = nullptr;
    Transfer transfer{};
    uint32_t length = 0;
    {
        Locked locked;
        device = DeviceFor(handle);
        if (device == nullptr) {
            return 0;
        }
        length = SendLength(device->description.lengths, buffer[0]);
        if (length == 0) {
            return 0;
        }
        // What the caller asks for counts whether or not it gets through: a
        // motor switched off while the device was away stays off when it
        // returns.
        NoteCallerReport(&device->keeper, buffer, length);
        if (device->gone.load()) {
            return 0;  // nothing waits for it to return
        }
        transfer = TakeFile(device, &device->callerWrite);
    }
    DWORD sent = 0;
    WriteMethod used = transfer.method;
    const bool worked = SendByLadder(transfer, buffer, length, &sent, &used);
    Locked locked;
    if (worked) {
        Settle(device, used);
        *bytesWritten = sent;
    }
    GiveBackFile(device);
    return worked ? 1 : 0;
}

void CloseHidHandle(int32_t handle) {
    OpenDevice* device = nullptr;
    bool readPending = false;
    {
        Locked locked;
        device = DeviceFor(handle);
        if (device == nullptr) {
            return;
        }
        // Nothing here trusts what a reader ended mid-read left behind.
        device->closing = true;
        if (device->users > 0) {
            // A writer is in (the library thread sending a mode report): its
            // write is cut short, it lets go of the file as it leaves, and the
            // slot stays taken until then.
            CancelIoEx(device->file, &device->libraryWrite.overlapped);
            CancelIoEx(device->file, &device->callerWrite.overlapped);
            return;
        }
        // Closing, the slot is no one else's: the library's thread leaves it
        // alone and no writer comes in while the lock is let go of.
        readPending = device->reading && CancelIoEx(device->file, &device->incoming);
    }
    // Most stacks end a cancelled read at once, and a slot whose read has
    // ended is free for the next open; a stack that ignores the cancellation
    // must not hold the close.
    if (readPending) {
        WaitForSingleObject(device->incoming.hEvent, cancelLimitMs);
    }
    Locked locked;
    FreeSlot(device);
}
