// The reader thread's needs: start one, pause it, end it forcibly.
#pragma once

#include <cstdint>

using ThreadHandle = uintptr_t;
inline constexpr ThreadHandle noThread = 0;

// Starts routine on a new thread with the default stack; noThread on failure.
// The new thread takes no stop signals: they always reach the main thread.
ThreadHandle StartThread(void (*routine)());
// Ends the thread without waiting for a read it is blocked in. Once it
// returns, the thread runs no more of its code. Harmless on a thread that
// has already left its routine; call at most once per thread.
void EndThreadNow(ThreadHandle thread);
void SleepMilliseconds(int32_t ms);
