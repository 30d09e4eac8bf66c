// What the doctor finds on the road from pairing to rumble, as plain data:
// the gatherers of each OS fill it in, the verdicts judge it. Nothing here
// knows which OS it came from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "link/remote_link.h"

inline constexpr size_t textBytes = 128;
// Room for a Windows device interface path, the longest name of a node.
inline constexpr size_t nodeBytes = 256;
inline constexpr int maxAdapters = 8;
inline constexpr int maxBluetoothDevices = 16;
inline constexpr int maxNodes = 16;
inline constexpr int maxHolders = 8;

// The controller the program takes, by the ids it looks for.
inline constexpr int32_t nintendoVendor = remoteVendorId;
inline constexpr int32_t remoteProduct = remoteProductId;  // RVL-CNT-01
inline constexpr int32_t remotePlusProduct = 0x0330;       // RVL-CNT-01-TR, not driven
inline constexpr int32_t unknownProduct = -1;

// A property a service may leave out.
enum class Known : uint8_t { unknown, no, yes };

// Which kind of system the facts come from: the fixes are worded for it.
enum class SystemKind : uint8_t {
    bluezHidraw,  // BlueZ and the kernel's hidraw nodes
    windows,      // Windows' Bluetooth and HID stacks
};

enum class Bus : uint8_t { other, usb, bluetooth };

// The Bluetooth service (BlueZ on Linux). Where it cannot be asked, a USB
// adapter still serves.
enum class ServiceState : uint8_t {
    reachable,
    noBus,     // the bus it answers on is not there (no D-Bus system bus)
    absent,    // nothing answers for it: not installed, or not running
    timedOut,  // it did not answer within its bound
    failed,    // it answered with an error
    skipped,   // it cannot be asked here (Wine's device search before 10.4)
};

struct AdapterFacts {
    char name[textBytes];  // "hci0"
    char path[textBytes];  // where the service keeps it ("/org/bluez/hci0"); empty when none
    char address[textBytes];
    Known powered;
    Known softBlocked;  // switched off by software (rfkill)
    Known hardBlocked;  // by a switch
};

struct BluetoothDeviceFacts {
    char path[textBytes];  // where the service keeps it; empty when none
    char address[textBytes];
    char name[textBytes];
    int32_t product;  // from its ids, else its name; unknownProduct when neither tells
    Known paired;
    Known bonded;
    Known trusted;
    Known connected;
    // What Windows says instead of paired and trusted.
    Known remembered;
    Known authenticated;
};

struct BluetoothFacts {
    ServiceState service;
    char why[textBytes];  // what stood in the way, when not reachable
    // Whether the service's program is on disk, where not reachable; unknown
    // where the system does not say (Windows).
    Known installed;
    int adapterCount;
    AdapterFacts adapters[maxAdapters];
    int deviceCount;  // Nintendo devices only
    BluetoothDeviceFacts devices[maxBluetoothDevices];
    // An odd reply (a property missing or of the wrong type): the first one.
    char oddity[textBytes];
};

struct NodeFacts {
    char node[nodeBytes];  // "/dev/hidraw3"
    int32_t product;
    Bus bus;
    char name[textBytes];
    char address[textBytes];  // as the kernel spells it; empty when it gives none
    char driver[textBytes];   // empty when none is bound, or the system does not say
    // Whether it opened for reading and writing, where the access check
    // tried it: on Windows every node, on Linux only the controller's, in
    // order until one opens.
    Known opens;
    char openError[textBytes];
};

struct KernelFacts {
    bool listed;    // the system's list of HID nodes could be read at all
    int nodeCount;  // vendor 057E only
    NodeFacts nodes[maxNodes];
};

// Whether the user may open the controller's node. Only the first node with
// the controller's ids that opens counts, as the program's library takes it.
struct AccessFacts {
    bool checked;  // there was a node to try
    char node[nodeBytes];
    bool opened;
    bool vanished;  // it went away while the checks ran
    char error[textBytes];
    char user[textBytes];
    char owner[textBytes];
    char group[textBytes];
    uint32_t mode;
    Known aclNamesUser;
    Known ruleInstalled;
    char ruleFile[textBytes];
    Known atActiveSeat;
};

struct HolderFacts {
    bool checked;
    int count;
    struct {
        int32_t pid;
        char name[textBytes];
    } holders[maxHolders];
    int unseen;           // processes whose open files this user may not look at
    char why[textBytes];  // when not checked: why not
};

// The program's own library, used as the program uses it.
struct TalkFacts {
    bool tried;
    bool opened;
    char node[nodeBytes];  // the node the library took; empty when the system does not tell
    bool motionSeen;
    double motionMs;  // from the mode report to the first motion report with a non-zero X
    bool statusSeen;
    uint8_t battery;
    uint8_t statusFlags;
    // The way the library's output reports went, where it says so.
    char writeWay[textBytes];
};

struct DoctorFacts {
    SystemKind system;
    BluetoothFacts bluetooth;
    KernelFacts kernel;
    AccessFacts access;
    HolderFacts holders;
    TalkFacts talk;
};

// Copies text, cut to fit: names and addresses longer than the room kept for
// them are cut rather than refused.
inline void CopyText(char* to, size_t size, const char* from) {
    const size_t length = strnlen(from, size - 1);
    memcpy(to, from, length);
    to[length] = '\0';
}
