// The HID interfaces of vendor 057E as Windows lists them: their ids, product
// string, serial (a Bluetooth controller's address) and bus, read through a
// handle that asks for no access, then each opened for reading and writing
// as the library would open it, the system's refusal kept in its own words.
#include <windows.h>
// windows.h first: the HID and SetupAPI headers need its types. MinGW's HID
// headers declare C functions without saying so to C++.
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}

#include <cstdio>
#include <cstring>

#include "doctor/access_choice.h"
#include "doctor/gather.h"
#include "doctor/windows/system_error.h"

namespace {
constexpr size_t pathBytes = 1024;

// A Bluetooth HID device's path carries the HID service's class or the
// Bluetooth form of the ids; a USB adapter's, the USB form.
Bus BusFromPath(const char* path) {
    char lower[pathBytes];
    size_t i = 0;
    for (; path[i] != '\0' && i + 1 < sizeof(lower); ++i) {
        const char c = path[i];
        lower[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    lower[i] = '\0';
    if (strstr(lower, "00001124-0000-1000-8000-00805f9b34fb") != nullptr ||
        strstr(lower, "_vid&0002057e") != nullptr) {
        return Bus::bluetooth;
    }
    return strstr(lower, "vid_057e") != nullptr ? Bus::usb : Bus::other;
}

void WideToText(const wchar_t* wide, char* text, size_t size) {
    if (WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, static_cast<int>(size), nullptr, nullptr) ==
        0) {
        text[0] = '\0';
    }
}

// Interfaces that take no output report are not the controller's own (Wine
// also shows the kernel driver's input devices with its ids).
bool Describe(HANDLE file, const char* path, NodeFacts* node) {
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof(attributes);
    if (!HidD_GetAttributes(file, &attributes) || attributes.VendorID != nintendoVendor) {
        return false;
    }
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    HIDP_CAPS caps{};
    const bool described = HidD_GetPreparsedData(file, &preparsed) &&
                           HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS;
    if (preparsed != nullptr) {
        HidD_FreePreparsedData(preparsed);
    }
    if (!described || caps.OutputReportByteLength == 0) {
        return false;
    }
    *node = NodeFacts{};
    CopyText(node->node, sizeof(node->node), path);
    node->product = attributes.ProductID;
    node->bus = BusFromPath(path);
    wchar_t wide[textBytes] = {};
    if (HidD_GetProductString(file, wide, sizeof(wide) - sizeof(wchar_t))) {
        WideToText(wide, node->name, sizeof(node->name));
    }
    wchar_t serial[textBytes] = {};
    if (HidD_GetSerialNumberString(file, serial, sizeof(serial) - sizeof(wchar_t))) {
        WideToText(serial, node->address, sizeof(node->address));
    }
    return true;
}

void TryOpen(NodeFacts* node) {
    const HANDLE file =
        CreateFileA(node->node, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        node->opens = Known::no;
        SystemErrorText(GetLastError(), node->openError, sizeof(node->openError));
        return;
    }
    node->opens = Known::yes;
    CloseHandle(file);
}

bool InterfacePath(HDEVINFO set, const GUID& hidGuid, DWORD index, char* path, bool* more) {
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof(interfaceData);
    *more = SetupDiEnumDeviceInterfaces(set, nullptr, &hidGuid, index, &interfaceData) != FALSE;
    if (!*more) {
        return false;
    }
    static union {
        SP_DEVICE_INTERFACE_DETAIL_DATA_A detail;
        char bytes[sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) + pathBytes];
    } detail;
    detail.detail.cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, &detail.detail, sizeof(detail),
                                          nullptr, nullptr)) {
        return false;
    }
    snprintf(path, pathBytes, "%s", detail.detail.DevicePath);
    return true;
}
}  // namespace

SystemKind ThisSystem() {
    return SystemKind::windows;
}

void GatherKernel(KernelFacts* facts) {
    *facts = KernelFacts{};
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    const HDEVINFO set =
        SetupDiGetClassDevsA(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        return;
    }
    facts->listed = true;
    bool more = true;
    for (DWORD index = 0; more && facts->nodeCount < maxNodes; ++index) {
        char path[pathBytes];
        if (!InterfacePath(set, hidGuid, index, path, &more)) {
            continue;
        }
        // No access asked: this reads the ids even where another program
        // holds the device without sharing it.
        const HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            continue;
        }
        NodeFacts& node = facts->nodes[facts->nodeCount];
        const bool nintendo = Describe(file, path, &node);
        CloseHandle(file);
        if (nintendo) {
            TryOpen(&node);
            ++facts->nodeCount;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
}

// Every node was tried already.
void GatherAccess(KernelFacts* kernel, AccessFacts* facts) {
    ChooseAccessNode(*kernel, facts);
}
