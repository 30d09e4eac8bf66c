"""quivertap-doctor's Bluetooth lines and first fix, one row per state BlueZ
can be in, and its pairing (--pair), one row per way a pairing goes, against
python3-dbusmock's bluez5 template on a private system bus. The doctor is the
unchanged built program; no controller node exists here, so each run ends
with status 1 (130 when stopped)."""
import os
import pty
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

import dbus
import dbusmock

DOCTOR = os.environ["QUIVERTAP_DOCTOR"]
REMOTE = "00:1F:32:AA:BB:CC"
PLUS = "00:1F:32:AA:BB:DD"
ADAPTER = "hci0 (00:01:02:03:04:05)"
MARKS = ("ok  ", "FAIL", "note", "skip")
BLUETOOTH_TOPICS = ("Bluetooth:", "Adapter ", "Controller:", "Nintendo ")
# Where Debian's bluez puts its daemon: the doctor tells "not installed" from
# "not running" by it, so the rows without BlueZ follow this machine.
BLUEZ_INSTALLED = any(os.access(daemon, os.X_OK) for daemon in
                      ("/usr/libexec/bluetooth/bluetoothd", "/usr/sbin/bluetoothd"))
NO_SERVICE = "The name org.bluez was not provided by any .service files"
START_BLUEZ = (["Fix: attach the controller through a USB adapter, or get BlueZ running:"] +
               ([] if BLUEZ_INSTALLED else ["sudo apt install bluez"]))
START_BLUETOOTH = "sudo systemctl start bluetooth   # it starts once an adapter is there"
NO_BUS = "unix:path=/nonexistent/quivertap-no-bus"

