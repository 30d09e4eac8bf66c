// The rumble control loop: one input report per pass, the buttons turned into
// a power level from 0 to 4, the level shown as an LED bar and driven as one
// 100 ms pulse of the motor. Returns when the user quits (ESC or Home).
#pragma once

void RunControlLoop();
