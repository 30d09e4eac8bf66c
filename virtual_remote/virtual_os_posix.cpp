#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

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

namespace {
// With VIRTUAL_REMOTE_LOG_MAPPED set (the benchmark), lines are copied into a
// shared mapping of the file instead of written: on some machines the first
// system call after a long busy-wait, and a write's update of the file's
// times, cost up to 20 µs, which the timed phases would count as the
// program's. The file
// is cut to what was logged when the process exits; a process killed before
// that leaves zero bytes behind its lines.
constexpr size_t mappedLogBytes = 4u << 20;

struct MappedLog {
    int fd;
    char* bytes;
    size_t start;  // what the file held before
    std::atomic<size_t> used;
};
MappedLog mappedLog{-1, nullptr, 0, {0}};

void TrimMappedLog() {
    // Every later line finds the log full: a thread still logging while the
    // process exits must not write past the cut file's end.
    const size_t used = std::min(mappedLog.used.exchange(mappedLogBytes + 1), mappedLogBytes);
    const int trimmed = ftruncate(mappedLog.fd, static_cast<off_t>(mappedLog.start + used));
    (void)trimmed;
}

// Leaves the log unmapped (written line by line) where the mapping fails.
void MapLog(int fd) {
    const off_t start = lseek(fd, 0, SEEK_END);
    if (start < 0 || ftruncate(fd, start + static_cast<off_t>(mappedLogBytes)) != 0) {
        return;
    }
    // Pages come as the log grows, one fault per 4 KiB (some 60 lines):
    // touched all at open they would add 4 MiB to the program's resident set
    // and milliseconds to its start, both of which the benchmark measures.
    void* bytes = mmap(nullptr, static_cast<size_t>(start) + mappedLogBytes, PROT_READ | PROT_WRITE,
                       MAP_SHARED, fd, 0);
    if (bytes == MAP_FAILED) {
        const int restored = ftruncate(fd, start);
        (void)restored;
        return;
    }
    mappedLog.fd = fd;
    mappedLog.bytes = static_cast<char*>(bytes) + start;
    mappedLog.start = static_cast<size_t>(start);
    atexit(TrimMappedLog);
}

int OpenLog(const char* path) {
    const int fd = open(path, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0 && getenv("VIRTUAL_REMOTE_LOG_MAPPED") != nullptr) {
        MapLog(fd);
    }
    return fd;
}
}  // namespace

void AppendToFile(const char* path, const char* text, size_t length) {
    int oldState = 0;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &oldState);
    // Opened once: the log sits on the program's timing path.
    static const int fd = OpenLog(path);
    if (mappedLog.bytes != nullptr) {
        // Each line gets a place of its own, whichever thread logs it.
        const size_t at = mappedLog.used.fetch_add(length);
        if (at + length <= mappedLogBytes) {
            memcpy(mappedLog.bytes + at, text, length);
        }
    } else if (fd >= 0) {
        const ssize_t written = write(fd, text, length);
        (void)written;
    }
    pthread_setcancelstate(oldState, nullptr);
}

namespace {
struct Listener {
    char path[512];
    void (*onByte)(uint8_t);
};
Listener listener;

void* Listen(void*) {
    // Opened here, not by the caller: a FIFO's open waits for its writer.
    const int fd = open(listener.path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    for (;;) {
        uint8_t bytes[64];
        const ssize_t got = read(fd, bytes, sizeof(bytes));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        for (ssize_t i = 0; i < got; ++i) {
            listener.onByte(bytes[i]);
        }
    }
    close(fd);
    return nullptr;
}
}  // namespace

bool ListenForBytes(const char* path, void (*onByte)(uint8_t byte)) {
    snprintf(listener.path, sizeof(listener.path), "%s", path);
    listener.onByte = onByte;
    // The thread takes no signals. The program's stop and its timer's kicks
    // are sent to the process, and must interrupt the main thread's waits,
    // not this thread's read.
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    pthread_t thread{};
    const bool started = pthread_create(&thread, nullptr, Listen, nullptr) == 0;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (started) {
        pthread_detach(thread);
    }
    return started;
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
