// The test's phases, each on a fresh device: an empty string when it passed,
// else what went wrong.
#pragma once

#include <string>

// A controller on USB, where only hid-generic binds.
std::string RunUsbPhase(const char* program);
// A controller that streams motion reports every 10 ms, pressed as a user
// would: every press must take effect within a pass or so.
std::string RunStreamingPhase(const char* program);
// A controller that goes away mid-pulse at level 1 and comes back 3 s later
// as a new device; the same at level 0; one that stays away while the
// program is sent Ctrl-C; one that goes away inside the probe window.
std::string RunDropoutPhase(const char* program);
std::string RunIdleDropoutPhase(const char* program);
std::string RunStoppedDropoutPhase(const char* program);
std::string RunProbeDropoutPhase(const char* program);
// No controller at all, then only a device with other ids.
std::string RunAbsentPhase(const char* program);
// A controller on Bluetooth, where the kernel's own hid-wiimote driver binds
// and talks to it beside hidraw.
std::string RunBluetoothPhase(const char* program);
// The same with a controller that answers hid-wiimote's requests.
std::string RunAnsweringBluetoothPhase(const char* program);
// The Windows library's reader ended by TerminateThread inside ReadReport, many
// times over: the check tool beside the program runs in its place.
std::string RunReaderEndPhase(const char* program);
// Devices that claim the controller's ids and misbehave: a descriptor with no
// motor report, with 64-byte output payloads, inside 4 KiB of nested
// collections, with no report IDs; motion reports of one byte, or of the
// longest length the descriptor allows; 5,000 reports a second for 3 s.
// The phase of that name among them: false when there is none.
bool RunOddPhase(const char* name, const char* program, std::string* problem);
// quivertap-doctor against a reporting controller with a low battery, a -TR
// alone, a node its user may not open, a silent controller, a node that
// another process holds open, and no controller; the first two and the last
// under Wine too, with quivertap-doctor.exe. The phase of that name among them: false when
// there is none.
bool RunDoctorPhase(const char* name, const char* program, std::string* problem);
