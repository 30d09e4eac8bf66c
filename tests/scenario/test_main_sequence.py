"""The main sequence end to end: open, mode, greeting, text, clean-up."""

import unittest

from harness import (A, CANNOT_OPEN, HOME, NOT_FOUND, SCREEN, ScenarioCase, read,
                     report31, run, session)


class NoController(ScenarioCase):
    def test_notice_status_one_and_nothing_else(self):
        result = run("open fail\n")
        self.assertEqual(result.status, 1)
        self.assertNoticeOnly(result, NOT_FOUND)
        self.assertEqual([e.event for e in result.log.entries], ["open"])
        self.assertEqual(result.log.entries[0].args, ["057e", "0306", "->", "-1"])

    def test_notice_holds_until_dismissed(self):
        from harness import Program
        program = Program("open fail\n")
        import time
        time.sleep(0.3)
        self.assertIsNone(program.process.poll(), "the notice waits for Enter")
        result = program.finish(b"\n")
        self.assertEqual(result.status, 1)
        self.assertGreater(result.elapsed, 0.3)


class SuccessfulRun(ScenarioCase):
    def setUp(self):
        self.result = run(session(read(10, report31(HOME))))

    def test_prints_banner_and_usage_byte_for_byte(self):
        self.assertEqual(self.result.stdout, SCREEN)
        self.assertEqual(self.result.stderr, "")
        self.assertEqual(self.result.status, 0)

    def test_report_sequence(self):
        heads = self.result.log.write_heads()
        self.assertEqual(heads, [(0x12, 0x00, 0x31), (0x11, 0xF0, 0x31), (0x11, 0x00, 0x31),
                                 (0x11, 0x00, 0x31)])
        lengths = [e.field("len") for e in self.result.log.writes()]
        self.assertEqual(lengths, ["3", "2", "2", "2"])
        for write in self.result.log.writes():
            self.assertEqual(write.field("tail"), "zero")
            self.assertEqual(write.thread, "main")

    def test_opens_with_the_controller_ids_first(self):
        first = self.result.log.entries[0]
        self.assertEqual(first.event, "open")
        self.assertEqual(first.args, ["057e", "0306", "->", "0"])

    def test_flash_lasts_more_than_200_ms(self):
        on, off = self.result.log.writes()[1:3]
        self.assertGreater(off.t_ms - on.t_ms, 200.0)

    def test_closed_once_after_the_last_report(self):
        self.assertClosedOnceAtEnd(self.result)
        self.assertNoOverlappingReads(self.result)


class OrderOfTextAndLeds(ScenarioCase):
    def test_leds_off_before_the_banner_and_off_again_before_close(self):
        from harness import Program
        program = Program(session(read(400, report31(HOME))))
        # The banner is out while the loop waits in its first read.
        log = program.wait_for(lambda log: len(log.of("read-begin")) >= 2)
        text = program.process.stdout.read(len(SCREEN)).decode()
        self.assertEqual(text, SCREEN)
        self.assertEqual(log.write_heads()[-1], (0x11, 0x00, 0x31))
        result = program.finish()
        self.assertEqual(result.log.entries[-2].head(), (0x11, 0x00, 0x31))
        self.assertEqual(result.status, 0)


class DeadController(ScenarioCase):
    def test_silent_controller_gets_the_notice_and_status_zero(self):
        result = run("read silent\n")
        self.assertEqual(result.status, 0)
        self.assertNoticeOnly(result, CANNOT_OPEN)
        self.assertEqual(result.log.write_heads(), [(0x12, 0x00, 0x31)])
        self.assertClosedOnceAtEnd(result)

    def test_a_press_during_the_probe_is_not_the_loop_s(self):
        # The probe's read consumes the first report, A or not: the loop
        # starts from the next one.
        result = run(session(read(10, report31(HOME)), probe=read(20, report31(A))))
        self.assertEqual(result.log.motor_writes(), [])


if __name__ == "__main__":
    unittest.main()
