#include "verdicts.h"

#include <cstdio>
#include <cstring>

#include "report.h"
#include "talk.h"

namespace {
constexpr size_t lineBytes = 768;
constexpr uint8_t batteryLowFlag = 0x01;
constexpr uint8_t extensionFlag = 0x02;

// A problem stands in the way only when nothing else would serve: beside a
// working controller, it is a note.
Mark Blocking(bool blocks) {
    return blocks ? Mark::fail : Mark::note;
}

const char* ModelName(int32_t product) {
    switch (product) {
        case remoteProduct:
            return "RVL-CNT-01";
        case remotePlusProduct:
            return "RVL-CNT-01-TR (Wii Remote Plus)";
        default:
            return "not a Wii Remote";
    }
}

const char* BusName(Bus bus) {
    switch (bus) {
        case Bus::bluetooth:
            return "Bluetooth";
        case Bus::usb:
            return "USB";
        case Bus::other:
            break;
    }
    return "another bus";
}

bool SameAddress(const char* a, const char* b) {
    // "00:1f:32:aa:bb:cc" and "00:1F:32:AA:BB:CC" name the same controller.
    for (;; ++a, ++b) {
        const char ca = (*a >= 'a' && *a <= 'z') ? static_cast<char>(*a - 'a' + 'A') : *a;
        const char cb = (*b >= 'a' && *b <= 'z') ? static_cast<char>(*b - 'a' + 'A') : *b;
        if (ca != cb) {
            return false;
        }
        if (ca == '\0') {
            return true;
        }
    }
}

const NodeFacts* RemoteNode(const KernelFacts& kernel) {
    for (int i = 0; i < kernel.nodeCount; ++i) {
        if (kernel.nodes[i].product == remoteProduct) {
            return &kernel.nodes[i];
        }
    }
    return nullptr;
}

int RemoteNodeCount(const KernelFacts& kernel) {
    int count = 0;
    for (int i = 0; i < kernel.nodeCount; ++i) {
        count += kernel.nodes[i].product == remoteProduct ? 1 : 0;
    }
    return count;
}

const NodeFacts* NodeNamed(const KernelFacts& kernel, const char* node) {
    for (int i = 0; i < kernel.nodeCount; ++i) {
        if (strcmp(kernel.nodes[i].node, node) == 0) {
            return &kernel.nodes[i];
        }
    }
    return nullptr;
}

const BluetoothDeviceFacts* KnownDevice(const BluetoothFacts& bluetooth, const char* address) {
    for (int i = 0; address[0] != '\0' && i < bluetooth.deviceCount; ++i) {
        if (SameAddress(bluetooth.devices[i].address, address)) {
            return &bluetooth.devices[i];
        }
    }
    return nullptr;
}

// The pairing that works with BlueZ: its wiimote plugin answers the PIN
// request with the adapter's address, which only a controller woken by SYNC
// expects, and the controller switches itself off unless its input service is
// connected at once. --pair does it all in time; the steps by hand stay as
// the fallback.
void BluezPairingSteps(const char* address) {
    const bool known = address != nullptr && address[0] != '\0';
    const char* shown = known ? address : "<address>";
    FixText("pair it with the red SYNC button under the battery cover (holding 1 and 2 is");
    FixText("not enough): press SYNC, and while its LEDs blink, run");
    FixCommand("quivertap-doctor --pair");
    FixText("which pairs, connects and trusts it in one go. Or by hand: press SYNC, scan, and");
    FixText("press SYNC again right before pair (BlueZ keeps a found device for 30 s after a");
    FixText("scan); connect at once (else it switches itself off about 5 s later), then trust it:");
    if (known) {
        FixCommand("bluetoothctl remove %s", address);
    }
    FixCommand("bluetoothctl --timeout 15 scan on");
    FixCommand("bluetoothctl pair %s", shown);
    FixCommand("bluetoothctl connect %s", shown);
    FixCommand("bluetoothctl trust %s", shown);
    if (!known) {
        FixText("<address> is the one the scan shows for \"Nintendo RVL-CNT-01\".");
    }
    FixText("From then on a button press connects it again.");
}

// Windows pairs it with the radio's address as a binary PIN, which --pair
// gives; by hand, the old Add a device window with an empty PIN is the
// fallback.
void WindowsPairingSteps(bool remembered) {
    FixText(remembered ? "remove it and pair it again: press the red SYNC button under the battery"
                       : "pair it: press the red SYNC button under the battery");
    FixText("cover, and while its LEDs blink, run");
    FixCommand("quivertap-doctor.exe --pair");
    FixText(remembered ? "Or by hand, in Devices and Printers: remove it there first, then"
                       : "Or by hand, in Devices and Printers:");
    FixCommand("control printers");
    FixText("Add a device; press the red SYNC button under the battery cover; pick");
    FixText("\"Nintendo RVL-CNT-01\"; leave the PIN empty and choose Next.");
}

void PairingSteps(SystemKind system, const char* address) {
    if (system == SystemKind::windows) {
        WindowsPairingSteps(address != nullptr && address[0] != '\0');
    } else {
        BluezPairingSteps(address);
    }
}

const char* StackName(SystemKind system) {
    return system == SystemKind::windows ? "Windows" : "BlueZ";
}

// The -TR takes and sends the same reports; Quivertap leaves it out by its
// design, which takes product 0306 alone.
void WrongModelFix() {
    FixText("use an original Wii Remote, RVL-CNT-01 (the label under the battery cover says");
    FixText("RVL-CNT-01, not RVL-CNT-01-TR): Quivertap drives only that model, product 0306,");
    FixText("by its design; the Wii Remote Plus (product 0330) is not among the ones it takes.");
}

void JudgeAdapter(const AdapterFacts& adapter, bool blocks) {
    const char* address = adapter.address[0] != '\0' ? adapter.address : "no address given";
    if (adapter.hardBlocked == Known::yes) {
        Line(Blocking(blocks), "Adapter %s (%s): blocked by a switch", adapter.name, address);
        FixText("switch Bluetooth on with the machine's switch or key for it.");
    } else if (adapter.softBlocked == Known::yes) {
        Line(Blocking(blocks), "Adapter %s (%s): blocked by rfkill", adapter.name, address);
        FixText("unblock it and switch it on:");
        FixCommand("sudo apt install rfkill     # where rfkill is not installed");
        FixCommand("sudo rfkill unblock bluetooth");
        FixCommand("bluetoothctl power on");
    } else if (adapter.powered == Known::no) {
        Line(Blocking(blocks), "Adapter %s (%s): powered off", adapter.name, address);
        FixText("switch it on:");
        FixCommand("bluetoothctl power on");
    } else if (adapter.powered == Known::yes) {
        Line(Mark::ok, "Adapter %s (%s): powered%s", adapter.name, address,
             adapter.softBlocked == Known::no ? ", not blocked" : "");
    } else {
        Line(Mark::note, "Adapter %s (%s): BlueZ does not say whether it is powered", adapter.name,
             address);
    }
}

bool AdapterUsable(const AdapterFacts& adapter) {
    return adapter.powered != Known::no && adapter.softBlocked != Known::yes &&
           adapter.hardBlocked != Known::yes;
}

// "paired, bonded, trusted, not connected": each property BlueZ gave.
void DescribeDevice(const BluetoothDeviceFacts& device, char* text, size_t size) {
    const struct {
        Known value;
        const char* name;
    } states[] = {{device.paired, "paired"},       {device.bonded, "bonded"},
                  {device.trusted, "trusted"},     {device.remembered, "remembered"},
                  {device.connected, "connected"}, {device.authenticated, "authenticated"}};
    size_t used = static_cast<size_t>(snprintf(text, size, "%s", ModelName(device.product)));
    for (const auto& state : states) {
        if (state.value != Known::unknown && used < size) {
            used +=
                static_cast<size_t>(snprintf(text + used, size - used, ", %s%s",
                                             state.value == Known::yes ? "" : "not ", state.name));
        }
    }
}

void JudgeBluezRemote(const BluetoothDeviceFacts& device, const char* description, bool blocks) {
    const char* name = device.name[0] != '\0' ? device.name : "Nintendo device";
    const Mark mark = Blocking(blocks);
    if (device.paired == Known::no || device.bonded == Known::no) {
        Line(mark, "%s (%s): %s", name, device.address, description);
        FixText("BlueZ accepts this controller only once it has paired and bonded with it:");
        BluezPairingSteps(device.address);
    } else if (device.trusted == Known::no) {
        Line(mark, "%s (%s): %s: a button press reconnects it only where a desktop agent asks",
             name, device.address, description);
        FixText("trust it, so that BlueZ takes its reconnection without asking; then press a");
        FixText("button on the controller:");
        FixCommand("bluetoothctl trust %s", device.address);
    } else if (device.connected == Known::no) {
        Line(mark, "%s (%s): %s", name, device.address, description);
        FixText("press a button on the controller: a trusted controller connects again by");
        FixText("itself (the host never calls it). If its LEDs blink and go out instead,");
        BluezPairingSteps(device.address);
    } else {
        Line(Mark::ok, "%s (%s): %s", name, device.address, description);
    }
}

// Windows keeps a controller it paired with (remembered) and says whether it
// is connected now; a controller that connected without pairing is forgotten
// once it drops out.
void JudgeWindowsRemote(const BluetoothDeviceFacts& device, const char* description, bool blocks) {
    const char* name = device.name[0] != '\0' ? device.name : "Nintendo device";
    const Mark mark = Blocking(blocks);
    if (device.connected == Known::yes) {
        Line(device.remembered == Known::no ? Mark::note : Mark::ok, "%s (%s): %s%s", name,
             device.address, description,
             device.remembered == Known::no ? ": pair it, or it is forgotten once it drops out"
                                            : "");
    } else if (device.remembered == Known::yes) {
        Line(mark, "%s (%s): %s", name, device.address, description);
        FixText("press a button on the controller to wake it. If it does not connect within");
        FixText("a few seconds,");
        WindowsPairingSteps(true);
    } else {
        Line(mark, "%s (%s): %s", name, device.address, description);
        FixText("Windows has seen this controller but not paired with it:");
        WindowsPairingSteps(false);
    }
}

void JudgeDevices(const DoctorFacts& facts, bool remoteElsewhere) {
    const BluetoothFacts& bluetooth = facts.bluetooth;
    if (bluetooth.deviceCount == 0) {
        Line(Blocking(!remoteElsewhere), "Controller: %s knows no Wii Remote",
             StackName(facts.system));
        FixText(facts.system == SystemKind::windows ? "Windows must pair with the controller first:"
                                                    : "BlueZ must pair with the controller first:");
        PairingSteps(facts.system, nullptr);
        return;
    }
    for (int i = 0; i < bluetooth.deviceCount; ++i) {
        const BluetoothDeviceFacts& device = bluetooth.devices[i];
        char description[lineBytes];
        DescribeDevice(device, description, sizeof(description));
        const char* name = device.name[0] != '\0' ? device.name : "Nintendo device";
        if (device.product == remoteProduct && facts.system == SystemKind::windows) {
            JudgeWindowsRemote(device, description, !remoteElsewhere);
        } else if (device.product == remoteProduct) {
            JudgeBluezRemote(device, description, !remoteElsewhere);
        } else if (device.product == remotePlusProduct) {
            Line(Blocking(!remoteElsewhere), "%s (%s): %s, which Quivertap does not drive", name,
                 device.address, description);
            WrongModelFix();
        } else {
            Line(Mark::note, "%s (%s): %s", name, device.address, description);
        }
    }
}
}  // namespace

