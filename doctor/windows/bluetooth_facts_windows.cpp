// The Bluetooth devices Windows remembers, from bthprops.cpl's device search,
// loaded at run time: a system without Bluetooth has no such library, and
// the doctor must still run there. Each radio is searched by its handle:
// Windows also takes no handle for all radios, Wine refuses that. Wine's
// device search was a stub before 10.4, so under it the check is skipped
// rather than trusted.
#include <cstdio>
#include <cstring>

#include "doctor/gather.h"
#include "doctor/windows/bluetooth_calls.h"
#include "doctor/windows/system_error.h"

namespace {
void NoteDevice(const BLUETOOTH_DEVICE_INFO& info, BluetoothFacts* facts) {
    BluetoothDeviceFacts device{};
    if (facts->deviceCount >= maxBluetoothDevices || !ReadDeviceInfo(info, &device)) {
        return;
    }
    // A device two radios know is one controller.
    for (int i = 0; i < facts->deviceCount; ++i) {
        if (strcmp(facts->devices[i].address, device.address) == 0) {
            return;
        }
    }
    facts->devices[facts->deviceCount++] = device;
}

// The devices one radio knows; false, with the error, when the search fails.
bool SearchRadio(const BluetoothCalls& calls, HANDLE radio, BluetoothFacts* facts, DWORD* error) {
    // Remembered and connected devices only: an inquiry would take seconds.
    BLUETOOTH_DEVICE_SEARCH_PARAMS params = KnownDevices(radio);
    BLUETOOTH_DEVICE_INFO info{};
    info.dwSize = sizeof(info);
    const HBLUETOOTH_DEVICE_FIND find = calls.findFirstDevice(&params, &info);
    if (find == nullptr) {
        *error = GetLastError();
        return *error == ERROR_NO_MORE_ITEMS;
    }
    do {
        NoteDevice(info, facts);
        info = BLUETOOTH_DEVICE_INFO{};
        info.dwSize = sizeof(info);
    } while (calls.findNextDevice(find, &info));
    calls.findDeviceClose(find);
    return true;
}
}  // namespace

void GatherBluetooth(BluetoothFacts* facts) {
    *facts = BluetoothFacts{};
    char wine[24];
    if (WineWithoutBluetooth(wine, sizeof(wine))) {
        facts->service = ServiceState::skipped;
        snprintf(facts->why, sizeof(facts->why),
                 "not checked under Wine %.20s, whose Bluetooth device search works from Wine "
                 "10.4 on",
                 wine);
        return;
    }
    static BluetoothCalls calls;
    if (!LoadSearchCalls(&calls)) {
        facts->service = ServiceState::absent;
        snprintf(facts->why, sizeof(facts->why), "this Windows has no Bluetooth support");
        return;
    }
    HANDLE radio = nullptr;
    const HBLUETOOTH_RADIO_FIND radios = FirstRadio(calls, &radio);
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
        if (!SearchRadio(calls, radio, facts, &error) &&
            facts->service == ServiceState::reachable) {
            facts->service = ServiceState::failed;
            SystemErrorText(error, facts->why, sizeof(facts->why));
        }
        CloseHandle(radio);
        radio = nullptr;
    } while (calls.findNextRadio(radios, &radio));
    calls.findRadioClose(radios);
}
