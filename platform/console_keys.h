// Key input from the console, one key at a time, without Enter or echo.
#pragma once

inline constexpr int escapeKey = 27;
// The code TakeKey gives for a key that arrives as a whole escape sequence
// (arrows, function keys): anything but the ESC key itself.
inline constexpr int sequenceKey = 0xE0;

// Puts a terminal into single-key mode; harmless on a pipe or file.
void BeginKeyInput();
// Puts the terminal back as it was; safe to call more than once.
void EndKeyInput();
// Never blocks; end of input means no key is waiting.
bool KeyWaiting();
// Takes one key code; call only after KeyWaiting said yes.
int TakeKey();
