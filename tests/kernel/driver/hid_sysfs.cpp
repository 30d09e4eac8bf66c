#include "hid_sysfs.h"

#include <dirent.h>
#include <limits.h>
#include <unistd.h>

#include <cstring>

#include "clock.h"

namespace {
constexpr useconds_t pollPauseUs = 10'000;

// The first entry of a directory not starting with a dot; empty when none.
std::string FirstEntry(const char* path) {
    std::string name;
    DIR* dir = opendir(path);
    if (dir == nullptr) {
        return name;
    }
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
            name = entry->d_name;
            break;
        }
    }
    closedir(dir);
    return name;
}

std::string BoundDriver() {
    const std::string device = FirstEntry("/sys/bus/hid/devices");
    if (device.empty()) {
        return {};
    }
    const std::string link = "/sys/bus/hid/devices/" + device + "/driver";
    char target[PATH_MAX];
    const ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
    if (n <= 0) {
        return {};
    }
    target[n] = '\0';
    const char* slash = strrchr(target, '/');
    return slash != nullptr ? slash + 1 : target;
}

// Whether some process has a hidraw node open whose device is gone.
bool RemovedNodeHeld() {
    DIR* processes = opendir("/proc");
    if (processes == nullptr) {
        return false;
    }
    bool held = false;
    while (const dirent* process = readdir(processes)) {
        if (held) {
            break;
        }
        if (process->d_name[0] < '0' || process->d_name[0] > '9') {
            continue;
        }
        const std::string fds = std::string("/proc/") + process->d_name + "/fd";
        DIR* dir = opendir(fds.c_str());
        if (dir == nullptr) {
            continue;
        }
        while (const dirent* fd = readdir(dir)) {
            char target[PATH_MAX];
            const ssize_t n =
                readlink((fds + "/" + fd->d_name).c_str(), target, sizeof(target) - 1);
            target[n > 0 ? n : 0] = '\0';
            if (strncmp(target, "/dev/hidraw", 11) == 0 && strstr(target, "(deleted)") != nullptr) {
                held = true;
                break;
            }
        }
        closedir(dir);
    }
    closedir(processes);
    return held;
}

bool HidrawNodePresent() {
    const std::string node = FirstEntry("/sys/class/hidraw");
    return !node.empty() && access(("/dev/" + node).c_str(), F_OK) == 0;
}
}  // namespace

std::string BoundDeviceDriver() {
    const std::string driver = BoundDriver();
    return HidrawNodePresent() ? driver : std::string();
}

bool WaitForNoHidraw(int64_t limitUs) {
    const int64_t endUs = NowUs() + limitUs;
    while (NowUs() < endUs) {
        if (FirstEntry("/sys/class/hidraw").empty()) {
            return true;
        }
        usleep(pollPauseUs);
    }
    return false;
}

int64_t WaitForRemovedNodesReleased(int64_t limitUs) {
    const int64_t startUs = NowUs();
    bool waited = false;
    while (RemovedNodeHeld()) {
        if (NowUs() - startUs >= limitUs) {
            return -1;
        }
        waited = true;
        usleep(pollPauseUs);
    }
    return waited ? NowUs() - startUs : 0;
}

std::string HidrawNode() {
    const std::string node = FirstEntry("/sys/class/hidraw");
    return node.empty() ? node : "/dev/" + node;
}
