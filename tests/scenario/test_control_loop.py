"""The control loop: presses, levels, the LED bar, the pulses and the exits."""

import os
import random
import unittest

from harness import (A, HOME, LED_BITS, MINUS, PLUS, PULSE_MS, Program, ScenarioCase,
                     levels, loop_passes, read, report30, report31, run, session)


def presses(*reports):
    """Reads delivered at once, one per pass, then Home."""
    return session(*[read(0, r) for r in reports], read(0, report31(HOME)))


class Transitions(ScenarioCase):
    def levels_after(self, *reports):
        result = run(presses(*reports))
        self.assertEqual(result.status, 0)
        self.assertNoOverlappingReads(result)
        return levels(result.log)

    def test_a_held_toggles_once_and_again_after_release(self):
        self.assertEqual(self.levels_after(report31(A), report31(A), report31(A), report31(),
                                           report31(A), report31(A)),
                         [1, 1, 1, 1, 0, 0])

    def test_a_and_plus_in_one_report_give_two(self):
        self.assertEqual(self.levels_after(report31(A, PLUS)), [2])

    def test_plus_held_at_level_zero_counts_when_a_arrives(self):
        self.assertEqual(self.levels_after(report31(PLUS), report31(PLUS), report31(A, PLUS)),
                         [0, 0, 2])

    def test_plus_held_across_off_and_on_is_not_taken_again(self):
        self.assertEqual(
            self.levels_after(report31(A), report31(), report31(PLUS), report31(PLUS),
                              report31(A, PLUS), report31(PLUS), report31(A, PLUS),
                              report31(PLUS), report31(), report31(PLUS)),
            [1, 1, 2, 2, 0, 0, 1, 1, 1, 2])

    def test_a_and_plus_at_level_three_switch_off(self):
        self.assertEqual(
            self.levels_after(report31(A), report31(PLUS), report31(), report31(PLUS),
                              report31(), report31(A, PLUS)),
            [1, 2, 2, 3, 3, 0])

    def test_plus_and_minus_do_nothing_at_level_zero(self):
        self.assertEqual(self.levels_after(report31(PLUS), report31(), report31(MINUS),
                                           report31(PLUS, MINUS), report31()),
                         [0, 0, 0, 0, 0])

    def test_levels_stop_at_one_and_four(self):
        up = [report31(PLUS), report31()] * 5
        down = [report31(MINUS), report31()] * 5
        self.assertEqual(self.levels_after(report31(A), *up, *down),
                         [1] + [2, 2, 3, 3, 4, 4, 4, 4, 4, 4] + [3, 3, 2, 2, 1, 1, 1, 1, 1, 1])

    def test_plus_and_minus_in_one_report_cancel_out(self):
        self.assertEqual(self.levels_after(report31(A), report31(PLUS), report31(),
                                           report31(PLUS, MINUS)),
                         [1, 2, 2, 2])


class Reports(ScenarioCase):
    def test_buttons_only_reports_work_the_loop(self):
        result = run(session(read(0, report30(A)), read(0, report30(PLUS)),
                             read(0, report30(HOME))))
        self.assertEqual(levels(result.log), [1, 2])
        self.assertEqual(result.status, 0)

    def test_unknown_report_ids_change_nothing(self):
        # An unknown report with A and + bits set, after A was released.
        result = run(presses(report31(A), report31(), "3d 10 88 80 80 80", "20 10 88 00 00"))
        self.assertEqual(levels(result.log), [1, 1, 1, 1])

    def test_a_failed_read_applies_the_previous_report_again(self):
        # A is down in the report before the failure: it counts as still held.
        result = run(session(read(0, report31(A)), read(0, "fail"), read(0, report31()),
                             read(0, "fail"), read(0, report31(HOME))))
        self.assertEqual(levels(result.log), [1, 1, 1, 1])
        self.assertEqual([p.read_end.args[0] for p in loop_passes(result.log)],
                         ["ok", "fail", "ok", "fail", "ok"])


