#include "pairing.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "report.h"
#include "verdicts.h"

namespace {
constexpr size_t lineBytes = 768;

bool Same(const char* a, const char* b) {
    return strcmp(a, b) == 0;
}

const char* NameOf(const BluetoothDeviceFacts& device) {
    return device.name[0] != '\0' ? device.name : "Nintendo device";
}

const char* PairCommand(SystemKind system) {
    return system == SystemKind::windows ? "quivertap-doctor.exe --pair"
                                         : "quivertap-doctor --pair";
}

// The press that starts every fix of a pairing that went wrong: SYNC gives
// about 20 s, and the pairing must start inside them.
void PressSyncAndRunAgain(SystemKind system) {
    FixText("press the red SYNC button under the battery cover (not 1 and 2) and run this");
    FixText("again at once:");
    FixCommand("%s", PairCommand(system));
}

void ConcludeFailed() {
    char text[lineBytes];
    snprintf(text, sizeof(text), "Quivertap will not find and use a controller: %s.",
             FirstFailure());
    Conclusion(false, text);
}

void ManualSteps(SystemKind system) {
    if (system == SystemKind::windows) {
        FixText("If it fails again: Control Panel, Devices and Printers, Add a device; press");
        FixText("SYNC; pick \"Nintendo RVL-CNT-01\"; leave the PIN empty and choose Next.");
        FixCommand("control printers");
    }
}
}  // namespace

Request ReadArguments(int argc, char** argv, int* searchSeconds, const char** wrong) {
    *searchSeconds = defaultSearchSeconds;
    *wrong = nullptr;
    if (argc == 1) {
        return Request::checks;
    }
    if (argc == 2 && Same(argv[1], "--help")) {
        return Request::help;
    }
    if (argc == 2 && Same(argv[1], "--version")) {
        return Request::version;
    }
    if (!Same(argv[1], "--pair")) {
        *wrong = argv[1];
        return Request::wrong;
    }
    if (argc == 2) {
        return Request::pair;
    }
    if (!Same(argv[2], "--timeout") || argc != 4) {
        *wrong = argc > 4 && Same(argv[2], "--timeout") ? argv[4] : argv[2];
        return Request::wrong;
    }
    char* end = nullptr;
    const long seconds = strtol(argv[3], &end, 10);
    if (end == argv[3] || *end != '\0' || seconds < 1 || seconds > longestSearchSeconds) {
        *wrong = argv[3];
        return Request::wrong;
    }
    *searchSeconds = static_cast<int>(seconds);
    return Request::pair;
}

FoundAction ActionFor(SystemKind system, const BluetoothDeviceFacts& device) {
    if (device.product == remotePlusProduct) {
        return FoundAction::notSupported;
    }
    if (device.product != remoteProduct) {
        return FoundAction::ignore;
    }
    if (system == SystemKind::windows) {
        // Windows does not pair a device it remembers again; one that is
        // connected is there already.
        if (device.connected == Known::yes) {
            return FoundAction::alreadyConnected;
        }
        return device.remembered == Known::yes ? FoundAction::removeThenPair : FoundAction::pair;
    }
    // BlueZ before 5.66 has no Bonded: a paired device is bonded there.
    const bool bonded = device.paired == Known::yes && device.bonded != Known::no;
    if (!bonded) {
        const bool known = device.paired == Known::yes || device.bonded == Known::yes ||
                           device.trusted == Known::yes;
        return known ? FoundAction::removeThenPair : FoundAction::pair;
    }
    if (device.trusted != Known::yes) {
        return FoundAction::connectAndTrust;
    }
    return device.connected == Known::yes ? FoundAction::alreadyConnected
                                          : FoundAction::connectOnly;
}

int ChooseAdapter(const BluetoothFacts& facts, bool* powerOn) {
    *powerOn = false;
    for (int i = 0; i < facts.adapterCount; ++i) {
        if (facts.adapters[i].powered == Known::yes) {
            return i;
        }
    }
    // None is on: the first that rfkill does not hold off is switched on.
    for (int i = 0; i < facts.adapterCount; ++i) {
        const AdapterFacts& adapter = facts.adapters[i];
        if (adapter.softBlocked != Known::yes && adapter.hardBlocked != Known::yes) {
            *powerOn = true;
            return i;
        }
    }
    return -1;
}

