// Keys for a program's console under Wine. Typed into the pseudo-terminal,
// keys reach the console only once the program reads console input, and
// _kbhit never does: it only counts and peeks. Written as console input
// records, they are there for _kbhit at once, as a key pressed in a Windows
// console is.
//
//   console_input.exe PROGRAM KEY...
//
// PROGRAM is the full Windows path of the running program whose console gets
// the keys; each KEY is a character's code in hex (1b for ESC, 78 for x) or,
// for a key without a character, its scan code as sNN (s48 for the up arrow,
// s3b for F1), which is what _getch goes by. Every key goes as a key-down and
// a key-up record: _kbhit counts a key only once something follows it.
#include <windows.h>
// windows.h first: tlhelp32.h needs its types.
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
DWORD FindProcess(const char* image) {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return 0;
    }
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    DWORD found = 0;
    for (BOOL more = Process32First(snapshot, &entry); more && found == 0;
         more = Process32Next(snapshot, &entry)) {
        const HANDLE process =
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (process == nullptr) {
            continue;
        }
        char path[MAX_PATH];
        DWORD size = sizeof(path);
        if (QueryFullProcessImageNameA(process, 0, path, &size) && _stricmp(path, image) == 0) {
            found = entry.th32ProcessID;
        }
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return found;
}

bool Record(const char* key, INPUT_RECORD* down) {
    *down = INPUT_RECORD{};
    down->EventType = KEY_EVENT;
    KEY_EVENT_RECORD& event = down->Event.KeyEvent;
    event.bKeyDown = TRUE;
    event.wRepeatCount = 1;
    char* end = nullptr;
    if (key[0] == 's') {
        event.wVirtualScanCode = static_cast<WORD>(strtoul(key + 1, &end, 16));
        // The arrows' block: scan codes 47 to 53 come as extended keys.
        if (event.wVirtualScanCode >= 0x47 && event.wVirtualScanCode <= 0x53) {
            event.dwControlKeyState = ENHANCED_KEY;
        }
        return end != key + 1 && *end == '\0';
    }
    const unsigned long code = strtoul(key, &end, 16);
    event.uChar.AsciiChar = static_cast<CHAR>(code);
    if (code == 0x1B) {
        event.wVirtualKeyCode = VK_ESCAPE;
        event.wVirtualScanCode = 0x01;
    }
    return end != key && *end == '\0' && code > 0 && code < 0x80;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: console_input PROGRAM KEY...\n");
        return 2;
    }
    const DWORD process = FindProcess(argv[1]);
    if (process == 0) {
        fprintf(stderr, "console_input: %s is not running\n", argv[1]);
        return 1;
    }
    // Our own console, if Wine gave us one, is not the program's.
    FreeConsole();
    if (!AttachConsole(process)) {
        fprintf(stderr, "console_input: cannot attach to the console of %s (error %lu)\n", argv[1],
                GetLastError());
        return 1;
    }
    const HANDLE input =
        CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (input == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "console_input: no console input (error %lu)\n", GetLastError());
        return 1;
    }
    for (int i = 2; i < argc; ++i) {
        INPUT_RECORD records[2];
        if (!Record(argv[i], &records[0])) {
            fprintf(stderr, "console_input: %s is no key\n", argv[i]);
            return 2;
        }
        records[1] = records[0];
        records[1].Event.KeyEvent.bKeyDown = FALSE;
        DWORD written = 0;
        if (!WriteConsoleInputA(input, records, 2, &written) || written != 2) {
            fprintf(stderr, "console_input: cannot write %s (error %lu)\n", argv[i],
                    GetLastError());
            return 1;
        }
    }
    return 0;
}