class Pulses(ScenarioCase):
    def test_each_level_pulses_with_its_pattern(self):
        up = [report31(PLUS), report31()]
        result = run(presses(report31(A), report31(), *up, *up, *up))
        for p in loop_passes(result.log)[:-1]:
            level = p.level
            self.assertEqual(p.led.head(), (0x11, LED_BITS[level], 0x31))
            on_ms, off_ms = PULSE_MS[level]
            self.assertEqual([m.head() for m in p.motor], [(0x13, 0x01, 0x31), (0x13, 0x00, 0x31)])
            self.assertEqual([m.field("len") for m in p.motor], ["2", "2"])
            self.assertGreater(p.motor[1].t_ms - p.motor[0].t_ms, on_ms, "on phase, level %d" % level)
            self.assertGreater(p.next_read_begin.t_ms - p.motor[1].t_ms, off_ms,
                               "off phase, level %d" % level)
        self.assertEqual(sorted({p.level for p in loop_passes(result.log)[:-1]}), [1, 2, 3, 4])

    def test_level_zero_sends_only_the_led_report(self):
        result = run(presses(report31(), report31(PLUS)))
        for p in loop_passes(result.log)[:-1]:
            self.assertEqual(p.motor, [])
            self.assertEqual(p.led.head(), (0x11, 0x00, 0x31))

    def test_home_at_level_three_ends_with_motor_off_leds_off_close(self):
        up = [report31(PLUS), report31()]
        result = run(presses(report31(A), *up, *up))
        self.assertEqual(levels(result.log)[-1], 3)
        tail = result.log.entries[-3:]
        self.assertEqual([e.event for e in tail], ["read-end", "write", "close"])
        # The Home pass sends nothing of its own: the last motor report is the
        # previous pass's off, then the LEDs go off, then the close.
        self.assertEqual(result.log.motor_writes()[-1].head(), (0x13, 0x00, 0x31))
        self.assertEqual(result.log.entries[-2].head(), (0x11, 0x00, 0x31))
        self.assertLess(result.log.index(result.log.motor_writes()[-1]),
                        result.log.index(result.log.of("read-end")[-1]))
        self.assertClosedOnceAtEnd(result)

    def test_a_silent_controller_leaves_the_motor_off_until_the_next_report(self):
        result = run(session(read(0, report31(A)), read(300, report31(A)),
                             read(0, report31(HOME))))
        first, second = loop_passes(result.log)[:2]
        self.assertEqual(first.motor[-1].head()[1], 0x00)
        self.assertLess(first.motor[-1].t_us, second.read_end.t_us - 150_000)
        self.assertEqual(len(second.motor), 2)


@unittest.skipIf(os.environ.get("QUIVERTAP_RUNNER"), "Wine: _kbhit sees no console input on a pipe, and Wine cannot peek into a Unix pipe (PeekNamedPipe: not supported), so piped keys never arrive")
class Keys(ScenarioCase):
    def test_escape_during_a_read_takes_effect_after_that_pass(self):
        program = Program(session(read(0, report31(A)), read(400, report31()),
                                  read(0, report31()), read(0, report31(HOME))))
        program.wait_for(lambda log: len([e for e in log.of("read-begin")
                                          if e.thread == "main"]) >= 2)
        program.send_keys(b"\x1b")
        result = program.finish()
        passes = loop_passes(result.log)
        self.assertEqual(len(passes), 2, "the next pass quits before its read")
        # The pass whose read was waiting finished its LED report and pulse.
        self.assertEqual(passes[1].led.head(), (0x11, 0x10, 0x31))
        self.assertEqual([m.head()[1] for m in passes[1].motor], [0x01, 0x00])
        self.assertEqual(result.log.entries[-2].head(), (0x11, 0x00, 0x31))
        self.assertClosedOnceAtEnd(result)
        self.assertEqual(result.status, 0)

    def test_other_keys_are_taken_one_per_pass(self):
        result = run(session(*[read(0, report31())] * 10), stdin=b"xyz\x1b")
        self.assertEqual(len(loop_passes(result.log)), 3)
        self.assertEqual(levels(result.log), [0, 0, 0])
        self.assertEqual(result.status, 0)

    def test_escape_sequence_bytes_from_a_pipe_are_keys_each(self):
        # Not a terminal: the ESC byte of an arrow key is the ESC key.
        result = run(session(*[read(0, report31())] * 10), stdin=b"a\x1b[A")
        self.assertEqual(len(loop_passes(result.log)), 1)

    def test_end_of_input_is_no_key(self):
        result = run(presses(report31(A), report31(), report31()), stdin=b"")
        self.assertEqual(levels(result.log), [1, 1, 1])