# Device properties: (address, name, modalias, paired, bonded, trusted, connected)
ROWS = [
    ("no service", None, [],
     [f"note  Bluetooth: BlueZ is installed but not running ({NO_SERVICE})" if BLUEZ_INSTALLED
      else "note  Bluetooth: BlueZ is not installed: no bluetoothd on disk"],
     START_BLUEZ + [START_BLUETOOTH]),
    # No bus at the address the doctor is given: the bus is named, and
    # started before BlueZ.
    ("no system bus", "no bus", [],
     ["note  Bluetooth: no system bus (D-Bus) to ask BlueZ on (No such file or directory)"],
     START_BLUEZ + ["sudo systemctl start dbus        # the system bus BlueZ answers on",
                    START_BLUETOOTH]),
    ("no adapter", "none", [],
     ["ok    Bluetooth: BlueZ answers on the system bus",
      "FAIL  Bluetooth: BlueZ has no adapter"],
     ["Fix: plug in a Bluetooth adapter, or switch Bluetooth on; then see what blocks it:",
      "sudo apt install rfkill     # where rfkill is not installed",
      "sudo rfkill list bluetooth"]),
    ("adapter off", "off", [],
     ["ok    Bluetooth: BlueZ answers on the system bus",
      f"FAIL  Adapter {ADAPTER}: powered off",
      "FAIL  Controller: BlueZ knows no Wii Remote"],
     ["Fix: switch it on:", "bluetoothctl power on"]),
    ("controller unknown", "on", [],
     ["ok    Bluetooth: BlueZ answers on the system bus",
      f"ok    Adapter {ADAPTER}: powered",
      "FAIL  Controller: BlueZ knows no Wii Remote"],
     ["Fix: BlueZ must pair with the controller first:",
      "pair it with the red SYNC button under the battery cover (holding 1 and 2 is",
      "not enough): press SYNC, and while its LEDs blink, run", "quivertap-doctor --pair",
      "which pairs, connects and trusts it in one go. Or by hand: press SYNC, scan, and",
      "press SYNC again right before pair (BlueZ keeps a found device for 30 s after a",
      "scan); connect at once (else it switches itself off about 5 s later), then trust it:",
      "bluetoothctl --timeout 15 scan on", "bluetoothctl pair <address>",
      "bluetoothctl connect <address>", "bluetoothctl trust <address>",
      "<address> is the one the scan shows for \"Nintendo RVL-CNT-01\".",
      "From then on a button press connects it again."]),
    ("paired, not trusted", "on",
     [(REMOTE, "Nintendo RVL-CNT-01", "usb:v057Ep0306d0600", True, True, False, False)],
     ["ok    Bluetooth: BlueZ answers on the system bus",
      f"ok    Adapter {ADAPTER}: powered",
      f"FAIL  Nintendo RVL-CNT-01 ({REMOTE}): RVL-CNT-01, paired, bonded, not trusted, "
      "not connected: a button press reconnects it only where a desktop agent asks"],
     ["Fix: trust it, so that BlueZ takes its reconnection without asking; then press a",
      "button on the controller:", f"bluetoothctl trust {REMOTE}"]),
    ("trusted, not connected", "on",
     [(REMOTE, "Nintendo RVL-CNT-01", "usb:v057Ep0306d0600", True, True, True, False)],
     ["ok    Bluetooth: BlueZ answers on the system bus",
      f"ok    Adapter {ADAPTER}: powered",
      f"FAIL  Nintendo RVL-CNT-01 ({REMOTE}): RVL-CNT-01, paired, bonded, trusted, "
      "not connected"],
     ["Fix: press a button on the controller: a trusted controller connects again by",
      "itself (the host never calls it). If its LEDs blink and go out instead,",
      "pair it with the red SYNC button under the battery cover (holding 1 and 2 is",
      "not enough): press SYNC, and while its LEDs blink, run", "quivertap-doctor --pair",
      "which pairs, connects and trusts it in one go. Or by hand: press SYNC, scan, and",
      "press SYNC again right before pair (BlueZ keeps a found device for 30 s after a",
      "scan); connect at once (else it switches itself off about 5 s later), then trust it:",
      f"bluetoothctl remove {REMOTE}", "bluetoothctl --timeout 15 scan on",
      f"bluetoothctl pair {REMOTE}", f"bluetoothctl connect {REMOTE}",
      f"bluetoothctl trust {REMOTE}", "From then on a button press connects it again."]),
    # Known by its name alone (no ids), as BlueZ shows a device before its
    # ids are read.
    ("a -TR", "on",
     [(PLUS, "Nintendo RVL-CNT-01-TR", "", True, True, True, True)],
     ["ok    Bluetooth: BlueZ answers on the system bus",
      f"ok    Adapter {ADAPTER}: powered",
      f"FAIL  Nintendo RVL-CNT-01-TR ({PLUS}): RVL-CNT-01-TR (Wii Remote Plus), paired, "
      "bonded, trusted, connected, which Quivertap does not drive"],
     ["Fix: use an original Wii Remote, RVL-CNT-01 (the label under the battery cover says",
      "RVL-CNT-01, not RVL-CNT-01-TR): Quivertap drives only that model, product 0306,",
      "by its design; the Wii Remote Plus (product 0330) is not among the ones it takes."]),
    # A property of the wrong type is noted and not trusted.
    ("an odd reply", "on",
     [(REMOTE, "Nintendo RVL-CNT-01", "usb:v057Ep0306d0600", "yes", True, True, True)],
     ["ok    Bluetooth: BlueZ answers on the system bus",
      f"note  Bluetooth: BlueZ's answer was odd: property Paired has type s "
      f"(/org/bluez/hci0/dev_{REMOTE.replace(':', '_')})",
      f"ok    Adapter {ADAPTER}: powered",
      f"ok    Nintendo RVL-CNT-01 ({REMOTE}): RVL-CNT-01, bonded, trusted, connected"],
     ["Fix: connect the controller; on Bluetooth,"]),
    # A BlueZ that takes 10 s to answer: the doctor waits 2 s and goes on.
    ("BlueZ answering slowly", "slow", [],
     ["note  Bluetooth: BlueZ did not answer (no answer within 2 s)"],
     ["Fix: connect the controller; on Bluetooth,"]),
]

