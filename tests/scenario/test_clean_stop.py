"""A stop from outside (Ctrl-C, SIGTERM, a closed terminal) never leaves the
motor running: motor off, LEDs off where due, device closed once, and the
process ends with the signal's own status. Under Wine, SIGINT arrives as
CTRL_C_EVENT, the Windows build's stop."""

import os
import select
import signal
import subprocess
import time
import unittest

from harness import (A, CTRL_C_STATUS, HOME, NO_WINDOWS_MEANING, NOT_FOUND, PIPE_DIR, PLUS,
                     RUNNER, SLACK, UNDER_WINE, Program, ScenarioCase, loop_passes, read, report31,
                     run, session, stop_status)

BOUND_MS = 200
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def to_level_four_then(*rest):
    up = [read(0, report31(PLUS)), read(0, report31())]
    return session(read(0, report31(A)), *up, *up, *up, *rest)


class CleanStop(ScenarioCase):
    def skip_without_windows_meaning(self, number):
        if UNDER_WINE and number != signal.SIGINT:
            self.skipTest(NO_WINDOWS_MEANING)

    def stop_when(self, scenario, ready, number, stdin=subprocess.PIPE, then_s=0.0):
        """Signals once the log shows ready, and then_s seconds more."""
        program = Program(scenario, stdin=stdin)
        program.wait_for(ready)
        time.sleep(then_s)
        program.signal(number)
        program.wait_end()
        result = program.finish()
        result.signalled_us = program.signalled * 1e6
        return result

    def assertStoppedBy(self, result, number, leds_off, motor_off=True):
        self.assertEqual(result.status, stop_status(number))
        log = result.log
        self.assertClosedOnceAtEnd(result)
        close = log.closes()[0]
        self.assertLess(close.t_us - result.signalled_us, BOUND_MS * 1000 * SLACK,
                        "the stop took too long")
        after_signal = [e for e in log.writes() if e.t_us >= result.signalled_us]
        motors = log.motor_writes()
        if motor_off:
            self.assertEqual(motors[-1].head(), (0x13, 0x00, 0x31), "motor left on")
        else:
            self.assertEqual(motors, [])
        if leds_off:
            self.assertEqual(log.entries[-2].head(), (0x11, 0x00, 0x31), "LEDs left on")
        else:
            self.assertEqual([e.head()[0] for e in after_signal if e.head()[0] == 0x11], [])

    def test_mid_pulse_at_level_four(self):
        for number in STOP_SIGNALS:
            with self.subTest(signal=number):
                self.skip_without_windows_meaning(number)
                result = self.stop_when(
                    to_level_four_then(read(0, report31(), times=500)),
                    lambda log: any(p.level == 4 and p.motor for p in loop_passes(log)),
                    number)
                self.assertStoppedBy(result, number, leds_off=True)
                self.assertEqual(result.log.led_writes()[-2].head()[1], 0xF0)

    def test_in_a_read_that_waits_on_a_silent_controller(self):
        for number in STOP_SIGNALS:
            with self.subTest(signal=number):
                self.skip_without_windows_meaning(number)
                result = self.stop_when(
                    session(read(0, report31(A)), read(0, report31(PLUS)), "read silent"),
                    lambda log: len([e for e in log.of("read-begin")
                                     if e.thread == "main"]) == 3,
                    number)
                self.assertStoppedBy(result, number, leds_off=True)
                self.assertEqual(result.log.reads()[-1].args, ["interrupted"])

    def test_in_the_greeting(self):
        for number in STOP_SIGNALS:
            with self.subTest(signal=number):
                self.skip_without_windows_meaning(number)
                result = self.stop_when(session(read(0, report31(HOME))),
                                        lambda log: (0x11, 0xF0, 0x31) in log.write_heads(),
                                        number)
                self.assertStoppedBy(result, number, leds_off=True, motor_off=False)
                self.assertEqual(result.stdout, "", "stopped before the banner")

    def test_during_the_probe_window(self):
        for number in STOP_SIGNALS:
            with self.subTest(signal=number):
                self.skip_without_windows_meaning(number)
                result = self.stop_when("read silent\n", lambda log: log.of("read-begin"), number)
                self.assertStoppedBy(result, number, leds_off=False, motor_off=False)
                self.assertEqual(result.log.write_heads(), [(0x12, 0x00, 0x31)])
                self.assertEqual(result.log.reads()[-1].args, ["cancelled"])

    def test_while_the_cannot_open_notice_waits(self):
        for number in STOP_SIGNALS:
            with self.subTest(signal=number):
                self.skip_without_windows_meaning(number)
                # Timed from the probe's first read, not from the start: a
                # loaded machine (or a sanitizer build) may take longer than
                # any fixed delay to get there. The window is 100 ms.
                result = self.stop_when("read silent\n", lambda log: log.of("read-begin"), number,
                                        then_s=0.25)
                self.assertStoppedBy(result, number, leds_off=False, motor_off=False)
                self.assertEqual(result.stderr.splitlines()[0], "Wii-Remote cannot open.")

    def test_while_the_not_found_notice_waits(self):
        for number in STOP_SIGNALS:
            with self.subTest(signal=number):
                self.skip_without_windows_meaning(number)
                # Signalled once the open is logged: a loaded machine may take
                # longer than any fixed delay to get there.
                program = Program("open fail\n")
                program.wait_for(lambda log: log.of("open"))
                time.sleep(0.05)
                program.signal(number)
                program.wait_end()
                result = program.finish()
                self.assertEqual(result.status, stop_status(number))
                self.assertEqual([e.event for e in result.log.entries], ["open"])
                self.assertEqual(result.stderr.splitlines()[0], NOT_FOUND)

    @unittest.skipIf(UNDER_WINE, "Wine: raise() in the C runtime ends a Windows program; it is no "
                     "console control event")
    def test_a_signal_just_before_a_read_starts_does_not_hang_the_stop(self):
        for number in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=number):
                program = Program(session(read(0, report31(A)), "read raise %d" % number))
                result = program.finish(timeout=5)
                self.assertEqual(result.status, -number)
                self.assertEqual(result.log.reads()[-1].args, ["interrupted"])
                self.assertEqual(result.log.motor_writes()[-1].head()[1], 0x00)
                self.assertClosedOnceAtEnd(result)

    def test_signals_landing_anywhere_in_a_busy_loop(self):
        # Reports every millisecond at level 0: a signal lands just before a
        # read starts often enough to catch a stop that could hang there.
        for attempt in range(8):
            with self.subTest(attempt=attempt):
                program = Program(session(read(1, report31(), times=100000)))
                program.wait_for(lambda log: len(log.of("read-end")) > 3 + attempt * 7)
                program.signal(signal.SIGINT)
                program.wait_end(timeout=5)
                result = program.finish(timeout=5)
                result.signalled_us = program.signalled * 1e6
                self.assertStoppedBy(result, signal.SIGINT, leds_off=True, motor_off=False)


