#include "read_policy.h"

#include <cstring>

namespace {
void Hold(HeldReport* held, const uint8_t* bytes, uint32_t length) {
    held->length = length < heldReportBytes ? length : heldReportBytes;
    memcpy(held->bytes, bytes, held->length);
}

void HandOut(const HeldReport& held, uint8_t* buffer, uint32_t* length) {
    memcpy(buffer, held.bytes, held.length);
    *length = held.length;
}

// Bytes 1 and 2 carry the core buttons in every report this controller sends;
// a report too short to have them counts as having them at 0.
void InputOf(const uint8_t* bytes, uint32_t length, uint8_t* input) {
    input[0] = bytes[0];
    input[1] = length > 1 ? bytes[1] : 0;
    input[2] = length > 2 ? bytes[2] : 0;
}
}  // namespace

void ResetReadPolicy(ReadPolicy* policy) {
    policy->firstChange = 0;
    policy->changeCount = 0;
    policy->newest.length = 0;
    policy->newestUnread = false;
    policy->anyReceived = false;
}

void NoteArrival(ReadPolicy* policy, const uint8_t* bytes, uint32_t length) {
    if (length == 0) {
        return;
    }
    uint8_t input[3];
    InputOf(bytes, length, input);
    const bool changes = !policy->anyReceived || memcmp(input, policy->lastInput, 3) != 0;
    memcpy(policy->lastInput, input, 3);
    policy->anyReceived = true;
    Hold(&policy->newest, bytes, length);
    policy->newestUnread = true;
    if (!changes) {
        return;
    }
    // When the ring is full the latest change takes the last place: the
    // earliest ones keep their order and the input still ends where the
    // controller left it.
    uint32_t slot = policy->changeCount;
    if (slot == heldChangeCount) {
        --slot;
    } else {
        ++policy->changeCount;
    }
    Hold(&policy->changes[(policy->firstChange + slot) % heldChangeCount], bytes, length);
}

bool TakeReport(ReadPolicy* policy, uint8_t* buffer, uint32_t* length) {
    if (policy->changeCount > 0) {
        HandOut(policy->changes[policy->firstChange], buffer, length);
        policy->firstChange = (policy->firstChange + 1) % heldChangeCount;
        --policy->changeCount;
        // Whatever arrived behind this change but before the read is older
        // than the read itself: only what comes after counts as news.
        policy->newestUnread = false;
        return true;
    }
    if (policy->newestUnread) {
        HandOut(policy->newest, buffer, length);
        policy->newestUnread = false;
        return true;
    }
    return false;
}