void SayBluezMissing(Mark mark, const char* topic, const BluetoothFacts& bluetooth) {
    if (bluetooth.service == ServiceState::noBus) {
        Line(mark, "%s: no system bus (D-Bus) to ask BlueZ on (%s)", topic, bluetooth.why);
        if (bluetooth.installed == Known::no) {
            Detail("and BlueZ is not installed: no bluetoothd on disk");
        }
    } else if (bluetooth.installed == Known::yes) {
        Line(mark, "%s: BlueZ is installed but not running (%s)", topic, bluetooth.why);
    } else {
        Line(mark, "%s: BlueZ is not installed: no bluetoothd on disk", topic);
    }
}

// bluetooth.service starts only where /sys/class/bluetooth is, which an
// adapter makes.
void StartBluezCommands(const BluetoothFacts& bluetooth) {
    if (bluetooth.installed == Known::no) {
        FixCommand("sudo apt install bluez");
    }
    if (bluetooth.service == ServiceState::noBus) {
        FixCommand("sudo systemctl start dbus        # the system bus BlueZ answers on");
    }
    FixCommand("sudo systemctl start bluetooth   # it starts once an adapter is there");
}

void RfkillListCommands() {
    FixCommand("sudo apt install rfkill     # where rfkill is not installed");
    FixCommand("sudo rfkill list bluetooth");
}

