#include "report.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {
constexpr size_t lineBytes = 768;

struct MarkLook {
    const char* text;
    const char* colour;
};
// In the order of Mark.
constexpr MarkLook markLooks[] = {
    {"ok", "\033[32m"}, {"FAIL", "\033[1;31m"}, {"note", "\033[33m"}, {"skip", "\033[2m"}};

bool colourOn = false;
bool liveOn = false;
bool liveShown = false;
int failures = 0;
char firstFailure[lineBytes];
// The fix belongs under the first failing check and under nothing else.
bool fixShown = false;
bool fixStarted = false;

void Format(char (&text)[lineBytes], const char* format, va_list arguments) {
    vsnprintf(text, sizeof(text), format, arguments);
}

// A line printed over the live line takes its place.
void EndLiveLine() {
    if (liveShown) {
        printf("\r\033[K");
        liveShown = false;
    }
}

void PrintIndented(const char* lead, const char* format, va_list arguments) {
    char text[lineBytes];
    EndLiveLine();
    Format(text, format, arguments);
    printf("%s%s\n", lead, text);
}
}  // namespace

void StartReport(bool colour) {
    colourOn = colour;
    failures = 0;
    firstFailure[0] = '\0';
    fixShown = false;
    fixStarted = false;
}

void Line(Mark mark, const char* format, ...) {
    char text[lineBytes];
    va_list arguments;
    va_start(arguments, format);
    Format(text, format, arguments);
    va_end(arguments);
    fixShown = mark == Mark::fail && failures == 0;
    fixStarted = false;
    if (mark == Mark::fail && failures++ == 0) {
        memcpy(firstFailure, text, sizeof(text));
    }
    EndLiveLine();
    const MarkLook& look = markLooks[static_cast<int>(mark)];
    if (colourOn) {
        printf("%s%-4s\033[0m  %s\n", look.colour, look.text, text);
    } else {
        printf("%-4s  %s\n", look.text, text);
    }
}

void Detail(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PrintIndented("      ", format, arguments);
    va_end(arguments);
}

void FixText(const char* format, ...) {
    if (!fixShown) {
        return;
    }
    const char* lead = fixStarted ? "      "
                       : colourOn ? "      \033[1mFix:\033[0m "
                                  : "      Fix: ";
    fixStarted = true;
    va_list arguments;
    va_start(arguments, format);
    PrintIndented(lead, format, arguments);
    va_end(arguments);
}

void FixCommand(const char* format, ...) {
    if (!fixShown) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    PrintIndented("          ", format, arguments);
    va_end(arguments);
}

void LiveLines(bool terminal) {
    liveOn = terminal;
}

void LiveLine(const char* format, ...) {
    if (!liveOn) {
        return;
    }
    char text[lineBytes];
    va_list arguments;
    va_start(arguments, format);
    Format(text, format, arguments);
    va_end(arguments);
    printf("\r      %s\033[K", text);
    liveShown = true;
    fflush(stdout);
}

bool AnyFailure() {
    return failures > 0;
}

const char* FirstFailure() {
    return firstFailure;
}

void Conclusion(bool usable, const char* text) {
    EndLiveLine();
    const char* colour = usable ? "\033[1;32m" : "\033[1;31m";
    if (colourOn) {
        printf("%s%s\033[0m\n", colour, text);
    } else {
        printf("%s\n", text);
    }
    fflush(stdout);
}
