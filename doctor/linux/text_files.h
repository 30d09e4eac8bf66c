// Small text files of /sys and /proc, read whole in one go.
#pragma once

#include <cstddef>

// The file's text, cut to size - 1 bytes; false when it cannot be read.
bool ReadTextFile(const char* path, char* text, size_t size);
// The same without its trailing newline.
bool ReadTextLine(const char* path, char* text, size_t size);
