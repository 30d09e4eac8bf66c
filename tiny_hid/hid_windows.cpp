// The HID access library on Windows: the handles and the transfers. Finding
// and opening a device (SetupAPI, hid.dll) is hid_windows_find.cpp's.
//
// The device is opened for overlapped I/O: the probe's reader thread may sit
// in a read while the main thread writes, and synchronous I/O on one handle
// is serialized, so a write would wait behind the read. A read waits
// alertably, which lets a stop request (an APC to the reading thread) cut it
// short; writes wait without that, so a motor-off is never lost.
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
// A controller that drops out: its reads and writes fail (typically
// ERROR_DEVICE_NOT_CONNECTED). The reading thread marks the device gone and
// waits, alertably, until it is back. Finding it again is the work of a
// thread of the library's own, started by the first open: the reading thread
// may be the probe's reader, which the program ends with TerminateThread at
// any instruction. So a reading thread takes no lock, makes no handle or
// thread and allocates nothing; a mode report that a read calls for (see
// mode_keeper.h) is sent by the finder as well. The finder looks whenever
// Windows announces a new HID interface (CM_Register_Notification, where
// cfgmgr32 has it) and every second while a device is gone, since not every
// system announces them.
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
constexpr DWORD rescanMs = 1000;
constexpr DWORD writeLimitMs = 1000;
constexpr DWORD stalledWriteLimitMs = 100;

enum class WriteMethod { exactWrite, paddedWrite, setOutputReport };
constexpr WriteMethod writeMethods[] = {WriteMethod::exactWrite, WriteMethod::paddedWrite,
                                        WriteMethod::setOutputReport};
enum class WriteOutcome { sent, refused, timedOut };

// A file is closed only while no thread can be using it. Writers (the
// caller's writes, the finder's mode reports) count themselves in users under
// the lock before they touch it and out again after their last wait; the
// file closes once users is 0 and only then, by the finder's re-open or by
// whoever counts out last after the handle was closed. A reading thread
// counts nowhere (it may be ended at any instruction): it leaves the file
// alone once it has marked it gone, and the caller ends its readers before it
// closes the handle.
//
// Every event and OVERLAPPED is made at open. One overlapped read stays
// outstanding across calls, so reports keep moving from the class driver's
// ring (32 reports, oldest overwritten) into the read policy. Its OVERLAPPED
// and buffer live here, not on a reading thread's stack: the probe's reader
// may be ended by TerminateThread inside a read, and the system completes the
// read into that memory when the handle closes.
struct OpenDevice {
    // Under the lock.
    bool inUse;
    bool closing;  // the caller closed it; the last writer out lets go
    int users;
    HANDLE file;  // null once the finder has let go of a gone device's file
    DeviceIdentity identity;
    Description description;
    WriteMethod lastWorked;
    bool methodTold;
    // Written under the lock by the caller's writes; the reading thread's
    // ModeToRestore reads it and notes status reports in it.
    ModeKeeper keeper;
    // Without the lock.
    std::atomic<bool> gone;           // set by the reading thread, cleared by the finder
    std::atomic<bool> restoreWanted;  // a read called for the mode report: the finder sends it
    std::atomic<bool> writesStalled;  // the last write ran out of time
    HANDLE returned;                  // auto-reset: the finder has the device open again
    OVERLAPPED callerWrite;
    OVERLAPPED finderWrite;
    OVERLAPPED incoming;
    // The reading thread's alone.
    bool reading;  // incoming has a read outstanding
    uint8_t incomingBytes[maxReportBytes];
    ReadPolicy policy;
};

OpenDevice devices[maxHandles] = {};
// Held only for short work, never across a transfer's wait: between the
// caller's opens, writes and closes and the finder.
SRWLOCK deviceLock = SRWLOCK_INIT;
bool finderRunning = false;   // under the lock
HANDLE finderWake = nullptr;  // auto-reset; made before the first handle, never closed

struct Locked {
    Locked() {
        AcquireSRWLockExclusive(&deviceLock);
    }
    ~Locked() {
        ReleaseSRWLockExclusive(&deviceLock);
    }
};

