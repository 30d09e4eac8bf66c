#include "uhid_remote.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/uhid.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {
// Vendor-defined usages only: the kernel's input layer claims nothing, so
// hidraw is the one road in and out.
constexpr uint8_t descriptorHead[] = {
    0x06, 0x00, 0xFF,  // Usage Page (vendor 0xFF00)
    0x09, 0x01,        // Usage (1)
    0xA1, 0x01,        // Collection (Application)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0xFF, 0x00,  //   Logical Maximum (255)
    0x75, 0x08,        //   Report Size (8)
};
constexpr uint8_t endCollection = 0xC0;
constexpr uint8_t ledReport[] = {0x85, 0x11, 0x95, 0x01, 0x09, 0x01, 0x91, 0x02};
constexpr uint8_t modeReport[] = {0x85, 0x12, 0x95, 0x02, 0x09, 0x01, 0x91, 0x02};
constexpr uint8_t motorReport[] = {0x85, 0x13, 0x95, 0x01, 0x09, 0x01, 0x91, 0x02};
// The status request, which the doctor sends, as a real controller declares it.
constexpr uint8_t statusRequestReport[] = {0x85, 0x15, 0x95, 0x01, 0x09, 0x01, 0x91, 0x02};
constexpr uint8_t inputReports[] = {
    0x85, 0x30, 0x95, 0x02, 0x09, 0x01, 0x81, 0x02,  // input 0x30: buttons
    0x85, 0x20, 0x95, 0x06, 0x09, 0x01, 0x81, 0x02,  // input 0x20: status
    0x85, 0x21, 0x95, 0x15, 0x09, 0x01, 0x81, 0x02,  // input 0x21: memory data
    0x85, 0x22, 0x95, 0x04, 0x09, 0x01, 0x81, 0x02,  // input 0x22: acknowledgement
};
// 64-byte payloads for 0x11 to 0x13.
constexpr uint8_t wideOutputReports[] = {
    0x85, 0x11, 0x95, 0x40, 0x09, 0x01, 0x91, 0x02,  //
    0x85, 0x12, 0x95, 0x40, 0x09, 0x01, 0x91, 0x02,  //
    0x85, 0x13, 0x95, 0x40, 0x09, 0x01, 0x91, 0x02,
};
constexpr uint8_t motionReport[] = {0x85, 0x31, 0x95, 0x05, 0x09, 0x01, 0x81, 0x02};
// 0x31 with 4095 payload bytes: with its ID, all that uhid carries.
constexpr uint8_t longMotionReport[] = {0x85, 0x31, 0x96, 0xFF, 0x0F, 0x09, 0x01, 0x81, 0x02};
// No report IDs: one 2-byte output report and one 6-byte input report.
constexpr uint8_t unnumberedReports[] = {
    0x95, 0x02, 0x09, 0x01, 0x91, 0x02,  //
    0x95, 0x06, 0x09, 0x01, 0x81, 0x02,
};
constexpr uint8_t nestedCollection[] = {0xA1, 0x02};  // Collection (Logical)
constexpr size_t descriptorLimit = 4096;              // the kernel's

struct Descriptor {
    uint8_t bytes[descriptorLimit];
    size_t length;
    uint32_t outputBytes[256];
    uint32_t motionBytes;
};
Descriptor descriptor{};

void Append(const uint8_t* bytes, size_t length) {
    memcpy(descriptor.bytes + descriptor.length, bytes, length);
    descriptor.length += length;
}

template <size_t n>
void Append(const uint8_t (&bytes)[n]) {
    Append(bytes, n);
}

void Build(RemoteDescriptor kind) {
    descriptor = Descriptor{};
    Append(descriptorHead);
    size_t depth = 0;
    if (kind == RemoteDescriptor::deepNesting) {
        const size_t rest = sizeof(ledReport) + sizeof(modeReport) + sizeof(motorReport) +
                            sizeof(statusRequestReport) + sizeof(inputReports) +
                            sizeof(motionReport) + 1;
        depth = (descriptorLimit - descriptor.length - rest) / (sizeof(nestedCollection) + 1);
        for (size_t i = 0; i < depth; ++i) {
            Append(nestedCollection);
        }
    }
    if (kind == RemoteDescriptor::noReportIds) {
        Append(unnumberedReports);
        descriptor.outputBytes[0] = 2;
        descriptor.motionBytes = 6;
    } else if (kind == RemoteDescriptor::wideOutputs) {
        Append(wideOutputReports);
        descriptor.outputBytes[0x11] = descriptor.outputBytes[0x12] = 65;
        descriptor.outputBytes[0x13] = 65;
    } else {
        Append(ledReport);
        Append(modeReport);
        descriptor.outputBytes[0x11] = 2;
        descriptor.outputBytes[0x12] = 3;
        if (kind != RemoteDescriptor::noMotor) {
            Append(motorReport);
            descriptor.outputBytes[0x13] = 2;
        }
        Append(statusRequestReport);
        descriptor.outputBytes[0x15] = 2;
    }
    if (kind == RemoteDescriptor::longMotion) {
        Append(longMotionReport);
        descriptor.motionBytes = 1 + 4095;
    } else if (kind != RemoteDescriptor::noReportIds) {
        Append(motionReport);
        descriptor.motionBytes = 6;
    }
    if (kind != RemoteDescriptor::noReportIds) {
        Append(inputReports);
    }
    for (size_t i = 0; i < depth; ++i) {
        descriptor.bytes[descriptor.length++] = endCollection;
    }
    descriptor.bytes[descriptor.length++] = endCollection;
}

