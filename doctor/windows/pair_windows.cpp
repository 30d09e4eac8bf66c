// --pair on Windows, through bthprops.cpl: an inquiry repeated until the
// controller answers, then a legacy pairing whose PIN is the radio's own
// address as six raw bytes (what a controller woken by SYNC expects, and
// what no PIN box can take), then its HID service switched on so that
// Windows installs the HID device. A controller Windows remembers is removed
// first: Windows does not pair a remembered device again.
#include <cstdio>
#include <cstring>

#include "doctor/gather.h"
#include "doctor/pairing.h"
#include "doctor/windows/bluetooth_calls.h"
#include "doctor/windows/system_error.h"

namespace {
// One inquiry round: 4 x 1.28 s, so that a stop request and the countdown
// are seen every few seconds (48 is the most an inquiry may take).
constexpr UCHAR inquiryRounds = 4;
constexpr ULONGLONG inquiryUnitMs = 1280;
// The HID service on the remote: the Bluetooth base UUID with 0x1124.
constexpr GUID hidService = {
    0x00001124, 0x0000, 0x1000, {0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB}};

// BLUETOOTH_SERVICE_ENABLE of Microsoft's header; mingw-w64's has none.
constexpr DWORD serviceEnable = 0x01;

volatile LONG stopAsked = 0;

BOOL WINAPI OnControl(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        InterlockedExchange(&stopAsked, 1);
        return TRUE;
    }
    return FALSE;
}

// What the authentication callback needs: the PIN and where to answer.
struct Authentication {
    const BluetoothCalls* calls;
    HANDLE radio;
    BLUETOOTH_ADDRESS radioAddress;
    bool asked;
    bool legacy;
    DWORD answer;
};

// Called by the system on a thread of its own when the controller asks for
// the PIN; a controller woken by SYNC takes the radio's address bytes, in
// the order BLUETOOTH_ADDRESS holds them (the order BlueZ's wiimote plugin
// gives its adapter's).
BOOL CALLBACK OnAuthentication(LPVOID context, PBLUETOOTH_AUTHENTICATION_CALLBACK_PARAMS params) {
    Authentication* authentication = static_cast<Authentication*>(context);
    authentication->asked = true;
    authentication->legacy = params->authenticationMethod == BLUETOOTH_AUTHENTICATION_METHOD_LEGACY;
    BLUETOOTH_AUTHENTICATE_RESPONSE response{};
    response.bthAddressRemote = params->deviceInfo.Address;
    response.authMethod = BLUETOOTH_AUTHENTICATION_METHOD_LEGACY;
    static_assert(sizeof(authentication->radioAddress.rgBytes) == 6);
    memcpy(response.pinInfo.pin, authentication->radioAddress.rgBytes, 6);
    response.pinInfo.pinLength = 6;
    response.negativeResponse = authentication->legacy ? 0 : 1;
    authentication->answer = static_cast<DWORD>(
        authentication->calls->sendAuthenticationResponseEx(authentication->radio, &response));
    return TRUE;
}

PairProblem WindowsProblem(DWORD error) {
    switch (error) {
        case ERROR_NOT_AUTHENTICATED:
        case ERROR_INVALID_PASSWORD:
        case ERROR_CANCELLED:
            return PairProblem::authentication;
        case ERROR_TIMEOUT:
        case ERROR_SEM_TIMEOUT:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_GEN_FAILURE:
            return PairProblem::noAnswer;
        case ERROR_BUSY:
            return PairProblem::inProgress;
        case ERROR_NOT_READY:
            return PairProblem::notReady;
        case ERROR_ACCESS_DENIED:
            return PairProblem::refused;
        default:
            return PairProblem::other;
    }
}

PairOutcome Fail(PairStep step, PairProblem problem, DWORD error) {
    char detail[textBytes * 2];
    SystemErrorText(error, detail, sizeof(detail));
    SayPairFailure(SystemKind::windows, step, problem, detail);
    return PairOutcome::failed;
}

PairOutcome Fail(PairStep step, DWORD error) {
    return Fail(step, WindowsProblem(error), error);
}

