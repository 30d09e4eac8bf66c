"""Console keys on a real pseudo-terminal: single keys without Enter or echo,
ESC told apart from escape sequences, the terminal's mode always restored.
Under Wine the pseudo-terminal gives the program a Windows console, whose
keys are console input records. Then scripts/try: keys in, the virtual
controller's presses and the program's reports and screen out."""

import os
import pty
import signal
import termios
import time
import unittest

from harness import (A, CTRL_C_STATUS, HOME, MINUS, PLUS, SCREEN, UNDER_WINE, Program,
                     ScenarioCase, levels, loop_passes, read, report31, session, try_command)

LFLAG = 3
CC = 6


class OnATerminal(ScenarioCase):
    def setUp(self):
        self.master, self.slave = pty.openpty()
        self.before = termios.tcgetattr(self.slave)

    def tearDown(self):
        os.close(self.master)
        os.close(self.slave)

    def start(self, scenario):
        self.program = Program(scenario, stdin=self.slave, terminal=True)

    def in_loop(self, passes=1):
        return self.program.wait_for(
            lambda log: len([e for e in log.of("read-begin") if e.thread == "main"]) > passes)

    def type(self, data):
        os.write(self.master, data)

    @unittest.skipIf(UNDER_WINE, "Wine: the terminal's mode is Wine's console's; a Windows program "
                     "has none to set")
    def test_single_key_mode_while_the_loop_runs_and_restored_after(self):
        self.start(session(read(0, report31()), read(500, report31(HOME))))
        self.in_loop()
        during = termios.tcgetattr(self.slave)
        self.assertEqual(during[LFLAG] & (termios.ICANON | termios.ECHO), 0)
        self.assertTrue(during[LFLAG] & termios.ISIG, "Ctrl-C must still interrupt")
        result = self.program.finish()
        self.assertEqual(result.status, 0)
        self.assertEqual(termios.tcgetattr(self.slave), self.before)

    def test_a_lone_escape_quits(self):
        self.start(session(*[read(20, report31())] * 200))
        self.in_loop()
        if UNDER_WINE:
            self.program.press_console_keys("1b")
        else:
            self.type(b"\x1b")
        result = self.program.finish()
        self.assertEqual(result.status, 0)
        self.assertLess(len(loop_passes(result.log)), 100)
        self.assertEqual(result.log.entries[-2].head(), (0x11, 0x00, 0x31))
        self.assertEqual(termios.tcgetattr(self.slave), self.before)

    def test_arrow_and_function_keys_are_not_escape(self):
        self.start(session(read(0, report31(A)), *[read(20, report31())] * 30,
                           read(0, report31(HOME))))
        self.in_loop()
        if UNDER_WINE:
            # Up, down, right, home, end, then x: _kbhit counts character keys
            # only, so the arrows are taken (as 0xE0 and their scan code) once
            # x has come.
            self.program.press_console_keys("s48", "s50", "s4d", "s47", "s4f", "78")
        else:
            for key in (b"\x1b[A", b"\x1b[B", b"\x1bOP", b"\x1b[15~", b"\x1b[1;5C"):
                self.type(key)
                time.sleep(0.05)
        result = self.program.finish()
        self.assertEqual(result.status, 0)
        self.assertTrue(loop_passes(result.log)[-1].home, "only Home ended the loop")
        self.assertEqual(termios.tcgetattr(self.slave), self.before)

    def test_ctrl_c_stops_cleanly_and_restores_the_terminal(self):
        self.start(session(read(0, report31(A)), read(0, report31(), times=1000)))
        self.program.wait_for(lambda log: len(log.motor_writes()) >= 4)
        self.type(b"\x03")
        result = self.program.finish()
        self.assertEqual(result.status, CTRL_C_STATUS)
        self.assertEqual(result.log.motor_writes()[-1].head()[1], 0x00)
        self.assertEqual(result.log.entries[-2].head(), (0x11, 0x00, 0x31))
        self.assertEqual(termios.tcgetattr(self.slave), self.before)


def changes(values):
    return [v for i, v in enumerate(values) if i == 0 or v != values[i - 1]]