void JudgeBluetooth(const DoctorFacts& facts) {
    const BluetoothFacts& bluetooth = facts.bluetooth;
    const bool remoteNode = RemoteNode(facts.kernel) != nullptr;
    switch (bluetooth.service) {
        case ServiceState::noBus:
            SayBluezMissing(Mark::note, "Bluetooth", bluetooth);
            Detail("a controller on a USB adapter needs neither");
            return;
        case ServiceState::absent:
            if (facts.system == SystemKind::windows) {
                Line(Mark::note, "Bluetooth: %s", bluetooth.why);
            } else {
                SayBluezMissing(Mark::note, "Bluetooth", bluetooth);
            }
            Detail("a controller on a USB adapter needs none");
            return;
        case ServiceState::timedOut:
            Line(Mark::note, "Bluetooth: BlueZ did not answer (%s)", bluetooth.why);
            return;
        case ServiceState::failed:
            Line(Mark::note, "Bluetooth: %s answered with an error (%s)", StackName(facts.system),
                 bluetooth.why);
            return;
        case ServiceState::skipped:
            Line(Mark::skip, "Bluetooth: %s", bluetooth.why);
            return;
        case ServiceState::reachable:
            break;
    }
    if (facts.system == SystemKind::windows) {
        Line(Mark::ok, "Bluetooth: Windows lists the devices it knows");
        JudgeDevices(facts, remoteNode);
        return;
    }
    Line(Mark::ok, "Bluetooth: BlueZ answers on the system bus");
    if (bluetooth.oddity[0] != '\0') {
        Line(Mark::note, "Bluetooth: BlueZ's answer was odd: %s", bluetooth.oddity);
    }
    if (bluetooth.adapterCount == 0) {
        Line(Blocking(!remoteNode), "Bluetooth: BlueZ has no adapter");
        FixText("plug in a Bluetooth adapter, or switch Bluetooth on; then see what blocks it:");
        RfkillListCommands();
        return;
    }
    bool anyUsable = false;
    for (int i = 0; i < bluetooth.adapterCount; ++i) {
        anyUsable = anyUsable || AdapterUsable(bluetooth.adapters[i]);
    }
    for (int i = 0; i < bluetooth.adapterCount; ++i) {
        JudgeAdapter(bluetooth.adapters[i], !anyUsable && !remoteNode);
    }
    JudgeDevices(facts, remoteNode);
}