struct Found {
    bool any;
    BLUETOOTH_DEVICE_INFO info;
    BluetoothDeviceFacts device;
    FoundAction action;
};

// One pass over the devices a search returns; a -TR is named once.
void Look(const BluetoothCalls& calls, BLUETOOTH_DEVICE_SEARCH_PARAMS* search, Found* found,
          bool* trNamed) {
    BLUETOOTH_DEVICE_INFO info{};
    info.dwSize = sizeof(info);
    const HBLUETOOTH_DEVICE_FIND find = calls.findFirstDevice(search, &info);
    if (find == nullptr) {
        return;
    }
    do {
        BluetoothDeviceFacts device{};
        if (ReadDeviceInfo(info, &device)) {
            const FoundAction action = ActionFor(SystemKind::windows, device);
            if (action == FoundAction::notSupported && !*trNamed) {
                *trNamed = true;
                SayNotSupported(device);
            } else if (action != FoundAction::ignore && action != FoundAction::notSupported &&
                       !found->any) {
                *found = Found{true, info, device, action};
            }
        }
        info = BLUETOOTH_DEVICE_INFO{};
        info.dwSize = sizeof(info);
    } while (calls.findNextDevice(find, &info));
    calls.findDeviceClose(find);
}

PairOutcome Pair(const BluetoothCalls& calls, HANDLE radio, const BLUETOOTH_RADIO_INFO& radioInfo,
                 Found* found) {
    static Authentication authentication;
    authentication = Authentication{&calls, radio, radioInfo.address, false, false, 0};
    HBLUETOOTH_AUTHENTICATION_REGISTRATION registration = nullptr;
    DWORD error = static_cast<DWORD>(calls.registerForAuthenticationEx(
        &found->info, &registration, OnAuthentication, &authentication));
    if (error != ERROR_SUCCESS) {
        return Fail(PairStep::pair, error);
    }
    error = static_cast<DWORD>(calls.authenticateDeviceEx(nullptr, radio, &found->info, nullptr,
                                                          MITMProtectionNotRequired));
    calls.unregisterAuthentication(registration);
    if (error == ERROR_SUCCESS && authentication.asked && !authentication.legacy) {
        error = ERROR_NOT_AUTHENTICATED;
    }
    if (error != ERROR_SUCCESS) {
        // The callback's own failure says more than the pairing's.
        return Fail(PairStep::pair,
                    authentication.answer != ERROR_SUCCESS ? authentication.answer : error);
    }
    SayPaired(found->device);
    // Enabling the HID service installs the HID device; one already enabled
    // answers E_INVALIDARG.
    error =
        calls.setServiceState(radio, &found->info, const_cast<GUID*>(&hidService), serviceEnable);
    if (error != ERROR_SUCCESS && error != static_cast<DWORD>(E_INVALIDARG)) {
        return Fail(PairStep::connect, error);
    }
    SayConnected(found->device);
    return PairOutcome::connected;
}