bool WriteEvent(int fd, const uhid_event& event) {
    const ssize_t n = write(fd, &event, sizeof(event));
    return n == static_cast<ssize_t>(sizeof(event));
}

void AnswerGetReport(int fd, const uhid_event& request) {
    static uhid_event reply;
    memset(&reply, 0, sizeof(reply));
    reply.type = UHID_GET_REPORT_REPLY;
    reply.u.get_report_reply.id = request.u.get_report.id;
    reply.u.get_report_reply.err = EIO;
    WriteEvent(fd, reply);
}

void AnswerSetReport(int fd, const uhid_event& request) {
    static uhid_event reply;
    memset(&reply, 0, sizeof(reply));
    reply.type = UHID_SET_REPORT_REPLY;
    reply.u.set_report_reply.id = request.u.set_report.id;
    reply.u.set_report_reply.err = 0;
    WriteEvent(fd, reply);
}

void KeepBytes(const uint8_t* data, uint32_t length, RemoteEvent* event) {
    event->length = length;
    memcpy(event->bytes, data, length < maxKeptBytes ? length : maxKeptBytes);
}
}  // namespace

int CreateRemote(RemoteBus bus, uint16_t product, uint8_t unit) {
    const int fd = open("/dev/uhid", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    static uhid_event create;
    memset(&create, 0, sizeof(create));
    create.type = UHID_CREATE2;
    snprintf(reinterpret_cast<char*>(create.u.create2.name), sizeof(create.u.create2.name),
             "Quivertap kernel test remote");
    snprintf(reinterpret_cast<char*>(create.u.create2.uniq), sizeof(create.u.create2.uniq),
             "00:1f:32:00:00:%02x", unit);
    if (descriptor.length == 0) {
        Build(RemoteDescriptor::standard);
    }
    create.u.create2.rd_size = static_cast<uint16_t>(descriptor.length);
    create.u.create2.bus = bus == RemoteBus::usb ? BUS_USB : BUS_BLUETOOTH;
    create.u.create2.vendor = remoteVendor;
    create.u.create2.product = product;
    memcpy(create.u.create2.rd_data, descriptor.bytes, descriptor.length);
    if (!WriteEvent(fd, create)) {
        close(fd);
        return -1;
    }
    return fd;
}

void UseDescriptor(RemoteDescriptor kind) {
    Build(kind);
}

uint32_t DeclaredOutputBytes(uint8_t reportId) {
    if (descriptor.length == 0) {
        Build(RemoteDescriptor::standard);
    }
    return descriptor.outputBytes[reportId];
}

uint32_t DeclaredMotionBytes() {
    if (descriptor.length == 0) {
        Build(RemoteDescriptor::standard);
    }
    return descriptor.motionBytes;
}

void DestroyRemote(int fd) {
    static uhid_event destroy;
    memset(&destroy, 0, sizeof(destroy));
    destroy.type = UHID_DESTROY;
    WriteEvent(fd, destroy);
    close(fd);
}

bool SendInputReport(int fd, const uint8_t* bytes, size_t length) {
    static uhid_event input;
    memset(&input, 0, sizeof(input));
    input.type = UHID_INPUT2;
    input.u.input2.size = static_cast<uint16_t>(length);
    memcpy(input.u.input2.data, bytes, length);
    return WriteEvent(fd, input);
}

bool ReadRemoteEvent(int fd, RemoteEvent* event) {
    static uhid_event received;
    memset(event, 0, sizeof(*event));
    const ssize_t n = read(fd, &received, sizeof(received));
    if (n < static_cast<ssize_t>(sizeof(received.type))) {
        return false;
    }
    switch (received.type) {
        case UHID_OUTPUT:
            event->kind = RemoteEventKind::output;
            event->featureReport = received.u.output.rtype != UHID_OUTPUT_REPORT;
            KeepBytes(received.u.output.data, received.u.output.size, event);
            return true;
        case UHID_SET_REPORT:
            event->kind = RemoteEventKind::output;
            event->viaSetReport = true;
            event->featureReport = received.u.set_report.rtype != UHID_OUTPUT_REPORT;
            KeepBytes(received.u.set_report.data, received.u.set_report.size, event);
            AnswerSetReport(fd, received);
            return true;
        case UHID_GET_REPORT:
            event->kind = RemoteEventKind::other;
            AnswerGetReport(fd, received);
            return true;
        case UHID_OPEN:
            event->kind = RemoteEventKind::open;
            return true;
        case UHID_CLOSE:
            event->kind = RemoteEventKind::close;
            return true;
        case UHID_START:
            event->kind = RemoteEventKind::start;
            return true;
        case UHID_STOP:
            event->kind = RemoteEventKind::stop;
            return true;
        default:
            event->kind = RemoteEventKind::other;
            return true;
    }
}
