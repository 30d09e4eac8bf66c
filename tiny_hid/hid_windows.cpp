// The HID access library on Windows, over SetupAPI and hid.dll.
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
//   3. HidD_SetOutputReport with the padded report.
// The first attempt that works is remembered for the handle and tried first
// from then on, so a stack that rejects the exact length costs one failed
// write, not one per report. A write is judged by its success alone: the HID
// class driver sends a report whole or not at all, and the count it gives
// back differs between stacks (Wine's leaves out the report ID byte): taken
// for a short write, it would send the same report again by the next way.
// Which way a handle settled on goes to the debugger (OutputDebugString,
// DebugView): it is the one thing about a user's stack the library learns.
//
// A controller that drops out: its reads and writes fail (typically
// ERROR_DEVICE_NOT_CONNECTED). The reading thread marks the device gone and
// waits, alertably, until it is back. Finding it again is the work of a
// thread of the library's own: the reading thread may be the probe's
// reader, which the program ends with TerminateThread, and SetupAPI takes
// locks (the process heap's among them) that a thread ended inside it would
// hold for good. The finder looks whenever Windows announces a new HID
// interface (CM_Register_Notification, where cfgmgr32 has it) and every
// second while a device is gone, since not every system announces them.
#include <windows.h>
// windows.h first: the HID, SetupAPI and configuration manager headers need
// its types.
#include <cfgmgr32.h>
#include <setupapi.h>

#include <atomic>
#include <cstring>

#include "device_identity.h"
#include "mode_keeper.h"
#include "read_policy.h"
#include "report_descriptor.h"
#include "tiny_hid.h"
#include "windows_output_lengths.h"

namespace {
constexpr int maxHandles = 16;
constexpr size_t maxReportBytes = 4096;
constexpr size_t callerBufferBytes = 256;
constexpr DWORD rescanMs = 1000;

enum class WriteMethod { exactWrite, paddedWrite, setOutputReport };
constexpr WriteMethod writeMethods[] = {WriteMethod::exactWrite, WriteMethod::paddedWrite,
                                        WriteMethod::setOutputReport};

// What the library needs to know of an open device's reports.
struct Description {
    OutputReportLengths lengths;
    DWORD inputBytes;
    DWORD paddedOutputBytes;
};

// One overlapped read stays outstanding across calls, so reports keep moving
// from the class driver's ring (32 reports, oldest overwritten) into the read
// policy. Its OVERLAPPED and buffer live here, not on a reading thread's
// stack: the probe's reader may be ended by TerminateThread inside a read,
// and the system completes the read into that memory when the handle closes.
struct OpenDevice {
    bool inUse;
    HANDLE file;  // null once the finder has let go of a gone device's file
    // Set by the reading thread, which then leaves the file alone; cleared by
    // the finder once the device is open again.
    std::atomic<bool> gone;
    HANDLE returned;  // auto-reset: the finder has the device open again
    DeviceIdentity identity;
    Description description;
    WriteMethod lastWorked;
    bool methodTold;
    OVERLAPPED incoming;
    bool reading;  // incoming has a read outstanding
    uint8_t incomingBytes[maxReportBytes];
    ReadPolicy policy;
    ModeKeeper keeper;
};

OpenDevice devices[maxHandles] = {};
// Between the main thread's opens, writes and closes and the finder. The
// reading thread never takes it: it may be ended at any instruction.
SRWLOCK deviceLock = SRWLOCK_INIT;
INIT_ONCE finderStarted = INIT_ONCE_STATIC_INIT;
HANDLE finderWake = nullptr;  // auto-reset

struct Locked {
    Locked() {
        AcquireSRWLockExclusive(&deviceLock);
    }
    ~Locked() {
        ReleaseSRWLockExclusive(&deviceLock);
    }
};

OpenDevice* DeviceFor(int32_t handle) {
    if (handle < 0 || handle >= maxHandles || !devices[handle].inUse) {
        return nullptr;
    }
    return &devices[handle];
}

// --- Opening ------------------------------------------------------------------

// The serial string, kept by its ASCII letters and digits: for a Bluetooth
// controller it holds the address.
void ReadSerial(HANDLE file, DeviceIdentity* identity) {
    wchar_t serial[maxUniqueBytes] = {};
    memset(identity->unique, 0, sizeof(identity->unique));
    if (!HidD_GetSerialNumberString(file, serial, sizeof(serial) - sizeof(wchar_t))) {
        return;
    }
    size_t used = 0;
    for (size_t i = 0; i < maxUniqueBytes && serial[i] != 0 && used + 1 < maxUniqueBytes; ++i) {
        if (serial[i] < 0x80) {
            identity->unique[used++] = static_cast<char>(serial[i]);
        }
    }
}

bool Identify(HANDLE file, DeviceIdentity* identity) {
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof(attributes);
    if (!HidD_GetAttributes(file, &attributes)) {
        return false;
    }
    identity->vendorId = attributes.VendorID;
    identity->productId = attributes.ProductID;
    ReadSerial(file, identity);
    return true;
}

bool DeclaresOutput(const OutputReportLengths& lengths) {
    for (uint32_t bytes : lengths.bytes) {
        if (bytes != 0) {
            return true;
        }
    }
    return false;
}

// A device whose caps cannot be read, or that declares no output report, is
// skipped: nothing could be sent to it. Beside hid-wiimote, Wine also shows
// the kernel driver's input devices as HID devices with the controller's ids;
// they take no reports.
bool Describe(HANDLE file, Description* description) {
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (!HidD_GetPreparsedData(file, &preparsed)) {
        return false;
    }
    HIDP_CAPS caps{};
    const bool described = HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS &&
                           ReadOutputLengths(preparsed, &description->lengths) &&
                           DeclaresOutput(description->lengths);
    HidD_FreePreparsedData(preparsed);
    description->inputBytes = caps.InputReportByteLength;
    description->paddedOutputBytes = caps.OutputReportByteLength;
    return described;
}

// The device path of interface number index; false when there are no more.
bool InterfacePath(HDEVINFO set, const GUID& hidGuid, DWORD index, char* path, size_t size,
                   bool* more) {
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof(interfaceData);
    *more = SetupDiEnumDeviceInterfaces(set, nullptr, &hidGuid, index, &interfaceData) != FALSE;
    if (!*more) {
        return false;
    }
    alignas(SP_DEVICE_INTERFACE_DETAIL_DATA_A) static char detailBytes[2048];
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detailBytes);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, detail, sizeof(detailBytes), nullptr,
                                          nullptr)) {
        return false;
    }
    const size_t length = strlen(detail->DevicePath);
    if (length >= size) {
        return false;
    }
    memcpy(path, detail->DevicePath, length + 1);
    return true;
}