@unittest.skipIf(UNDER_WINE, "scripts/try runs the native build")
class TriedFromTheKeyboard(ScenarioCase):
    HELP = "keys:  a = A (on/off)   + = + (up)   - = - (down)   h = Home (quit)"

    def start(self, **terminal):
        self.program = Program("", command=try_command(), **terminal)
        self.addCleanup(self.end_if_left_running)
        self.program.wait_for(
            lambda log: len([e for e in log.of("read-begin") if e.thread == "main"]) > 2)

    def end_if_left_running(self):
        # The controller streams for as long as it is read: a case that failed
        # half-way must not leave the program behind, busy at every pulse.
        if self.program.process.poll() is None:
            os.killpg(self.program.process.pid, signal.SIGKILL)
            self.program.process.communicate()

    def press(self, keys, level, write=None):
        (write or self.program.send_keys)(keys)
        self.program.wait_for(lambda log: (levels(log) or [None])[-1] == level)

    def test_keys_press_buttons_and_the_screen_shows_them(self):
        self.start()
        self.press(b"a", 1)
        self.press(b"++", 3)
        self.press(b"-", 2)
        self.program.send_keys(b"h")
        self.program.wait_end()
        result = self.program.finish()
        self.assertEqual(result.status, 0)
        self.assertEqual(changes(levels(result.log)), [0, 1, 2, 3, 2])
        self.assertEqual(result.log.entries[-2].head(), (0x11, 0x00, 0x31))
        arrivals = result.log.of("arrive")
        pressed = [(i, e) for i, e in enumerate(arrivals) if e.args[2:4] != ["00", "00"]]
        self.assertEqual([" ".join(e.args[1:]) for _, e in pressed],
                         [report31(key) for key in (A, PLUS, PLUS, MINUS, HOME)])
        for i, press in pressed[:-1]:
            held_ms = (int(arrivals[i + 1].field("at")) - int(press.field("at"))) / 1000
            self.assertGreaterEqual(held_ms, 130, "each key holds its button about 150 ms")
        self.assertIn(SCREEN, result.stdout)
        self.assertTrue(result.stdout.endswith("\nThe program ended with status 0.\n"))
        screen = result.stderr.encode("latin-1").decode().splitlines()
        self.assertTrue(screen[0].startswith(self.HELP))
        self.assertTrue(any("LEDs \u25cf \u25cf \u25cf \u25cb" in line for line in screen))
        self.assertTrue(screen[-1].endswith("buttons: Home     (closed)"))

    def test_ctrl_c_is_the_program_s_and_its_status_the_script_s(self):
        self.start()
        self.press(b"a", 1)
        self.program.wait_for(lambda log: len(log.motor_writes()) >= 2)
        os.killpg(self.program.process.pid, signal.SIGINT)
        self.program.wait_end()
        result = self.program.finish()
        self.assertEqual(result.status, -signal.SIGINT)
        self.assertEqual(result.log.motor_writes()[-1].head(), (0x13, 0x00, 0x31))
        self.assertEqual(result.log.entries[-2].head(), (0x11, 0x00, 0x31))
        self.assertTrue(result.stdout.endswith("The program ended with status 130.\n"))

    def test_on_a_terminal_escape_reaches_the_program_and_sequences_do_not(self):
        master, slave = pty.openpty()
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        before = termios.tcgetattr(slave)
        self.start(stdin=slave, terminal=True)
        self.assertEqual(termios.tcgetattr(slave)[LFLAG] & (termios.ICANON | termios.ECHO), 0)
        self.press(b"a", 1, lambda keys: os.write(master, keys))
        for sequence in (b"\x1b[A", b"\x1bOP", b"\x1b[15~"):
            os.write(master, sequence)
        self.press(b"+", 2, lambda keys: os.write(master, keys))
        os.write(master, b"\x1b")
        self.program.wait_end()
        result = self.program.finish()
        self.assertEqual(result.status, 0)
        self.assertNotIn(report31(HOME), [" ".join(e.args[1:]) for e in result.log.of("arrive")])
        self.assertEqual(result.log.motor_writes()[-1].head(), (0x13, 0x00, 0x31))
        self.assertEqual(result.log.entries[-2].head(), (0x11, 0x00, 0x31))
        self.assertEqual(termios.tcgetattr(slave), before)


if __name__ == "__main__":
    unittest.main()
