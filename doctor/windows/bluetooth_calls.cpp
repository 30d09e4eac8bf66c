// bthprops.cpl's calls, loaded at run time, and what the check and the
// pairing alike read from their answers.
#include "doctor/windows/bluetooth_calls.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "doctor/gather.h"

namespace {
// The first Wine whose device search answers: 10.4.
constexpr int firstWineMajor = 10;
constexpr int firstWineMinor = 4;

using WineVersion = const char*(CDECL*)();

template <typename Call>
bool Load(HMODULE library, const char* name, Call* call) {
    *call = reinterpret_cast<Call>(reinterpret_cast<void*>(GetProcAddress(library, name)));
    return *call != nullptr;
}

Known KnownOf(BOOL value) {
    return value ? Known::yes : Known::no;
}
}  // namespace

bool LoadSearchCalls(BluetoothCalls* calls) {
    const HMODULE library = LoadLibraryA("bthprops.cpl");
    return library != nullptr && Load(library, "BluetoothFindFirstRadio", &calls->findFirstRadio) &&
           Load(library, "BluetoothFindNextRadio", &calls->findNextRadio) &&
           Load(library, "BluetoothFindRadioClose", &calls->findRadioClose) &&
           Load(library, "BluetoothFindFirstDevice", &calls->findFirstDevice) &&
           Load(library, "BluetoothFindNextDevice", &calls->findNextDevice) &&
           Load(library, "BluetoothFindDeviceClose", &calls->findDeviceClose);
}

bool LoadBluetoothCalls(BluetoothCalls* calls) {
    if (!LoadSearchCalls(calls)) {
        return false;
    }
    const HMODULE library = LoadLibraryA("bthprops.cpl");
    return Load(library, "BluetoothGetRadioInfo", &calls->getRadioInfo) &&
           Load(library, "BluetoothRemoveDevice", &calls->removeDevice) &&
           Load(library, "BluetoothRegisterForAuthenticationEx",
                &calls->registerForAuthenticationEx) &&
           Load(library, "BluetoothUnregisterAuthentication", &calls->unregisterAuthentication) &&
           Load(library, "BluetoothSendAuthenticationResponseEx",
                &calls->sendAuthenticationResponseEx) &&
           Load(library, "BluetoothAuthenticateDeviceEx", &calls->authenticateDeviceEx) &&
           Load(library, "BluetoothSetServiceState", &calls->setServiceState);
}

HBLUETOOTH_RADIO_FIND FirstRadio(const BluetoothCalls& calls, HANDLE* radio) {
    BLUETOOTH_FIND_RADIO_PARAMS params{};
    params.dwSize = sizeof(params);
    *radio = nullptr;
    return calls.findFirstRadio(&params, radio);
}

BLUETOOTH_DEVICE_SEARCH_PARAMS KnownDevices(HANDLE radio) {
    BLUETOOTH_DEVICE_SEARCH_PARAMS params{};
    params.dwSize = sizeof(params);
    params.fReturnAuthenticated = TRUE;
    params.fReturnRemembered = TRUE;
    params.fReturnConnected = TRUE;
    params.hRadio = radio;
    return params;
}

void FormatAddress(const BLUETOOTH_ADDRESS& address, char* text, size_t size) {
    const BYTE* bytes = address.rgBytes;
    snprintf(text, size, "%02X:%02X:%02X:%02X:%02X:%02X", bytes[5], bytes[4], bytes[3], bytes[2],
             bytes[1], bytes[0]);
}

bool ReadDeviceInfo(const BLUETOOTH_DEVICE_INFO& info, BluetoothDeviceFacts* device) {
    char name[textBytes];
    if (WideCharToMultiByte(CP_UTF8, 0, info.szName, -1, name, sizeof(name), nullptr, nullptr) ==
        0) {
        name[0] = '\0';
    }
    // Windows gives no ids for a remembered device: its name says what it is.
    if (_strnicmp(name, "Nintendo RVL-", 13) != 0) {
        return false;
    }
    *device = BluetoothDeviceFacts{};
    CopyText(device->name, sizeof(device->name), name);
    FormatAddress(info.Address, device->address, sizeof(device->address));
    device->product = _stricmp(name, "Nintendo RVL-CNT-01") == 0      ? remoteProduct
                      : _stricmp(name, "Nintendo RVL-CNT-01-TR") == 0 ? remotePlusProduct
                                                                      : unknownProduct;
    device->remembered = KnownOf(info.fRemembered);
    device->connected = KnownOf(info.fConnected);
    device->authenticated = KnownOf(info.fAuthenticated);
    return true;
}

// Wine names itself through ntdll; Windows has no such export.
bool WineWithoutBluetooth(char* version, size_t size) {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    const auto wineVersion =
        ntdll != nullptr ? reinterpret_cast<WineVersion>(
                               reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")))
                         : nullptr;
    const char* text = wineVersion != nullptr ? wineVersion() : nullptr;
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
    CopyText(version, size, text);
    return true;
}
