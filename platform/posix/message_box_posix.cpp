// Stands in for a modal message box: the text on standard error, held until
// Enter or the end of standard input. Standard output stays clean.
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "platform/message_box.h"
#include "platform/stop_signals.h"

namespace {
void WriteAll(int fd, const char* text) {
    size_t left = strlen(text);
    while (left > 0) {
        const ssize_t n = write(fd, text, left);
        if (n <= 0) {
            return;
        }
        text += n;
        left -= static_cast<size_t>(n);
    }
}

void WaitForDismissal() {
    for (;;) {
        char c = 0;
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n == 1 && c == '\n') {
            return;
        }
        if (n == 0) {
            return;
        }
        if (n < 0) {
            if (errno != EINTR) {
                return;
            }
            HonourStop();  // a stop ends the run here; a suspension returns
        }
    }
}
}  // namespace

void ShowMessageBox(const char* text) {
    WriteAll(STDERR_FILENO, text);
    WriteAll(STDERR_FILENO, "\n");
    if (isatty(STDIN_FILENO)) {
        WriteAll(STDERR_FILENO, "[press Enter]\n");
    }
    WaitForDismissal();
}
