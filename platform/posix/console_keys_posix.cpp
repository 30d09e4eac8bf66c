// Keys from standard input. On a terminal, single-key mode without echo
// (signal keys still work); a lone ESC byte is the ESC key, while an escape
// sequence (arrows, function keys) is taken whole as one other key. On a pipe
// or a file every byte is one key, and the end of input is no key at all.
#include <errno.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "platform/console_keys.h"

namespace {
// How long the rest of an escape sequence may take to follow its ESC byte.
constexpr int sequenceGapMs = 30;

bool onTerminal = false;
bool terminalChanged = false;
termios savedMode{};
bool inputEnded = false;
int pendingByte = -1;

// One byte if one is ready within timeoutMs, else -1; notes the end of input.
int ReadByte(int timeoutMs) {
    if (inputEnded) {
        return -1;
    }
    pollfd input{STDIN_FILENO, POLLIN, 0};
    if (poll(&input, 1, timeoutMs) <= 0) {
        return -1;
    }
    if ((input.revents & POLLNVAL) != 0) {
        inputEnded = true;
        return -1;
    }
    unsigned char byte = 0;
    const ssize_t n = read(STDIN_FILENO, &byte, 1);
    if (n == 1) {
        return byte;
    }
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
        inputEnded = true;
    }
    return -1;
}

bool IsSequenceFinal(int byte) {
    return byte >= 0x40 && byte <= 0x7E;
}

// After ESC '[': parameter and intermediate bytes up to a final byte.
void DropControlSequence() {
    for (int i = 0; i < 32; ++i) {
        const int byte = ReadByte(sequenceGapMs);
        if (byte < 0 || IsSequenceFinal(byte)) {
            return;
        }
    }
}

int TakeTerminalKey(int first) {
    if (first != escapeKey) {
        return first;
    }
    const int second = ReadByte(sequenceGapMs);
    if (second < 0) {
        return escapeKey;
    }
    if (second == '[') {
        DropControlSequence();
    } else if (second == 'O') {
        ReadByte(sequenceGapMs);
    } else {
        // ESC followed by an ordinary key (Alt+key): keep the key for the
        // next pass; the ESC is still the ESC key.
        pendingByte = second;
        return escapeKey;
    }
    return sequenceKey;
}
}  // namespace

void BeginKeyInput() {
    onTerminal = isatty(STDIN_FILENO) != 0;
    if (!onTerminal || terminalChanged) {
        return;
    }
    if (tcgetattr(STDIN_FILENO, &savedMode) != 0) {
        return;
    }
    termios singleKeys = savedMode;
    singleKeys.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    singleKeys.c_lflag |= ISIG;
    singleKeys.c_cc[VMIN] = 1;
    singleKeys.c_cc[VTIME] = 0;
    terminalChanged = tcsetattr(STDIN_FILENO, TCSANOW, &singleKeys) == 0;
}

void EndKeyInput() {
    if (terminalChanged) {
        tcsetattr(STDIN_FILENO, TCSANOW, &savedMode);
        terminalChanged = false;
    }
}

bool KeyWaiting() {
    if (pendingByte < 0) {
        pendingByte = ReadByte(0);
    }
    return pendingByte >= 0;
}

int TakeKey() {
    if (!KeyWaiting()) {
        return -1;
    }
    const int first = pendingByte;
    pendingByte = -1;
    return onTerminal ? TakeTerminalKey(first) : first;
}
