#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include "virtual_os.h"

int64_t NowMicroseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
}

void DescribeCallingThread(char* label, size_t size) {
    // Asked on every call the program makes: the label is worked out once
    // per thread, so that the log costs the timing path no system calls.
    thread_local char known[16];
    if (known[0] == '\0') {
        const pid_t thread = gettid();
        if (thread == getpid()) {
            snprintf(known, sizeof(known), "main");
        } else {
            snprintf(known, sizeof(known), "t%d", static_cast<int>(thread));
        }
    }
    snprintf(label, size, "%s", known);
}

namespace {
void RunEnded(void* onEnded) {
    reinterpret_cast<void (*)()>(onEnded)();
}
}  // namespace

bool WaitUntil(int64_t deadlineUs, void (*onEnded)()) {
    // A report that is already due costs no sleep: even an expired absolute
    // deadline takes the thread through a timer wake-up.
    if (deadlineUs <= NowMicroseconds()) {
        return true;
    }
    timespec deadline{};
    deadline.tv_sec = deadlineUs / 1'000'000;
    deadline.tv_nsec = (deadlineUs % 1'000'000) * 1000;
    int result = 0;
    // clock_nanosleep is a cancellation point: a cancelled reader leaves from
    // inside it, as it would from a blocking read.
    pthread_cleanup_push(RunEnded, reinterpret_cast<void*>(onEnded));
    result = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
    pthread_cleanup_pop(0);
    return result != EINTR;
}

void SettleEndedWaits() {
    // A cancelled waiter has already run onEnded on its way out.
}

void AppendToFile(const char* path, const char* text, size_t length) {
    int oldState = 0;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &oldState);
    // Opened once: the log sits on the program's timing path.
    static const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        const ssize_t written = write(fd, text, length);
        (void)written;
    }
    pthread_setcancelstate(oldState, nullptr);
}

const char* ReadSetting(const char* name) {
    return getenv(name);
}

bool StderrIsTerminal() {
    return isatty(STDERR_FILENO) != 0;
}

void WriteStderr(const char* text, size_t length) {
    const ssize_t written = write(STDERR_FILENO, text, length);
    (void)written;
}
