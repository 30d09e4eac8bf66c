// BlueZ's objects read into the doctor's facts, for the check and for the
// pairing alike.
#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>

#include "doctor/facts.h"

inline constexpr uint64_t bluezCallLimitUs = 2'000'000;

// The system bus, and on it one GetManagedObjects call, bounded: adapters and
// Nintendo devices; where BlueZ gives no answer, whether there was no bus or
// no one answering for it, and whether bluetoothd is on disk. The bus, when
// there is one, is the caller's to close.
sd_bus* OpenBluez(BluetoothFacts* facts);
// One object as InterfacesAdded carries it (oa{sa{sv}}), added to facts.
bool ReadBluezObject(sd_bus_message* message, BluetoothFacts* facts);
// A device's properties (a{sv}, as GetAll gives them); false when it is not
// a Nintendo device or the reply has another shape.
bool ReadBluezDevice(sd_bus_message* reply, const char* path, BluetoothDeviceFacts* device);
