// The caller's output reports, the device's input reports, silences and
// returns of the device in any order and at any times, checked against the
// keeper's rules written out once more.
#include "tiny_hid/mode_keeper.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {
void Check(bool holds) {
    if (!holds) {
        abort();
    }
}

using Bytes = std::vector<uint8_t>;

// What the rules say the keeper knows.
struct Model {
    Bytes mode;    // the caller's last mode report; empty while none
    Bytes motor;   // its last motor report; empty while none
    bool motorOn;  // bit 0 of byte 1 of its last motor or mode report
    bool watching;
    bool heard;
    bool restored;
    int64_t lastArrivalMs;
    int64_t restoredAtMs;
};

// The sends a decision calls for: the mode is the caller's last, as long as
// it went out, with the motor as last asked; the motor report only while the
// motor is on.
void CheckWrites(const ModeKeeper& keeper, uint8_t writes, uint8_t expected, const Model& model) {
    Check(writes == expected);
    auto report = std::make_unique<uint8_t[]>(maxModeBytes);  // a longer copy is caught
    uint32_t length = 0;
    const bool mode = CurrentMode(keeper, report.get(), &length);
    Check(mode == !model.mode.empty());
    if (mode) {
        Check(length == model.mode.size() && report[0] == model.mode[0]);
        Check((report[1] & 0x01) == (model.motorOn ? 1 : 0));
        Check((report[1] & ~0x01) == (model.mode[1] & ~0x01));
        Check(memcmp(report.get() + 2, model.mode.data() + 2, length - 2) == 0);
    }
    const bool motor = CurrentMotor(keeper, report.get(), &length);
    Check(motor == (model.motorOn && model.motor.size() >= 2));
    if (motor) {
        Check(length == model.motor.size() && report[0] == 0x13 && (report[1] & 0x01) == 1);
    }
}

uint8_t Restore(Model* model, int64_t nowMs) {
    model->restored = true;
    model->restoredAtMs = nowMs;
    return keepMode;
}

uint8_t WithMotor(const Model& model, uint8_t writes, bool anotherWriter) {
    const bool motor = (writes != 0 || anotherWriter) && model.motorOn && model.motor.size() >= 2;
    return static_cast<uint8_t>(writes | (motor ? keepMotor : 0));
}

uint8_t ExpectedForArrival(Model* model, const uint8_t* bytes, size_t length, int64_t nowMs) {
    if (length == 0) {
        return 0;
    }
    model->heard = true;
    model->lastArrivalMs = nowMs;
    const uint8_t id = bytes[0];
    uint8_t writes = 0;
    if (id == 0x20 && !model->mode.empty()) {
        model->watching = true;
        writes = Restore(model, nowMs);
    } else if ((id & 0xF0) == 0x30 && !model->mode.empty() && id != model->mode[2] &&
               (model->watching || !model->restored || nowMs - model->restoredAtMs >= 200)) {
        model->watching = false;
        writes = Restore(model, nowMs);
    }
    const bool another =
        id == 0x20 || id == 0x21 || (id == 0x22 && (length < 4 || bytes[3] != 0x13));
    return WithMotor(*model, writes, another);
}

uint8_t ExpectedForSilence(Model* model, int64_t nowMs) {
    if (!model->heard || model->mode.empty()) {
        return 0;
    }
    const int64_t since = model->restored && model->restoredAtMs > model->lastArrivalMs
                              ? model->restoredAtMs
                              : model->lastArrivalMs;
    return nowMs < since + 200 ? 0 : WithMotor(*model, Restore(model, nowMs), false);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ModeKeeper keeper;
    ResetModeKeeper(&keeper);
    Model model{};
    int64_t nowMs = 0;
    for (size_t at = 0; at < size;) {
        const uint8_t step = data[at++];
        nowMs += step >> 5;  // time moves on by 0 to 7 ms, or by more below
        switch (step & 0x7) {
            case 0:
                ResetModeKeeper(&keeper);
                model = Model{};
                continue;
            case 1:
                nowMs += (step >> 3) * 50;
                CheckWrites(keeper, KeeperWritesForSilence(&keeper, nowMs),
                            ExpectedForSilence(&model, nowMs), model);
                continue;
            case 2: {
                model.watching = false;
                const uint8_t expected = model.mode.empty() ? 0 : Restore(&model, nowMs);
                CheckWrites(keeper, KeeperWritesAfterReturn(&keeper, nowMs), expected, model);
                continue;
            }
            default:
                break;
        }
        // A report of 0 to 15 bytes, on the heap at exactly its length.
        const size_t reportLength = (step >> 3) & 0xF;
        const size_t taken = reportLength < size - at ? reportLength : size - at;
        auto bytes = std::make_unique<uint8_t[]>(reportLength);
        memset(bytes.get(), 0, reportLength);
        memcpy(bytes.get(), data + at, taken);
        at += taken;
        if ((step & 0x7) <= 4) {
            NoteCallerReport(&keeper, bytes.get(), static_cast<uint32_t>(reportLength));
            if (reportLength >= 2 && reportLength <= maxMotorBytes && bytes[0] == 0x13) {
                model.motor.assign(bytes.get(), bytes.get() + reportLength);
                model.motorOn = (bytes[1] & 0x01) != 0;
            } else if (reportLength >= 3 && reportLength <= maxModeBytes && bytes[0] == 0x12) {
                model.mode.assign(bytes.get(), bytes.get() + reportLength);
                model.motorOn = (bytes[1] & 0x01) != 0;
                model.watching = false;
            }
            continue;
        }
        const uint8_t expected = ExpectedForArrival(&model, bytes.get(), reportLength, nowMs);
        CheckWrites(keeper,
                    KeeperWritesForArrival(&keeper, bytes.get(),
                                           static_cast<uint32_t>(reportLength), nowMs),
                    expected, model);
    }
    return 0;
}
