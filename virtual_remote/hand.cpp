#include "hand.h"

#include <algorithm>
#include <atomic>
#include <cstddef>

#include "virtual_os.h"

namespace {
constexpr int64_t holdUs = 150'000;
// A few quick keys wait their turn; a key held down for its autorepeat would
// otherwise leave the controller pressing long after it was let go.
constexpr size_t waitingPressCount = 8;

struct Press {
    uint8_t buttons1;
    uint8_t buttons2;
    int64_t atUs;  // when the key came
};

// Filled by the listening thread and emptied by the reads: one writer, one
// reader, so two counters are all the locking it needs.
Press waiting[waitingPressCount];
std::atomic<size_t> pressesCome{0};
std::atomic<size_t> pressesTaken{0};

// The press in force, or the next one while it waits for its start.
Press held{};
int64_t heldFromUs = 0;
int64_t heldUntilUs = INT64_MIN / 4;

struct KeyButton {
    uint8_t key;
    uint8_t buttons1;
    uint8_t buttons2;
};

constexpr KeyButton keyButtons[] = {
    {'a', 0x00, 0x08},  // A
    {'+', 0x10, 0x00},  // +
    {'-', 0x00, 0x10},  // -
    {'h', 0x00, 0x80},  // Home
};

bool ButtonsOfKey(uint8_t key, Press* press) {
    for (const KeyButton& pair : keyButtons) {
        if (pair.key == key) {
            press->buttons1 = pair.buttons1;
            press->buttons2 = pair.buttons2;
            return true;
        }
    }
    return false;
}

void OnKey(uint8_t key) {
    Press press{};
    if (!ButtonsOfKey(key, &press)) {
        return;
    }
    press.atUs = NowMicroseconds();
    const size_t come = pressesCome.load(std::memory_order_relaxed);
    if (come - pressesTaken.load(std::memory_order_acquire) == waitingPressCount) {
        return;
    }
    waiting[come % waitingPressCount] = press;
    pressesCome.store(come + 1, std::memory_order_release);
}

// The oldest waiting press, if its key had come by atUs: an arrival that the
// reads take in late must not show a key that came after it.
bool TakePressComeBy(int64_t atUs, Press* press) {
    const size_t taken = pressesTaken.load(std::memory_order_relaxed);
    if (taken == pressesCome.load(std::memory_order_acquire) ||
        waiting[taken % waitingPressCount].atUs > atUs) {
        return false;
    }
    *press = waiting[taken % waitingPressCount];
    pressesTaken.store(taken + 1, std::memory_order_release);
    return true;
}
}  // namespace

bool StartHand(const char* path) {
    return ListenForBytes(path, OnKey);
}

void HeldButtons(int64_t atUs, int64_t periodUs, uint8_t* buttons1, uint8_t* buttons2) {
    // Presses never overlap: one whose key came while another was held starts
    // once the release has lasted two periods. Arrivals are less than two
    // periods apart, so a report shows the release and the program sees each
    // key as a press of its own ("+++" climbs three levels).
    Press next{};
    while (atUs >= heldUntilUs && TakePressComeBy(atUs, &next)) {
        held = next;
        heldFromUs = std::max(next.atUs, heldUntilUs + 2 * periodUs);
        heldUntilUs = heldFromUs + holdUs;
    }
    const bool down = atUs >= heldFromUs && atUs < heldUntilUs;
    *buttons1 = down ? held.buttons1 : 0;
    *buttons2 = down ? held.buttons2 : 0;
}
