"""Console keys on a real pseudo-terminal: single keys without Enter or echo,
ESC told apart from escape sequences, the terminal's mode always restored.
Under Wine the pseudo-terminal gives the program a Windows console, whose
keys are console input records."""

import os
import pty
import termios
import time
import unittest

from harness import (A, CTRL_C_STATUS, HOME, UNDER_WINE, Program, ScenarioCase, loop_passes, read,
                     report31, session)

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


if __name__ == "__main__":
    unittest.main()
