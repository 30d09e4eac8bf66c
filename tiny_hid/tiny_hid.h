// The HID access library's ABI. Any build with these four C functions can
// stand in for ours: the program links them by name and nothing else.
#pragma once

#include <cstdint>

#if defined(_WIN32) && defined(TINY_HID_BUILDING)
#define TINY_HID_API __declspec(dllexport)
#elif defined(_WIN32)
#define TINY_HID_API __declspec(dllimport)
#else
#define TINY_HID_API __attribute__((visibility("default")))
#endif

extern "C" {
// A handle of the first device with these ids, open for reading and writing; -1 when none.
TINY_HID_API int32_t OpenHidHandle(int32_t vendorId, int32_t productId);
// Waits for one input report and copies it, report ID in byte 0; nonzero on success.
TINY_HID_API int32_t ReadReport(int32_t handle, uint8_t* buffer, uint32_t* bytesRead);
// Sends one output report whose ID is byte 0 of the buffer; nonzero on success.
TINY_HID_API int32_t WriteReport(int32_t handle, uint8_t* buffer, uint32_t* bytesWritten);
TINY_HID_API void CloseHidHandle(int32_t handle);
}
