#include "program_run.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

namespace {
uid_t programUser = 0;

// The loader a Windows build runs under (Wine's); unset for a native program.
const char* Runner() {
    const char* runner = getenv("KERNEL_TEST_RUNNER");
    return runner != nullptr && runner[0] != '\0' ? runner : nullptr;
}

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

// Under Wine, what the program hands OutputDebugString comes out on standard
// error as Wine's debugstr warnings (WINEDEBUG=warn+debugstr), one a line:
//   0024:warn:debugstr:OutputDebugStringA "text\n"
// They are the program's word to a debugger, not its standard error, so they
// are shown as figures and taken out; anything else stays and is checked.
void SetAsideDebugStrings(std::string* err) {
    constexpr const char* mark = ":warn:debugstr:OutputDebugString";
    std::string kept;
    size_t start = 0;
    while (start < err->size()) {
        size_t end = err->find('\n', start);
        end = end == std::string::npos ? err->size() : end + 1;
        const std::string line = err->substr(start, end - start);
        const size_t at = line.find(mark);
        const size_t text = line.find(' ', at);
        if (at != std::string::npos && at > 0 && line.find_first_not_of("0123456789abcdef") == at &&
            text != std::string::npos) {
            printf("kernel-test: figure: the program's debug output: %s", line.c_str() + text + 1);
        } else {
            kept += line;
        }
        start = end;
    }
    *err = kept;
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
        if (programUser != 0 &&
            (setgroups(0, nullptr) != 0 || setgid(programUser) != 0 || setuid(programUser) != 0)) {
            _exit(126);
        }
        const char* runner = Runner();
        if (runner != nullptr) {
            execl(runner, runner, path, static_cast<char*>(nullptr));
        } else {
            execl(path, path, static_cast<char*>(nullptr));
        }
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

void RunProgramsAs(uid_t user) {
    programUser = user;
}

bool ProgramOpensDeviceItself() {
    return Runner() == nullptr;
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
    if (Runner() != nullptr) {
        SetAsideDebugStrings(&run->err);
    }
    if (run->outFd >= 0) {
        close(run->outFd);
        run->outFd = -1;
    }
    if (run->errFd >= 0) {
        close(run->errFd);
        run->errFd = -1;
    }
}
