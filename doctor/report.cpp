#include "report.h"

#include <cstdio>

namespace {
bool colourOn = false;
int failures = 0;
// The fix belongs under the first failing check and under nothing else.
bool fixShown = false;
bool fixStarted = false;

const char* MarkText(Mark mark) {
    switch (mark) {
        case Mark::ok:
            return "ok";
        case Mark::fail:
            return "FAIL";
        case Mark::note:
            return "note";
        case Mark::skip:
            return "skip";
    }
    return "?";
}

const char* MarkColour(Mark mark) {
    switch (mark) {
        case Mark::ok:
            return "\033[32m";
        case Mark::fail:
            return "\033[1;31m";
        case Mark::note:
            return "\033[33m";
        case Mark::skip:
            return "\033[2m";
    }
    return "";
}
}  // namespace

void StartReport(bool colour) {
    colourOn = colour;
    failures = 0;
    fixShown = false;
}

void Line(Mark mark, const char* text) {
    fixShown = mark == Mark::fail && failures == 0;
    fixStarted = false;
    if (mark == Mark::fail) {
        ++failures;
    }
    if (colourOn) {
        printf("%s%-4s\033[0m  %s\n", MarkColour(mark), MarkText(mark), text);
    } else {
        printf("%-4s  %s\n", MarkText(mark), text);
    }
}

void Detail(const char* text) {
    printf("      %s\n", text);
}

void FixText(const char* text) {
    if (!fixShown) {
        return;
    }
    if (fixStarted) {
        printf("      %s\n", text);
    } else if (colourOn) {
        printf("      \033[1mFix:\033[0m %s\n", text);
    } else {
        printf("      Fix: %s\n", text);
    }
    fixStarted = true;
}

void FixCommand(const char* command) {
    if (fixShown) {
        printf("          %s\n", command);
    }
}

bool AnyFailure() {
    return failures > 0;
}

void Conclusion(bool usable, const char* text) {
    const char* colour = usable ? "\033[1;32m" : "\033[1;31m";
    if (colourOn) {
        printf("%s%s\033[0m\n", colour, text);
    } else {
        printf("%s\n", text);
    }
    fflush(stdout);
}
