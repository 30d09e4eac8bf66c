#include "probe_watch.h"

#include <dirent.h>

#include <cstdio>
#include <cstdlib>

namespace {
constexpr int64_t windowUs = 100'000;
constexpr int64_t readerPauseUs = 100'000;
// Long after any probe: the watch stops looking at the program's threads.
constexpr int64_t watchSpanUs = 5'000'000;
constexpr int64_t lookStepUs = 1'000;

// Calls take(tid) for each thread of the program; false when it has gone.
template <typename Take>
bool ForEachThread(pid_t program, Take take) {
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/task", static_cast<int>(program));
    DIR* tasks = opendir(path);
    if (tasks == nullptr) {
        return false;
    }
    while (const dirent* entry = readdir(tasks)) {
        const int tid = atoi(entry->d_name);
        if (tid > 0) {
            take(tid);
        }
    }
    closedir(tasks);
    return true;
}

bool Known(const ProbeWatch& watch, int tid) {
    for (int i = 0; i < watch.knownCount; ++i) {
        if (watch.knownThreads[i] == tid) {
            return true;
        }
    }
    return false;
}
}  // namespace

void NoteModeSet(ProbeWatch* watch, pid_t program, int64_t nowUs) {
    if (watch->modeSetUs != 0) {
        return;
    }
    watch->modeSetUs = nowUs;
    ForEachThread(program, [watch](int tid) {
        if (watch->knownCount < static_cast<int>(sizeof(watch->knownThreads) / sizeof(int))) {
            watch->knownThreads[watch->knownCount++] = tid;
        }
    });
}

void NoteMotionSent(ProbeWatch* watch, int64_t nowUs) {
    if (watch->modeSetUs != 0 && watch->firstMotionUs == 0) {
        watch->firstMotionUs = nowUs;
    }
}

void FollowReader(ProbeWatch* watch, pid_t program, int64_t nowUs) {
    if (watch->modeSetUs == 0 || watch->readerEndedUs != 0 ||
        nowUs - watch->modeSetUs > watchSpanUs) {
        return;
    }
    bool readerSeen = false;
    const bool running = ForEachThread(program, [watch, &readerSeen, nowUs](int tid) {
        if (watch->readerThread == 0 && !Known(*watch, tid)) {
            watch->readerThread = tid;
            watch->readerSeenUs = nowUs;
        }
        readerSeen = readerSeen || tid == watch->readerThread;
    });
    if (running && watch->readerThread != 0 && !readerSeen) {
        watch->readerEndedUs = nowUs;
    }
}

int64_t NextReaderLookUs(const ProbeWatch& watch, int64_t nowUs) {
    const bool watching =
        watch.modeSetUs != 0 && watch.readerEndedUs == 0 && nowUs - watch.modeSetUs <= watchSpanUs;
    const bool mayEnd = nowUs >= watch.modeSetUs + readerPauseUs;
    return watching && (watch.readerThread == 0 || mayEnd) ? nowUs + lookStepUs : 0;
}

// The window opens once the reader has started, no earlier than a look
// before it was seen, and the read came no later than the reader's end less
// its pause: the margin printed is never more than the real one.
void PrintProbeMargin(const ProbeWatch& watch) {
    if (watch.modeSetUs == 0 || watch.firstMotionUs == 0) {
        printf("kernel-test: figure: probe: no mode report or no motion report\n");
        return;
    }
    const double sentMs = static_cast<double>(watch.firstMotionUs - watch.modeSetUs) / 1000.0;
    if (watch.readerEndedUs == 0) {
        printf(
            "kernel-test: figure: probe: the first 0x31 report went out %.1f ms after the mode "
            "report; the reader was not seen to end\n",
            sentMs);
        return;
    }
    const int64_t openedUs = watch.readerSeenUs - lookStepUs;
    const int64_t readByUs = watch.readerEndedUs - readerPauseUs - openedUs;
    printf(
        "kernel-test: figure: probe: the first 0x31 report went out %.1f ms after the mode "
        "report, the window opened %.1f ms after it; the program had read a report by %.1f ms "
        "into its %lld ms window: %.1f ms or more to spare\n",
        sentMs, static_cast<double>(openedUs - watch.modeSetUs) / 1000.0,
        static_cast<double>(readByUs) / 1000.0, static_cast<long long>(windowUs / 1000),
        static_cast<double>(windowUs - readByUs) / 1000.0);
}
