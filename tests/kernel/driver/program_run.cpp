#include "program_run.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
void Drain(int* fd, std::string* text) {
    if (*fd < 0) {
        return;
    }
    char chunk[512];
    for (;;) {
        const ssize_t n = read(*fd, chunk, sizeof(chunk));
        if (n > 0) {
            text->append(chunk, static_cast<size_t>(n));
            continue;
        }
        if (n == 0) {
            close(*fd);
            *fd = -1;
        }
        return;
    }
}
}  // namespace

bool StartProgram(const char* path, ProgramRun* run) {
    *run = ProgramRun{-1, -1, -1, {}, {}, false, 0};
    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) {
        return false;
    }
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return false;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        const int nothing = open("/dev/null", O_RDONLY);
        if (nothing < 0 || dup2(nothing, STDIN_FILENO) < 0 || dup2(outPipe[1], STDOUT_FILENO) < 0 ||
            dup2(errPipe[1], STDERR_FILENO) < 0) {
            _exit(126);
        }
        execl(path, path, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    if (pid < 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        return false;
    }
    fcntl(outPipe[0], F_SETFL, O_NONBLOCK);
    fcntl(errPipe[0], F_SETFL, O_NONBLOCK);
    run->pid = pid;
    run->outFd = outPipe[0];
    run->errFd = errPipe[0];
    return true;
}

void CollectOutput(ProgramRun* run) {
    Drain(&run->outFd, &run->out);
    Drain(&run->errFd, &run->err);
}

void CheckEnded(ProgramRun* run) {
    if (!run->ended && waitpid(run->pid, &run->status, WNOHANG) == run->pid) {
        run->ended = true;
    }
}

void EndProgram(ProgramRun* run) {
    if (run->pid > 0 && !run->ended) {
        kill(run->pid, SIGKILL);
        waitpid(run->pid, &run->status, 0);
        run->ended = true;
    }
    CollectOutput(run);
    if (run->outFd >= 0) {
        close(run->outFd);
        run->outFd = -1;
    }
    if (run->errFd >= 0) {
        close(run->errFd);
        run->errFd = -1;
    }
}