// Opens the HID interfaces in enumeration order and keeps the best match for
// wanted, with its identity and description; null when none matches. Called
// under the lock.
HANDLE OpenBestDevice(const DeviceIdentity& wanted, DeviceIdentity* identity,
                      Description* description) {
    GUID hidGuid{};
    HidD_GetHidGuid(&hidGuid);
    HDEVINFO set =
        SetupDiGetClassDevsA(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    ScanChoice choice{};
    StartScan(&choice);
    HANDLE chosen = nullptr;
    bool more = true;
    for (DWORD index = 0; more && !ScanSettled(choice, wanted); ++index) {
        static char path[1024];
        if (!InterfacePath(set, hidGuid, index, path, sizeof(path), &more)) {
            continue;
        }
        HANDLE file =
            CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            continue;  // not ours to open: try the next interface
        }
        DeviceIdentity found{};
        static Description foundDescription;
        if (Identify(file, &found) && MatchDevice(wanted, found) > choice.match &&
            Describe(file, &foundDescription) &&
            ConsiderDevice(&choice, wanted, found, static_cast<int>(index))) {
            if (chosen != nullptr) {
                CloseHandle(chosen);
            }
            chosen = file;
            *identity = found;
            *description = foundDescription;
            continue;
        }
        CloseHandle(file);
    }
    SetupDiDestroyDeviceInfoList(set);
    return chosen;
}

// --- Transfers ----------------------------------------------------------------

bool Write(HANDLE file, uint8_t* bytes, DWORD length, DWORD* done) {
    *done = 0;
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) {
        return false;
    }
    bool ok = false;
    if (WriteFile(file, bytes, length, nullptr, &overlapped) ||
        GetLastError() == ERROR_IO_PENDING) {
        ok = GetOverlappedResult(file, &overlapped, done, TRUE) != FALSE;
    }
    CloseHandle(overlapped.hEvent);
    return ok;
}

// *sent is the length handed over, the same on every stack.
bool TryWrite(const OpenDevice& device, WriteMethod method, uint8_t* buffer, DWORD length,
              DWORD* sent) {
    DWORD counted = 0;
    if (method == WriteMethod::exactWrite) {
        if (!Write(device.file, buffer, length, &counted)) {
            return false;
        }
        *sent = length;
        return true;
    }
    // Zeros after the declared bytes, not whatever the caller's buffer holds.
    const DWORD paddedBytes = device.description.paddedOutputBytes;
    if (paddedBytes < length || paddedBytes > maxReportBytes) {
        return false;
    }
    uint8_t padded[maxReportBytes] = {};
    memcpy(padded, buffer, length);
    const bool done = method == WriteMethod::paddedWrite
                          ? Write(device.file, padded, paddedBytes, &counted)
                          : HidD_SetOutputReport(device.file, padded, paddedBytes) != FALSE;
    if (done) {
        *sent = paddedBytes;
    }
    return done;
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
            OutputDebugStringA("tiny_hid: output reports go by HidD_SetOutputReport\n");
            return;
    }
}

// A mode report of the caller's, written again by the library itself, the
// way the caller's own last went out. Its outcome matters to nobody: a device
// that refuses it has gone, and the next read finds that out.
void RestoreMode(const OpenDevice& device, uint8_t* report, uint32_t length) {
    DWORD sent = 0;
    TryWrite(device, device.lastWorked, report, length, &sent);
}

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
        RestoreMode(*device, mode, modeLength);
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

