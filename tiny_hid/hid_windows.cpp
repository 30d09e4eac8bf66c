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
// for a short write, it would send the same report again by the next way. Which way a handle
// settled on goes to the debugger (OutputDebugString, DebugView): it is the one thing about a
// user's stack the library learns.
//
// Windows gives no user-mode access to the raw report descriptor. The output
// items it declares are rebuilt from the preparsed data's value and button
// caps and fed to the same parser as on Linux, so both platforms count the
// bytes of a report the same way. Constant padding items have no caps and
// are missing from that count; a stack that needs them gets the padded write.
#include <windows.h>
// windows.h first: the HID and SetupAPI headers need its types; hidsdi.h
// brings hidpi.h after the usage types it needs. MinGW's HID headers declare
// C functions without saying so to C++.
extern "C" {
#include <hidsdi.h>
}
#include <setupapi.h>

#include <cstring>

#include "report_descriptor.h"
#include "tiny_hid.h"

namespace {
constexpr int maxHandles = 16;
constexpr size_t maxReportBytes = 4096;
constexpr size_t callerBufferBytes = 256;
constexpr USHORT maxCaps = 512;

enum class WriteMethod { exactWrite, paddedWrite, setOutputReport };
constexpr WriteMethod writeMethods[] = {WriteMethod::exactWrite, WriteMethod::paddedWrite,
                                        WriteMethod::setOutputReport};

struct OpenDevice {
    HANDLE file;
    OutputReportLengths lengths;
    DWORD inputBytes;
    DWORD paddedOutputBytes;
    WriteMethod lastWorked;
    bool methodTold;
};

OpenDevice devices[maxHandles] = {};

OpenDevice* DeviceFor(int32_t handle) {
    if (handle < 0 || handle >= maxHandles || devices[handle].file == nullptr) {
        return nullptr;
    }
    return &devices[handle];
}

// --- Output lengths from the preparsed data ---------------------------------

struct DescriptorText {
    uint8_t bytes[maxCaps * 2 * 14];  // at most 14 bytes per cap
    size_t size;
};

void AddItem(DescriptorText* text, uint8_t prefix, uint32_t value, size_t dataBytes) {
    if (text->size + 1 + dataBytes > sizeof(text->bytes)) {
        return;
    }
    text->bytes[text->size++] = static_cast<uint8_t>(prefix | (dataBytes == 4 ? 3 : dataBytes));
    for (size_t i = 0; i < dataBytes; ++i) {
        text->bytes[text->size++] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// One output item: reportCount fields of reportSize bits in report reportId.
void AddOutputItem(DescriptorText* text, uint8_t reportId, uint32_t reportSize,
                   uint32_t reportCount) {
    constexpr uint8_t reportIdItem = 0x84;
    constexpr uint8_t reportSizeItem = 0x74;
    constexpr uint8_t reportCountItem = 0x94;
    constexpr uint8_t outputItem = 0x90;
    if (reportId != 0) {
        AddItem(text, reportIdItem, reportId, 1);
    }
    AddItem(text, reportSizeItem, reportSize, 4);
    AddItem(text, reportCountItem, reportCount, 4);
    AddItem(text, outputItem, 0x02, 1);
}

// Items without a report ID come first: the ID is global state in a
// descriptor, and 0 can only be had before the first Report ID item.
void AddCaps(DescriptorText* text, const HIDP_VALUE_CAPS* values, USHORT valueCount,
             const HIDP_BUTTON_CAPS* buttons, USHORT buttonCount, bool withId) {
    for (USHORT i = 0; i < valueCount; ++i) {
        if ((values[i].ReportID != 0) == withId) {
            AddOutputItem(text, values[i].ReportID, values[i].BitSize, values[i].ReportCount);
        }
    }
    for (USHORT i = 0; i < buttonCount; ++i) {
        if ((buttons[i].ReportID != 0) == withId) {
            const HIDP_BUTTON_CAPS& cap = buttons[i];
            const uint32_t usages =
                cap.IsRange ? static_cast<uint32_t>(cap.Range.UsageMax - cap.Range.UsageMin) + 1
                            : 1;
            AddOutputItem(text, cap.ReportID, 1, usages);
        }
    }
}

bool ReadLengths(PHIDP_PREPARSED_DATA preparsed, OutputReportLengths* lengths) {
    static HIDP_VALUE_CAPS values[maxCaps];
    static HIDP_BUTTON_CAPS buttons[maxCaps];
    USHORT valueCount = maxCaps;
    USHORT buttonCount = maxCaps;
    if (HidP_GetValueCaps(HidP_Output, values, &valueCount, preparsed) != HIDP_STATUS_SUCCESS) {
        valueCount = 0;
    }
    if (HidP_GetButtonCaps(HidP_Output, buttons, &buttonCount, preparsed) != HIDP_STATUS_SUCCESS) {
        buttonCount = 0;
    }
    static DescriptorText text;
    text.size = 0;
    AddCaps(&text, values, valueCount, buttons, buttonCount, false);
    AddCaps(&text, values, valueCount, buttons, buttonCount, true);
    return ParseOutputReportLengths(text.bytes, text.size, lengths);
}

// --- Opening ------------------------------------------------------------------

bool Matches(HANDLE file, int32_t vendorId, int32_t productId) {
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof(attributes);
    if (!HidD_GetAttributes(file, &attributes)) {
        return false;
    }
    return attributes.VendorID == static_cast<USHORT>(vendorId) &&
           attributes.ProductID == static_cast<USHORT>(productId);
}

// A device whose caps cannot be read is skipped: nothing could be sent to it.
bool Describe(HANDLE file, OpenDevice* device) {
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (!HidD_GetPreparsedData(file, &preparsed)) {
        return false;
    }
    HIDP_CAPS caps{};
    const bool described = HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS &&
                           ReadLengths(preparsed, &device->lengths);
    HidD_FreePreparsedData(preparsed);
    device->inputBytes = caps.InputReportByteLength;
    device->paddedOutputBytes = caps.OutputReportByteLength;
    device->lastWorked = WriteMethod::exactWrite;
    device->methodTold = false;
    return described;
}

int32_t TakeFreeHandle(HANDLE file) {
    for (int32_t handle = 0; handle < maxHandles; ++handle) {
        if (devices[handle].file == nullptr) {
            if (!Describe(file, &devices[handle])) {
                return -1;
            }
            devices[handle].file = file;
            return handle;
        }
    }
    return -1;
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

// --- Transfers ----------------------------------------------------------------

// Waits for an overlapped transfer. An alertable wait ends early on an APC;
// the transfer is then cancelled, and it counts only if it completed anyway.
bool FinishTransfer(HANDLE file, OVERLAPPED* overlapped, bool alertable, DWORD* bytes) {
    if (alertable) {
        const DWORD woken = WaitForSingleObjectEx(overlapped->hEvent, INFINITE, TRUE);
        if (woken != WAIT_OBJECT_0) {
            CancelIoEx(file, overlapped);
        }
    }
    return GetOverlappedResult(file, overlapped, bytes, TRUE) != FALSE;
}

bool Transfer(HANDLE file, uint8_t* bytes, DWORD length, bool reading, DWORD* done) {
    *done = 0;
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) {
        return false;
    }
    const BOOL started = reading ? ReadFile(file, bytes, length, nullptr, &overlapped)
                                 : WriteFile(file, bytes, length, nullptr, &overlapped);
    bool ok = false;
    if (started || GetLastError() == ERROR_IO_PENDING) {
        ok = FinishTransfer(file, &overlapped, reading, done);
    }
    CloseHandle(overlapped.hEvent);
    return ok;
}

// *sent is the length handed over, the same on every stack.
bool TryWrite(const OpenDevice& device, WriteMethod method, uint8_t* buffer, DWORD length,
              DWORD* sent) {
    DWORD counted = 0;
    if (method == WriteMethod::exactWrite) {
        if (!Transfer(device.file, buffer, length, false, &counted)) {
            return false;
        }
        *sent = length;
        return true;
    }
    // Zeros after the declared bytes, not whatever the caller's buffer holds.
    if (device.paddedOutputBytes < length || device.paddedOutputBytes > maxReportBytes) {
        return false;
    }
    uint8_t padded[maxReportBytes] = {};
    memcpy(padded, buffer, length);
    const bool done =
        method == WriteMethod::paddedWrite
            ? Transfer(device.file, padded, device.paddedOutputBytes, false, &counted)
            : HidD_SetOutputReport(device.file, padded, device.paddedOutputBytes) != FALSE;
    if (done) {
        *sent = device.paddedOutputBytes;
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
}  // namespace

int32_t OpenHidHandle(int32_t vendorId, int32_t productId) {
    GUID hidGuid{};
    HidD_GetHidGuid(&hidGuid);
    HDEVINFO set =
        SetupDiGetClassDevsA(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        return -1;
    }
    int32_t found = -1;
    bool more = true;
    for (DWORD index = 0; more && found < 0; ++index) {
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
        if (Matches(file, vendorId, productId)) {
            found = TakeFreeHandle(file);
        }
        if (found < 0) {
            CloseHandle(file);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

int32_t ReadReport(int32_t handle, uint8_t* buffer, uint32_t* bytesRead) {
    *bytesRead = 0;
    const OpenDevice* device = DeviceFor(handle);
    if (device == nullptr) {
        return 0;
    }
    // The stack wants room for a whole input report; the caller's buffer is
    // touched only by a read that succeeded.
    uint8_t report[maxReportBytes];
    DWORD length = device->inputBytes;
    if (length == 0 || length > maxReportBytes) {
        length = maxReportBytes;
    }
    DWORD got = 0;
    if (!Transfer(device->file, report, length, true, &got) || got == 0) {
        return 0;
    }
    if (got > callerBufferBytes) {
        got = callerBufferBytes;
    }
    memcpy(buffer, report, got);
    *bytesRead = got;
    return 1;
}

int32_t WriteReport(int32_t handle, uint8_t* buffer, uint32_t* bytesWritten) {
    *bytesWritten = 0;
    OpenDevice* device = DeviceFor(handle);
    if (device == nullptr) {
        return 0;
    }
    const uint32_t length = SendLength(device->lengths, buffer[0]);
    if (length == 0) {
        return 0;
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
    OpenDevice* device = DeviceFor(handle);
    if (device != nullptr) {
        CloseHandle(device->file);
        device->file = nullptr;
    }
}
