// Only byte 0 decides the layout; a read that delivered nothing leaves
// inReport as it was, so the previous report simply applies again.
#include "remote_link.h"
#include "tiny_hid/tiny_hid.h"

namespace {
constexpr uint8_t buttonsReportId = 0x30;
constexpr uint8_t buttonsAccelReportId = 0x31;
}  // namespace

void DecodeInput() {
    const uint8_t reportId = inReport[0];
    if (reportId != buttonsReportId && reportId != buttonsAccelReportId) {
        return;
    }
    RemoteState.buttons1.store(inReport[1]);
    RemoteState.buttons2.store(inReport[2]);
    if (reportId == buttonsAccelReportId) {
        RemoteState.accelX.store(inReport[3]);
        RemoteState.accelY.store(inReport[4]);
        RemoteState.accelZ.store(inReport[5]);
    }
}

void PollRemote() {
    ReadReport(hidHandle, inReport, &bytesRead);
    DecodeInput();
}
