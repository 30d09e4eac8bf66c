// For the tests: the Windows HID library's own transfer code over one end of
// a named pipe instead of a HID device. pipe_remote.exe plays the controller
// at the other end, one message a report. A pipe whose other end has stopped
// reading holds every further write once its buffer is full, as a stack with
// a failing Bluetooth link does. The pipe's path comes from QUIVERTAP_PIPE.
#include <windows.h>

#include "tiny_hid/hid_windows_find.h"

namespace {
constexpr int32_t remoteVendor = 0x057E;
constexpr int32_t remoteProduct = 0x0306;
}  // namespace

// The controller's reports as Wine shows them: LEDs 0x11, mode 0x12, motor
// 0x13 out; buttons and motion 0x31 in.
HANDLE OpenBestDevice(const DeviceIdentity& wanted, DeviceIdentity* identity,
                      Description* description) {
    char path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("QUIVERTAP_PIPE", path, sizeof(path));
    if (length == 0 || length >= sizeof(path) || wanted.vendorId != remoteVendor ||
        wanted.productId != remoteProduct) {
        return nullptr;
    }
    HANDLE pipe = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) {
        CloseHandle(pipe);
        return nullptr;
    }
    *identity = DeviceIdentity{remoteVendor, remoteProduct, {}};
    *description = Description{};
    description->lengths.bytes[0x11] = 2;
    description->lengths.bytes[0x12] = 3;
    description->lengths.bytes[0x13] = 2;
    description->inputBytes = 6;
    description->paddedOutputBytes = 3;
    return pipe;
}

// A pipe is never announced.
void ListenForArrivals(HANDLE) {}

// Nothing comes back to a pipe.
bool MayBeBack(const Description&) {
    return false;
}
