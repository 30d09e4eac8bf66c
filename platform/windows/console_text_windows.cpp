#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include "platform/console_text.h"

namespace {
bool binaryOutput = false;
}  // namespace

void PrintLine(const char* line) {
    // The same bytes as on every other OS: a pipe or a file gets the text
    // unchanged, and the console starts a new line at a bare LF anyway.
    if (!binaryOutput) {
        fflush(stdout);
        _setmode(_fileno(stdout), _O_BINARY);
        binaryOutput = true;
    }
    // Flushed per line so that a pipe sees the text before the control loop
    // starts, and none of it is lost when a stop request ends the process.
    fputs(line, stdout);
    fflush(stdout);
}
