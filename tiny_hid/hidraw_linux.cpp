// The HID access library on Linux, directly on the kernel's hidraw nodes.
//
// Only nodes whose ids sysfs gives as the wanted ones are ever opened: on a
// desktop the user may open many hidraw nodes (security keys, headsets, the
// vendor interfaces of keyboards), and opening them wakes some of those
// devices and is none of this library's business.
//
// A controller that drops out: hidraw hands out what it still had queued,
// then every read fails with EIO and every write with ENODEV. The read waits,
// without spinning, for a device with the controller's ids to appear,
// preferring the one with the same unique id (its Bluetooth address). It
// learns of new nodes through inotify on /dev: udev creates the node and then
// sets its owner and access list, and both show as events, so a node that
// root alone may open at first is tried again once access is granted. A
// re-scan every few seconds covers a /dev that sends no events. The dead file
// stays open until the new one takes its number (its minor number stays taken
// meanwhile, so the controller comes back under another node).
//
// Keeping the controller's state (mode_keeper.h) cannot wait for the caller's
// next read: it reads once per pass, after its pulse, and another writer's
// report switches the motor off in the middle of one. So each handle has a
// thread of the library's own, started by the open, with a second file on
// the same node (hidraw gives every open file its own queue): it sees every
// report as it arrives and sends what the keeper calls for at once. It takes
// the write lock for that, and it is never cancelled, so the lock is never
// lost with a reader the caller ends.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device_identity.h"
#include "mode_keeper.h"
#include "read_policy.h"
#include "report_descriptor.h"
#include "tiny_hid.h"