namespace {
// One line per HID node of Nintendo's: what it is, where, and who has it.
void JudgeNode(const DoctorFacts& facts, const NodeFacts& node, bool remote) {
    const char* address = node.address[0] != '\0' ? node.address : "no address";
    const Mark mark = node.product == remoteProduct       ? Mark::ok
                      : node.product == remotePlusProduct ? Blocking(!remote)
                                                          : Mark::note;
    char driver[textBytes + 16] = "";
    if (node.driver[0] != '\0') {
        snprintf(driver, sizeof(driver), ", driver %s", node.driver);
    } else if (facts.system == SystemKind::bluezHidraw) {
        snprintf(driver, sizeof(driver), ", no driver");
    }
    Line(mark, "%s: %s on %s, \"%s\", %s%s%s", node.node, ModelName(node.product),
         BusName(node.bus), node.name, address, driver,
         node.product == remotePlusProduct ? ": Quivertap does not drive it" : "");
    if (node.product == remotePlusProduct) {
        WrongModelFix();
    }
    if (node.opens == Known::no) {
        Detail("it does not open for reading and writing: %s", node.openError);
    }
    if (node.product == remoteProduct && facts.bluetooth.service == ServiceState::reachable &&
        facts.system == SystemKind::bluezHidraw && node.bus == Bus::bluetooth &&
        KnownDevice(facts.bluetooth, node.address) == nullptr) {
        Detail("BlueZ does not list this address");
    }
    if (node.product == remoteProduct && strcmp(node.driver, "wiimote") == 0) {
        Line(Mark::note, "%s: the kernel's wiimote driver shares the controller; Quivertap",
             node.node);
        Detail("works beside it");
    }
}
}  // namespace

