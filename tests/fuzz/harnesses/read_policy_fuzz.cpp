// Report streams as a device may send them, taken the way the library reads:
// the input is a list of steps, each a reset, a read, or one arrival.
#include "tiny_hid/read_policy.h"

#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

namespace {
void Check(bool holds) {
    if (!holds) {
        abort();
    }
}

using Bytes = std::vector<uint8_t>;

// ID and both button bytes, a short report's missing ones read as 0.
Bytes InputOf(const Bytes& report) {
    return {report[0], report.size() > 1 ? report[1] : uint8_t{0},
            report.size() > 2 ? report[2] : uint8_t{0}};
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto policy = std::make_unique<ReadPolicy>();
    ResetReadPolicy(policy.get());
    std::vector<Bytes> arrivals;
    // Changes not yet handed out, as arrival numbers, in the ring's order: when
    // it is full the latest change takes the last place.
    std::deque<size_t> changes;
    Bytes lastInput;               // empty after a reset: the next report is a change
    size_t arrivedBeforeRead = 0;  // arrivals noted before the last read
    for (size_t at = 0; at < size;) {
        const uint8_t step = data[at++];
        if (step < 0x08) {
            ResetReadPolicy(policy.get());
            changes.clear();
            lastInput.clear();
            arrivedBeforeRead = arrivals.size();
        } else if (step < 0x40) {
            // Exactly heldReportBytes on the heap: a longer copy is caught.
            auto buffer = std::make_unique<uint8_t[]>(heldReportBytes);
            uint32_t length = 0;
            const bool took = TakeReport(policy.get(), buffer.get(), &length);
            // The oldest change first, else the newest report since the last
            // read, else nothing. Each arrival is expected once at most, in
            // arrival order, so a report handed out twice or out of turn
            // differs from the expected one.
            size_t expected = arrivals.size();
            if (!changes.empty()) {
                expected = changes.front();
                changes.pop_front();
            } else if (arrivals.size() > arrivedBeforeRead) {
                expected = arrivals.size() - 1;
            }
            arrivedBeforeRead = arrivals.size();
            Check(took == (expected < arrivals.size()));
            if (took) {
                const Bytes& report = arrivals[expected];
                Check(length <= heldReportBytes);
                Check(length ==
                      (report.size() < heldReportBytes ? report.size() : heldReportBytes));
                Check(memcmp(buffer.get(), report.data(), length) == 0);
            }
        } else {
            // Lengths 0 to 31, then 240 to 271 around the held size. Bytes past
            // the input number the arrival, so that each one is told apart.
            const uint32_t code = step & 0x3F;
            Bytes report(code < 32 ? code : 240 + (code - 32));
            for (size_t i = 0; i < report.size(); ++i) {
                report[i] = i < 3 ? (at + i < size ? data[at + i] : 0)
                                  : static_cast<uint8_t>((arrivals.size() >> (8 * (i % 2))) + i);
            }
            at += 3;
            NoteArrival(policy.get(), report.data(), static_cast<uint32_t>(report.size()));
            if (report.empty()) {
                continue;  // not a report
            }
            const Bytes input = InputOf(report);
            if (input != lastInput) {
                if (changes.size() == heldChangeCount) {
                    changes.back() = arrivals.size();
                } else {
                    changes.push_back(arrivals.size());
                }
            }
            lastInput = input;
            arrivals.push_back(report);
        }
    }
    return 0;
}
