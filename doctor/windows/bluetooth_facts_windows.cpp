// The Bluetooth devices Windows remembers, from bthprops.cpl's device search,
// loaded at run time: a system without Bluetooth has no such library, and
// the doctor must still run there. Each radio is searched by its handle:
// Windows also takes no handle for all radios, Wine refuses that. Wine's
// device search was a stub before 10.4, so under it the check is skipped
// rather than trusted.
#include <windows.h>
// windows.h first: the Bluetooth header needs its types.
#include <bluetoothapis.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "doctor/gather.h"
#include "doctor/windows/system_error.h"

namespace {
// The first Wine whose device search answers: 10.4.
constexpr int firstWineMajor = 10;
constexpr int firstWineMinor = 4;

using FindFirstRadio = HBLUETOOTH_RADIO_FIND(WINAPI*)(BLUETOOTH_FIND_RADIO_PARAMS*, HANDLE*);
using FindNextRadio = BOOL(WINAPI*)(HBLUETOOTH_RADIO_FIND, HANDLE*);
using FindRadioClose = BOOL(WINAPI*)(HBLUETOOTH_RADIO_FIND);
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
    if (text == nullptr) {
        return false;
    }
    // "9.0", "10.0-rc3", "10.4": major and minor.
    char* end = nullptr;
    const long major = strtol(text, &end, 10);
    const long minor = *end == '.' ? strtol(end + 1, nullptr, 10) : 0;
    if (major > firstWineMajor || (major == firstWineMajor && minor >= firstWineMinor)) {
        return false;
    }
    facts->service = ServiceState::skipped;
    snprintf(facts->why, sizeof(facts->why),
             "not checked under Wine %.20s, whose Bluetooth device search works from Wine "
             "10.4 on",
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
    char address[textBytes];
    const BYTE* bytes = info.Address.rgBytes;
    snprintf(address, sizeof(address), "%02X:%02X:%02X:%02X:%02X:%02X", bytes[5], bytes[4],
             bytes[3], bytes[2], bytes[1], bytes[0]);
    // A device two radios know is one controller.
    for (int i = 0; i < facts->deviceCount; ++i) {
        if (strcmp(facts->devices[i].address, address) == 0) {
            return;
        }
    }
    BluetoothDeviceFacts& device = facts->devices[facts->deviceCount++];
    device = BluetoothDeviceFacts{};
    CopyText(device.name, sizeof(device.name), name);
    CopyText(device.address, sizeof(device.address), address);
    device.product = _stricmp(name, "Nintendo RVL-CNT-01") == 0      ? remoteProduct
                     : _stricmp(name, "Nintendo RVL-CNT-01-TR") == 0 ? remotePlusProduct
                                                                     : unknownProduct;
    device.remembered = KnownOf(info.fRemembered);
    device.connected = KnownOf(info.fConnected);
    device.authenticated = KnownOf(info.fAuthenticated);
}

template <typename Function>
Function Export(HMODULE library, const char* name) {
    return library != nullptr
               ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name)))
               : nullptr;
}

struct DeviceSearch {
    FindFirstDevice first;
    FindNextDevice next;
    FindDeviceClose close;
};

// The devices one radio knows; false, with the error, when the search fails.
bool SearchRadio(const DeviceSearch& search, HANDLE radio, BluetoothFacts* facts, DWORD* error) {
    // Remembered and connected devices only: an inquiry would take seconds.
    BLUETOOTH_DEVICE_SEARCH_PARAMS params{};
    params.dwSize = sizeof(params);
    params.fReturnAuthenticated = TRUE;
    params.fReturnRemembered = TRUE;
    params.fReturnConnected = TRUE;
    params.hRadio = radio;
    BLUETOOTH_DEVICE_INFO info{};
    info.dwSize = sizeof(info);
    const HBLUETOOTH_DEVICE_FIND find = search.first(&params, &info);
    if (find == nullptr) {
        *error = GetLastError();
        return *error == ERROR_NO_MORE_ITEMS;
    }
    do {
        NoteDevice(info, facts);
        info = BLUETOOTH_DEVICE_INFO{};
        info.dwSize = sizeof(info);
    } while (search.next(find, &info));
    search.close(find);
    return true;
}
}  // namespace

void GatherBluetooth(BluetoothFacts* facts) {
    *facts = BluetoothFacts{};
    if (WineWithoutBluetooth(facts)) {
        return;
    }
    const HMODULE library = LoadLibraryA("bthprops.cpl");
    const auto firstRadio = Export<FindFirstRadio>(library, "BluetoothFindFirstRadio");
    const auto nextRadio = Export<FindNextRadio>(library, "BluetoothFindNextRadio");
    const auto radioClose = Export<FindRadioClose>(library, "BluetoothFindRadioClose");
    const DeviceSearch search{Export<FindFirstDevice>(library, "BluetoothFindFirstDevice"),
                              Export<FindNextDevice>(library, "BluetoothFindNextDevice"),
                              Export<FindDeviceClose>(library, "BluetoothFindDeviceClose")};
    if (firstRadio == nullptr || nextRadio == nullptr || radioClose == nullptr ||
        search.first == nullptr || search.next == nullptr || search.close == nullptr) {
        facts->service = ServiceState::absent;
        snprintf(facts->why, sizeof(facts->why), "this Windows has no Bluetooth support");
        return;
    }
    BLUETOOTH_FIND_RADIO_PARAMS radioParams{};
    radioParams.dwSize = sizeof(radioParams);
    HANDLE radio = nullptr;
    const HBLUETOOTH_RADIO_FIND radios = firstRadio(&radioParams, &radio);
    if (radios == nullptr) {
        const DWORD error = GetLastError();
        facts->service = error == ERROR_NO_MORE_ITEMS ? ServiceState::absent : ServiceState::failed;
        if (error == ERROR_NO_MORE_ITEMS) {
            snprintf(facts->why, sizeof(facts->why), "Windows finds no Bluetooth radio");
        } else {
            SystemErrorText(error, facts->why, sizeof(facts->why));
        }
        return;
    }
    facts->service = ServiceState::reachable;
    do {
        DWORD error = ERROR_SUCCESS;
        if (!SearchRadio(search, radio, facts, &error) &&
            facts->service == ServiceState::reachable) {
            facts->service = ServiceState::failed;
            SystemErrorText(error, facts->why, sizeof(facts->why));
        }
        CloseHandle(radio);
        radio = nullptr;
    } while (nextRadio(radios, &radio));
    radioClose(radios);
}
