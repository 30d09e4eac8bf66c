// The HID access library's ABI: four C functions, linked by name. Any build
// that exports them and keeps the contract below can stand in for ours (the
// virtual controller in virtual_remote/ is one); the program relies on
// nothing else.
//
// Buffers. The caller's input and output buffers are 256 bytes each, report
// ID in byte 0, and are never cleared between calls. A read copies at most
// 256 bytes; a longer report is cut to its first 256. A write sends the report
// whose ID is byte 0 at the length the device declares for that ID, never
// more and never past byte 255; an ID the device does not declare is not sent.
//
// Threads. One thread opens, writes and closes. While it does, a second
// thread may be inside ReadReport on the same handle: a read and a write may
// run at once, and neither may wait for the other. Two reads never run at
// once, and open never runs beside anything else.
//
// Ending a reader. The program may end a thread that is inside ReadReport
// at any instruction (TerminateThread on Windows; deferred cancellation at a
// cancellation point on POSIX). So ReadReport can be ended holding no lock,
// makes no handle or thread and holds nothing whose loss would stall another
// call; after such an end, CloseHidHandle and a fresh OpenHidHandle return
// promptly and the fresh handle reads.
//
// Reading. The caller reads once per 100 ms pass while the controller sends up
// to a hundred reports a second: a read hands out the oldest report not yet
// handed out that changes the ID or the button bytes (so no press is lost),
// else the newest report since the last read, else it waits for the next one.
// It never hands out the same report twice.
//
// Keeping the mode and the motor. After a status report (0x20) the controller
// sends no data reports until its reporting mode is set again, and another
// writer (the kernel's own driver) may set a mode of its own or clear the
// motor bit that every output report carries. The library sends the caller's
// last mode report again itself, carrying the motor state the caller last
// asked for, and its last motor report while that asked for the motor on; it
// never sends one after the caller's later motor-off. The program's pulses
// run once per report and would otherwise stall.
//
// A controller that goes away. Writes fail (the program does not look at
// their outcome), but what they asked for counts: a motor switched off while
// the controller was away stays off when it returns. A read hands out what
// arrived before, then waits, without spinning, until a controller with the
// same ids is back (the same one, by its unique id, if it is there), opens
// it under the same handle, sets the caller's last mode and motor state
// again and goes on reading.
//
// Bounds. A write that the system has not taken within a second is cancelled
// and fails: a stalled link must not hold the thread that switches the motor
// off. A read waits as long as it must; on POSIX a signal ends the wait, the
// read then fails and leaves the buffer as it was; on Windows an APC queued to
// the reading thread does the same.
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
// A handle of the first device with these ids, open for reading and writing;
// -1 when there is none or it cannot be opened. Opens no device of other ids.
TINY_HID_API int32_t OpenHidHandle(int32_t vendorId, int32_t productId);
// Waits for one input report and copies it, report ID in byte 0, its length in
// *bytesRead; nonzero on success. On failure *bytesRead is 0.
TINY_HID_API int32_t ReadReport(int32_t handle, uint8_t* buffer, uint32_t* bytesRead);
// Sends one output report whose ID is byte 0 of the buffer, the count the
// system gave back in *bytesWritten; nonzero on success.
TINY_HID_API int32_t WriteReport(int32_t handle, uint8_t* buffer, uint32_t* bytesWritten);
// Releases the handle, once, after the caller has ended or left its reader.
TINY_HID_API void CloseHidHandle(int32_t handle);
}
