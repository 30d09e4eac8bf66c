// A short talk with the controller through the program's own HID library,
// used as the program uses it, so that the doctor meets the controller the
// program would take. It asks for motion reports and for the status only:
// the motor stays off and the LEDs are left alone.
#pragma once

#include "facts.h"

// The program's probe window, and how long the doctor waits for each answer.
inline constexpr double probeWindowMs = 100.0;
inline constexpr int32_t answerLimitMs = 1000;

void TalkToController(TalkFacts* facts);
