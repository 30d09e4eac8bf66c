#include "doctor/linux/text_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

bool ReadTextFile(const char* path, char* text, size_t size) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    size_t used = 0;
    ssize_t n = 0;
    while (used + 1 < size && (n = read(fd, text + used, size - 1 - used)) > 0) {
        used += static_cast<size_t>(n);
    }
    close(fd);
    text[used] = '\0';
    return n >= 0;
}

bool ReadTextLine(const char* path, char* text, size_t size) {
    if (!ReadTextFile(path, text, size)) {
        return false;
    }
    text[strcspn(text, "\n")] = '\0';
    return true;
}
