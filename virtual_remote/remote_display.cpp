#include "remote_display.h"

#include <cstdio>
#include <cstring>

#include "virtual_os.h"

namespace {
bool enabled = false;
bool onTerminal = false;
uint8_t ledBits = 0;
bool motorOn = false;
char buttons[32] = "";

void Draw(const char* note) {
    if (!enabled) {
        return;
    }
    char leds[64] = "";
    for (int led = 0; led < 4; ++led) {
        strcat(leds, (ledBits & (0x10 << led)) != 0 ? " \xE2\x97\x8F" : " \xE2\x97\x8B");
    }
    char line[256];
    // On a terminal the status stays on the top line, drawn over itself; the
    // cursor goes back to where the program's own text is.
    const int length = snprintf(
        line, sizeof(line), "%s virtual Wii-Remote  LEDs%s   motor %s   buttons: %-8s %s%s",
        onTerminal ? "\x1b"
                     "7\x1b[1;1H\x1b[2K\x1b[7m"
                   : "",
        leds, motorOn ? "\xE2\x89\x8B\xE2\x89\x8B ON \xE2\x89\x8B\xE2\x89\x8B  " : "   off    ",
        buttons, note,
        onTerminal ? "\x1b[0m\x1b"
                     "8"
                   : "\n");
    // Off a terminal a line is written only when something changed.
    static char lastLine[256];
    if (!onTerminal && strcmp(line, lastLine) == 0) {
        return;
    }
    snprintf(lastLine, sizeof(lastLine), "%s", line);
    WriteStderr(line, static_cast<size_t>(length));
}
}  // namespace

void ShowOnTerminal(bool on) {
    enabled = on;
    onTerminal = on && StderrIsTerminal();
}

void ShowOutputReport(uint8_t reportId, uint8_t payload) {
    if (reportId == 0x11) {
        ledBits = payload & 0xF0;
    } else if (reportId == 0x13) {
        motorOn = (payload & 0x01) != 0;
    } else {
        return;
    }
    Draw("");
}

void ShowButtons(const uint8_t* report, uint32_t length) {
    if (length < 3 || (report[0] != 0x30 && report[0] != 0x31)) {
        return;
    }
    buttons[0] = '\0';
    if ((report[2] & 0x08) != 0)
        strcat(buttons, "A ");
    if ((report[1] & 0x10) != 0)
        strcat(buttons, "+ ");
    if ((report[2] & 0x10) != 0)
        strcat(buttons, "- ");
    if ((report[2] & 0x80) != 0)
        strcat(buttons, "Home ");
    Draw("");
}

void ShowClosed() {
    Draw("(closed)");
}
