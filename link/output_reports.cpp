// Every send writes only its own bytes of the one shared buffer and leaves the
// rest as it was, so byte 2 of later LED and motor reports keeps the mode.
#include "remote_link.h"
#include "tiny_hid/tiny_hid.h"

namespace {
constexpr uint8_t ledReportId = 0x11;
constexpr uint8_t modeReportId = 0x12;
constexpr uint8_t rumbleReportId = 0x13;

void SendOutReport() {
    WriteReport(hidHandle, outReport, &bytesWritten);
}
}  // namespace

void SetLeds(uint8_t ledBits) {
    outReport[0] = ledReportId;
    outReport[1] = ledBits;
    SendOutReport();
}

void SetReportingMode(uint8_t flags, uint8_t mode) {
    outReport[0] = modeReportId;
    outReport[1] = flags;
    outReport[2] = mode;
    SendOutReport();
}

void SetRumble(uint8_t on) {
    outReport[0] = rumbleReportId;
    outReport[1] = on;
    SendOutReport();
}
