// A user's hand on the virtual controller, worked from a keyboard (scripts/
// try): each key that comes through a channel holds one button down for
// 150 ms, about as long as a quick press of a thumb.
#pragma once

#include <cstdint>

// Takes keys from the file at path from now on: a A, + +, - -, h Home; any
// other byte is no button. False when no keys can come.
bool StartHand(const char* path);
// The buttons held down at atUs, as masks of a report's bytes 1 and 2.
// Asked for arrivals in the order of time, every periodUs or so (each up to
// half a period early or late).
void HeldButtons(int64_t atUs, int64_t periodUs, uint8_t* buttons1, uint8_t* buttons2);
