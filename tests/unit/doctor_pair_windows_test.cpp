// The doctor's pairing on Windows over a table of stand-ins for bthprops.cpl,
// one row per way a pairing goes: the calls in order, what was answered to
// the PIN request, the service switched on, and the words.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "doctor/gather.h"
#include "doctor/report.h"
#include "doctor/windows/bluetooth_calls.h"

namespace {
constexpr BYTE radioBytes[6] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
// 00:1F:32:AA:BB:CC, least significant byte first as Windows holds it.
constexpr BYTE remoteBytes[6] = {0xCC, 0xBB, 0xAA, 0x32, 0x1F, 0x00};
constexpr GUID hidService = {
    0x00001124, 0x0000, 0x1000, {0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB}};

struct Device {
    const wchar_t* name;  // none when null
    bool remembered;
    bool connected;
};

struct Row {
    const char* name;
    bool radio;
    Device known;    // what Windows remembers
    Device inquiry;  // what an inquiry finds
    HRESULT authenticate;
    DWORD service;
    PairOutcome outcome;
    const char* calls;
    const char* line;  // a line of the output, from its start
};

const Row rows[] = {
    {"a new controller",
     true,
     {},
     {L"Nintendo RVL-CNT-01", false, false},
     S_OK,
     ERROR_SUCCESS,
     PairOutcome::connected,
     "radio info known inquiry register authenticate answer unregister service",
     "ok    Pairing: paired with 00:1F:32:AA:BB:CC"},
    {"a remembered one removed first",
     true,
     {L"Nintendo RVL-CNT-01", true, false},
     {L"Nintendo RVL-CNT-01", false, false},
     S_OK,
     ERROR_SUCCESS,
     PairOutcome::connected,
     "radio info known remove inquiry register authenticate answer unregister service",
     "ok    Pairing: forgot 00:1F:32:AA:BB:CC; searching for it again"},
    {"one connected already",
     true,
     {L"Nintendo RVL-CNT-01", true, true},
     {},
     S_OK,
     ERROR_SUCCESS,
     PairOutcome::connected,
     "radio info known",
     "ok    Pairing: found Nintendo RVL-CNT-01 (00:1F:32:AA:BB:CC): already paired"},
    {"the PIN refused",
     true,
     {},
     {L"Nintendo RVL-CNT-01", false, false},
     static_cast<HRESULT>(ERROR_NOT_AUTHENTICATED),
     ERROR_SUCCESS,
     PairOutcome::failed,
     "radio info known inquiry register authenticate answer unregister",
     "FAIL  Pairing: the controller refused the PIN while pairing ("},
    {"no answer",
     true,
     {},
     {L"Nintendo RVL-CNT-01", false, false},
     static_cast<HRESULT>(ERROR_DEVICE_NOT_CONNECTED),
     ERROR_SUCCESS,
     PairOutcome::failed,
     "radio info known inquiry register authenticate answer unregister",
     "FAIL  Pairing: the controller did not answer while pairing ("},
    {"the HID service refused",
     true,
     {},
     {L"Nintendo RVL-CNT-01", false, false},
     S_OK,
     ERROR_SERVICE_DOES_NOT_EXIST,
     PairOutcome::failed,
     "radio info known inquiry register authenticate answer unregister service",
     "FAIL  Pairing: Windows failed while connecting ("},
    {"no radio",
     false,
     {},
     {},
     S_OK,
     ERROR_SUCCESS,
     PairOutcome::failed,
     "radio",
     "FAIL  Pairing: Windows has no Bluetooth adapter ("},
    {"only a -TR",
     true,
     {},
     {L"Nintendo RVL-CNT-01-TR", false, false},
     S_OK,
     ERROR_SUCCESS,
     PairOutcome::failed,
     "radio info known inquiry",
     "note  Pairing: Nintendo RVL-CNT-01-TR (00:1F:32:AA:BB:CC) is a Wii Remote Plus"},
};

const Row* row = nullptr;
std::string calls;
HANDLE radioHandle = nullptr;
PFN_AUTHENTICATION_CALLBACK_EX callback = nullptr;
void* callbackContext = nullptr;
BLUETOOTH_AUTHENTICATE_RESPONSE answer;
GUID serviceGuid;
DWORD serviceFlags;

void Called(const char* name) {
    calls += calls.empty() ? name : std::string(" ") + name;
}

HBLUETOOTH_RADIO_FIND WINAPI FindFirstRadio(BLUETOOTH_FIND_RADIO_PARAMS*, HANDLE* radio) {
    Called("radio");
    if (!row->radio) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return nullptr;
    }
    *radio = radioHandle = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return reinterpret_cast<HBLUETOOTH_RADIO_FIND>(1);
}

