// Which device a handle belongs to, so that a controller that dropped out
// (flat batteries, out of range, paired again) can be found again. The system
// gives it a new node or path when it returns; its ids stay, and where the
// system knows one, so does its unique id (the Bluetooth address).
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t maxUniqueBytes = 64;

struct DeviceIdentity {
    int32_t vendorId;
    int32_t productId;
    // As the system spells it ("00:1f:32:aa:bb:cc", "001F32AABBCC"); empty
    // when it gives none.
    char unique[maxUniqueBytes];
};

enum class DeviceMatch : uint8_t { none, sameIds, sameController };

// How well a device found now answers for the one a handle was opened on.
// Unique ids compare by their letters and digits alone, case aside, so that
// the spellings of one address on different systems match.
DeviceMatch MatchDevice(const DeviceIdentity& wanted, const DeviceIdentity& found);

// The best device of a scan so far: the controller that was opened, or
// failing it the first with its ids, as the first open would have taken.
struct ScanChoice {
    DeviceMatch match;
    int index;  // -1 until something matches
};

void StartScan(ScanChoice* choice);
// True when found (the index-th device of the scan) is now the choice; the
// caller then keeps it and lets go of the one chosen before.
bool ConsiderDevice(ScanChoice* choice, const DeviceIdentity& wanted, const DeviceIdentity& found,
                    int index);
// Nothing later in the scan can beat the choice.
bool ScanSettled(const ScanChoice& choice, const DeviceIdentity& wanted);
