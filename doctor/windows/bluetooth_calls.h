// The calls of bthprops.cpl that the check and the pairing need, as a table:
// the doctor fills it at run time (a Windows without Bluetooth has no such
// library), and the unit rows fill it with stand-ins. Also what both read
// from those calls' answers.
#pragma once

#include <windows.h>
// windows.h first: the Bluetooth header needs its types.
#include <bluetoothapis.h>

#include <cstddef>

#include "doctor/pairing.h"

struct BluetoothCalls {
    decltype(&BluetoothFindFirstRadio) findFirstRadio;
    decltype(&BluetoothFindNextRadio) findNextRadio;
    decltype(&BluetoothFindRadioClose) findRadioClose;
    decltype(&BluetoothGetRadioInfo) getRadioInfo;
    decltype(&BluetoothFindFirstDevice) findFirstDevice;
    decltype(&BluetoothFindNextDevice) findNextDevice;
    decltype(&BluetoothFindDeviceClose) findDeviceClose;
    decltype(&BluetoothRemoveDevice) removeDevice;
    decltype(&BluetoothRegisterForAuthenticationEx) registerForAuthenticationEx;
    decltype(&BluetoothUnregisterAuthentication) unregisterAuthentication;
    decltype(&BluetoothSendAuthenticationResponseEx) sendAuthenticationResponseEx;
    decltype(&BluetoothAuthenticateDeviceEx) authenticateDeviceEx;
    decltype(&BluetoothSetServiceState) setServiceState;
};

// The radio and device search alone, all the check needs; false when
// bthprops.cpl or one of them is missing.
bool LoadSearchCalls(BluetoothCalls* calls);
// The search and the pairing's calls; false when any is missing.
bool LoadBluetoothCalls(BluetoothCalls* calls);

// The whole pairing on the calls given; the words through pairing.h.
PairOutcome PairWith(const BluetoothCalls& calls, int searchSeconds, char* address, size_t size);

// The first radio's handle and the search for the next; nullptr, with the
// error in GetLastError (ERROR_NO_MORE_ITEMS: there is no radio), when none.
HBLUETOOTH_RADIO_FIND FirstRadio(const BluetoothCalls& calls, HANDLE* radio);

// A search of the devices one radio knows (remembered, paired or connected),
// without an inquiry. The radio's handle is always given: Windows also takes
// none for all radios, Wine refuses that.
BLUETOOTH_DEVICE_SEARCH_PARAMS KnownDevices(HANDLE radio);

// "00:1F:32:AA:BB:CC"; Windows holds the bytes least significant first.
void FormatAddress(const BLUETOOTH_ADDRESS& address, char* text, size_t size);

// A Nintendo device as the facts hold it; false for any other device.
bool ReadDeviceInfo(const BLUETOOTH_DEVICE_INFO& info, BluetoothDeviceFacts* device);

// Wine's device search was a stub before Wine 10.4: under such a Wine, its
// version; else false.
bool WineWithoutBluetooth(char* version, size_t size);