PairProblem BluezProblem(const char* errorName, const char* message) {
    const struct {
        const char* name;
        PairProblem problem;
    } names[] = {
        {"org.bluez.Error.AuthenticationFailed", PairProblem::authentication},
        {"org.bluez.Error.AuthenticationRejected", PairProblem::authentication},
        {"org.bluez.Error.AuthenticationCanceled", PairProblem::authentication},
        {"org.bluez.Error.AuthenticationTimeout", PairProblem::noAnswer},
        {"org.bluez.Error.ConnectionAttemptFailed", PairProblem::noAnswer},
        {"org.bluez.Error.DoesNotExist", PairProblem::noAnswer},
        {"org.freedesktop.DBus.Error.UnknownObject", PairProblem::noAnswer},
        {"org.bluez.Error.InProgress", PairProblem::inProgress},
        {"org.bluez.Error.NotReady", PairProblem::notReady},
        {"org.freedesktop.DBus.Error.AccessDenied", PairProblem::refused},
        {"org.freedesktop.DBus.Error.ServiceUnknown", PairProblem::noService},
        {"org.freedesktop.DBus.Error.NameHasNoOwner", PairProblem::noService},
        {"org.freedesktop.DBus.Error.NoReply", PairProblem::noAnswer},
    };
    for (const auto& entry : names) {
        if (Same(errorName, entry.name)) {
            return entry.problem;
        }
    }
    // Its generic Failed carries the cause in words: a connection that found
    // nobody ("Host is down", from 5.67 "br-connection-page-timeout").
    if (Same(errorName, "org.bluez.Error.Failed") && message != nullptr &&
        (strstr(message, "Host is down") != nullptr || strstr(message, "page-timeout") != nullptr ||
         strstr(message, "Page Timeout") != nullptr)) {
        return PairProblem::noAnswer;
    }
    if (Same(errorName, "org.bluez.Error.Failed") && message != nullptr &&
        strstr(message, "rfkill") != nullptr) {
        return PairProblem::adapterBlocked;
    }
    return PairProblem::other;
}

void SayPressSync(SystemKind system, int searchSeconds) {
    Line(Mark::note,
         "Pairing: press the red SYNC button under the battery cover now (not 1 and 2)");
    Detail("%s looks for the controller for %d s, pairs it, connects it and trusts it",
           system == SystemKind::windows ? "Windows" : "BlueZ", searchSeconds);
}

void SayAdapter(const AdapterFacts& adapter, bool poweredNow) {
    const char* address = adapter.address[0] != '\0' ? adapter.address : "no address given";
    Line(Mark::ok, "Pairing: adapter %s (%s) %s", adapter.name, address,
         poweredNow ? "switched on" : "is on");
}

void SaySearching(int searchSeconds) {
    Line(Mark::note, "Pairing: searching for \"Nintendo RVL-CNT-01\" for %d s", searchSeconds);
}

void SayCountdown(int secondsLeft) {
    LiveLine("searching: %2d s left", secondsLeft);
}

void SayNotSupported(const BluetoothDeviceFacts& device) {
    Line(Mark::note,
         "Pairing: %s (%s) is a Wii Remote Plus, which Quivertap does not drive; still searching",
         NameOf(device), device.address);
}

void SayFound(const BluetoothDeviceFacts& device, FoundAction action) {
    const char* what = "";
    switch (action) {
        case FoundAction::alreadyConnected:
            what = ": already paired, trusted and connected; nothing to do";
            break;
        case FoundAction::connectOnly:
            what = ": already paired, bonded and trusted; connecting it only, no new pairing";
            break;
        case FoundAction::connectAndTrust:
            what = ": already paired and bonded; connecting and trusting it";
            break;
        case FoundAction::removeThenPair:
            what = ": known but not paired for good; forgetting it to pair it afresh";
            break;
        case FoundAction::pair:
        case FoundAction::ignore:
        case FoundAction::notSupported:
            break;
    }
    Line(Mark::ok, "Pairing: found %s (%s)%s", NameOf(device), device.address, what);
}

void SayRemoved(const BluetoothDeviceFacts& device) {
    Line(Mark::ok, "Pairing: forgot %s; searching for it again", device.address);
}

void SayPaired(const BluetoothDeviceFacts& device) {
    Line(Mark::ok, "Pairing: paired with %s", device.address);
}

void SayConnected(const BluetoothDeviceFacts& device) {
    Line(Mark::ok, "Pairing: connected %s", device.address);
}

void SayTrusted(const BluetoothDeviceFacts& device) {
    Line(Mark::ok, "Pairing: trusted %s: from now on a button press connects it again",
         device.address);
}

void SayNode(const char* node) {
    Line(Mark::ok, "Pairing: its HID node %s is there", node);
}

void SayNoNode(int seconds) {
    Line(Mark::note, "Pairing: no HID node for it within %d s of connecting", seconds);
}

void SayStopped() {
    Line(Mark::note, "Pairing: stopped; the search and any pairing under way were cancelled");
    fflush(stdout);
}