# Pairing rows: (name, devices known before, what the controller does during
# the search, extra arguments, expected status, lines that must be there,
# the calls BlueZ must see, in order).
# "appears": it shows up nameless and its name follows, as a real search
# often sees it; "refuses": the same, with Pair failing as after 1 and 2.
PAIRED_CALLS = ["SetDiscoveryFilter", "StartDiscovery", "StopDiscovery", "Pair", "Connect",
                "Set Trusted"]
PAIR_ROWS = [
    ("found during the search", [], "appears", [], 1,
     ["ok    Pairing: adapter hci0 (00:01:02:03:04:05) is on",
      "note  Pairing: searching for \"Nintendo RVL-CNT-01\" for 10 s",
      f"ok    Pairing: found Nintendo RVL-CNT-01 ({REMOTE})",
      f"ok    Pairing: paired with {REMOTE}", f"ok    Pairing: connected {REMOTE}",
      f"ok    Pairing: trusted {REMOTE}: from now on a button press connects it again",
      "note  Pairing: no HID node for it within 5 s of connecting"],
     PAIRED_CALLS),
    ("the PIN refused", [], "refuses", [], 1,
     ["FAIL  Pairing: the controller refused the PIN while pairing "
      "(org.bluez.Error.AuthenticationFailed: Authentication Failed)",
      "      Fix: it was woken with 1 and 2, or SYNC's 20 s ran out. Then",
      "          ps -o args= -C bluetoothd",
      "Quivertap will not find and use a controller: Pairing: the controller refused the PIN "
      "while pairing (org.bluez.Error.AuthenticationFailed: Authentication Failed)."],
     ["SetDiscoveryFilter", "StartDiscovery", "StopDiscovery", "Pair"]),
    ("only a -TR", [], "tr", ["--timeout", "2"], 1,
     [f"note  Pairing: Nintendo RVL-CNT-01-TR ({PLUS}) is a Wii Remote Plus, which Quivertap "
      "does not drive; still searching",
      "FAIL  Pairing: no Wii Remote RVL-CNT-01 answered within 2 s"],
     ["SetDiscoveryFilter", "StartDiscovery", "StopDiscovery"]),
    ("paired, bonded and trusted",
     [(REMOTE, "Nintendo RVL-CNT-01", "usb:v057Ep0306d0600", True, True, True, False)], None, [], 1,
     [f"ok    Pairing: found Nintendo RVL-CNT-01 ({REMOTE}): already paired, bonded and trusted; "
      "connecting it only, no new pairing", f"ok    Pairing: connected {REMOTE}"],
     ["Connect"]),
    ("known, not bonded",
     [(REMOTE, "Nintendo RVL-CNT-01", "usb:v057Ep0306d0600", False, False, False, False)],
     "appears", [], 1,
     [f"ok    Pairing: forgot {REMOTE}; searching for it again",
      f"ok    Pairing: paired with {REMOTE}"],
     ["RemoveDevice"] + PAIRED_CALLS),
    # No bus at all: told apart as the checks tell it, the same fix, nothing called.
    ("no system bus", [], "no bus", ["--timeout", "2"], 1,
     ["FAIL  Pairing: no system bus (D-Bus) to ask BlueZ on (No such file or directory)",
      "          sudo systemctl start dbus        # the system bus BlueZ answers on"],
     []),
    ("Ctrl-C while searching", [], "sigint", ["--timeout", "20"], 130,
     ["note  Pairing: stopped; the search and any pairing under way were cancelled"],
     ["SetDiscoveryFilter", "StartDiscovery", "StopDiscovery"]),
]
WATCHED_CALLS = ("SetDiscoveryFilter", "StartDiscovery", "StopDiscovery", "Pair", "CancelPairing",
                 "Connect", "RemoveDevice", "Set")


def read(path):
    with open(path, encoding="utf-8") as text:
        return text.read()


def calls_in(log):
    """The watched calls in the mock's log, in order; Set as "Set <property>"."""
    calls = []
    for line in log.splitlines():
        words = line.split()
        if len(words) < 2 or words[1] not in WATCHED_CALLS or "raised:" in words:
            continue
        calls.append(f"Set {words[3].split('.')[-1]}" if words[1] == "Set" else words[1])
    return calls


