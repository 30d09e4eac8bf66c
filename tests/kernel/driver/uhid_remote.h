// The controller as the kernel sees it: a uhid device with the controller's
// ids and a report descriptor of its own, so hidraw knows the report lengths.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint16_t remoteVendor = 0x057E;
inline constexpr uint16_t remoteProduct = 0x0306;

enum class RemoteBus : uint8_t { usb, bluetooth };

enum class RemoteEventKind : uint8_t { output, open, close, start, stop, other };

// What the kernel handed the device. Output reports keep their first
// maxKeptBytes bytes; length is what the kernel actually sent.
inline constexpr size_t maxKeptBytes = 32;
struct RemoteEvent {
    RemoteEventKind kind;
    bool viaSetReport;   // a SET_REPORT request rather than an output report
    bool featureReport;  // sent as a feature report rather than an output report
    uint32_t length;
    uint8_t bytes[maxKeptBytes];
};

// The report descriptor the next device gets: the controller's, or one of a
// device that claims the controller's ids and declares something else: no
// motor report; the output reports with 64-byte payloads; the controller's
// reports deep inside 4 KiB of nested collections; no report IDs at all; a
// motion report of the longest length uhid can carry.
enum class RemoteDescriptor : uint8_t {
    standard,
    noMotor,
    wideOutputs,
    deepNesting,
    noReportIds,
    longMotion
};
void UseDescriptor(RemoteDescriptor descriptor);
// What the current descriptor declares, ID byte included (the ID byte is all
// of a report's ID when it uses none): 0 when it declares no such report.
uint32_t DeclaredOutputBytes(uint8_t reportId);
uint32_t DeclaredMotionBytes();

// Opens /dev/uhid and creates a device; -1 on failure. Each controller has
// an address of its own, derived from unit, which it keeps when it comes back:
// the library prefers it by that address, and Wine names its device after it.
int CreateRemote(RemoteBus bus, uint16_t product, uint8_t unit);
void DestroyRemote(int fd);
bool SendInputReport(int fd, const uint8_t* bytes, size_t length);
// Reads one pending event. GET_REPORT and SET_REPORT requests are answered on
// the spot, so the kernel never waits for a reply.
bool ReadRemoteEvent(int fd, RemoteEvent* event);
