#include "remote_link.h"

#include "tiny_hid/tiny_hid.h"

RemoteInput RemoteState;
int32_t hidHandle;
uint8_t outReport[reportBufferSize];
uint32_t bytesWritten;
uint8_t inReport[reportBufferSize];
uint32_t bytesRead;

bool OpenRemote() {
    hidHandle = OpenHidHandle(remoteVendorId, remoteProductId);
    return hidHandle != -1;
}

void CloseRemote() {
    CloseHidHandle(hidHandle);
}