// The outstanding read ends before the file closes, so nothing completes
// into the buffer of a slot that is free again.
void LetGoOfFile(OpenDevice* device) {
    if (device->file == nullptr) {
        return;
    }
    if (device->reading) {
        CancelIoEx(device->file, &device->incoming);
        DWORD ignored = 0;
        GetOverlappedResult(device->file, &device->incoming, &ignored, TRUE);
        device->reading = false;
    }
    CloseHandle(device->file);
    device->file = nullptr;
}

// --- Finding a device that came back -------------------------------------------

// Under the lock. The device starts in its own default mode: the caller's is
// set again at once.
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
    uint8_t mode[maxModeBytes];
    uint32_t modeLength = 0;
    if (ModeAfterReturn(&device->keeper, mode, &modeLength)) {
        RestoreMode(*device, mode, modeLength);
    }
    device->gone.store(false);
    SetEvent(device->returned);
}

bool AnyGone() {
    for (const OpenDevice& device : devices) {
        if (device.inUse && device.gone.load()) {
            return true;
        }
    }
    return false;
}

DWORD CALLBACK OnInterfaceArrival(HCMNOTIFICATION, PVOID, CM_NOTIFY_ACTION action,
                                  PCM_NOTIFY_EVENT_DATA, DWORD) {
    if (action == CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL) {
        SetEvent(finderWake);
    }
    return ERROR_SUCCESS;
}

// Windows 8 and later announce new interfaces; looked up by name so that
// the library still loads where cfgmgr32 lacks the call (Wine 8 does).
void ListenForArrivals() {
    using Register =
        CONFIGRET(WINAPI*)(PCM_NOTIFY_FILTER, PVOID, PCM_NOTIFY_CALLBACK, PHCMNOTIFICATION);
    HMODULE manager = LoadLibraryA("cfgmgr32.dll");
    const auto registerNotification = reinterpret_cast<Register>(
        manager != nullptr
            ? reinterpret_cast<void*>(GetProcAddress(manager, "CM_Register_Notification"))
            : nullptr);
    if (registerNotification == nullptr) {
        return;
    }
    CM_NOTIFY_FILTER filter{};
    filter.cbSize = sizeof(filter);
    filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
    HidD_GetHidGuid(&filter.u.DeviceInterface.ClassGuid);
    HCMNOTIFICATION notification = nullptr;
    registerNotification(&filter, nullptr, OnInterfaceArrival, &notification);
}

DWORD WINAPI FindReturningDevices(void*) {
    ListenForArrivals();
    for (;;) {
        WaitForSingleObject(finderWake, AnyGone() ? rescanMs : INFINITE);
        Locked locked;
        for (OpenDevice& device : devices) {
            if (device.inUse && device.gone.load()) {
                ReopenGone(&device);
            }
        }
    }
}

BOOL CALLBACK StartFinder(PINIT_ONCE, PVOID, PVOID*) {
    finderWake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE finder = finderWake != nullptr
                        ? CreateThread(nullptr, 0, FindReturningDevices, nullptr, 0, nullptr)
                        : nullptr;
    if (finder != nullptr) {
        CloseHandle(finder);
    }
    return finder != nullptr;
}

// Called by the reading thread, which from here on leaves the file alone.
void MarkGone(OpenDevice* device) {
    device->gone.store(true);
    if (InitOnceExecuteOnce(&finderStarted, StartFinder, nullptr, nullptr)) {
        SetEvent(finderWake);
    }
}
}  // namespace

int32_t OpenHidHandle(int32_t vendorId, int32_t productId) {
    Locked locked;
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
        device.incoming = OVERLAPPED{};
        device.incoming.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        device.returned = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (device.incoming.hEvent == nullptr || device.returned == nullptr) {
            CloseHandle(file);
            return -1;
        }
        device.file = file;
        device.gone.store(false);
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
    Locked locked;
    OpenDevice* device = DeviceFor(handle);
    if (device == nullptr) {
        return 0;
    }
    const uint32_t length = SendLength(device->description.lengths, buffer[0]);
    if (length == 0) {
        return 0;
    }
    // What the caller asks for counts whether or not it gets through: a
    // motor switched off while the device was away stays off when it returns.
    NoteCallerReport(&device->keeper, buffer, length);
    if (device->gone.load()) {
        return 0;  // nothing waits for it to return
    }
    DWORD sent = 0;
    if (TryWrite(*device, device->lastWorked, buffer, length, &sent)) {
        Settle(device, device->lastWorked);
        *bytesWritten = sent;
        return 1;
    }
    for (WriteMethod method : writeMethods) {
        if (method != device->lastWorked && TryWrite(*device, method, buffer, length, &sent)) {
            Settle(device, method);
            *bytesWritten = sent;
            return 1;
        }
    }
    return 0;
}

void CloseHidHandle(int32_t handle) {
    Locked locked;
    OpenDevice* device = DeviceFor(handle);
    if (device != nullptr) {
        // Nothing here trusts what a reader ended mid-read left in the policy.
        LetGoOfFile(device);
        CloseHandle(device->incoming.hEvent);
        CloseHandle(device->returned);
        device->gone.store(false);
        device->inUse = false;
    }
}
