#include "connection_probe.h"

#include "link/remote_link.h"
#include "timing/busy_wait.h"

std::atomic<uint8_t> readerRun;
std::atomic<uint8_t> readerActive;
ThreadHandle readerThread = noThread;

namespace {
constexpr int32_t probeWindowMs = 100;
constexpr int32_t readerPauseMs = 100;

void EndReaderThread() {
    EndThreadNow(readerThread);
    readerThread = noThread;
    // The thread is gone, whatever it was doing: it is no longer in its loop.
    readerActive.store(0);
}
}  // namespace

bool ProbeConnection() {
    RemoteState.accelX.store(0);
    readerRun.store(1);
    readerThread = StartThread(ReaderLoop);
    WaitMilliseconds(probeWindowMs);
    readerRun.store(0);
    return RemoteState.accelX.load() != 0;
}

void ReaderLoop() {
    while (readerRun.load() != 0) {
        readerActive.store(1);
        PollRemote();
        SleepMilliseconds(readerPauseMs);
    }
    readerActive.store(0);
}

void StopReader() {
    if (readerActive.load() == 1 && readerThread != noThread) {
        EndReaderThread();
    }
}

void WaitForReaderToLeave() {
    while (readerActive.load() != 0) {
        WaitMilliseconds(1);
    }
}

void EndReaderForStop() {
    readerRun.store(0);
    if (readerThread != noThread) {
        EndReaderThread();
    }
}
