// The few operating-system services the virtual controller needs.
#pragma once

#include <cstddef>
#include <cstdint>

int64_t NowMicroseconds();
// "main" for the process's main thread, otherwise a per-thread label.
void DescribeCallingThread(char* label, size_t size);
// Waits until the monotonic deadline. False when a signal cut the wait short.
// If the waiting thread is ended forcibly, onEnded runs first where the
// platform allows it.
bool WaitUntil(int64_t deadlineUs, void (*onEnded)());
// Where a forced end cannot run onEnded on the ended thread (Windows), runs it
// now for every waiting thread that has been ended; elsewhere does nothing.
void SettleEndedWaits();
// Appends one whole line to the log file (the first path given), never torn
// by a forced end.
void AppendToFile(const char* path, const char* text, size_t length);
// Runs onByte for each byte that comes through the file at path (a FIFO for
// scripts/try), on a thread of its own, until the file ends. False when that
// thread cannot start; a path that cannot be opened gives no bytes.
bool ListenForBytes(const char* path, void (*onByte)(uint8_t byte));
const char* ReadSetting(const char* name);
bool StderrIsTerminal();
void WriteStderr(const char* text, size_t length);
