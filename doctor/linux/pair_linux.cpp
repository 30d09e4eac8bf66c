// --pair on Linux: BlueZ over the system bus, in the order and at the moment
// the controller needs: discovery until it shows up, then Pair, Connect at
// once (it switches itself off unless its input service is connected), and
// Trusted. BlueZ's own wiimote plugin answers the PIN request with the
// adapter's address, so no agent is registered. Every call is bounded, and a
// stop request (Ctrl-C) leaves nothing half done: discovery stopped, a
// pairing under way cancelled.
#include <signal.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "doctor/gather.h"
#include "doctor/linux/bluez_objects.h"
#include "doctor/pairing.h"

namespace {
constexpr const char* service = "org.bluez";
constexpr const char* adapterInterface = "org.bluez.Adapter1";
constexpr const char* deviceInterface = "org.bluez.Device1";
constexpr const char* propertiesInterface = "org.freedesktop.DBus.Properties";
// Pairing waits for the controller and the PIN exchange, a connection for
// its page; both are bounded by BlueZ too, these only guard against a
// bluetoothd that never answers.
constexpr uint64_t pairLimitUs = 30'000'000;
constexpr uint64_t connectLimitUs = 20'000'000;
constexpr uint64_t pollUs = 200'000;
constexpr int maxQueued = 8;

volatile sig_atomic_t stopSignal = 0;

void OnStop(int signal) {
    stopSignal = signal;
}

void InstallStop() {
    struct sigaction action {};
    action.sa_handler = OnStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a wait on the bus must end
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

uint64_t NowUs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1'000'000 +
           static_cast<uint64_t>(now.tv_nsec) / 1000;
}

// A failed call: BlueZ's error name and message, or the system's words.
struct Answer {
    char name[textBytes];
    char message[3 * textBytes];
};

enum class Reply : uint8_t { ok, error, stopped };

struct Pending {
    bool done;
    sd_bus_message* reply;
};

int OnReply(sd_bus_message* message, void* userdata, sd_bus_error*) {
    Pending* pending = static_cast<Pending*>(userdata);
    pending->done = true;
    pending->reply = sd_bus_message_ref(message);
    return 0;
}

void NoteError(int error, const sd_bus_error* busError, Answer* answer) {
    if (busError != nullptr && sd_bus_error_is_set(busError)) {
        CopyText(answer->name, sizeof(answer->name), busError->name);
        CopyText(answer->message, sizeof(answer->message),
                 busError->message != nullptr ? busError->message : busError->name);
    } else {
        answer->name[0] = '\0';
        CopyText(answer->message, sizeof(answer->message), strerror(-error));
    }
}

// Sends the call and waits for its reply, limitUs at most, and when
// stoppable only until a stop request. The reply is kept in *kept when asked.
Reply Send(sd_bus* bus, sd_bus_message* request, uint64_t limitUs, bool stoppable, Answer* answer,
           sd_bus_message** kept) {
    Pending pending{};
    sd_bus_slot* slot = nullptr;
    int r = sd_bus_call_async(bus, &slot, request, OnReply, &pending, limitUs);
    while (r >= 0 && !pending.done) {
        if (stoppable && stopSignal != 0) {
            sd_bus_slot_unref(slot);
            return Reply::stopped;
        }
        r = sd_bus_process(bus, nullptr);
        if (r == 0) {
            r = sd_bus_wait(bus, pollUs);
            r = r == -EINTR ? 0 : r;
        }
    }
    sd_bus_slot_unref(slot);
    if (r < 0) {
        NoteError(r, nullptr, answer);
        return Reply::error;
    }
    const sd_bus_error* busError = sd_bus_message_get_error(pending.reply);
    if (busError != nullptr) {
        NoteError(0, busError, answer);
        sd_bus_message_unref(pending.reply);
        return Reply::error;
    }
    if (kept != nullptr) {
        *kept = pending.reply;
    } else {
        sd_bus_message_unref(pending.reply);
    }
    return Reply::ok;
}

// One method call with its arguments appended by append.
template <typename Append>
Reply Method(sd_bus* bus, const char* path, const char* interface, const char* member,
             uint64_t limitUs, bool stoppable, Answer* answer, Append append,
             sd_bus_message** kept = nullptr) {
    sd_bus_message* request = nullptr;
    int r = sd_bus_message_new_method_call(bus, &request, service, path, interface, member);
    if (r >= 0) {
        r = append(request);
    }
    if (r < 0) {
        sd_bus_message_unref(request);
        NoteError(r, nullptr, answer);
        return Reply::error;
    }
    const Reply reply = Send(bus, request, limitUs, stoppable, answer, kept);
    sd_bus_message_unref(request);
    return reply;
}

int NoArguments(sd_bus_message*) {
    return 0;
}

Reply SetBool(sd_bus* bus, const char* path, const char* interface, const char* property,
              Answer* answer) {
    return Method(bus, path, propertiesInterface, "Set", bluezCallLimitUs, false, answer,
                  [&](sd_bus_message* m) {
                      return sd_bus_message_append(m, "ssv", interface, property, "b", 1);
                  });
}

// What the search has seen so far.
struct Search {
    sd_bus* bus;
    const char* adapterPath;
    BluetoothFacts added;  // scratch for one InterfacesAdded
    char queued[maxQueued][textBytes];
    int queuedCount;
    char named[maxBluetoothDevices][textBytes];  // -TRs already named
    int namedCount;
    bool found;
    BluetoothDeviceFacts device;
    FoundAction action;
};

Search search;

bool UnderAdapter(const char* path) {
    const size_t length = strlen(search.adapterPath);
    return strncmp(path, search.adapterPath, length) == 0 && path[length] == '/';
}

void Consider(const BluetoothDeviceFacts& device) {
    if (!UnderAdapter(device.path)) {
        return;
    }
    const FoundAction action = ActionFor(SystemKind::bluezHidraw, device);
    if (action == FoundAction::ignore) {
        return;
    }
    if (action == FoundAction::notSupported) {
        for (int i = 0; i < search.namedCount; ++i) {
            if (strcmp(search.named[i], device.path) == 0) {
                return;
            }
        }
        if (search.namedCount < maxBluetoothDevices) {
            CopyText(search.named[search.namedCount++], textBytes, device.path);
        }
        SayNotSupported(device);
        return;
    }
    if (!search.found) {
        search.found = true;
        search.device = device;
        search.action = action;
    }
}

int OnInterfacesAdded(sd_bus_message* message, void*, sd_bus_error*) {
    search.added = BluetoothFacts{};
    if (ReadBluezObject(message, &search.added) && search.added.deviceCount > 0) {
        Consider(search.added.devices[0]);
    }
    return 0;
}

// A name or ids may come after the device itself: such a device is looked
// at again, whole, once the signal has been handled.
int OnPropertiesChanged(sd_bus_message* message, void*, sd_bus_error*) {
    const char* path = sd_bus_message_get_path(message);
    const char* interface = nullptr;
    if (path == nullptr || !UnderAdapter(path) ||
        sd_bus_message_read(message, "s", &interface) < 0 ||
        strcmp(interface, deviceInterface) != 0 ||
        sd_bus_message_enter_container(message, 'a', "{sv}") < 0) {
        return 0;
    }
    bool telling = false;
    while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
        const char* name = nullptr;
        if (sd_bus_message_read(message, "s", &name) < 0 || sd_bus_message_skip(message, "v") < 0 ||
            sd_bus_message_exit_container(message) < 0) {
            break;
        }
        telling = telling || strcmp(name, "Name") == 0 || strcmp(name, "Alias") == 0 ||
                  strcmp(name, "Modalias") == 0;
    }
    for (int i = 0; telling && i < search.queuedCount; ++i) {
        telling = strcmp(search.queued[i], path) != 0;
    }
    if (telling && search.queuedCount < maxQueued) {
        CopyText(search.queued[search.queuedCount++], textBytes, path);
    }
    return 0;
}

