#include <stdio.h>

#include "platform/console_text.h"

void PrintLine(const char* line) {
    // Flushed per line so that a pipe sees the text before the control loop
    // starts, and none of it is lost when a stop signal ends the process.
    fputs(line, stdout);
    fflush(stdout);
}