OpenDevice* DeviceFor(int32_t handle) {
    if (handle < 0 || handle >= maxHandles || !devices[handle].inUse || devices[handle].closing) {
        return nullptr;
    }
    return &devices[handle];
}

// --- Writes -------------------------------------------------------------------

// A writer's hold on a device's file, taken and given back under the lock.
struct Transfer {
    OpenDevice* device;
    HANDLE file;
    OVERLAPPED* overlapped;  // the writer's own: the caller's or the finder's
    WriteMethod method;      // the way that worked last
    DWORD paddedBytes;
};

Transfer TakeFile(OpenDevice* device, OVERLAPPED* overlapped) {
    ++device->users;
    return {device, device->file, overlapped, device->lastWorked,
            device->description.paddedOutputBytes};
}

// Waits without alerts: a stop's kick must not cut short a motor-off. A
// write that slips through between the wait and its cancellation counts as
// timed out all the same: the stack is stalled either way.
WriteOutcome Write(const Transfer& transfer, WriteMethod method, const uint8_t* bytes,
                   DWORD length) {
    OVERLAPPED* overlapped = transfer.overlapped;
    const HANDLE done = overlapped->hEvent;
    *overlapped = OVERLAPPED{};
    overlapped->hEvent = done;
    void* report = const_cast<uint8_t*>(bytes);
    const BOOL started = method == WriteMethod::setOutputReport
                             ? DeviceIoControl(transfer.file, IOCTL_HID_SET_OUTPUT_REPORT, report,
                                               length, nullptr, 0, nullptr, overlapped)
                             : WriteFile(transfer.file, report, length, nullptr, overlapped);
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        return WriteOutcome::refused;
    }
    std::atomic<bool>& stalled = transfer.device->writesStalled;
    const DWORD limitMs = stalled.load() ? stalledWriteLimitMs : writeLimitMs;
    const bool inTime = WaitForSingleObject(done, limitMs) == WAIT_OBJECT_0;
    if (!inTime) {
        CancelIoEx(transfer.file, overlapped);
    }
    // The system may still read the report until the write has ended, and
    // the OVERLAPPED is used again: a cancelled write is waited for, which
    // the stack answers at once.
    DWORD counted = 0;
    const bool worked = GetOverlappedResult(transfer.file, overlapped, &counted, TRUE) != FALSE;
    stalled.store(!inTime);
    if (!inTime) {
        return WriteOutcome::timedOut;
    }
    return worked ? WriteOutcome::sent : WriteOutcome::refused;
}

// *sent is the length handed over, the same on every stack.
WriteOutcome TryWrite(const Transfer& transfer, WriteMethod method, const uint8_t* buffer,
                      DWORD length, DWORD* sent) {
    if (method == WriteMethod::exactWrite) {
        const WriteOutcome outcome = Write(transfer, method, buffer, length);
        *sent = outcome == WriteOutcome::sent ? length : 0;
        return outcome;
    }
    // Zeros after the declared bytes, not whatever the caller's buffer holds.
    const DWORD paddedBytes = transfer.paddedBytes;
    if (paddedBytes < length || paddedBytes > maxReportBytes) {
        return WriteOutcome::refused;
    }
    uint8_t padded[maxReportBytes] = {};
    memcpy(padded, buffer, length);
    const WriteOutcome outcome = Write(transfer, method, padded, paddedBytes);
    *sent = outcome == WriteOutcome::sent ? paddedBytes : 0;
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

// The outstanding read ends before the file closes, so nothing completes into
// the buffer of a slot that is free again. Whether one is outstanding is the
// system's to say, not the reading flag's: a reader ended between its
// ReadFile and the flag leaves the flag wrong. A cancelled read is waited
// for; the class driver ends it at once. Under the lock, with no writer in.
void LetGoOfFile(OpenDevice* device) {
    if (device->file == nullptr) {
        return;
    }
    if (CancelIoEx(device->file, &device->incoming)) {
        DWORD ignored = 0;
        GetOverlappedResult(device->file, &device->incoming, &ignored, TRUE);
    }
    CloseHandle(device->file);
    device->file = nullptr;
}

void CloseEvents(OpenDevice* device) {
    for (HANDLE event : {device->incoming.hEvent, device->callerWrite.hEvent,
                         device->finderWrite.hEvent, device->returned}) {
        if (event != nullptr) {
            CloseHandle(event);
        }
    }
    device->incoming.hEvent = nullptr;
    device->callerWrite.hEvent = nullptr;
    device->finderWrite.hEvent = nullptr;
    device->returned = nullptr;
}

// Under the lock, with no writer in: the slot is free again.
void FreeSlot(OpenDevice* device) {
    LetGoOfFile(device);
    CloseEvents(device);
    device->gone.store(false);
    device->restoreWanted.store(false);
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
        SetEvent(finderWake);  // it waited for this writer before it could re-open
    }
}