void SayPairFailure(SystemKind system, PairStep step, PairProblem problem, const char* detail) {
    const bool windows = system == SystemKind::windows;
    const char* stack = windows ? "Windows" : "BlueZ";
    const char* doings[] = {"listing its devices",
                            "switching the adapter on",
                            "searching",
                            "forgetting the old pairing",
                            "pairing",
                            "connecting",
                            "trusting"};
    const char* doing = doings[static_cast<int>(step)];
    switch (problem) {
        case PairProblem::noService:
            if (windows) {
                Line(Mark::fail, "Pairing: this Windows has no Bluetooth support (%s)", detail);
                FixText("plug in a Bluetooth adapter.");
            } else {
                // It answered when the pairing began: installed, and stopped since.
                Line(Mark::fail, "Pairing: BlueZ stopped answering while %s (%s)", doing, detail);
                FixText("start it again:");
                FixCommand("sudo systemctl start bluetooth");
                FixText("and then");
                PressSyncAndRunAgain(system);
            }
            break;
        case PairProblem::noAdapter:
            Line(Mark::fail, "Pairing: %s has no Bluetooth adapter%s%s%s", stack,
                 detail[0] != '\0' ? " (" : "", detail, detail[0] != '\0' ? ")" : "");
            FixText(windows ? "plug in a Bluetooth adapter, or switch Bluetooth on."
                            : "plug in a Bluetooth adapter, or switch Bluetooth on; then see what"
                              " blocks it:");
            if (!windows) {
                RfkillListCommands();
            }
            break;
        case PairProblem::adapterBlocked:
        case PairProblem::adapterRefused:
            Line(Mark::fail, "Pairing: adapter %s (%s)",
                 problem == PairProblem::adapterBlocked ? "blocked" : "would not switch on",
                 detail);
            if (windows) {
                FixText("switch Bluetooth on in Settings (or with the machine's key for it), then");
                FixText("run this again.");
            } else {
                FixText(
                    "unblock it (rfkill is in the rfkill package), then run this again; a block");
                FixText("by a switch needs the machine's switch or key for Bluetooth:");
                FixCommand("sudo rfkill unblock bluetooth");
                FixCommand("%s", PairCommand(system));
            }
            break;
        case PairProblem::noApi:
            // Nothing was tried: the one line says all.
            Line(Mark::fail, "Pairing: %s", detail);
            fflush(stdout);
            return;
        case PairProblem::authentication:
            Line(Mark::fail, "Pairing: the controller refused the PIN while %s (%s)", doing,
                 detail);
            FixText("it was woken with 1 and 2, or SYNC's 20 s ran out. Then");
            PressSyncAndRunAgain(system);
            if (!windows) {
                FixText("If it fails again, bluetoothd may run without its wiimote plugin, which");
                FixText("gives the PIN: look for -P or --noplugin in its command line:");
                FixCommand("ps -o args= -C bluetoothd");
            }
            ManualSteps(system);
            break;
        case PairProblem::noAnswer:
            Line(Mark::fail, "Pairing: the controller did not answer while %s (%s)", doing, detail);
            FixText("it has switched itself off. Bring it near the adapter;");
            PressSyncAndRunAgain(system);
            break;
        case PairProblem::inProgress:
            Line(Mark::fail, "Pairing: another program is pairing or connecting now (%s)", detail);
            FixText("let it finish or close it (a Bluetooth settings window, say); then");
            PressSyncAndRunAgain(system);
            break;
        case PairProblem::notReady:
            Line(Mark::fail, "Pairing: the adapter is not ready (%s)", detail);
            FixText(windows ? "switch Bluetooth on in Settings, then run this again."
                            : "switch it on, then run this again:");
            if (!windows) {
                FixCommand("bluetoothctl power on");
                FixCommand("%s", PairCommand(system));
            }
            break;
        case PairProblem::refused:
            Line(Mark::fail, "Pairing: the system refused the call to %s while %s", stack, doing);
            Detail("%s", detail);
            FixText(
                windows
                    ? "run it as a user that may change Bluetooth settings."
                    : "BlueZ's D-Bus policy (bluetooth.conf, named above) does not let this user");
            if (!windows) {
                FixText("call it; run it as a user the policy allows.");
            }
            break;
        case PairProblem::searchTimedOut:
            Line(Mark::fail, "Pairing: no Wii Remote RVL-CNT-01 answered within %s", detail);
            FixText("its LEDs must blink during the search: the SYNC button keeps it");
            FixText("discoverable for about 20 s, so");
            PressSyncAndRunAgain(system);
            ManualSteps(system);
            break;
        case PairProblem::other:
            Line(Mark::fail, "Pairing: %s failed while %s (%s)", stack, doing, detail);
            PressSyncAndRunAgain(system);
            if (!windows) {
                FixText("If it fails again, bluetoothd's journal says more:");
                FixCommand("journalctl -u bluetooth -n 20");
            }
            ManualSteps(system);
            break;
    }
    ConcludeFailed();
}

void SayPairNoBluez(const BluetoothFacts& bluetooth) {
    SayBluezMissing(Mark::fail, "Pairing", bluetooth);
    FixText("get BlueZ running:");
    StartBluezCommands(bluetooth);
    FixText("and then");
    PressSyncAndRunAgain(SystemKind::bluezHidraw);
    ConcludeFailed();
}