@unittest.skipIf(os.environ.get("QUIVERTAP_RUNNER"), "Wine: a Windows console has no suspension")
class Suspension(ScenarioCase):
    def test_ctrl_z_switches_the_motor_off_while_suspended(self):
        program = Program(to_level_four_then(read(0, report31(), times=30),
                                             read(0, report31(HOME))), own_group=True)
        program.wait_for(lambda log: any(p.level == 4 and p.motor for p in loop_passes(log)))
        program.signal(signal.SIGTSTP)
        deadline = time.monotonic() + 5 * SLACK
        while program.state() != "T" and time.monotonic() < deadline:
            time.sleep(0.005)
        self.assertEqual(program.state(), "T", "suspended")
        while_suspended = program.log()
        self.assertEqual(while_suspended.motor_writes()[-1].head(), (0x13, 0x00, 0x31))
        time.sleep(0.3)
        self.assertEqual(len(program.log().entries), len(while_suspended.entries))
        continued_us = time.monotonic() * 1e6
        program.signal(signal.SIGCONT)
        result = program.finish()
        self.assertEqual(result.status, 0)
        later = [e for e in result.log.motor_writes() if e.t_us > continued_us]
        self.assertIn((0x13, 0x01, 0x31), [e.head() for e in later], "pulses go on")
        self.assertEqual(later[-1].head(), (0x13, 0x00, 0x31))
        self.assertClosedOnceAtEnd(result)


@unittest.skipUnless(UNDER_WINE and PIPE_DIR, "Windows: the HID library over a named pipe")
class StalledStack(ScenarioCase):
    """The real library's transfer code over a named pipe whose far end stops
    reading once the motor runs, and then sending: every write from then on
    stays pending, as on a Bluetooth stack whose link is failing but not yet
    dropped, and so does the library's read, which the close must cancel."""

    STOP_BOUND_S = 2.0

    def expect_line(self, remote, text, timeout_s):
        line = b""
        deadline = time.monotonic() + timeout_s * SLACK
        while not line.endswith(b"\n") and time.monotonic() < deadline:
            if select.select([remote.stdout], [], [], deadline - time.monotonic())[0]:
                chunk = os.read(remote.stdout.fileno(), 1)
                if not chunk:
                    break
                line += chunk
        # Text from a Windows program: its lines end in CR LF.
        if line.rstrip(b"\r\n") != text:
            remote.kill()
            self.fail("the controller said %r, not %r: %s" % (line, text, remote.stderr.read()))

    def test_ctrl_c_ends_the_program_while_its_read_and_every_write_stay_pending(self):
        pipe = r"\\.\pipe\quivertap-stalled-%d" % os.getpid()
        remote = subprocess.Popen(RUNNER + [os.path.join(PIPE_DIR, "pipe_remote.exe"), pipe],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, bufsize=0)
        program = None
        try:
            self.expect_line(remote, b"listening", 30)
            program = Program("", library_dir=PIPE_DIR, env={"QUIVERTAP_PIPE": pipe})
            self.expect_line(remote, b"motor on", 30)
            self.expect_line(remote, b"stalled", 10)
            program.signal(signal.SIGINT)
            program.wait_end(timeout=5)
            took_s = time.monotonic() - program.signalled
            result = program.finish()
        finally:
            remote.kill()
            remote.communicate()
            if program is not None and program.process.poll() is None:
                os.killpg(program.process.pid, signal.SIGKILL)
        self.assertIn("Home button", result.stdout, "the control loop ran")
        self.assertEqual(result.status, CTRL_C_STATUS)
        self.assertLess(took_s, self.STOP_BOUND_S, "the stop waited on the pending writes")


class ClosedPipe(ScenarioCase):
    def test_a_closed_standard_output_does_not_stop_the_session(self):
        # As with `quivertap | head -3` once head has gone: the reading end of
        # the program's standard output is closed before it prints.
        program = Program(session(read(0, report31(A)), read(0, report31()),
                                  read(0, report31(HOME))))
        program.process.stdout.close()
        result = program.finish()
        self.assertEqual(result.status, 0)
        self.assertEqual(result.log.motor_writes()[-1].head()[1], 0x00)
        self.assertEqual(result.log.entries[-2].head(), (0x11, 0x00, 0x31))


if __name__ == "__main__":
    unittest.main()