void LookAgain() {
    for (int i = 0; i < search.queuedCount && !search.found; ++i) {
        Answer answer{};
        sd_bus_message* reply = nullptr;
        const Reply r = Method(
            search.bus, search.queued[i], propertiesInterface, "GetAll", bluezCallLimitUs, false,
            &answer,
            [](sd_bus_message* m) { return sd_bus_message_append(m, "s", deviceInterface); },
            &reply);
        BluetoothDeviceFacts device{};
        if (r == Reply::ok && ReadBluezDevice(reply, search.queued[i], &device)) {
            Consider(device);
        }
        sd_bus_message_unref(reply);
    }
    search.queuedCount = 0;
}

void StopDiscovery(sd_bus* bus, const char* adapterPath) {
    Answer ignored{};
    Method(bus, adapterPath, adapterInterface, "StopDiscovery", bluezCallLimitUs, false, &ignored,
           NoArguments);
}

struct Failure {
    PairStep step;
    PairProblem problem;
    char detail[4 * textBytes + 8];
};

void Fail(Failure* failure, PairStep step, const Answer& answer) {
    failure->step = step;
    failure->problem = BluezProblem(answer.name, answer.message);
    if (answer.name[0] != '\0' && failure->problem != PairProblem::refused) {
        snprintf(failure->detail, sizeof(failure->detail), "%s: %s", answer.name, answer.message);
    } else {
        CopyText(failure->detail, sizeof(failure->detail), answer.message);
    }
}

