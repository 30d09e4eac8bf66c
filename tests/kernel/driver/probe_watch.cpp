#include "probe_watch.h"

#include <dirent.h>

#include <cstdio>
#include <cstdlib>

namespace {
constexpr int64_t windowUs = 100'000;
// The reader's pause is 100 ms; a look may come up to a step late.
constexpr int64_t pauseSeenUs = 95'000;
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

// The thread's processor time in nanoseconds, from the scheduler's own count;
// false once the thread has gone.
bool ReadRunNs(pid_t program, int tid, uint64_t* runNs) {
    char path[80];
    snprintf(path, sizeof(path), "/proc/%d/task/%d/schedstat", static_cast<int>(program), tid);
    FILE* file = fopen(path, "re");
    if (file == nullptr) {
        return false;
    }
    unsigned long long ns = 0;
    const bool read = fscanf(file, "%llu", &ns) == 1;
    fclose(file);
    *runNs = ns;
    return read;
}

void FindReader(ProbeWatch* watch, pid_t program, int64_t nowUs) {
    ForEachThread(program, [watch, nowUs](int tid) {
        if (watch->readerThread == 0 && !Known(*watch, tid)) {
            watch->readerThread = tid;
            watch->readerSeenUs = nowUs;
            watch->lastRanUs = nowUs;
        }
    });
    if (watch->readerThread == 0) {
        watch->lookedUs = nowUs;
    }
}

// A stretch without processor time that began before the first motion report
// went out is a read still waiting, not the pause behind one.
void FollowReaderPause(ProbeWatch* watch, pid_t program, int64_t nowUs) {
    uint64_t runNs = 0;
    if (!ReadRunNs(program, watch->readerThread, &runNs)) {
        watch->readerLost = true;
        return;
    }
    if (runNs != watch->readerRunNs) {
        watch->readerRunNs = runNs;
        watch->lastRanUs = nowUs;
        return;
    }
    if (nowUs - watch->lastRanUs >= pauseSeenUs && watch->firstMotionUs != 0 &&
        watch->lastRanUs > watch->firstMotionUs) {
        watch->pauseFromUs = watch->lastRanUs;
    }
}
}  // namespace

void NoteModeSet(ProbeWatch* watch, pid_t program, int64_t nowUs) {
    if (watch->modeSetUs != 0) {
        return;
    }
    watch->modeSetUs = nowUs;
    watch->lookedUs = nowUs;
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
    if (NextReaderLookUs(*watch, nowUs) == 0) {
        return;
    }
    if (watch->readerThread == 0) {
        FindReader(watch, program, nowUs);
    } else {
        FollowReaderPause(watch, program, nowUs);
    }
}

int64_t NextReaderLookUs(const ProbeWatch& watch, int64_t nowUs) {
    const bool watching = watch.modeSetUs != 0 && watch.pauseFromUs == 0 && !watch.readerLost &&
                          nowUs - watch.modeSetUs <= watchSpanUs;
    return watching ? nowUs + lookStepUs : 0;
}

// The window opens once the reader has started, after the last look that did
// not see it, and the read came no later than the last look that saw
// the reader run before its pause: the margin printed is never more than the
// real one.
void PrintProbeMargin(const ProbeWatch& watch) {
    if (watch.modeSetUs == 0 || watch.firstMotionUs == 0) {
        printf("kernel-test: figure: probe: no mode report or no motion report\n");
        return;
    }
    const double sentMs = static_cast<double>(watch.firstMotionUs - watch.modeSetUs) / 1000.0;
    if (watch.pauseFromUs == 0) {
        printf(
            "kernel-test: figure: probe: the first 0x31 report went out %.1f ms after the mode "
            "report; the reader was not seen to pause after a read\n",
            sentMs);
        return;
    }
    const int64_t openedUs = watch.lookedUs;
    const int64_t readByUs = watch.pauseFromUs - openedUs;
    printf(
        "kernel-test: figure: probe: the first 0x31 report went out %.1f ms after the mode "
        "report, the window opened %.1f ms after it; the program had read a report by %.1f ms "
        "into its %lld ms window: %.1f ms or more to spare\n",
        sentMs, static_cast<double>(openedUs - watch.modeSetUs) / 1000.0,
        static_cast<double>(readByUs) / 1000.0, static_cast<long long>(windowUs / 1000),
        static_cast<double>(windowUs - readByUs) / 1000.0);
}