// --- The finder thread ---------------------------------------------------------

// Under the lock, with no writer in. The device starts in its own default
// mode: the caller's is set again at once.
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
    uint8_t mode[maxModeBytes];
    uint32_t modeLength = 0;
    device->restoreWanted.store(ModeAfterReturn(&device->keeper, mode, &modeLength));
    device->gone.store(false);
    SetEvent(device->returned);
}

bool AnyGone() {
    Locked locked;
    for (const OpenDevice& device : devices) {
        if (device.inUse && !device.closing && device.gone.load()) {
            return true;
        }
    }
    return false;
}

void ReopenGoneDevices() {
    Locked locked;
    for (OpenDevice& device : devices) {
        if (device.inUse && !device.closing && device.users == 0 && device.gone.load()) {
            ReopenGone(&device);
        }
    }
}

// The caller's mode report, with the motor state of this moment, the way the
// caller's own reports last went out. Its outcome matters to nobody: a device
// that refuses it has gone, and the next read finds that out.
void RestoreMode(OpenDevice* device) {
    Transfer transfer{};
    uint8_t mode[maxModeBytes];
    uint32_t modeLength = 0;
    {
        Locked locked;
        if (!device->inUse || device->closing || device->gone.load() ||
            !device->restoreWanted.exchange(false) ||
            !CurrentMode(device->keeper, mode, &modeLength)) {
            return;
        }
        transfer = TakeFile(device, &device->finderWrite);
    }
    DWORD sent = 0;
    TryWrite(transfer, transfer.method, mode, modeLength, &sent);
    Locked locked;
    GiveBackFile(device);
}

// Arrivals matter only once a device has gone, and listening for them loads
// cfgmgr32 under the loader's lock, which every thread needs to start or end:
// taken at the first open, it would hold up the probe's reader.
DWORD WINAPI FindReturningDevices(void*) {
    bool listening = false;
    for (;;) {
        WaitForSingleObject(finderWake, AnyGone() ? rescanMs : INFINITE);
        if (!listening && AnyGone()) {
            ListenForArrivals(finderWake);
            listening = true;
        }
        ReopenGoneDevices();
        for (OpenDevice& device : devices) {
            RestoreMode(&device);
        }
    }
}

