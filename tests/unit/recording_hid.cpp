#include "recording_hid.h"

#include <cstring>

#include "tiny_hid/tiny_hid.h"

RecordingHid recordingHid;

int32_t OpenHidHandle(int32_t vendorId, int32_t productId) {
    recordingHid.openedVendor = vendorId;
    recordingHid.openedProduct = productId;
    return recordingHid.openResult;
}

int32_t ReadReport(int32_t handle, uint8_t* buffer, uint32_t* bytesRead) {
    recordingHid.readHandle = handle;
    recordingHid.readBuffer = buffer;
    recordingHid.readCount = bytesRead;
    if (recordingHid.reads.empty()) {
        return 0;
    }
    const std::vector<uint8_t> report = recordingHid.reads.front();
    recordingHid.reads.erase(recordingHid.reads.begin());
    if (report.empty()) {
        return 0;
    }
    memcpy(buffer, report.data(), report.size());
    *bytesRead = static_cast<uint32_t>(report.size());
    return 1;
}

int32_t WriteReport(int32_t handle, uint8_t* buffer, uint32_t* bytesWritten) {
    recordingHid.writes.push_back(
        {handle, std::vector<uint8_t>(buffer, buffer + 256), bytesWritten});
    return 1;
}

void CloseHidHandle(int32_t handle) {
    recordingHid.closed.push_back(handle);
}
