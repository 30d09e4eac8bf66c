// What the talk with the controller needs of Linux: which node the library
// opened, a read with a time limit, and whether to colour the output.
//
// The library's read waits until a report comes, and a signal ends that wait
// (the read then fails). A timer sends SIGALRM at the limit and every few
// milliseconds after it, so that a signal that lands just before the read
// starts waiting is followed by another.
#include <dirent.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "doctor/gather.h"
#include "tiny_hid/tiny_hid.h"

namespace {
constexpr long repeatNs = 5'000'000;

void Interrupted(int) {}

bool armed = false;
timer_t limitTimer;

bool ArmTimer(int32_t milliseconds) {
    if (!armed) {
        struct sigaction action {};
        action.sa_handler = Interrupted;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no SA_RESTART: the read must end
        sigevent event{};
        event.sigev_notify = SIGEV_SIGNAL;
        event.sigev_signo = SIGALRM;
        if (sigaction(SIGALRM, &action, nullptr) != 0 ||
            timer_create(CLOCK_MONOTONIC, &event, &limitTimer) != 0) {
            return false;
        }
        armed = true;
    }
    itimerspec limit{};
    limit.it_value.tv_sec = milliseconds / 1000;
    limit.it_value.tv_nsec = static_cast<long>(milliseconds % 1000) * 1'000'000;
    limit.it_interval.tv_nsec = repeatNs;
    return timer_settime(limitTimer, 0, &limit, nullptr) == 0;
}

void DisarmTimer() {
    const itimerspec off{};
    timer_settime(limitTimer, 0, &off, nullptr);
}
}  // namespace

bool ReadWithin(int32_t handle, uint8_t* buffer, uint32_t* length, int32_t milliseconds) {
    if (milliseconds <= 0 || !ArmTimer(milliseconds)) {
        return false;
    }
    const bool read = ReadReport(handle, buffer, length) != 0;
    DisarmTimer();
    return read;
}

void LibraryNode(char* node, size_t size) {
    node[0] = '\0';
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr) {
        return;
    }
    while (const dirent* entry = readdir(fds)) {
        char path[64];
        char target[nodeBytes];
        snprintf(path, sizeof(path), "/proc/self/fd/%.20s", entry->d_name);
        const ssize_t n = readlink(path, target, sizeof(target) - 1);
        if (n > 0) {
            target[n] = '\0';
            if (strncmp(target, "/dev/hidraw", 11) == 0) {
                CopyText(node, size, target);
                break;
            }
        }
    }
    closedir(fds);
}

// The Linux library says nothing of how it writes: hidraw has one way.
void WatchLibrary() {}

void LibraryWriteWay(char* way, size_t size) {
    if (size > 0) {
        way[0] = '\0';
    }
}

// A terminal outlives the doctor.
void HoldWindowIfOwn() {}

bool ColourWanted() {
    return getenv("NO_COLOR") == nullptr && isatty(STDOUT_FILENO) == 1;
}