// Under the lock, on the caller's thread.
bool StartFinder() {
    if (finderRunning) {
        return true;
    }
    if (finderWake == nullptr) {
        finderWake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    HANDLE finder = finderWake != nullptr
                        ? CreateThread(nullptr, 0, FindReturningDevices, nullptr, 0, nullptr)
                        : nullptr;
    if (finder == nullptr) {
        return false;
    }
    CloseHandle(finder);
    finderRunning = true;
    return true;
}

// --- Reads ------------------------------------------------------------------------

// The length a read asks for: room for a whole input report, as the stack wants.
DWORD ReadLength(const OpenDevice& device) {
    const DWORD length = device.description.inputBytes;
    return length == 0 || length > maxReportBytes ? maxReportBytes : length;
}

void TakeArrival(OpenDevice* device, DWORD got) {
    const uint32_t kept = got < callerBufferBytes ? got : callerBufferBytes;
    NoteArrival(&device->policy, device->incomingBytes, kept);
    uint8_t mode[maxModeBytes];
    uint32_t modeLength = 0;
    if (ModeToRestore(&device->keeper, device->incomingBytes, kept, mode, &modeLength)) {
        device->restoreWanted.store(true);
        SetEvent(finderWake);
    }
}

// Takes every read that has completed into the read policy and leaves a new
// one outstanding, without waiting. False when the device refuses reads: it
// has gone.
bool CollectReports(OpenDevice* device) {
    bool restarted = false;
    for (;;) {
        if (!device->reading) {
            if (!ReadFile(device->file, device->incomingBytes, ReadLength(*device), nullptr,
                          &device->incoming) &&
                GetLastError() != ERROR_IO_PENDING) {
                return false;
            }
            device->reading = true;
        }
        DWORD got = 0;
        if (GetOverlappedResult(device->file, &device->incoming, &got, FALSE)) {
            device->reading = false;
            restarted = false;
            TakeArrival(device, got);
            continue;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_IO_INCOMPLETE) {
            return true;
        }
        device->reading = false;
        // The system cancels a thread's reads when it ends: the probe's
        // reader leaves one behind. A read cancelled twice running, or any
        // other failure, is the device's going.
        if (error != ERROR_OPERATION_ABORTED || restarted) {
            return false;
        }
        restarted = true;
    }
}

// Called by the reading thread, which from here on leaves the file alone.
void MarkGone(OpenDevice* device) {
    device->gone.store(true);
    SetEvent(finderWake);
}

bool MakeEvents(OpenDevice* device) {
    device->incoming = OVERLAPPED{};
    device->callerWrite = OVERLAPPED{};
    device->finderWrite = OVERLAPPED{};
    device->incoming.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    device->callerWrite.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    device->finderWrite.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    device->returned = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return device->incoming.hEvent != nullptr && device->callerWrite.hEvent != nullptr &&
           device->finderWrite.hEvent != nullptr && device->returned != nullptr;
}
}  // namespace

int32_t OpenHidHandle(int32_t vendorId, int32_t productId) {
    Locked locked;
    if (!StartFinder()) {
        return -1;
    }
    for (int32_t handle = 0; handle < maxHandles; ++handle) {
        OpenDevice& device = devices[handle];
        if (device.inUse) {
            continue;
        }
        const DeviceIdentity wanted{vendorId, productId, {}};
        HANDLE file = OpenBestDevice(wanted, &device.identity, &device.description);
        if (file == nullptr) {
            return -1;
        }
        if (!MakeEvents(&device)) {
            CloseEvents(&device);
            CloseHandle(file);
            return -1;
        }
        device.file = file;
        device.users = 0;
        device.closing = false;
        device.gone.store(false);
        device.restoreWanted.store(false);
        device.writesStalled.store(false);
        device.lastWorked = WriteMethod::exactWrite;
        device.methodTold = false;
        device.reading = false;
        ResetReadPolicy(&device.policy);
        ResetModeKeeper(&device.keeper);
        device.inUse = true;
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
        const bool gone = device->gone.load();
        if (!gone && !CollectReports(device)) {
            MarkGone(device);
            continue;
        }
        // What the device sent before it went comes first.
        if (TakeReport(&device->policy, buffer, bytesRead)) {
            return 1;
        }
        // Nothing new: wait for the outstanding read, or for the device to
        // come back. An APC (a stop request) ends the wait; the read stays
        // outstanding for next time.
        HANDLE awaited = gone ? device->returned : device->incoming.hEvent;
        if (WaitForSingleObjectEx(awaited, INFINITE, TRUE) != WAIT_OBJECT_0) {
            return 0;
        }
    }
}

int32_t WriteReport(int32_t handle, uint8_t* buffer, uint32_t* bytesWritten) {
    *bytesWritten = 0;
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
    Locked locked;
    OpenDevice* device = DeviceFor(handle);
    if (device == nullptr) {
        return;
    }
    // Nothing here trusts what a reader ended mid-read left behind.
    device->closing = true;
    if (device->users == 0) {
        FreeSlot(device);
        return;
    }
    // A writer is in (the finder sending a mode report): its write is cut
    // short, it lets go of the file as it leaves, and the slot stays taken
    // until then.
    CancelIoEx(device->file, &device->finderWrite);
    CancelIoEx(device->file, &device->callerWrite);
}
