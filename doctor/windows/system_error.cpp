#include "doctor/windows/system_error.h"

#include <cstdio>
#include <cstring>

void SystemErrorText(DWORD error, char* text, size_t size) {
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, text, static_cast<DWORD>(size), nullptr);
    if (length == 0) {
        snprintf(text, size, "error %lu", static_cast<unsigned long>(error));
        return;
    }
    // One line, without the full stop and line end Windows ends it with.
    size_t end = strlen(text);
    while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n' || text[end - 1] == ' ' ||
                       text[end - 1] == '.')) {
        text[--end] = '\0';
    }
    for (char* at = text; *at != '\0'; ++at) {
        if (*at == '\r' || *at == '\n') {
            *at = ' ';
        }
    }
}
