// The identity of the opened device, then a scan over devices with any ids
// and unique ids, spelt in any way and not always ended.
#include "tiny_hid/device_identity.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {
void Check(bool holds) {
    if (!holds) {
        abort();
    }
}

// Vendor and product, 4 bytes each, then a length and that many bytes of the
// unique id: at maxUniqueBytes it has no ending 0.
bool Take(const uint8_t* data, size_t size, size_t* at, DeviceIdentity* identity) {
    if (size - *at < 9) {
        return false;
    }
    memcpy(&identity->vendorId, data + *at, 4);
    memcpy(&identity->productId, data + *at + 4, 4);
    const size_t length = data[*at + 8] % (maxUniqueBytes + 1);
    *at += 9;
    const size_t taken = length < size - *at ? length : size - *at;
    memset(identity->unique, 0, maxUniqueBytes);
    memcpy(identity->unique, data + *at, taken);
    *at += taken;
    return true;
}

// The letters and digits of a unique id, lower case: one address in every
// system's spelling gives the same.
std::string Letters(const DeviceIdentity& identity) {
    std::string letters;
    for (size_t i = 0; i < maxUniqueBytes && identity.unique[i] != '\0'; ++i) {
        const unsigned char c = static_cast<unsigned char>(identity.unique[i]);
        if (isalnum(c)) {
            letters += static_cast<char>(tolower(c));
        }
    }
    return letters;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t at = 0;
    DeviceIdentity wanted;
    if (!Take(data, size, &at, &wanted)) {
        return 0;
    }
    ScanChoice choice;
    StartScan(&choice);
    DeviceMatch best = DeviceMatch::none;
    int first = -1;  // the first device of the best match so far
    const std::string letters = Letters(wanted);
    DeviceIdentity found;
    for (int index = 0; Take(data, size, &at, &found); ++index) {
        // Ids are 16 bits wherever the system keeps them.
        const bool sameIds =
            static_cast<uint16_t>(wanted.vendorId) == static_cast<uint16_t>(found.vendorId) &&
            static_cast<uint16_t>(wanted.productId) == static_cast<uint16_t>(found.productId);
        const DeviceMatch match = !sameIds ? DeviceMatch::none
                                  : !letters.empty() && letters == Letters(found)
                                      ? DeviceMatch::sameController
                                      : DeviceMatch::sameIds;
        Check(MatchDevice(wanted, found) == match);
        Check(MatchDevice(found, wanted) == match);
        // The controller that was opened, else the first with its ids; the
        // earlier of two equals stays.
        const bool taken = ConsiderDevice(&choice, wanted, found, index);
        Check(taken == (match > best));
        if (taken) {
            best = match;
            first = index;
        }
        Check(choice.match == best && choice.index == first);
        // Settled exactly when not even the opened device itself would beat
        // the choice, so that no later device changes it.
        ScanChoice tried = choice;
        const bool beaten = ConsiderDevice(&tried, wanted, wanted, index + 1);
        Check(ScanSettled(choice, wanted) == !beaten);
    }
    return 0;
}
