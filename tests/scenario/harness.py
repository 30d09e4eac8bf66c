"""Runs the built program against the virtual controller and reads back what
it sent, printed and returned.

Settings come from the environment (CTest sets them):
  QUIVERTAP           the program to run
  VIRTUAL_REMOTE_DIR  the folder holding the virtual controller's library
  QUIVERTAP_RUNNER    optional command put in front of the program (an emulator)
  QUIVERTAP_LIBRARY_BESIDE  "1" when the program finds its library beside
                      itself only (Windows): the harness then runs a copy of
                      the program in a scratch folder next to the virtual one
  QUIVERTAP_TIME_SLACK  factor for the generous upper bounds (sanitizer builds)
  PIPE_REMOTE_DIR     Windows only: the HID library over a named pipe and the
                      controller at the pipe's other end (tests/windows/pipe_*.cpp)

A run may also be of scripts/try (try_command()), which makes a scenario of
its own and passes the call log's setting on to the program.

Under Wine (a runner naming wine) keys for the program's console go as
console input records through console_input.exe beside the virtual
controller (tests/windows/console_input.cpp), and Ctrl-C ends the program
with STATUS_CONTROL_C_EXIT rather than with the signal.
"""

import functools
import os
import shlex
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

PROGRAM = os.environ.get("QUIVERTAP", "build/bin/quivertap")
VIRTUAL_DIR = os.environ.get("VIRTUAL_REMOTE_DIR", "build/virtual_remote")
RUNNER = shlex.split(os.environ.get("QUIVERTAP_RUNNER", ""))
LIBRARY_BESIDE = os.environ.get("QUIVERTAP_LIBRARY_BESIDE") == "1"
SLACK = float(os.environ.get("QUIVERTAP_TIME_SLACK", "1"))
UNDER_WINE = any("wine" in part for part in RUNNER)
PIPE_DIR = os.environ.get("PIPE_REMOTE_DIR", "")
# Under Wine the virtual controller's clock (QueryPerformanceCounter) runs on
# CLOCK_MONOTONIC_RAW; the harness's own readings follow it so that times in
# the call log compare with them.
if UNDER_WINE:
    time.monotonic = functools.partial(time.clock_gettime, time.CLOCK_MONOTONIC_RAW)
CONSOLE_INPUT = os.path.join(VIRTUAL_DIR, "console_input.exe")
TRY_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "try")
# The exit status of a program that Ctrl-C stopped cleanly. Wine delivers
# SIGINT as CTRL_C_EVENT, and the program then ends with STATUS_CONTROL_C_EXIT,
# of which a Unix exit status keeps the low byte.
CTRL_C_STATUS = 0xC000013A & 0xFF if UNDER_WINE else -signal.SIGINT
# SIGTERM and SIGHUP have no Windows meaning: Wine ends the process without a
# console event, so there is no clean stop to test.
NO_WINDOWS_MEANING = "Wine: SIGTERM and SIGHUP end a Windows program without a console event"


def stop_status(number):
    """The exit status of a clean stop on signal number."""
    return CTRL_C_STATUS if number == signal.SIGINT else -number

BANNER = (
    "###########################################\n"
    "#                                         #\n"
    "#   Quivertap Test version 0.1            #\n"
    "#                  build 2006.12.11       #\n"
    "#                                         #\n"
    "###########################################\n"
    "\n"
)
USAGE = (
    "Usage:\n"
    "   A button  ... On/Off\n"
    "   (+) button  ... pow up\n"
    "   (-) button  ... pow down\n"
    "   Home button  ... Quit\n"
    "\n"
)
SCREEN = BANNER + USAGE
NOT_FOUND = "Wii-Remote not found."
CANNOT_OPEN = "Wii-Remote cannot open."

# Buttons as (byte 1, byte 2) bits of an input report.
PLUS = (0x10, 0)
A = (0, 0x08)
MINUS = (0, 0x10)
HOME = (0, 0x80)

LED_BITS = {0: 0x00, 1: 0x10, 2: 0x30, 3: 0x70, 4: 0xF0}
PULSE_MS = {1: (30, 70), 2: (50, 50), 3: (75, 25), 4: (99, 1)}


def buttons(*pressed):
    b1 = b2 = 0
    for one, two in pressed:
        b1 |= one
        b2 |= two
    return b1, b2


def report31(*pressed, x=0x80, y=0x80, z=0x80):
    b1, b2 = buttons(*pressed)
    return "31 %02x %02x %02x %02x %02x" % (b1, b2, x, y, z)


def report30(*pressed):
    b1, b2 = buttons(*pressed)
    return "30 %02x %02x" % (b1, b2)