def stream(report, ms, period_ms=10, jitter_ms=3):
    """A controller that keeps sending report every period_ms for ms."""
    return "stream %d %d %s *%d" % (period_ms, jitter_ms, report, ms // period_ms)


class Streaming(ScenarioCase):
    """A controller that sends a report every 10 ms whether or not it is read,
    as a real one does in a motion mode: each pass takes every report that has
    come and goes on with the oldest change of input, else the newest."""

    def test_every_press_is_taken_however_short_and_none_late(self):
        rest = report31()
        result = run(session(
            stream(rest, 200), stream(report31(A), 150), stream(rest, 300),
            stream(report31(PLUS), 150), stream(rest, 300),
            stream(report31(PLUS), 40), stream(rest, 300),  # a tap shorter than a pass
            stream(report31(MINUS), 150), stream(rest, 300), stream(report31(HOME), 50)),
            timeout=20)
        self.assertEqual(result.status, 0)
        changes = [e.args[1:] for e in result.log.of("arrive")]
        self.assertEqual(len(changes), 10, "every change of input arrived")
        passes = loop_passes(result.log)
        # No change lost, none handed out twice in a row, none out of order.
        handed = [p.read_end.args[1:] for p in passes]
        self.assertEqual([h for i, h in enumerate(handed) if i == 0 or h != handed[i - 1]],
                         changes)
        steps = [p.level for i, p in enumerate(passes[:-1])
                 if i == 0 or p.level != passes[i - 1].level]
        self.assertEqual(steps, [0, 1, 2, 3, 2])
        # Once a change has come, each pass hands out a change until it is
        # out: no pass in between repeats older input.
        reads = [e for e in result.log.reads() if e.thread == "main"]
        for arrival in result.log.of("arrive"):
            after = [e for e in reads if result.log.index(e) > result.log.index(arrival)]
            delivery = next(i for i, e in enumerate(after) if e.args[1:] == arrival.args[1:])
            before = [reads[reads.index(after[0]) - 1]] + after[:delivery + 1]
            for earlier, later in zip(before, before[1:]):
                self.assertNotEqual(earlier.args[1:], later.args[1:], arrival)


class RandomStreams(ScenarioCase):
    """Long random streams, checked against the rules of the transitions."""

    BUTTONS = [A, PLUS, MINUS]

    def random_step(self, rng):
        kind = rng.random()
        if kind < 0.08:
            return "fail", None
        chosen = [b for b in self.BUTTONS if rng.random() < 0.3]
        if kind < 0.16:
            # An unknown report: it must change nothing, whatever it carries.
            return "%02x %02x %02x 80 80 80" % (rng.choice([0x20, 0x21, 0x32, 0x3d]),
                                                rng.randrange(256), rng.randrange(256)), None
        b1 = sum(x for x, _ in chosen) | (rng.randrange(256) & 0x0F)  # noise in other bits
        b2 = sum(y for _, y in chosen) | (rng.randrange(256) & 0x67)
        if kind < 0.4:
            return "30 %02x %02x" % (b1, b2), (b1, b2)
        return "31 %02x %02x 80 80 80" % (b1, b2), (b1, b2)

    def check_run(self, seed):
        rng = random.Random(seed)
        steps = [self.random_step(rng) for _ in range(120)]
        scenario = session(*[read(0, text) for text, _ in steps], read(0, report31(HOME)))
        result = run(scenario, timeout=60)
        self.assertEqual(result.status, 0)
        self.assertNoOverlappingReads(result)
        passes = loop_passes(result.log)[:-1]  # the last is Home
        self.assertEqual(len(passes), len(steps))

        decoded = (0, 0)
        level = 0
        for index, ((_, buttons), p) in enumerate(zip(steps, passes)):
            where = "seed %d pass %d" % (seed, index)
            previous_decoded, decoded = decoded, buttons or decoded
            new = p.level
            self.assertIn(new, range(5), where)
            self.assertEqual(p.led.head(), (0x11, LED_BITS[new], 0x31), where)
            a_now = decoded[1] & 0x08
            a_edge = a_now and not previous_decoded[1] & 0x08
            plus_down = decoded[0] & 0x10
            if decoded == previous_decoded:
                self.assertEqual(new, level, where + ": nothing new, nothing changes")
            if (level == 0) != (new == 0):
                self.assertTrue(a_edge, where + ": only a new press of A switches on or off")
            if level == 0 and new != 0:
                self.assertIn(new, (1, 2), where)
                if new == 2:
                    self.assertTrue(plus_down, where)
            if level != 0 and new != 0:
                self.assertLessEqual(abs(new - level), 1, where)
            if p.level == 0:
                self.assertEqual(p.motor, [], where)
            else:
                self.assertEqual([m.head()[1] for m in p.motor], [0x01, 0x00], where)
            level = new

    def test_random_streams(self):
        for seed in range(4):
            with self.subTest(seed=seed):
                self.check_run(seed)


if __name__ == "__main__":
    unittest.main()
