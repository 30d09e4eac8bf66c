// SIGINT, SIGTERM and SIGHUP only raise a flag; the clean-up runs on the main
// thread at its next HonourStop. SIGTSTP (Ctrl-Z) is taken the same way: the
// main thread pauses (motor off), then suspends itself with the default
// action, and resumes when continued. Two things make sure it gets there:
// - the handlers are installed without SA_RESTART, so a blocking read returns;
// - the handler arms a timer that keeps interrupting the main thread every
//   few milliseconds, which closes the race of a signal landing just before a
//   read starts: that read is interrupted by the next tick.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include "platform/stop_signals.h"

namespace {
constexpr int stopSignals[] = {SIGINT, SIGTERM, SIGHUP};
// Held while a handler runs and while the stop's clean-up runs.
constexpr int requestSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGTSTP};
constexpr int kickSignal = SIGALRM;
constexpr long kickIntervalNs = 5'000'000;

volatile sig_atomic_t stopSignal = 0;
volatile sig_atomic_t suspendRequested = 0;
timer_t kickTimer{};
bool haveKickTimer = false;
void (*finishRoutine)() = nullptr;
void (*pauseRoutine)() = nullptr;
void (*resumeRoutine)() = nullptr;

void SetKickTimer(long intervalNs) {
    if (!haveKickTimer) {
        return;
    }
    itimerspec period{};
    period.it_value.tv_nsec = intervalNs;
    period.it_interval.tv_nsec = intervalNs;
    timer_settime(kickTimer, 0, &period, nullptr);  // async-signal-safe
}

void OnStopSignal(int signal) {
    if (stopSignal == 0) {
        stopSignal = signal;
    }
    SetKickTimer(kickIntervalNs);
}

void OnSuspendSignal(int) {
    suspendRequested = 1;
    SetKickTimer(kickIntervalNs);
}

void OnKick(int) {
    // Nothing to do: the interruption itself is the point.
}

void InstallHandler(int signal, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    for (int request : requestSignals) {
        sigaddset(&action.sa_mask, request);
    }
    action.sa_flags = 0;
    sigaction(signal, &action, nullptr);
}

void HoldStopSignals() {
    sigset_t held;
    sigemptyset(&held);
    for (int request : requestSignals) {
        sigaddset(&held, request);
    }
    sigaddset(&held, kickSignal);
    pthread_sigmask(SIG_BLOCK, &held, nullptr);
}

void SetDefaultAction(int signal) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

// With the default action SIGTSTP suspends the whole process, as the shell
// expects; in an orphaned process group the system discards it instead and
// the run simply goes on.
void SuspendSelf() {
    suspendRequested = 0;
    SetKickTimer(0);
    if (pauseRoutine != nullptr) {
        pauseRoutine();
    }
    SetDefaultAction(SIGTSTP);
    raise(SIGTSTP);
    InstallHandler(SIGTSTP, OnSuspendSignal);
    if (resumeRoutine != nullptr) {
        resumeRoutine();
    }
}

[[noreturn]] void EndWithSignal(int signal) {
    SetDefaultAction(signal);
    raise(signal);  // stays pending while held
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    _exit(128 + signal);
}
}  // namespace

void InstallStopHandlers(void (*finish)(), void (*pause)(), void (*resume)()) {
    finishRoutine = finish;
    pauseRoutine = pause;
    resumeRoutine = resume;
    // A closed pipe on standard output must not kill the program with the
    // motor on; write errors are not consulted anyway.
    signal(SIGPIPE, SIG_IGN);
    InstallHandler(kickSignal, OnKick);
    sigevent event{};
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = kickSignal;
    haveKickTimer = timer_create(CLOCK_MONOTONIC, &event, &kickTimer) == 0;
    for (int stop : stopSignals) {
        InstallHandler(stop, OnStopSignal);
    }
    InstallHandler(SIGTSTP, OnSuspendSignal);
}

void HonourStop() {
    if (suspendRequested != 0 && stopSignal == 0) {
        SuspendSelf();
    }
    const int signal = stopSignal;
    if (signal == 0) {
        return;
    }
    HoldStopSignals();
    SetKickTimer(0);
    if (finishRoutine != nullptr) {
        finishRoutine();
    }
    EndWithSignal(signal);
}
