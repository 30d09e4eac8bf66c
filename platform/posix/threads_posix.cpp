#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <cerrno>

#include "platform/threads.h"

static_assert(sizeof(pthread_t) <= sizeof(ThreadHandle));

namespace {
void* RunRoutine(void* routine) {
    reinterpret_cast<void (*)()>(routine)();
    return nullptr;
}
}  // namespace

ThreadHandle StartThread(void (*routine)()) {
    // The new thread inherits a mask that blocks every signal, so a stop
    // request always lands on the main thread and cuts its waits short.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_t thread{};
    const int result =
        pthread_create(&thread, nullptr, RunRoutine, reinterpret_cast<void*>(routine));
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return result == 0 ? static_cast<ThreadHandle>(thread) : noThread;
}

void EndThreadNow(ThreadHandle thread) {
    // Deferred cancellation: a blocking read is a cancellation point, and a
    // cancel that arrives just before the read takes effect when it starts.
    // The join returns once the thread has stopped, so the caller may close
    // the device; on a thread that has already finished it only reaps it.
    const auto posixThread = static_cast<pthread_t>(thread);
    pthread_cancel(posixThread);
    pthread_join(posixThread, nullptr);
}

void SleepMilliseconds(int32_t ms) {
    timespec left{ms / 1000, static_cast<long>(ms % 1000) * 1'000'000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
