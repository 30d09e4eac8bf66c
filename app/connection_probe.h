// The connection probe: a reader thread polls the controller while the main
// thread times a window of 100 ms; a 0x31 report with a non-zero X
// acceleration byte in that window is the sign of life.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/threads.h"

extern std::atomic<uint8_t> readerRun;
extern std::atomic<uint8_t> readerActive;
extern ThreadHandle readerThread;

bool ProbeConnection();
void ReaderLoop();
// After a failed probe: ends the reader if it is still in its loop.
void StopReader();
// Holds the main thread until the reader has left its loop, so that two
// reads are never in flight at once and inReport has one writer.
void WaitForReaderToLeave();
// On a stop request: ends the reader whatever it is doing, before the close.
void EndReaderForStop();
