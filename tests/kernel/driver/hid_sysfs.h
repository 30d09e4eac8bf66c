// What the kernel made of the device: its hidraw node and the HID driver that
// bound it. The guest holds one HID device at a time.
#pragma once

#include <cstdint>
#include <string>

// The driver bound to the HID device once it also has its hidraw node; empty
// until then.
std::string BoundDeviceDriver();
// Waits until no hidraw node is left; false when one stays.
bool WaitForNoHidraw(int64_t limitUs);
// Waits until no process holds a removed hidraw node open any more; gives how
// long that took, or -1 when one still does. Wine's HID stack lets go of a
// device only once it has finished taking it out, and a device that appears
// before then may be lost.
int64_t WaitForRemovedNodesReleased(int64_t limitUs);
// The device's hidraw node, as /dev/hidrawN; empty when it has none.
std::string HidrawNode();
