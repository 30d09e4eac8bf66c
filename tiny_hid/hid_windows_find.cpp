// Finding the device among the system's HID interfaces: SetupAPI lists them,
// hid.dll tells their ids and reports. The finder thread (hid_windows.cpp)
// calls this, never a thread that may be ended at any instruction: SetupAPI
// takes locks (the process heap's among them) that a thread ended inside it
// would hold for good.
#include <windows.h>
// windows.h first: the HID, SetupAPI and configuration manager headers need
// its types.
#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstring>

#include "hid_windows_find.h"
#include "windows_output_lengths.h"

namespace {
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

}  // namespace

// The HID interfaces are opened in enumeration order; the best match so far
// is kept.
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
        static char path[sizeof(Description::path)];
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
            memcpy(description->path, path, sizeof(description->path));
            continue;
        }
        CloseHandle(file);
    }
    SetupDiDestroyDeviceInfoList(set);
    return chosen;
}

namespace {
DWORD CALLBACK OnInterfaceArrival(HCMNOTIFICATION, PVOID wake, CM_NOTIFY_ACTION action,
                                  PCM_NOTIFY_EVENT_DATA, DWORD) {
    if (action == CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL) {
        SetEvent(static_cast<HANDLE>(wake));
    }
    return ERROR_SUCCESS;
}
}  // namespace

// Windows 8 and later announce new interfaces; looked up by name so that
// the library still loads where cfgmgr32 lacks the call (Wine 8 does).
void ListenForArrivals(HANDLE wake) {
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
    registerNotification(&filter, wake, OnInterfaceArrival, &notification);
}

// Opened for no access at all: that asks nothing of the device, only whether
// its path leads anywhere.
bool MayBeBack(const Description& description) {
    if (description.path[0] == '\0') {
        return false;
    }
    HANDLE file = CreateFileA(description.path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(file);
    return true;
}