namespace {
constexpr int maxHandles = 16;
constexpr int maxNodeNumber = 1024;
constexpr size_t readSize = 256;
constexpr int rescanMs = 3000;

// The caller's writes and its reading thread share a handle. The descriptor
// number fd is fixed from the open to the close, and the close comes only
// after the caller has ended its readers: a writer that has loaded it always
// reaches this handle's device, the dead one (its writes fail) or the one that
// came back, which dup2 puts in its place in one step. A re-scan's trial
// opens can therefore never be given that number. Nothing else the writer
// reads changes after the open, but for gone and the mode keeper. The
// keeper's file, keeperFd, keeps its number the same way.
struct OpenDevice {
    bool inUse;
    int fd;  // non-blocking, so a read drains the queue
    // The report lengths of the first device: one that comes back with the
    // same ids declares the same reports.
    OutputReportLengths lengths;
    std::atomic<bool> gone;  // set and cleared by the reading thread
    // Every write to the device, the caller's and the library's, goes out
    // under it, and the keeper is asked and told under it: what the keeper
    // sends is built from the caller's last request at the moment it is sent.
    // A reading thread the caller may cancel takes it only with cancellation
    // held off.
    pthread_mutex_t writeLock;
    ModeKeeper keeper;
    // The keeper's thread and what wakes it: a device that came back, a close.
    int keeperFd;  // non-blocking
    int wakeFd;    // an eventfd
    pthread_t keeperThread;
    std::atomic<bool> closing;
    // The reading thread's alone.
    int watch;  // inotify on /dev while waiting for the device to return, else -1
    DeviceIdentity identity;
    ReadPolicy policy;
};

OpenDevice devices[maxHandles] = {};

struct WritesHeld {
    explicit WritesHeld(OpenDevice* device) : lock(&device->writeLock) {
        pthread_mutex_lock(lock);
    }
    ~WritesHeld() {
        pthread_mutex_unlock(lock);
    }
    pthread_mutex_t* lock;
};

int64_t NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

OpenDevice* DeviceFor(int32_t handle) {
    if (handle < 0 || handle >= maxHandles || !devices[handle].inUse) {
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

// The ids that sysfs gives for a node, read without opening the node; false
// when it names none.
bool SysfsIds(int number, uint16_t* vendorId, uint16_t* productId) {
    char path[64];
    snprintf(path, sizeof(path), "/sys/class/hidraw/hidraw%d/device/uevent", number);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char text[4096];
    const ssize_t n = read(fd, text, sizeof(text) - 1);
    close(fd);
    if (n <= 0) {
        return false;
    }
    text[n] = '\0';
    // HID_ID=BBBB:VVVVVVVV:PPPPPPPP, bus, vendor and product in hex.
    for (const char* line = text; line != nullptr && *line != '\0';) {
        unsigned bus = 0;
        unsigned vendor = 0;
        unsigned product = 0;
        if (sscanf(line, "HID_ID=%x:%x:%x", &bus, &vendor, &product) == 3) {
            *vendorId = static_cast<uint16_t>(vendor);
            *productId = static_cast<uint16_t>(product);
            return vendor <= 0xFFFF && product <= 0xFFFF;
        }
        line = strchr(line, '\n');
        line = line != nullptr ? line + 1 : nullptr;
    }
    return false;
}

bool WantedIds(const DeviceIdentity& wanted, int number) {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    return SysfsIds(number, &vendorId, &productId) && vendorId == wanted.vendorId &&
           productId == wanted.productId;
}

bool Identify(int fd, DeviceIdentity* identity) {
    hidraw_devinfo info{};
    if (ioctl(fd, HIDIOCGRAWINFO, &info) != 0) {
        return false;
    }
    identity->vendorId = static_cast<uint16_t>(info.vendor);
    identity->productId = static_cast<uint16_t>(info.product);
    memset(identity->unique, 0, sizeof(identity->unique));
    // Older kernels have no such request; the ids alone must then do.
    if (ioctl(fd, HIDIOCGRAWUNIQ(sizeof(identity->unique) - 1), identity->unique) < 0) {
        identity->unique[0] = '\0';
    }
    return true;
}

// The descriptor as sysfs gives it: hidraw's own request refuses to hand out
// one of the full 4096 bytes the kernel allows (it takes at most 4095).
bool ReadSysfsDescriptor(int number, hidraw_report_descriptor* descriptor) {
    char path[80];
    snprintf(path, sizeof(path), "/sys/class/hidraw/hidraw%d/device/report_descriptor", number);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    size_t size = 0;
    ssize_t n = 0;
    while (size < sizeof(descriptor->value) &&
           (n = read(fd, descriptor->value + size, sizeof(descriptor->value) - size)) > 0) {
        size += static_cast<size_t>(n);
    }
    close(fd);
    descriptor->size = static_cast<uint32_t>(size);
    return n >= 0 && size > 0;
}

bool ReadLengths(int fd, int number, OutputReportLengths* lengths) {
    static hidraw_report_descriptor descriptor;
    descriptor = hidraw_report_descriptor{};
    if (!ReadSysfsDescriptor(number, &descriptor)) {
        int size = 0;
        if (ioctl(fd, HIDIOCGRDESCSIZE, &size) != 0 || size < 0 || size > HID_MAX_DESCRIPTOR_SIZE) {
            return false;
        }
        descriptor.size = static_cast<uint32_t>(size);
        if (ioctl(fd, HIDIOCGRDESC, &descriptor) != 0) {
            return false;
        }
    }
    return ParseOutputReportLengths(descriptor.value, descriptor.size, lengths);
}

// Opens, in number order, the hidraw nodes that sysfs names with wanted's ids
// and keeps the best match, with its identity, output lengths and node
// number; -1 when none matches. A node whose descriptor cannot be read or
// parsed is skipped: nothing could be sent to it.
int OpenBestNode(const DeviceIdentity& wanted, DeviceIdentity* identity,
                 OutputReportLengths* lengths, int* node) {
    static bool present[maxNodeNumber];
    memset(present, 0, sizeof(present));
    ListHidrawNodes(present);
    ScanChoice choice{};
    StartScan(&choice);
    int chosen = -1;
    for (int number = 0; number < maxNodeNumber && !ScanSettled(choice, wanted); ++number) {
        if (!present[number] || !WantedIds(wanted, number)) {
            continue;
        }
        char path[32];
        snprintf(path, sizeof(path), "/dev/hidraw%d", number);
        const int fd = open(path, O_RDWR | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            continue;  // not ours to open: try the next node
        }
        DeviceIdentity found{};
        static OutputReportLengths foundLengths;
        if (Identify(fd, &found) && MatchDevice(wanted, found) > choice.match &&
            ReadLengths(fd, number, &foundLengths) &&
            ConsiderDevice(&choice, wanted, found, number)) {
            if (chosen >= 0) {
                close(chosen);
            }
            chosen = fd;
            *identity = found;
            *lengths = foundLengths;
            *node = number;
            continue;
        }
        close(fd);
    }
    return chosen;
}

// Under the write lock: what the keeper called for, built now. Its outcome
// matters to nobody: a device that refuses it has gone, and the next read
// finds that out.
void SendKept(const OpenDevice& device, uint8_t writes) {
    if (device.gone.load()) {
        return;
    }
    uint8_t report[maxModeBytes > maxMotorBytes ? maxModeBytes : maxMotorBytes];
    uint32_t length = 0;
    if ((writes & keepMode) != 0 && CurrentMode(device.keeper, report, &length)) {
        const ssize_t written = write(device.fd, report, length);
        (void)written;
    }
    if ((writes & keepMotor) != 0 && CurrentMotor(device.keeper, report, &length)) {
        const ssize_t written = write(device.fd, report, length);
        (void)written;
    }
}

// Moves every report hidraw holds into the read policy without waiting.
// hidraw hands out one report per read() and drops new ones once 63 wait, so
// a queue left to fill would hold nothing but stale reports. False once the
// device has gone (EIO), after what it had queued.
bool DrainQueue(OpenDevice* device) {
    uint8_t report[readSize];
    for (;;) {
        const ssize_t n = read(device->fd, report, sizeof(report));
        if (n > 0) {
            NoteArrival(&device->policy, report, static_cast<uint32_t>(n));
            continue;
        }
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
    }
}

// --- The keeper's thread --------------------------------------------------------

void Wake(const OpenDevice& device) {
    const uint64_t one = 1;
    const ssize_t written = write(device.wakeFd, &one, sizeof(one));
    (void)written;
}

// Every report the keeper's file holds, each shown to the keeper as it comes.
// False once that file's device has gone.
bool KeepUp(OpenDevice* device) {
    uint8_t report[readSize];
    for (;;) {
        const ssize_t n = read(device->keeperFd, report, sizeof(report));
        if (n <= 0) {
            return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
        }
        WritesHeld held(device);
        SendKept(*device, KeeperWritesForArrival(&device->keeper, report, static_cast<uint32_t>(n),
                                                 NowMs()));
    }
}

// poll's timeout for a deadline on NowMs's clock: -1 for none.
int TimeoutUntil(int64_t deadlineMs) {
    if (deadlineMs == INT64_MAX) {
        return -1;
    }
    const int64_t leftMs = deadlineMs - NowMs();
    return leftMs <= 0 ? 0 : leftMs > 60'000 ? 60'000 : static_cast<int>(leftMs);
}

// Waits for reports on the keeper's file, or for silence to call for the
// mode, until the handle closes. While the device is gone it waits for the
// reading thread's word that it is back.
void* RunKeeper(void* opened) {
    OpenDevice* device = static_cast<OpenDevice*>(opened);
    bool live = true;
    while (!device->closing.load()) {
        int64_t deadlineMs = INT64_MAX;
        if (live && !device->gone.load()) {
            WritesHeld held(device);
            deadlineMs = SilenceDeadlineMs(device->keeper);
        }
        pollfd events[2] = {{device->wakeFd, POLLIN, 0}, {device->keeperFd, POLLIN, 0}};
        const int ready = poll(events, live ? 2 : 1, TimeoutUntil(deadlineMs));
        if ((events[0].revents & POLLIN) != 0) {
            uint64_t count = 0;
            const ssize_t n = read(device->wakeFd, &count, sizeof(count));
            (void)n;
            live = true;  // a device that came back took the keeper's file number
        }
        if (live && ready > 0 && events[1].revents != 0) {
            live = KeepUp(device);
        }
        if (ready == 0 && !device->gone.load()) {
            WritesHeld held(device);
            SendKept(*device, KeeperWritesForSilence(&device->keeper, NowMs()));
        }
    }
    return nullptr;
}

// The keeper's thread blocks every signal: a stop request must land on the
// caller's threads and cut their waits short.
bool StartKeeper(OpenDevice* device) {
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    const int result = pthread_create(&device->keeperThread, nullptr, RunKeeper, device);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return result == 0;
}

// A second file on the node, for the keeper.
int OpenKeeperFile(int node) {
    char path[32];
    snprintf(path, sizeof(path), "/dev/hidraw%d", node);
    return open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
}

// Watches /dev before the first look, so that a node created between the
// look and the wait still wakes the wait.
bool StartWatching(OpenDevice* device) {
    if (device->watch >= 0) {
        return true;
    }
    device->watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (device->watch >= 0 && inotify_add_watch(device->watch, "/dev", IN_CREATE | IN_ATTRIB) < 0) {
        close(device->watch);
        device->watch = -1;
    }
    return device->watch >= 0;
}

void StopWatching(OpenDevice* device) {
    if (device->watch >= 0) {
        close(device->watch);
        device->watch = -1;
    }
}

// A look for the device under cancellation held off: a probe's reader that
// is cancelled here leaves no file half taken over. The device that came
// back takes the dead file's number in one step (dup2 closes the dead one).
bool TryReopen(OpenDevice* device) {
    int oldState = 0;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &oldState);
    DeviceIdentity identity{};
    static OutputReportLengths lengths;
    int node = -1;
    const int fd = OpenBestNode(device->identity, &identity, &lengths, &node);
    const bool back = fd >= 0 && dup2(fd, device->fd) == device->fd;
    if (fd >= 0) {
        close(fd);
    }
    if (back) {
        device->identity = identity;
        StopWatching(device);
        const int keeperFd = OpenKeeperFile(node);
        if (keeperFd >= 0) {
            dup2(keeperFd, device->keeperFd);
            close(keeperFd);
        }
        // It starts in its own default mode, reporting on button changes only.
        WritesHeld held(device);
        device->gone.store(false);
        SendKept(*device, KeeperWritesAfterReturn(&device->keeper, NowMs()));
        Wake(*device);
    }
    pthread_setcancelstate(oldState, nullptr);
    return back;
}

// Waits until the device is back and open again. False when a signal cut the
// wait short; the wait is a cancellation point, as a blocking read is.
bool AwaitReturn(OpenDevice* device) {
    for (;;) {
        const bool watching = StartWatching(device);
        if (TryReopen(device)) {
            return true;
        }
        pollfd events{device->watch, POLLIN, 0};
        if (poll(&events, watching ? 1 : 0, rescanMs) < 0) {
            return false;
        }
        char discarded[4096];
        while (watching && read(device->watch, discarded, sizeof(discarded)) > 0) {
        }
    }
}
}  // namespace

int32_t OpenHidHandle(int32_t vendorId, int32_t productId) {
    for (int32_t handle = 0; handle < maxHandles; ++handle) {
        OpenDevice& device = devices[handle];
        if (device.inUse) {
            continue;
        }
        DeviceIdentity wanted{vendorId, productId, {}};
        int node = -1;
        const int fd = OpenBestNode(wanted, &device.identity, &device.lengths, &node);
        if (fd < 0) {
            return -1;
        }
        device.fd = fd;
        device.keeperFd = OpenKeeperFile(node);
        device.wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        device.watch = -1;
        device.gone.store(false);
        device.closing.store(false);
        pthread_mutex_init(&device.writeLock, nullptr);
        ResetReadPolicy(&device.policy);
        ResetModeKeeper(&device.keeper);
        if (device.keeperFd < 0 || device.wakeFd < 0 || !StartKeeper(&device)) {
            for (int opened : {device.keeperFd, device.wakeFd, fd}) {
                if (opened >= 0) {
                    close(opened);
                }
            }
            pthread_mutex_destroy(&device.writeLock);
            return -1;
        }
        device.inUse = true;
        return handle;
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
        if (!device->gone.load() && !DrainQueue(device)) {
            device->gone.store(true);
        }
        // What the device sent before it went comes first.
        if (TakeReport(&device->policy, buffer, bytesRead)) {
            return 1;
        }
        if (device->gone.load()) {
            if (!AwaitReturn(device)) {
                return 0;
            }
            continue;
        }
        // Nothing new: wait for the next report, or for the device to go. A
        // signal ends the wait (poll is never restarted), and the caller's
        // buffer stays as it was.
        pollfd waiting{device->fd, POLLIN, 0};
        if (poll(&waiting, 1, -1) < 0) {
            return 0;
        }
    }
}

int32_t WriteReport(int32_t handle, uint8_t* buffer, uint32_t* bytesWritten) {
    *bytesWritten = 0;
    OpenDevice* device = DeviceFor(handle);
    if (device == nullptr) {
        return 0;
    }
    const uint32_t length = SendLength(device->lengths, buffer[0]);
    if (length == 0) {
        return 0;
    }
    // What the caller asks for counts whether or not it gets through: a
    // motor switched off while the device was away stays off when it returns.
    WritesHeld held(device);
    NoteCallerReport(&device->keeper, buffer, length);
    if (device->gone.load()) {
        return 0;  // nothing waits for it to return
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
        device->closing.store(true);
        Wake(*device);
        pthread_join(device->keeperThread, nullptr);
        close(device->keeperFd);
        close(device->wakeFd);
        close(device->fd);
        StopWatching(device);
        pthread_mutex_destroy(&device->writeLock);
        device->inUse = false;
    }
}