BOOL WINAPI FindRadioClose(HBLUETOOTH_RADIO_FIND) {
    return TRUE;
}

DWORD WINAPI GetRadioInfo(HANDLE radio, PBLUETOOTH_RADIO_INFO info) {
    Called("info");
    EXPECT_EQ(radio, radioHandle);
    memcpy(info->address.rgBytes, radioBytes, 6);
    return ERROR_SUCCESS;
}

HBLUETOOTH_DEVICE_FIND WINAPI FindFirstDevice(BLUETOOTH_DEVICE_SEARCH_PARAMS* search,
                                              BLUETOOTH_DEVICE_INFO* info) {
    Called(search->fIssueInquiry ? "inquiry" : "known");
    EXPECT_EQ(search->hRadio, radioHandle);
    const Device& device = search->fIssueInquiry ? row->inquiry : row->known;
    // An inquiry that finds no controller takes its time, as a real one does.
    if (search->fIssueInquiry &&
        (device.name == nullptr || wcscmp(device.name, L"Nintendo RVL-CNT-01") != 0)) {
        Sleep(search->cTimeoutMultiplier * 1280);
    }
    if (device.name == nullptr) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return nullptr;
    }
    EXPECT_TRUE(!search->fIssueInquiry ||
                (search->cTimeoutMultiplier >= 1 && search->cTimeoutMultiplier <= 48));
    memcpy(info->Address.rgBytes, remoteBytes, 6);
    wcsncpy(info->szName, device.name, BLUETOOTH_MAX_NAME_SIZE - 1);
    info->fRemembered = device.remembered;
    info->fConnected = device.connected;
    return reinterpret_cast<HBLUETOOTH_DEVICE_FIND>(1);
}

BOOL WINAPI FindNextDevice(HBLUETOOTH_DEVICE_FIND, BLUETOOTH_DEVICE_INFO*) {
    return FALSE;
}

BOOL WINAPI FindDeviceClose(HBLUETOOTH_DEVICE_FIND) {
    return TRUE;
}

DWORD WINAPI RemoveDevice(BLUETOOTH_ADDRESS* address) {
    Called("remove");
    EXPECT_EQ(memcmp(address->rgBytes, remoteBytes, 6), 0);
    return ERROR_SUCCESS;
}

HRESULT WINAPI RegisterForAuthentication(const BLUETOOTH_DEVICE_INFO* device,
                                         HBLUETOOTH_AUTHENTICATION_REGISTRATION* registration,
                                         PFN_AUTHENTICATION_CALLBACK_EX call, PVOID context) {
    Called("register");
    EXPECT_EQ(memcmp(device->Address.rgBytes, remoteBytes, 6), 0);
    *registration = reinterpret_cast<HBLUETOOTH_AUTHENTICATION_REGISTRATION>(2);
    callback = call;
    callbackContext = context;
    return S_OK;
}

BOOL WINAPI UnregisterAuthentication(HBLUETOOTH_AUTHENTICATION_REGISTRATION registration) {
    Called("unregister");
    EXPECT_EQ(registration, reinterpret_cast<HBLUETOOTH_AUTHENTICATION_REGISTRATION>(2));
    return TRUE;
}

HRESULT WINAPI SendAuthenticationResponse(HANDLE radio, PBLUETOOTH_AUTHENTICATE_RESPONSE response) {
    Called("answer");
    EXPECT_EQ(radio, radioHandle);
    answer = *response;
    return S_OK;
}

