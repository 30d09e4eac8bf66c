// The HID access library on Linux, directly on the kernel's hidraw nodes.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "read_policy.h"
#include "report_descriptor.h"
#include "tiny_hid.h"

namespace {
constexpr int maxHandles = 16;
constexpr int maxNodeNumber = 1024;
constexpr size_t readSize = 256;

struct OpenDevice {
    int fd;  // non-blocking: a read drains the queue before it decides
    OutputReportLengths lengths;
    ReadPolicy policy;
};

OpenDevice devices[maxHandles] = {};
bool devicesReady = false;

void PrepareDevices() {
    if (!devicesReady) {
        for (OpenDevice& device : devices) {
            device.fd = -1;
        }
        devicesReady = true;
    }
}

OpenDevice* DeviceFor(int32_t handle) {
    PrepareDevices();
    if (handle < 0 || handle >= maxHandles || devices[handle].fd < 0) {
        return nullptr;
    }
    return &devices[handle];
}

// Node numbers present under /dev, as a bitmap, so they are tried in order.
void ListHidrawNodes(bool* present) {
    DIR* dev = opendir("/dev");
    if (dev == nullptr) {
        return;
    }
    while (const dirent* entry = readdir(dev)) {
        if (strncmp(entry->d_name, "hidraw", 6) != 0) {
            continue;
        }
        char* end = nullptr;
        const long number = strtol(entry->d_name + 6, &end, 10);
        if (end != entry->d_name + 6 && *end == '\0' && number >= 0 && number < maxNodeNumber) {
            present[number] = true;
        }
    }
    closedir(dev);
}

bool Matches(int fd, int32_t vendorId, int32_t productId) {
    hidraw_devinfo info{};
    if (ioctl(fd, HIDIOCGRAWINFO, &info) != 0) {
        return false;
    }
    return static_cast<uint16_t>(info.vendor) == static_cast<uint16_t>(vendorId) &&
           static_cast<uint16_t>(info.product) == static_cast<uint16_t>(productId);
}

bool ReadLengths(int fd, OutputReportLengths* lengths) {
    int size = 0;
    if (ioctl(fd, HIDIOCGRDESCSIZE, &size) != 0 || size < 0 || size > HID_MAX_DESCRIPTOR_SIZE) {
        return false;
    }
    hidraw_report_descriptor descriptor{};
    descriptor.size = static_cast<uint32_t>(size);
    if (ioctl(fd, HIDIOCGRDESC, &descriptor) != 0) {
        return false;
    }
    return ParseOutputReportLengths(descriptor.value, descriptor.size, lengths);
}

// A node whose descriptor cannot be read or parsed is skipped: nothing
// could be sent to it.
int32_t TakeFreeHandle(int fd) {
    for (int32_t handle = 0; handle < maxHandles; ++handle) {
        if (devices[handle].fd < 0) {
            if (!ReadLengths(fd, &devices[handle].lengths)) {
                return -1;
            }
            ResetReadPolicy(&devices[handle].policy);
            devices[handle].fd = fd;
            return handle;
        }
    }
    return -1;
}
// Moves every report hidraw holds into the read policy without waiting.
// hidraw hands out one report per read() and drops new ones once 63 wait, so
// a queue left to fill would hold nothing but stale reports.
bool DrainQueue(OpenDevice* device) {
    uint8_t report[readSize];
    for (;;) {
        const ssize_t n = read(device->fd, report, sizeof(report));
        if (n > 0) {
            NoteArrival(&device->policy, report, static_cast<uint32_t>(n));
            continue;
        }
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}
}  // namespace

int32_t OpenHidHandle(int32_t vendorId, int32_t productId) {
    PrepareDevices();
    static bool present[maxNodeNumber];
    memset(present, 0, sizeof(present));
    ListHidrawNodes(present);
    for (int number = 0; number < maxNodeNumber; ++number) {
        if (!present[number]) {
            continue;
        }
        char path[32];
        snprintf(path, sizeof(path), "/dev/hidraw%d", number);
        const int fd = open(path, O_RDWR | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            continue;  // not ours to open: try the next node
        }
        if (Matches(fd, vendorId, productId)) {
            const int32_t handle = TakeFreeHandle(fd);
            if (handle >= 0) {
                return handle;
            }
        }
        close(fd);
    }
    return -1;
}

int32_t ReadReport(int32_t handle, uint8_t* buffer, uint32_t* bytesRead) {
    *bytesRead = 0;
    OpenDevice* device = DeviceFor(handle);
    if (device == nullptr) {
        return 0;
    }
    for (;;) {
        if (!DrainQueue(device)) {
            return 0;
        }
        if (TakeReport(&device->policy, buffer, bytesRead)) {
            return 1;
        }
        // Nothing new: wait for the next report. A signal ends the wait
        // (poll is never restarted), and the caller's buffer stays as it was.
        pollfd waiting{device->fd, POLLIN, 0};
        if (poll(&waiting, 1, -1) < 0) {
            return 0;
        }
    }
}

int32_t WriteReport(int32_t handle, uint8_t* buffer, uint32_t* bytesWritten) {
    *bytesWritten = 0;
    const OpenDevice* device = DeviceFor(handle);
    if (device == nullptr) {
        return 0;
    }
    const uint32_t length = SendLength(device->lengths, buffer[0]);
    if (length == 0) {
        return 0;
    }
    const ssize_t n = write(device->fd, buffer, length);
    if (n < 0) {
        return 0;
    }
    *bytesWritten = static_cast<uint32_t>(n);
    return static_cast<uint32_t>(n) == length ? 1 : 0;
}

void CloseHidHandle(int32_t handle) {
    OpenDevice* device = DeviceFor(handle);
    if (device != nullptr) {
        close(device->fd);
        device->fd = -1;
    }
}