def try_command():
    """scripts/try on the build under test: the folder that holds its program
    (bin/) and its virtual controller."""
    return [TRY_SCRIPT, os.path.dirname(os.path.abspath(VIRTUAL_DIR))]


def read(delay_ms, report, times=1):
    return "read %d %s%s" % (delay_ms, report, " *%d" % times if times > 1 else "")


# The reader's read in the probe window: a sign of life after 20 ms. It
# pauses 100 ms afterwards, so it normally leaves its loop without a second
# read; on a loaded machine a second read gets the same report again.
PROBE_OK = read(20, report31())


def session(*steps, probe=PROBE_OK):
    """A scenario: a live controller whose probe reads (on the reader
    thread) are kept apart from the control loop's reads (main thread)."""
    return "\n".join(["probe " + probe, *steps]) + "\n"


class Entry:
    def __init__(self, line):
        parts = line.split()
        self.t_us = int(parts[0])
        self.thread = parts[1]
        self.event = parts[2]
        self.args = parts[3:]

    @property
    def t_ms(self):
        return self.t_us / 1000.0

    def field(self, name):
        for arg in self.args:
            if arg.startswith(name + "="):
                return arg[len(name) + 1:]
        return None

    def head(self):
        """For writes: the first three bytes of the buffer handed over."""
        return tuple(int(b, 16) for b in self.args[:3])

    def __repr__(self):
        return "%d %s %s %s" % (self.t_us, self.thread, self.event, " ".join(self.args))


class Log:
    def __init__(self, path):
        self.entries = []
        if os.path.exists(path):
            with open(path) as f:
                self.entries = [Entry(line) for line in f if line.strip()]

    def of(self, *events):
        return [e for e in self.entries if e.event in events]

    def writes(self):
        return self.of("write")

    def write_heads(self):
        return [e.head() for e in self.writes()]

    def motor_writes(self):
        return [e for e in self.writes() if e.head()[0] == 0x13]

    def led_writes(self):
        return [e for e in self.writes() if e.head()[0] == 0x11]

    def reads(self):
        return self.of("read-end")

    def closes(self):
        return self.of("close")

    def index(self, entry):
        return self.entries.index(entry)


def _take_terminal():
    """In the child: a session of its own with standard input as its
    controlling terminal, so that Ctrl-C typed there reaches it."""
    import fcntl
    import termios
    os.setsid()
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


class Program:
    """One run of the program, live: keys and signals can be sent while it runs."""

    def __init__(self, scenario, stdin=subprocess.PIPE, env=None, terminal=False,
                 own_group=False, library_dir=None, command=None):
        self.dir = tempfile.mkdtemp(prefix="quivertap-")
        self.script = os.path.join(self.dir, "scenario.txt")
        self.log_path = os.path.join(self.dir, "calls.log")
        with open(self.script, "w") as f:
            f.write(scenario)
        run_env = dict(os.environ)
        run_env.update(
            VIRTUAL_REMOTE_SCRIPT=self.script,
            VIRTUAL_REMOTE_LOG=self.log_path,
        )
        run_env.pop("VIRTUAL_REMOTE_SHOW", None)
        run_env.update(env or {})
        program = PROGRAM
        if LIBRARY_BESIDE:
            program = self._copy_beside_virtual_library(library_dir)
        else:
            run_env["LD_LIBRARY_PATH"] = VIRTUAL_DIR
        self.started = time.monotonic()
        self.process = subprocess.Popen(
            command or RUNNER + [program],
            stdin=stdin,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            env=run_env,
            # A process group of its own in our session can really be
            # suspended; a session of its own is an orphaned group, where the
            # system discards a terminal stop.
            start_new_session=not terminal and not own_group,
            preexec_fn=_take_terminal if terminal else (os.setpgrp if own_group else None),
        )

    def _copy_beside_virtual_library(self, library_dir):
        """library_dir, when given, holds a HID library that takes the
        virtual one's place; the other stand-ins stay."""
        folder = os.path.join(self.dir, "bin")
        os.mkdir(folder)
        shutil.copy(PROGRAM, folder)
        for source in filter(None, (VIRTUAL_DIR, library_dir)):
            for name in os.listdir(source):
                if name.lower().endswith(".dll"):
                    shutil.copy(os.path.join(source, name), folder)
        return os.path.join(folder, os.path.basename(PROGRAM))

    def log(self):
        return Log(self.log_path)

    def wait_for(self, predicate, timeout=5.0):
        """Waits until predicate(log) holds; returns the log."""
        deadline = time.monotonic() + timeout * SLACK
        while time.monotonic() < deadline:
            log = self.log()
            if predicate(log):
                return log
            if self.process.poll() is not None:
                break
            time.sleep(0.002)
        status = self.process.poll()
        detail = ""
        if status is not None:
            detail = "it ended with status %s: %s\n" % (status, self.process.stderr.read()[-2000:])
        raise AssertionError("the program never reached the expected point: %s%s" % (
            detail, "\n".join(map(repr, self.log().entries[-15:]))))

    def state(self):
        """The process state letter from /proc: R, S, T (stopped) ..."""
        with open("/proc/%d/stat" % self.process.pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0]

    def send_keys(self, data):
        self.process.stdin.write(data)
        self.process.stdin.flush()

    def press_console_keys(self, *keys):
        """Under Wine: keys for the program's console, each a character's code
        in hex or sNN, the scan code of a key without a character."""
        program = "Z:" + os.path.join(self.dir, "bin", os.path.basename(PROGRAM)).replace("/", "\\")
        done = subprocess.run(RUNNER + [CONSOLE_INPUT, program, *keys], stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=30 * SLACK)
        if done.returncode != 0:
            raise AssertionError("no keys for the console: %s" % done.stderr.decode("latin-1"))

    def signal(self, number):
        self.signalled = time.monotonic()
        self.process.send_signal(number)

    def wait_end(self, timeout=10.0):
        """Waits for the program to end by itself, standard input left open: a
        stop must not need the end of input that finish() brings. Under Wine a
        console control event comes on a thread of its own, a moment after the
        signal, and could otherwise lose the race to that end of input."""
        try:
            self.process.wait(timeout=timeout * SLACK)
        except subprocess.TimeoutExpired:
            pass  # finish() tells of a program that does not end

    def finish(self, stdin=b"", timeout=10.0):
        try:
            out, err = self.process.communicate(stdin if self.process.stdin else None,
                                                timeout=timeout * SLACK)
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            out, err = self.process.communicate()
            raise AssertionError("the program did not end: %r" % err.decode())
        for alarm in (b"ThreadSanitizer", b"AddressSanitizer", b"LeakSanitizer", b"runtime error:"):
            if alarm in err:
                raise AssertionError("sanitizer report:\n%s" % err.decode(errors="replace"))
        return Result(self, out, err)


