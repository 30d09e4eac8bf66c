// The Bluetooth devices Windows remembers, from bthprops.cpl's device search,
// loaded at run time: a system without Bluetooth has no such library, and
// the doctor must still run there. Wine before 10 has no working Bluetooth
// API, so under it the check is skipped rather than trusted.
#include <windows.h>
// windows.h first: the Bluetooth header needs its types.
#include <bluetoothapis.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "doctor/gather.h"
#include "doctor/windows/system_error.h"

namespace {
constexpr int firstWineWithBluetooth = 10;

using FindFirstDevice = HBLUETOOTH_DEVICE_FIND(WINAPI*)(BLUETOOTH_DEVICE_SEARCH_PARAMS*,
                                                        BLUETOOTH_DEVICE_INFO*);
using FindNextDevice = BOOL(WINAPI*)(HBLUETOOTH_DEVICE_FIND, BLUETOOTH_DEVICE_INFO*);
using FindDeviceClose = BOOL(WINAPI*)(HBLUETOOTH_DEVICE_FIND);
using WineVersion = const char*(CDECL*)();

// Wine names itself through ntdll; Windows has no such export.
bool WineWithoutBluetooth(BluetoothFacts* facts) {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    const auto version = ntdll != nullptr ? reinterpret_cast<WineVersion>(reinterpret_cast<void*>(
                                                GetProcAddress(ntdll, "wine_get_version")))
                                          : nullptr;
    if (version == nullptr) {
        return false;
    }
    const char* text = version();
    if (text == nullptr || atoi(text) >= firstWineWithBluetooth) {
        return false;
    }
    facts->service = ServiceState::skipped;
    snprintf(facts->why, sizeof(facts->why),
             "not checked under Wine %.20s, which has no working Bluetooth API before Wine 10",
             text);
    return true;
}

Known KnownOf(BOOL value) {
    return value ? Known::yes : Known::no;
}

void NoteDevice(const BLUETOOTH_DEVICE_INFO& info, BluetoothFacts* facts) {
    char name[textBytes];
    if (WideCharToMultiByte(CP_UTF8, 0, info.szName, -1, name, sizeof(name), nullptr, nullptr) ==
        0) {
        name[0] = '\0';
    }
    // Windows gives no ids for a remembered device: its name says what it is.
    if (_strnicmp(name, "Nintendo RVL-", 13) != 0 || facts->deviceCount >= maxBluetoothDevices) {
        return;
    }
    BluetoothDeviceFacts& device = facts->devices[facts->deviceCount++];
    device = BluetoothDeviceFacts{};
    CopyText(device.name, sizeof(device.name), name);
    const BYTE* bytes = info.Address.rgBytes;
    snprintf(device.address, sizeof(device.address), "%02X:%02X:%02X:%02X:%02X:%02X", bytes[5],
             bytes[4], bytes[3], bytes[2], bytes[1], bytes[0]);
    device.product = _stricmp(name, "Nintendo RVL-CNT-01") == 0      ? remoteProduct
                     : _stricmp(name, "Nintendo RVL-CNT-01-TR") == 0 ? remotePlusProduct
                                                                     : unknownProduct;
    device.remembered = KnownOf(info.fRemembered);
    device.connected = KnownOf(info.fConnected);
    device.authenticated = KnownOf(info.fAuthenticated);
}
}  // namespace

void GatherBluetooth(BluetoothFacts* facts) {
    *facts = BluetoothFacts{};
    if (WineWithoutBluetooth(facts)) {
        return;
    }
    const HMODULE library = LoadLibraryA("bthprops.cpl");
    const auto findFirst = library != nullptr
                               ? reinterpret_cast<FindFirstDevice>(reinterpret_cast<void*>(
                                     GetProcAddress(library, "BluetoothFindFirstDevice")))
                               : nullptr;
    const auto findNext = library != nullptr
                              ? reinterpret_cast<FindNextDevice>(reinterpret_cast<void*>(
                                    GetProcAddress(library, "BluetoothFindNextDevice")))
                              : nullptr;
    const auto findClose = library != nullptr
                               ? reinterpret_cast<FindDeviceClose>(reinterpret_cast<void*>(
                                     GetProcAddress(library, "BluetoothFindDeviceClose")))
                               : nullptr;
    if (findFirst == nullptr || findNext == nullptr || findClose == nullptr) {
        facts->service = ServiceState::absent;
        snprintf(facts->why, sizeof(facts->why), "this Windows has no Bluetooth support");
        return;
    }
    // Remembered and connected devices only: an inquiry would take seconds.
    BLUETOOTH_DEVICE_SEARCH_PARAMS search{};
    search.dwSize = sizeof(search);
    search.fReturnAuthenticated = TRUE;
    search.fReturnRemembered = TRUE;
    search.fReturnConnected = TRUE;
    BLUETOOTH_DEVICE_INFO info{};
    info.dwSize = sizeof(info);
    const HBLUETOOTH_DEVICE_FIND find = findFirst(&search, &info);
    if (find == nullptr) {
        const DWORD error = GetLastError();
        facts->service =
            error == ERROR_NO_MORE_ITEMS ? ServiceState::reachable : ServiceState::failed;
        SystemErrorText(error, facts->why, sizeof(facts->why));
        return;
    }
    facts->service = ServiceState::reachable;
    do {
        NoteDevice(info, facts);
        info = BLUETOOTH_DEVICE_INFO{};
        info.dwSize = sizeof(info);
    } while (findNext(find, &info));
    findClose(find);
}