enum class Step : uint8_t { done, searchAgain, failed, stopped };

// Searches until a controller shows up, a stop request, or the time is up.
Step Discover(sd_bus* bus, const char* adapterPath, int searchSeconds, Failure* failure) {
    Answer answer{};
    // BR/EDR only: the controller is no Low Energy device.
    if (Method(bus, adapterPath, adapterInterface, "SetDiscoveryFilter", bluezCallLimitUs, false,
               &answer,
               [](sd_bus_message* m) {
                   return sd_bus_message_append(m, "a{sv}", 1, "Transport", "s", "bredr");
               }) != Reply::ok ||
        Method(bus, adapterPath, adapterInterface, "StartDiscovery", bluezCallLimitUs, false,
               &answer, NoArguments) != Reply::ok) {
        Fail(failure, PairStep::search, answer);
        return Step::failed;
    }
    SaySearching(searchSeconds);
    const uint64_t end = NowUs() + static_cast<uint64_t>(searchSeconds) * 1'000'000;
    int shown = -1;
    while (!search.found) {
        const uint64_t now = NowUs();
        if (stopSignal != 0) {
            return Step::stopped;
        }
        if (now >= end) {
            failure->step = PairStep::search;
            failure->problem = PairProblem::searchTimedOut;
            snprintf(failure->detail, sizeof(failure->detail), "%d s", searchSeconds);
            return Step::failed;
        }
        const int left = static_cast<int>((end - now + 999'999) / 1'000'000);
        if (left != shown) {
            SayCountdown(left);
            shown = left;
        }
        const int r = sd_bus_process(bus, nullptr);
        LookAgain();
        if (r == 0) {
            const uint64_t wait = end - now < pollUs ? end - now : pollUs;
            sd_bus_wait(bus, wait);
        }
    }
    return Step::done;
}

// What to do with a controller BlueZ knows or has just found.
Step Act(sd_bus* bus, const char* adapterPath, const BluetoothDeviceFacts& device,
         FoundAction action, Failure* failure) {
    Answer answer{};
    const char* path = device.path;
    SayFound(device, action);
    if (action == FoundAction::alreadyConnected) {
        return Step::done;
    }
    if (action == FoundAction::removeThenPair) {
        if (Method(bus, adapterPath, adapterInterface, "RemoveDevice", bluezCallLimitUs, false,
                   &answer, [&](sd_bus_message* m) {
                       return sd_bus_message_append(m, "o", path);
                   }) != Reply::ok) {
            Fail(failure, PairStep::remove, answer);
            return Step::failed;
        }
        SayRemoved(device);
        return Step::searchAgain;
    }
    if (action == FoundAction::pair) {
        const Reply paired =
            Method(bus, path, deviceInterface, "Pair", pairLimitUs, true, &answer, NoArguments);
        if (paired == Reply::stopped) {
            Answer ignored{};
            Method(bus, path, deviceInterface, "CancelPairing", bluezCallLimitUs, false, &ignored,
                   NoArguments);
            return Step::stopped;
        }
        if (paired == Reply::error && strcmp(answer.name, "org.bluez.Error.AlreadyExists") != 0) {
            Fail(failure, PairStep::pair, answer);
            return Step::failed;
        }
    }
    // At once: the controller switches itself off about 5 s after pairing
    // unless its input service is connected.
    const Reply connected =
        Method(bus, path, deviceInterface, "Connect", connectLimitUs, true, &answer, NoArguments);
    if (action == FoundAction::pair) {
        SayPaired(device);
    }
    if (connected == Reply::stopped) {
        return Step::stopped;
    }
    if (connected == Reply::error && strcmp(answer.name, "org.bluez.Error.AlreadyConnected") != 0) {
        Fail(failure, PairStep::connect, answer);
        return Step::failed;
    }
    SayConnected(device);
    if (action != FoundAction::connectOnly) {
        if (SetBool(bus, path, deviceInterface, "Trusted", &answer) != Reply::ok) {
            Fail(failure, PairStep::trust, answer);
            return Step::failed;
        }
        SayTrusted(device);
    }
    return Step::done;
}

// The known controllers first: one bonded needs no new pairing, one known
// but not bonded is forgotten so that the search finds it afresh.
Step ActOnKnown(sd_bus* bus, const BluetoothFacts& facts, const char* adapterPath, Failure* failure,
                BluetoothDeviceFacts* done) {
    for (int i = 0; i < facts.deviceCount; ++i) {
        const BluetoothDeviceFacts& device = facts.devices[i];
        FoundAction action = ActionFor(SystemKind::bluezHidraw, device);
        if (!UnderAdapter(device.path) || action == FoundAction::ignore ||
            action == FoundAction::notSupported) {
            continue;
        }
        if (action == FoundAction::pair) {
            // Seen by an earlier search: BlueZ keeps it a while, and a search
            // that finds it again would not announce it.
            action = FoundAction::removeThenPair;
        }
        const Step step = Act(bus, adapterPath, device, action, failure);
        if (step != Step::searchAgain) {
            *done = device;
            return step;
        }
    }
    return Step::searchAgain;
}

PairOutcome Finish(const Failure& failure) {
    SayPairFailure(SystemKind::bluezHidraw, failure.step, failure.problem, failure.detail);
    return PairOutcome::failed;
}

PairOutcome PairOnBus(sd_bus* bus, const BluetoothFacts& facts, int searchSeconds, char* address,
                      size_t size) {
    static Failure failure;
    failure = Failure{};
    if (facts.service == ServiceState::noBus || facts.service == ServiceState::absent) {
        SayPairNoBluez(facts);
        return PairOutcome::failed;
    }
    if (facts.service != ServiceState::reachable) {
        failure.step = PairStep::service;
        failure.problem = PairProblem::other;
        CopyText(failure.detail, sizeof(failure.detail), facts.why);
        return Finish(failure);
    }
    bool powerOn = false;
    const int chosen = ChooseAdapter(facts, &powerOn);
    if (chosen < 0) {
        failure.step = PairStep::adapter;
        failure.problem =
            facts.adapterCount == 0 ? PairProblem::noAdapter : PairProblem::adapterBlocked;
        if (facts.adapterCount > 0) {
            snprintf(failure.detail, sizeof(failure.detail), "%s, by %s", facts.adapters[0].name,
                     facts.adapters[0].hardBlocked == Known::yes ? "a switch" : "rfkill");
        }
        return Finish(failure);
    }
    const AdapterFacts& adapter = facts.adapters[chosen];
    if (powerOn) {
        Answer answer{};
        if (SetBool(bus, adapter.path, adapterInterface, "Powered", &answer) != Reply::ok) {
            Fail(&failure, PairStep::adapter, answer);
            if (failure.problem != PairProblem::refused) {
                failure.problem = PairProblem::adapterRefused;
                snprintf(failure.detail, sizeof(failure.detail), "%s: %s", adapter.name,
                         answer.message);
            }
            return Finish(failure);
        }
    }
    SayAdapter(adapter, powerOn);

    search = Search{};
    search.bus = bus;
    search.adapterPath = adapter.path;
    sd_bus_slot* added = nullptr;
    sd_bus_slot* changed = nullptr;
    sd_bus_match_signal(bus, &added, nullptr, nullptr, "org.freedesktop.DBus.ObjectManager",
                        "InterfacesAdded", OnInterfacesAdded, nullptr);
    sd_bus_match_signal(bus, &changed, nullptr, nullptr, propertiesInterface, "PropertiesChanged",
                        OnPropertiesChanged, nullptr);

    BluetoothDeviceFacts device{};
    Step step = ActOnKnown(bus, facts, adapter.path, &failure, &device);
    while (step == Step::searchAgain) {
        search.found = false;
        step = Discover(bus, adapter.path, searchSeconds, &failure);
        // Discovery slows a pairing and must not outlive the doctor.
        StopDiscovery(bus, adapter.path);
        if (step == Step::done) {
            device = search.device;
            step = Act(bus, adapter.path, device, search.action, &failure);
        }
    }
    sd_bus_slot_unref(added);
    sd_bus_slot_unref(changed);
    if (step == Step::stopped) {
        return PairOutcome::stopped;
    }
    if (step == Step::failed) {
        return Finish(failure);
    }
    CopyText(address, size, device.address);
    return PairOutcome::connected;
}
}  // namespace

PairOutcome PairController(int searchSeconds, char* address, size_t size) {
    InstallStop();
    address[0] = '\0';
    SayPressSync(SystemKind::bluezHidraw, searchSeconds);
    static BluetoothFacts facts;
    facts = BluetoothFacts{};
    sd_bus* bus = OpenBluez(&facts);
    const PairOutcome outcome = PairOnBus(bus, facts, searchSeconds, address, size);
    sd_bus_flush_close_unref(bus);
    return outcome;
}

bool StopRequested() {
    return stopSignal != 0;
}

int StopStatus() {
    return 128 + (stopSignal != 0 ? stopSignal : SIGINT);
}

bool OutputIsTerminal() {
    return isatty(STDOUT_FILENO) == 1;
}