def bluetooth_lines(out):
    return [line for line in out.splitlines()
            if line.startswith(MARKS) and line[6:].startswith(BLUETOOTH_TOPICS)]


def first_fix(out):
    """The fix block: its lines, stripped, from "Fix:" to the next check."""
    lines = out.splitlines()
    start = next(i for i, line in enumerate(lines) if line.strip().startswith("Fix:"))
    block = []
    for line in lines[start:]:
        if line.startswith(MARKS) or not line.startswith(" "):
            break
        block.append(line.strip())
    return block


class BluezStates(dbusmock.DBusTestCase):
    @classmethod
    def setUpClass(cls):
        cls.start_system_bus()
        cls.bus = cls.get_dbus(system_bus=True)

    @classmethod
    def tearDownClass(cls):
        # dbusmock 0.28 forgets its data folder before it would remove it.
        datadir = dbusmock.DBusTestCase._DBusTestCase__datadir
        super().tearDownClass()
        if datadir:
            shutil.rmtree(datadir, ignore_errors=True)

    def run_doctor(self, adapter=None):
        env = dict(os.environ)
        env.pop("NO_COLOR", None)
        if adapter == "no bus":
            env["DBUS_SYSTEM_BUS_ADDRESS"] = NO_BUS
        return subprocess.run([DOCTOR], capture_output=True, text=True, timeout=20, env=env,
                              stdin=subprocess.DEVNULL)

    def serve(self, adapter, devices, log=subprocess.DEVNULL):
        if adapter == "slow":
            server = self.spawn_server("org.bluez", "/", "org.freedesktop.DBus.ObjectManager",
                                       system_bus=True, stdout=subprocess.DEVNULL)
            self.addCleanup(server.wait)
            self.addCleanup(server.kill)
            manager = self.bus.get_object("org.bluez", "/")
            dbus.Interface(manager, dbusmock.MOCK_IFACE).AddMethod(
                "", "GetManagedObjects", "", "a{oa{sa{sv}}}", "import time; time.sleep(10); ret = {}")
            return
        server = self.spawn_server_template("bluez5", {}, stdout=log)[0]
        self.addCleanup(server.wait)
        self.addCleanup(server.terminate)
        mock = dbus.Interface(self.bus.get_object("org.bluez", "/"), "org.bluez.Mock")
        if adapter == "none":
            return
        mock.AddAdapter("hci0", "quivertap-test")
        if adapter == "off":
            self.update("/org/bluez/hci0", "org.bluez.Adapter1", {"Powered": False})
        for address, name, modalias, paired, bonded, trusted, connected in devices:
            path = mock.AddDevice("hci0", address, name)
            device = self.bus.get_object("org.bluez", path)
            dbus.Interface(device, dbusmock.MOCK_IFACE).AddProperty(
                "org.bluez.Device1", "Bonded", dbus.Boolean(bonded))
            paired_value = dbus.Boolean(paired) if isinstance(paired, bool) else dbus.String(paired)
            self.update(path, "org.bluez.Device1",
                        {"Modalias": modalias, "Paired": paired_value,
                         "Trusted": dbus.Boolean(trusted), "Connected": dbus.Boolean(connected)})

    def play(self, doctor, log, behaviour):
        """Once the search runs, the controller does what the row says."""
        deadline = time.monotonic() + 10
        while "StartDiscovery" not in read(log.name):
            self.assertIsNone(doctor.poll(), "the doctor ended before searching")
            self.assertLess(time.monotonic(), deadline, "no search within 10 s")
            time.sleep(0.05)
        mock = dbus.Interface(self.bus.get_object("org.bluez", "/"), "org.bluez.Mock")
        if behaviour == "sigint":
            doctor.send_signal(signal.SIGINT)
            return
        if behaviour == "tr":
            mock.AddDevice("hci0", PLUS, "Nintendo RVL-CNT-01-TR")
            return
        path = mock.AddDevice("hci0", REMOTE, "")
        if behaviour == "refuses":
            dbus.Interface(self.bus.get_object("org.bluez", path), dbusmock.MOCK_IFACE).AddMethod(
                "org.bluez.Device1", "Pair", "", "",
                "raise dbus.exceptions.DBusException('Authentication Failed', "
                "name='org.bluez.Error.AuthenticationFailed')")
        self.update(path, "org.bluez.Device1", {"Name": "Nintendo RVL-CNT-01"})

    def test_pairing(self):
        for name, devices, behaviour, arguments, status, lines, calls in PAIR_ROWS:
            with self.subTest(name), tempfile.NamedTemporaryFile("w+") as log:
                env = {k: v for k, v in os.environ.items() if k != "NO_COLOR"}
                if behaviour == "no bus":
                    env["DBUS_SYSTEM_BUS_ADDRESS"] = NO_BUS
                else:
                    self.serve("on", devices, log)
                doctor = subprocess.Popen([DOCTOR, "--pair", "--timeout", "10"][:2] +
                                          (arguments or ["--timeout", "10"]),
                                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                          stdin=subprocess.DEVNULL, text=True, env=env)
                if behaviour not in (None, "no bus"):
                    self.play(doctor, log, behaviour)
                out, err = doctor.communicate(timeout=40)
                self.doCleanups()
                mock_log = read(log.name)
                print(f"--- {name}: status {doctor.returncode}\n{out}", end="")
                self.assertEqual(doctor.returncode, status, out + err)
                self.assertEqual(err, "")
                self.assertNotIn("\033", out)
                self.assertNotIn("\r", out)
                for line in lines:
                    self.assertIn(line + "\n", out)
                self.assertEqual(calls_in(mock_log), calls, mock_log)
                # Connect right after Pair returns: no call of any kind between them.
                # (PairDevice is the template's own Pair at work, not a call.)
                logged = [line.split()[1] for line in mock_log.splitlines()
                          if len(line.split()) > 1 and line.split()[1] not in ("emit", "PairDevice")]
                if "Pair" in calls and "Connect" in calls:
                    self.assertEqual(logged[logged.index("Pair") + 1], "Connect", mock_log)

    def update(self, path, interface, properties):
        target = self.bus.get_object("org.bluez", path)
        dbus.Interface(target, dbusmock.MOCK_IFACE).UpdateProperties(interface, properties)

    def test_states(self):
        for name, adapter, devices, expected_lines, expected_fix in ROWS:
            with self.subTest(name):
                if adapter not in (None, "no bus"):
                    self.serve(adapter, devices)
                result = self.run_doctor(adapter)
                self.doCleanups()
                self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
                self.assertEqual(result.stderr, "")
                self.assertNotIn("\033[", result.stdout)
                self.assertEqual(bluetooth_lines(result.stdout), expected_lines, result.stdout)
                fix = first_fix(result.stdout)
                self.assertEqual(fix[:len(expected_fix)], expected_fix, result.stdout)
                last = result.stdout.splitlines()[-1]
                self.assertTrue(last.startswith("Quivertap will not find and use a controller: "),
                                last)


class Colour(unittest.TestCase):
    """Colour on a terminal only, and never when NO_COLOR is set."""

    def run_on_terminal(self, no_color):
        env = {k: v for k, v in os.environ.items() if k != "NO_COLOR"}
        if no_color is not None:
            env["NO_COLOR"] = no_color
        main, side = pty.openpty()
        doctor = subprocess.Popen([DOCTOR], stdin=subprocess.DEVNULL, stdout=side, stderr=side,
                                  env=env)
        os.close(side)
        out = b""
        while True:
            try:
                chunk = os.read(main, 4096)
            except OSError:  # EIO once the doctor has gone
                break
            if not chunk:
                break
            out += chunk
        os.close(main)
        self.assertEqual(doctor.wait(timeout=20), 1)
        return out

    def test_colour(self):
        self.assertIn(b"\033[1;31mFAIL\033[0m", self.run_on_terminal(None))
        for value in ("1", ""):
            self.assertNotIn(b"\033[", self.run_on_terminal(value))


if __name__ == "__main__":
    unittest.main()
