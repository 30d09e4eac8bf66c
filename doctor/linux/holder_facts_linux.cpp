// Which other processes hold the controller's node open, as far as /proc
// lets this user look: another user's open files are hidden from all but
// root, and those processes are counted rather than guessed at.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "doctor/gather.h"
#include "doctor/linux/text_files.h"

namespace {
bool HoldsNode(const char* pid, dev_t node, bool* seen) {
    char path[64];
    snprintf(path, sizeof(path), "/proc/%.20s/fd", pid);
    DIR* fds = opendir(path);
    *seen = fds != nullptr;
    if (fds == nullptr) {
        return false;
    }
    bool holds = false;
    while (const dirent* entry = readdir(fds)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        char fdPath[96];
        snprintf(fdPath, sizeof(fdPath), "/proc/%.20s/fd/%.20s", pid, entry->d_name);
        struct stat file {};
        if (stat(fdPath, &file) == 0 && S_ISCHR(file.st_mode) && file.st_rdev == node) {
            holds = true;
            break;
        }
    }
    closedir(fds);
    return holds;
}

// The kernel keeps only 15 bytes of a program's name; where it was cut, the
// program's own argv[0] gives the whole name the user knows it by.
constexpr size_t commBytes = 15;

void WholeName(const char* pid, char* name, size_t size) {
    char path[64];
    snprintf(path, sizeof(path), "/proc/%.20s/cmdline", pid);
    char command[textBytes];
    if (strlen(name) != commBytes || !ReadTextFile(path, command, sizeof(command))) {
        return;
    }
    const char* slash = strrchr(command, '/');
    const char* base = slash != nullptr ? slash + 1 : command;
    if (strncmp(base, name, commBytes) == 0) {
        CopyText(name, size, base);
    }
}

void NoteHolder(const char* pid, HolderFacts* facts) {
    if (facts->count >= maxHolders) {
        return;
    }
    auto& holder = facts->holders[facts->count++];
    holder.pid = static_cast<int32_t>(strtol(pid, nullptr, 10));
    char path[64];
    snprintf(path, sizeof(path), "/proc/%.20s/comm", pid);
    if (!ReadTextLine(path, holder.name, sizeof(holder.name))) {
        snprintf(holder.name, sizeof(holder.name), "?");
    }
    WholeName(pid, holder.name, sizeof(holder.name));
}
}  // namespace

void GatherHolders(const AccessFacts& access, HolderFacts* facts) {
    *facts = HolderFacts{};
    struct stat device {};
    if (!access.checked || access.vanished || stat(access.node, &device) != 0 ||
        !S_ISCHR(device.st_mode)) {
        CopyText(facts->why, sizeof(facts->why), "no controller node to look for");
        return;
    }
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        CopyText(facts->why, sizeof(facts->why), "/proc cannot be read");
        return;
    }
    facts->checked = true;
    const long self = static_cast<long>(getpid());
    while (const dirent* entry = readdir(proc)) {
        char* end = nullptr;
        const long pid = strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid == self) {
            continue;
        }
        bool seen = false;
        if (HoldsNode(entry->d_name, device.st_rdev, &seen)) {
            NoteHolder(entry->d_name, facts);
        } else if (!seen) {
            ++facts->unseen;
        }
    }
    closedir(proc);
}