class Result:
    def __init__(self, program, out, err):
        self.stdout = out.decode("latin-1")
        self.stderr = err.decode("latin-1")
        self.status = program.process.returncode
        self.elapsed = time.monotonic() - program.started
        self.log = program.log()
        shutil.rmtree(program.dir, ignore_errors=True)


def run(scenario, stdin=b"", timeout=10.0, env=None):
    """Runs the program to its end with the given standard input."""
    return Program(scenario, env=env).finish(stdin, timeout)


class ScenarioCase(unittest.TestCase):
    def assertClosedOnceAtEnd(self, result):
        closes = result.log.closes()
        self.assertEqual(len(closes), 1, "device closed once")
        self.assertIs(result.log.entries[-1], closes[0], "nothing after the close")
        self.assertEqual(closes[0].field("in-flight"), "0", "no read in flight at the close")

    def assertNoOverlappingReads(self, result):
        for begin in result.log.of("read-begin"):
            self.assertEqual(begin.field("in-flight"), "1", "two reads at once")

    def assertNoticeOnly(self, result, notice):
        self.assertEqual(result.stdout, "")
        self.assertEqual(result.stderr.splitlines()[0], notice)


LEVEL_OF_LEDS = {bits: level for level, bits in LED_BITS.items()}


class Pass:
    """One pass of the control loop as seen at the library boundary."""

    def __init__(self, read_end, decoded):
        self.read_end = read_end
        self.decoded = decoded  # the buttons in force after this read
        self.home = bool(decoded[1] & 0x80)
        self.led = None
        self.motor = []
        self.next_read_begin = None

    @property
    def level(self):
        return LEVEL_OF_LEDS.get(self.led.head()[1]) if self.led else None


def loop_passes(log):
    """The control loop's passes: every read on the main thread and the
    reports it was followed by, up to the next read on the main thread. A pass
    whose buttons hold Home quits: the LED report after it is the shutdown's."""
    passes = []
    current = None
    decoded = (0, 0)
    for entry in log.entries:
        if entry.thread != "main":
            continue
        if entry.event == "read-begin" and current is not None:
            current.next_read_begin = entry
            current = None
        elif entry.event == "read-end":
            if entry.args[0] == "ok" and entry.args[1] in ("30", "31"):
                decoded = (int(entry.args[2], 16), int(entry.args[3], 16))
            current = Pass(entry, decoded)
            passes.append(current)
        elif entry.event == "write" and current is not None and not current.home:
            if entry.head()[0] == 0x11 and current.led is None:
                current.led = entry
            elif entry.head()[0] == 0x13:
                current.motor.append(entry)
    return passes


def levels(log):
    return [p.level for p in loop_passes(log) if not p.home]
