// The program's only road to the controller: open and close, the three output
// reports, and the decoding of input reports into RemoteState.
#pragma once

#include <atomic>
#include <cstdint>

inline constexpr int32_t remoteVendorId = 0x057E;
inline constexpr int32_t remoteProductId = 0x0306;
inline constexpr uint32_t reportBufferSize = 256;

// Button bits, a set bit meaning the button is down.
inline constexpr uint8_t plusButtonMask = 0x10;   // in buttons1
inline constexpr uint8_t aButtonMask = 0x08;      // in buttons2
inline constexpr uint8_t minusButtonMask = 0x10;  // in buttons2
inline constexpr uint8_t homeButtonMask = 0x80;   // in buttons2

// The last decoded controller input. The reader thread and the main thread
// share it without locks, so every field is a byte read and written whole.
struct RemoteInput {
    std::atomic<uint8_t> buttons1;
    std::atomic<uint8_t> buttons2;
    std::atomic<uint8_t> accelX;
    std::atomic<uint8_t> accelY;
    std::atomic<uint8_t> accelZ;
};

extern RemoteInput RemoteState;
extern int32_t hidHandle;
extern uint8_t outReport[reportBufferSize];
extern uint32_t bytesWritten;
extern uint8_t inReport[reportBufferSize];
extern uint32_t bytesRead;

bool OpenRemote();
void CloseRemote();
void SetLeds(uint8_t ledBits);
void SetReportingMode(uint8_t flags, uint8_t mode);
void SetRumble(uint8_t on);
void PollRemote();
// Applies whatever inReport holds now; PollRemote calls it after every read.
void DecodeInput();
