// What a real controller would show: its four LEDs, its motor and the
// buttons of the last report, drawn live on the terminal for the demo.
#pragma once

#include <cstdint>

void ShowOnTerminal(bool enabled);
void ShowOutputReport(uint8_t reportId, uint8_t payload);
void ShowButtons(const uint8_t* report, uint32_t length);
void ShowClosed();
