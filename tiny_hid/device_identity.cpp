#include "device_identity.h"

#include <cctype>

namespace {
// The next letter or digit at or after *at, lower case; 0 at the end.
char NextSignificant(const char* text, size_t* at) {
    while (*at < maxUniqueBytes && text[*at] != '\0') {
        const unsigned char c = static_cast<unsigned char>(text[(*at)++]);
        if (isalnum(c)) {
            return static_cast<char>(tolower(c));
        }
    }
    return 0;
}

bool SameUnique(const char* a, const char* b) {
    size_t atA = 0;
    size_t atB = 0;
    for (;;) {
        const char nextA = NextSignificant(a, &atA);
        if (nextA != NextSignificant(b, &atB)) {
            return false;
        }
        if (nextA == 0) {
            return true;
        }
    }
}

bool HasUnique(const char* text) {
    size_t at = 0;
    return NextSignificant(text, &at) != 0;
}
}  // namespace

DeviceMatch MatchDevice(const DeviceIdentity& wanted, const DeviceIdentity& found) {
    if (static_cast<uint16_t>(wanted.vendorId) != static_cast<uint16_t>(found.vendorId) ||
        static_cast<uint16_t>(wanted.productId) != static_cast<uint16_t>(found.productId)) {
        return DeviceMatch::none;
    }
    if (HasUnique(wanted.unique) && SameUnique(wanted.unique, found.unique)) {
        return DeviceMatch::sameController;
    }
    return DeviceMatch::sameIds;
}

void StartScan(ScanChoice* choice) {
    choice->match = DeviceMatch::none;
    choice->index = -1;
}

bool ConsiderDevice(ScanChoice* choice, const DeviceIdentity& wanted, const DeviceIdentity& found,
                    int index) {
    const DeviceMatch match = MatchDevice(wanted, found);
    if (match <= choice->match) {
        return false;  // the earlier of two equals stays
    }
    choice->match = match;
    choice->index = index;
    return true;
}

bool ScanSettled(const ScanChoice& choice, const DeviceIdentity& wanted) {
    return choice.match == DeviceMatch::sameController ||
           (choice.match == DeviceMatch::sameIds && !HasUnique(wanted.unique));
}