void JudgeKernel(const DoctorFacts& facts) {
    const KernelFacts& kernel = facts.kernel;
    const bool windows = facts.system == SystemKind::windows;
    const char* check = windows ? "HID" : "Kernel";
    const bool remote = RemoteNode(kernel) != nullptr;
    if (!kernel.listed) {
        Line(Mark::fail, "%s: no list of HID devices to read", check);
        FixText(windows ? "run the doctor again; if it says so again, restart Windows."
                        : "use a kernel with hidraw (CONFIG_HIDRAW), as every distribution's has.");
        return;
    }
    for (int i = 0; i < kernel.nodeCount; ++i) {
        JudgeNode(facts, kernel.nodes[i], remote);
    }
    if (remote) {
        return;
    }
    Line(Mark::fail, "%s: no RVL-CNT-01 among the HID devices", check);
    const ServiceState service = facts.bluetooth.service;
    if (!windows && (service == ServiceState::noBus || service == ServiceState::absent)) {
        FixText("attach the controller through a USB adapter, or get BlueZ running:");
        StartBluezCommands(facts.bluetooth);
        FixText("and then");
    } else {
        FixText("connect the controller; on Bluetooth,");
    }
    PairingSteps(facts.system, nullptr);
}

void JudgeAccess(const DoctorFacts& facts) {
    const AccessFacts& access = facts.access;
    if (!access.checked) {
        Line(Mark::skip, "Access: no controller to open");
        return;
    }
    if (access.opened) {
        Line(Mark::ok, "Access: %s opens for reading and writing", access.node);
        return;
    }
    if (access.vanished) {
        Line(Mark::fail, "Access: %s went away while the checks ran (%s)", access.node,
             access.error);
        FixText("connect the controller again, then run the doctor again.");
        return;
    }
    Line(Mark::fail, "Access: %s does not open for reading and writing (%s)", access.node,
         access.error);
    if (facts.system == SystemKind::windows) {
        FixText("close the programs that use the controller: one that holds it without");
        FixText("sharing keeps every other out. Then run the doctor again.");
        return;
    }
    Detail("owner %s, group %s, mode %04o", access.owner, access.group, access.mode);
    Detail(access.aclNamesUser == Known::yes  ? "an access-list entry names %s"
           : access.aclNamesUser == Known::no ? "no access-list entry names %s"
                                              : "the access list cannot be read for %s",
           access.user);
    if (access.ruleInstalled == Known::yes) {
        Detail("the Quivertap udev rule is installed: %s", access.ruleFile);
    } else {
        Detail("no Quivertap udev rule is installed");
    }
    Detail(access.atActiveSeat == Known::yes  ? "%s is at the machine's active seat"
           : access.atActiveSeat == Known::no ? "%s is not at the machine's active seat (an SSH "
                                                "login, say)"
                                              : "whether %s is at the machine's seat is unknown",
           access.user);
    // Both rules go in place first: the commands that apply them come after,
    // and the group rule serves only once its user has logged in again.
    if (access.ruleInstalled != Known::yes) {
        FixText("install the Quivertap package, whose udev rule lets the user at the machine");
        FixText("open the controller; or, from a clone, put the rule in place:");
        FixCommand("sudo cp packaging/70-quivertap.rules /etc/udev/rules.d/");
        FixText("That rule serves the user at the machine only. For SSH logins, a group rule:");
    } else {
        FixText("the rule serves the user at the machine only. For SSH logins, a group rule:");
    }
    FixCommand(
        "echo 'KERNEL==\"hidraw*\", KERNELS==\"*057E:0306*\", GROUP=\"plugdev\", "
        "MODE=\"0660\"' | sudo tee /etc/udev/rules.d/71-quivertap-group.rules");
    FixText("Then apply the rules to the controller that is connected now:");
    FixCommand("sudo udevadm control --reload-rules");
    FixCommand("sudo udevadm trigger --subsystem-match=hidraw --action=change");
    FixText("and, for SSH logins, join the group and log in again:");
    FixCommand("sudo usermod -aG plugdev %s", access.user);
}

