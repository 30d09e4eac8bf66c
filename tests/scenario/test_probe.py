"""The connection probe and its reader thread."""

import unittest

from harness import (CANNOT_OPEN, HOME, SCREEN, ScenarioCase, read, report30, report31, run,
                     session)


class LiveController(ScenarioCase):
    def test_a_sign_of_life_at_20_ms_passes_after_the_whole_window(self):
        result = run(session(read(0, report31(HOME)), probe=read(20, report31(x=0x80))))
        self.assertEqual(result.status, 0)
        self.assertEqual(result.stdout, SCREEN)
        mode, flash = result.log.writes()[:2]
        self.assertEqual(flash.head(), (0x11, 0xF0, 0x31))
        self.assertGreater(flash.t_ms - mode.t_ms, 100.0)
        probe_read = result.log.reads()[0]
        self.assertLess(probe_read.t_ms - mode.t_ms, 100.0, "the report came inside the window")

    def test_the_reader_is_another_thread_and_reads_never_overlap(self):
        result = run(session(read(0, report31(HOME)), probe=read(0, report31())))
        reads = result.log.of("read-begin")
        self.assertNotEqual(reads[0].thread, "main")
        self.assertEqual(reads[-1].thread, "main")
        self.assertNoOverlappingReads(result)
        # The loop's first read starts only after the reader's last one ended.
        reader_ends = [e for e in result.log.reads() if e.thread != "main"]
        loop_begins = [e for e in reads if e.thread == "main"]
        self.assertLess(reader_ends[-1].t_us, loop_begins[0].t_us)

    def test_the_loop_waits_for_a_read_the_reader_still_has_open(self):
        # Reports arrive at once, then one only after 400 ms: when the reader
        # starts a second read at the window's end, that read is still open
        # when the loop begins, and the loop must wait for it. Whichever
        # thread takes it, there is never more than one read at a time.
        scenario = "\n".join([read(0, report31()), read(400, report31()),
                              read(0, report31(HOME))]) + "\n"  # one queue for both threads
        for _ in range(3):
            result = run(scenario)
            self.assertEqual(result.status, 0)
            self.assertNoOverlappingReads(result)
            self.assertClosedOnceAtEnd(result)


class DeadController(ScenarioCase):
    def assertCannotOpen(self, result):
        self.assertEqual(result.status, 0)
        self.assertNoticeOnly(result, CANNOT_OPEN)
        self.assertEqual(result.log.write_heads(), [(0x12, 0x00, 0x31)], "the LEDs never flash")
        self.assertClosedOnceAtEnd(result)
        self.assertLess(result.elapsed, 2.0 * 3, "ends promptly")

    def test_a_first_report_after_150_ms_is_too_late(self):
        result = run(session(read(0, report31(HOME)), probe=read(150, report31())))
        self.assertCannotOpen(result)

    def test_a_silent_controller_has_its_reader_ended_before_the_close(self):
        result = run("read silent\n")
        self.assertCannotOpen(result)
        ends = result.log.reads()
        self.assertEqual([e.args for e in ends], [["cancelled"]])
        self.assertNotEqual(ends[0].thread, "main")
        self.assertLess(result.log.index(ends[0]), result.log.index(result.log.closes()[0]))

    def test_buttons_only_reports_are_no_sign_of_life(self):
        result = run("\n".join([read(20, report30())] * 5) + "\n")
        self.assertCannotOpen(result)

    def test_an_x_byte_of_zero_is_no_sign_of_life(self):
        result = run(session(read(0, report31(HOME)), probe=read(20, report31(x=0))))
        self.assertCannotOpen(result)

    def test_the_reader_is_ended_only_once_the_notice_is_dismissed(self):
        from harness import Program
        import time
        program = Program("read silent\n")
        time.sleep(0.4)
        self.assertEqual(program.log().closes(), [], "the notice holds the sequence")
        self.assertEqual(program.log().reads(), [], "the reader still waits in its read")
        dismissed_us = time.monotonic() * 1e6
        result = program.finish(b"\n")
        self.assertEqual(result.status, 0)
        self.assertGreater(result.log.reads()[0].t_us, dismissed_us)
        self.assertClosedOnceAtEnd(result)


if __name__ == "__main__":
    unittest.main()
