// Keys from the console through the C runtime: _getch already gives single
// keys without Enter or echo, so there is no mode to set or restore. A key
// without a character (arrows, function keys) arrives as a 0 or 0xE0 prefix
// followed by its scan code; the pair is taken as one key that is never ESC.
// On a pipe or a file _kbhit sees no console input, so no key is ever waiting.
#include <conio.h>

#include "platform/console_keys.h"

namespace {
constexpr int functionKeyPrefix = 0x00;
constexpr int extendedKeyPrefix = 0xE0;
}  // namespace

void BeginKeyInput() {}

void EndKeyInput() {}

bool KeyWaiting() {
    return _kbhit() != 0;
}

int TakeKey() {
    if (!KeyWaiting()) {
        return -1;
    }
    const int first = _getch();
    if (first == functionKeyPrefix || first == extendedKeyPrefix) {
        _getch();  // the scan code that belongs to the prefix
        return sequenceKey;
    }
    return first;
}