void JudgeHolders(const DoctorFacts& facts) {
    const HolderFacts& holders = facts.holders;
    if (!holders.checked) {
        Line(Mark::skip, "Other programs: %s", holders.why);
        return;
    }
    char unseen[lineBytes] = "";
    if (holders.unseen > 0) {
        snprintf(unseen, sizeof(unseen), "; %d process%s of other users cannot be looked at",
                 holders.unseen, holders.unseen == 1 ? "" : "es");
    }
    if (holders.count == 0) {
        Line(Mark::ok, "Other programs: none holds %s open%s", facts.access.node, unseen);
        return;
    }
    char names[lineBytes] = "";
    size_t used = 0;
    for (int i = 0; i < holders.count && used < sizeof(names); ++i) {
        used += static_cast<size_t>(snprintf(names + used, sizeof(names) - used, "%s%s (pid %d)",
                                             i == 0 ? "" : ", ", holders.holders[i].name,
                                             holders.holders[i].pid));
    }
    Line(Mark::note, "Other programs: %s %s %s open%s", names,
         holders.count == 1 ? "holds" : "hold", facts.access.node, unseen);
    Detail("what they send reaches the controller too: close them if the LEDs or motor act oddly");
}

void JudgeTalk(const DoctorFacts& facts) {
    const TalkFacts& talk = facts.talk;
    if (!talk.tried) {
        Line(Mark::skip, "Talking to it: no controller to talk to");
        return;
    }
    if (!talk.opened) {
        Line(Mark::fail, "Talking to it: Quivertap's library opens no RVL-CNT-01");
        FixText("connect the controller again, then run the doctor again.");
        return;
    }
    const int controllers = RemoteNodeCount(facts.kernel);
    if (controllers > 1) {
        Line(Mark::note, "Talking to it: of %d controllers, Quivertap takes %s", controllers,
             talk.node[0] != '\0' ? talk.node : "the first it can open");
    }
    if (!talk.motionSeen) {
        Line(Mark::fail, "Motion report: none within %d ms of asking for one", answerLimitMs);
        FixText("wake the controller: press a button on it. If it stays dark, put in fresh");
        FixText("batteries; if its LEDs blink and go out, it is not connected:");
        PairingSteps(facts.system, nullptr);
    } else if (talk.motionMs > probeWindowMs) {
        Line(Mark::fail,
             "Motion report: first after %.1f ms, %.1f ms past Quivertap's %.0f ms window",
             talk.motionMs, talk.motionMs - probeWindowMs, probeWindowMs);
        Detail("Quivertap would say \"Wii-Remote cannot open.\"");
        FixText("bring the controller nearer the adapter, close other programs that use it, and");
        FixText("run the doctor again.");
    } else {
        Line(Mark::ok,
             "Motion report: first after %.1f ms, %.1f ms inside Quivertap's %.0f ms window",
             talk.motionMs, probeWindowMs - talk.motionMs, probeWindowMs);
    }
    if (talk.writeWay[0] != '\0') {
        Line(Mark::ok, "Output reports: go by %s", talk.writeWay);
    }
    if (!talk.statusSeen) {
        Line(Mark::note, "Status: no status report within %d ms of asking", answerLimitMs);
        return;
    }
    const bool low = (talk.statusFlags & batteryLowFlag) != 0;
    Line(low ? Mark::note : Mark::ok, "Status: battery %d %% (0x%02X)%s, %s",
         talk.battery * 100 / 255, talk.battery, low ? ", nearly empty" : "",
         (talk.statusFlags & extensionFlag) != 0 ? "an extension is plugged in"
                                                 : "no extension plugged in");
}

bool Conclude(const DoctorFacts& facts) {
    const TalkFacts& talk = facts.talk;
    const bool usable = talk.opened && talk.motionSeen && talk.motionMs <= probeWindowMs;
    char text[lineBytes];
    if (usable) {
        const char* nodeName = talk.node[0] != '\0' ? talk.node : facts.access.node;
        const NodeFacts* node = NodeNamed(facts.kernel, nodeName);
        const char* name = node != nullptr && node->name[0] != '\0' ? node->name : "RVL-CNT-01";
        const char* address =
            node != nullptr && node->address[0] != '\0' ? node->address : "no address";
        snprintf(text, sizeof(text), "Quivertap will find and use %s, %s, %s.", name, address,
                 nodeName);
    } else if (AnyFailure()) {
        snprintf(text, sizeof(text), "Quivertap will not find and use a controller: %s.",
                 FirstFailure());
    } else {
        snprintf(text, sizeof(text), "Quivertap will not find and use a controller.");
    }
    Conclusion(usable, text);
    return usable;
}
