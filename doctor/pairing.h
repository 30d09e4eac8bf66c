// Pairing in one command (--pair): what to do with a controller the search
// finds, which failure a stack's error means, and the words for each step
// and each failure. Free of any OS: each OS's pairing (PairController in
// gather.h) calls the stack and hands its findings and errors here.
#pragma once

#include "facts.h"

inline constexpr int defaultSearchSeconds = 30;
inline constexpr int longestSearchSeconds = 600;
// How long the controller's HID node may take to appear once it is connected.
inline constexpr int nodeWaitSeconds = 5;

enum class Request : uint8_t { checks, pair, help, version, wrong };

// The command line; on a wrong one, *wrong is the argument at fault.
Request ReadArguments(int argc, char** argv, int* searchSeconds, const char** wrong);

enum class FoundAction : uint8_t {
    ignore,            // not a Nintendo controller
    notSupported,      // a -TR: named, and the search goes on
    alreadyConnected,  // paired, trusted and connected: nothing to do
    connectOnly,       // paired, bonded and trusted: a connection is all it needs
    connectAndTrust,   // paired and bonded, not trusted
    removeThenPair,    // known but not bonded (woken with 1 and 2, say): forget it first
    pair,
};

FoundAction ActionFor(SystemKind system, const BluetoothDeviceFacts& device);

enum class PairStep : uint8_t { service, adapter, search, remove, pair, connect, trust };

enum class PairProblem : uint8_t {
    noService,       // no Bluetooth service at all
    noAdapter,       // no adapter, or none that works
    adapterBlocked,  // rfkill, or a switch
    adapterRefused,  // it would not switch on
    noApi,           // the system's Bluetooth calls are missing (Wine)
    authentication,  // the PIN was refused: not SYNC, or SYNC's time ran out
    noAnswer,        // page timeout: it switched itself off
    inProgress,      // another program is pairing
    notReady,        // the adapter is not ready (switched off meanwhile)
    refused,         // the system bus's policy refused the call
    searchTimedOut,
    other,
};

// The adapter to pair with: the first one that is on, else the first one
// that is not blocked (*powerOn then says to switch it on); -1 when every
// one is blocked or there is none.
int ChooseAdapter(const BluetoothFacts& facts, bool* powerOn);

// BlueZ's D-Bus error names (and, for its generic Failed, the message).
PairProblem BluezProblem(const char* errorName, const char* message);

enum class PairOutcome : uint8_t { connected, failed, stopped };

// The words of the road, each one line; the failures with their fix.
void SayPressSync(SystemKind system, int searchSeconds);
void SayAdapter(const AdapterFacts& adapter, bool poweredNow);
void SaySearching(int searchSeconds);
// On a terminal, the one line that counts down; elsewhere nothing.
void SayCountdown(int secondsLeft);
void SayNotSupported(const BluetoothDeviceFacts& device);
void SayFound(const BluetoothDeviceFacts& device, FoundAction action);
void SayRemoved(const BluetoothDeviceFacts& device);
void SayPaired(const BluetoothDeviceFacts& device);
void SayConnected(const BluetoothDeviceFacts& device);
void SayTrusted(const BluetoothDeviceFacts& device);
void SayNode(const char* node);
void SayNoNode(int seconds);
void SayStopped();
// The failure, its fix, and the last line.
void SayPairFailure(SystemKind system, PairStep step, PairProblem problem, const char* detail);
// No answer from BlueZ before the pairing began, told apart and fixed as the
// checks do it; the fix, and the last line.
void SayPairNoBluez(const BluetoothFacts& bluetooth);