PairOutcome Search(const BluetoothCalls& calls, HANDLE radio, const BLUETOOTH_RADIO_INFO& radioInfo,
                   int searchSeconds, char* address, size_t size) {
    // What Windows knows already: a controller that is connected needs
    // nothing; one remembered is removed so that it can pair again.
    BLUETOOTH_DEVICE_SEARCH_PARAMS known = KnownDevices(radio);
    Found found{};
    bool trNamed = false;
    Look(calls, &known, &found, &trNamed);
    if (found.any && found.action == FoundAction::alreadyConnected) {
        SayFound(found.device, found.action);
        CopyText(address, size, found.device.address);
        return PairOutcome::connected;
    }
    if (found.any && found.action == FoundAction::removeThenPair) {
        SayFound(found.device, found.action);
        const DWORD error = calls.removeDevice(&found.info.Address);
        if (error != ERROR_SUCCESS) {
            return Fail(PairStep::remove, error);
        }
        SayRemoved(found.device);
    }
    found = Found{};
    SaySearching(searchSeconds);
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(searchSeconds) * 1000;
    BLUETOOTH_DEVICE_SEARCH_PARAMS inquiry = KnownDevices(radio);
    inquiry.fReturnUnknown = TRUE;
    inquiry.fIssueInquiry = TRUE;
    while (!found.any) {
        const ULONGLONG now = GetTickCount64();
        if (stopAsked != 0) {
            return PairOutcome::stopped;
        }
        if (now >= end) {
            char detail[24];
            snprintf(detail, sizeof(detail), "%d s", searchSeconds);
            SayPairFailure(SystemKind::windows, PairStep::search, PairProblem::searchTimedOut,
                           detail);
            return PairOutcome::failed;
        }
        const ULONGLONG leftMs = end - now;
        SayCountdown(static_cast<int>((leftMs + 999) / 1000));
        const ULONGLONG rounds = (leftMs + inquiryUnitMs - 1) / inquiryUnitMs;
        inquiry.cTimeoutMultiplier =
            static_cast<UCHAR>(rounds < inquiryRounds ? rounds : inquiryRounds);
        Look(calls, &inquiry, &found, &trNamed);
    }
    if (found.action == FoundAction::alreadyConnected) {
        SayFound(found.device, found.action);
        CopyText(address, size, found.device.address);
        return PairOutcome::connected;
    }
    SayFound(found.device, found.action);
    if (found.action == FoundAction::removeThenPair) {
        const DWORD error = calls.removeDevice(&found.info.Address);
        if (error != ERROR_SUCCESS) {
            return Fail(PairStep::remove, error);
        }
    }
    const PairOutcome outcome = Pair(calls, radio, radioInfo, &found);
    if (outcome == PairOutcome::connected) {
        CopyText(address, size, found.device.address);
    }
    return outcome;
}
}  // namespace

PairOutcome PairWith(const BluetoothCalls& calls, int searchSeconds, char* address, size_t size) {
    address[0] = '\0';
    HANDLE radio = nullptr;
    const HBLUETOOTH_RADIO_FIND find = FirstRadio(calls, &radio);
    if (find == nullptr) {
        const DWORD error = GetLastError();
        return Fail(PairStep::adapter,
                    error == ERROR_NO_MORE_ITEMS ? PairProblem::noAdapter : WindowsProblem(error),
                    error);
    }
    calls.findRadioClose(find);
    BLUETOOTH_RADIO_INFO radioInfo{};
    radioInfo.dwSize = sizeof(radioInfo);
    DWORD error = calls.getRadioInfo(radio, &radioInfo);
    PairOutcome outcome = PairOutcome::failed;
    if (error != ERROR_SUCCESS) {
        outcome = Fail(PairStep::adapter, error);
    } else {
        AdapterFacts adapter{};
        CopyText(adapter.name, sizeof(adapter.name), "radio");
        FormatAddress(radioInfo.address, adapter.address, sizeof(adapter.address));
        SayAdapter(adapter, false);
        outcome = Search(calls, radio, radioInfo, searchSeconds, address, size);
    }
    CloseHandle(radio);
    return outcome;
}

PairOutcome PairController(int searchSeconds, char* address, size_t size) {
    address[0] = '\0';
    char wine[24];
    if (WineWithoutBluetooth(wine, sizeof(wine))) {
        char detail[textBytes];
        snprintf(detail, sizeof(detail),
                 "Wine %s has no working Bluetooth device search (Wine's works from 10.4 on); "
                 "nothing was changed",
                 wine);
        SayPairFailure(SystemKind::windows, PairStep::service, PairProblem::noApi, detail);
        return PairOutcome::failed;
    }
    SayPressSync(SystemKind::windows, searchSeconds);
    static BluetoothCalls calls;
    if (!LoadBluetoothCalls(&calls)) {
        SayPairFailure(SystemKind::windows, PairStep::service, PairProblem::noService,
                       "bthprops.cpl or one of its pairing calls is missing");
        return PairOutcome::failed;
    }
    SetConsoleCtrlHandler(OnControl, TRUE);
    return PairWith(calls, searchSeconds, address, size);
}

bool StopRequested() {
    return stopAsked != 0;
}

int StopStatus() {
    return static_cast<int>(STATUS_CONTROL_C_EXIT);
}

bool OutputIsTerminal() {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return GetConsoleMode(out, &mode) &&
           SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}
