// A modal notice: shows the text with a single acknowledgement and holds the
// caller until it is dismissed (or a stop is requested).
#pragma once

void ShowMessageBox(const char* text);
