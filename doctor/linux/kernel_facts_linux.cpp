// The controller's nodes as the kernel lists them in sysfs: no node is
// opened here, as other HID devices are none of the doctor's business.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "doctor/gather.h"
#include "doctor/linux/text_files.h"

namespace {
constexpr int maxNodeNumber = 1024;
constexpr unsigned busUsb = 0x0003;
constexpr unsigned busBluetooth = 0x0005;

// The value of KEY= in a uevent text, or false.
bool UeventValue(const char* text, const char* key, char* value, size_t size) {
    const size_t keyLength = strlen(key);
    for (const char* line = text; line != nullptr && *line != '\0';) {
        const char* end = strchr(line, '\n');
        const size_t lineLength = end != nullptr ? static_cast<size_t>(end - line) : strlen(line);
        if (lineLength > keyLength && strncmp(line, key, keyLength) == 0 &&
            line[keyLength] == '=') {
            const size_t valueLength = lineLength - keyLength - 1;
            snprintf(value, size, "%.*s", static_cast<int>(valueLength), line + keyLength + 1);
            return true;
        }
        line = end != nullptr ? end + 1 : nullptr;
    }
    return false;
}

// Node numbers in order, as the library tries them.
int ListNodeNumbers(bool* present) {
    DIR* dir = opendir("/sys/class/hidraw");
    if (dir == nullptr) {
        return -1;
    }
    int count = 0;
    while (const dirent* entry = readdir(dir)) {
        char* end = nullptr;
        if (strncmp(entry->d_name, "hidraw", 6) != 0) {
            continue;
        }
        const long number = strtol(entry->d_name + 6, &end, 10);
        if (end != entry->d_name + 6 && *end == '\0' && number >= 0 && number < maxNodeNumber) {
            present[number] = true;
            ++count;
        }
    }
    closedir(dir);
    return count;
}

void ReadDriver(int number, NodeFacts* node) {
    char path[96];
    char target[256];
    snprintf(path, sizeof(path), "/sys/class/hidraw/hidraw%d/device/driver", number);
    const ssize_t n = readlink(path, target, sizeof(target) - 1);
    node->driver[0] = '\0';
    if (n > 0) {
        target[n] = '\0';
        const char* slash = strrchr(target, '/');
        CopyText(node->driver, sizeof(node->driver), slash != nullptr ? slash + 1 : target);
    }
}

// False when the node is not of vendor 057E, or went away meanwhile.
bool ReadNode(int number, NodeFacts* node) {
    char path[96];
    char text[4096];
    snprintf(path, sizeof(path), "/sys/class/hidraw/hidraw%d/device/uevent", number);
    if (!ReadTextFile(path, text, sizeof(text))) {
        return false;
    }
    char id[64];
    unsigned bus = 0;
    unsigned vendor = 0;
    unsigned product = 0;
    if (!UeventValue(text, "HID_ID", id, sizeof(id)) ||
        sscanf(id, "%x:%x:%x", &bus, &vendor, &product) != 3 ||
        vendor != static_cast<unsigned>(nintendoVendor) || product > 0xFFFF) {
        return false;
    }
    snprintf(node->node, sizeof(node->node), "/dev/hidraw%d", number);
    node->product = static_cast<int32_t>(product);
    node->bus = bus == busBluetooth ? Bus::bluetooth : bus == busUsb ? Bus::usb : Bus::other;
    if (!UeventValue(text, "HID_NAME", node->name, sizeof(node->name))) {
        node->name[0] = '\0';
    }
    if (!UeventValue(text, "HID_UNIQ", node->address, sizeof(node->address))) {
        node->address[0] = '\0';
    }
    ReadDriver(number, node);
    return true;
}
}  // namespace

SystemKind ThisSystem() {
    return SystemKind::bluezHidraw;
}

void GatherKernel(KernelFacts* facts) {
    static bool present[maxNodeNumber];
    memset(present, 0, sizeof(present));
    *facts = KernelFacts{};
    facts->listed = ListNodeNumbers(present) >= 0;
    for (int number = 0; number < maxNodeNumber && facts->nodeCount < maxNodes; ++number) {
        if (present[number] && ReadNode(number, &facts->nodes[facts->nodeCount])) {
            ++facts->nodeCount;
        }
    }
}