// The controller asks for the PIN as a legacy device does, then the
// pairing ends as the row says.
HRESULT WINAPI AuthenticateDevice(HWND, HANDLE radio, BLUETOOTH_DEVICE_INFO* device,
                                  PBLUETOOTH_OOB_DATA_INFO, BLUETOOTH_AUTHENTICATION_REQUIREMENTS) {
    Called("authenticate");
    EXPECT_EQ(radio, radioHandle);
    BLUETOOTH_AUTHENTICATION_CALLBACK_PARAMS params{};
    params.deviceInfo = *device;
    params.authenticationMethod = BLUETOOTH_AUTHENTICATION_METHOD_LEGACY;
    callback(callbackContext, &params);
    return row->authenticate;
}

DWORD WINAPI SetServiceState(HANDLE radio, BLUETOOTH_DEVICE_INFO* device, GUID* service,
                             DWORD flags) {
    Called("service");
    EXPECT_EQ(radio, radioHandle);
    EXPECT_EQ(memcmp(device->Address.rgBytes, remoteBytes, 6), 0);
    serviceGuid = *service;
    serviceFlags = flags;
    return row->service;
}

// The pairing takes the first radio: it never asks for the next one.
constexpr BluetoothCalls standIns = {FindFirstRadio,
                                     nullptr,
                                     FindRadioClose,
                                     GetRadioInfo,
                                     FindFirstDevice,
                                     FindNextDevice,
                                     FindDeviceClose,
                                     RemoveDevice,
                                     RegisterForAuthentication,
                                     UnregisterAuthentication,
                                     SendAuthenticationResponse,
                                     AuthenticateDevice,
                                     SetServiceState};

TEST(DoctorPairWindows, Rows) {
    for (const Row& current : rows) {
        row = &current;
        calls.clear();
        answer = BLUETOOTH_AUTHENTICATE_RESPONSE{};
        serviceFlags = 0;
        char address[textBytes] = "unset";
        testing::internal::CaptureStdout();
        StartReport(false);
        const PairOutcome outcome = PairWith(standIns, 1, address, sizeof(address));
        fflush(stdout);
        const std::string out = testing::internal::GetCapturedStdout();
        // PairWith has closed the radio's handle.
        radioHandle = nullptr;
        SCOPED_TRACE(std::string(current.name) + "\n" + out);
        EXPECT_EQ(outcome, current.outcome);
        EXPECT_EQ(calls, current.calls);
        EXPECT_NE(("\n" + out).find(std::string("\n") + current.line), std::string::npos);
        EXPECT_STREQ(address, outcome == PairOutcome::connected ? "00:1F:32:AA:BB:CC" : "");
        if (calls.find("answer") != std::string::npos) {
            // The PIN: the radio's six address bytes, in the order Windows holds them.
            EXPECT_EQ(answer.authMethod, BLUETOOTH_AUTHENTICATION_METHOD_LEGACY);
            EXPECT_EQ(answer.pinInfo.pinLength, 6);
            EXPECT_EQ(memcmp(answer.pinInfo.pin, radioBytes, 6), 0);
            EXPECT_EQ(memcmp(answer.bthAddressRemote.rgBytes, remoteBytes, 6), 0);
            EXPECT_EQ(answer.negativeResponse, 0);
        }
        if (calls.find("service") != std::string::npos) {
            EXPECT_TRUE(IsEqualGUID(serviceGuid, hidService));
            EXPECT_EQ(serviceFlags, 0x01u);  // BLUETOOTH_SERVICE_ENABLE
        }
    }
}
// Under a Wine whose Bluetooth device search is a stub the pairing says so in one
// line and calls nothing (on Windows itself there is nothing to check here).
TEST(DoctorPairWindows, WineWithoutBluetoothApi) {
    char wine[24];
    if (!WineWithoutBluetooth(wine, sizeof(wine))) {
        GTEST_SKIP() << "not under a Wine before 10.4";
    }
    char address[textBytes] = "unset";
    testing::internal::CaptureStdout();
    StartReport(false);
    const PairOutcome outcome = PairController(2, address, sizeof(address));
    fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(outcome, PairOutcome::failed);
    EXPECT_EQ(out, "FAIL  Pairing: Wine " + std::string(wine) +
                       " has no working Bluetooth device search (Wine's works from 10.4 on); "
                       "nothing was changed\n");
    EXPECT_STREQ(address, "");
}
}  // namespace
