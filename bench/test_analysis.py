"""Checks the benchmark's reading of call logs and its statistics on small
hand-made logs. Run: python3 -m unittest bench/test_analysis.py (from the
repository) or python3 test_analysis.py (from bench/)."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import call_log  # noqa: E402
import figures  # noqa: E402
import stats  # noqa: E402

# A probe read on the reader thread, the greeting, then two passes at level
# 1, one at level 2 and the Home report with the shutdown's LED report.
LOG = """\
100 main open 057e 0306 -> 0
105 main write 12 00 31 len=3 tail=zero ok=1
110 t77 read-begin in-flight=1
20110 t77 read-end ok 31 00 00 80 80 80
20200 main write 11 f0 31 len=2 tail=zero ok=1
220300 main write 11 00 31 len=2 tail=zero ok=1
220400 main read-begin in-flight=1
220500 main read-end ok 31 00 08 80 80 80
220507 main write 11 10 31 len=2 tail=zero ok=1
220510 main write 13 01 31 len=2 tail=zero ok=1
250520 main write 13 00 31 len=2 tail=zero ok=1
320530 main read-begin in-flight=1
320630 main read-end ok 31 00 00 80 80 80
320640 main write 11 10 31 len=2 tail=zero ok=1
320650 main write 13 01 31 len=2 tail=zero ok=1
350655 main write 13 00 31 len=2 tail=zero ok=1
420700 main read-begin in-flight=1
420800 main read-end ok 31 10 00 80 80 80
420803 main write 11 30 31 len=2 tail=zero ok=1
420810 main write 13 01 31 len=2 tail=zero ok=1
470812 main write 13 00 31 len=2 tail=zero ok=1
520900 main read-begin in-flight=1
521000 main read-end ok 31 00 80 80 80 80
521010 main write 11 00 31 len=2 tail=zero ok=1
521020 main close 0 in-flight=0
"""


class CallLogTest(unittest.TestCase):
    def setUp(self):
        self.entries = call_log.parse(LOG.splitlines())

    def test_pulses_take_their_level_from_the_led_report_before_them(self):
        found = call_log.pulses(self.entries)
        self.assertEqual([p.level for p in found], [1, 1, 2])
        self.assertEqual([p.on_length_us() for p in found], [30010, 30005, 50002])

    def test_an_off_phase_runs_to_the_next_switch_on_even_across_a_level_change(self):
        found = call_log.pulses(self.entries)
        self.assertEqual([p.off_length_us() for p in found], [70130, 70155, None])

    def test_overshoots_are_against_each_levels_targets(self):
        overshoots = figures.phase_overshoots_us(call_log.pulses(self.entries))
        self.assertEqual(overshoots[1], {"on": [10, 5], "off": [130, 155]})
        self.assertEqual(overshoots[2], {"on": [2], "off": []})

    def test_a_missing_level_is_an_error(self):
        with self.assertRaises(RuntimeError):
            figures.phase_summaries(call_log.pulses(self.entries), least=1)

    def test_too_few_phases_at_a_level_is_an_error(self):
        found = []
        for level in figures.LEVELS:
            for k in range(3):
                start = (level * 3 + k) * 100000
                found.append(call_log.Pulse(level, start, start + 30000))
                if k < 2:
                    found[-1].next_on_us = start + 100000
        summaries = figures.phase_summaries(found, least=2)
        self.assertEqual(summaries["1-off"]["n"], 2)
        self.assertEqual(summaries["4-on"]["n"], 3)
        with self.assertRaises(RuntimeError):
            figures.phase_summaries(found, least=3)

    def test_report_to_led_skips_the_probe_thread_and_the_home_report(self):
        self.assertEqual(call_log.report_to_led_us(self.entries), [7, 10, 3])

    def test_ready_reads_and_first_write(self):
        self.assertEqual(call_log.ready_read_us(self.entries), [100, 100, 100, 100])
        self.assertEqual(call_log.first_write_us(self.entries), 105)
        self.assertEqual(call_log.loop_reports_us(self.entries),
                         [220500, 320630, 420800, 521000])

    def test_level_windows_span_first_to_last_switch_on(self):
        windows = figures.level_windows_us(call_log.pulses(self.entries))
        self.assertEqual(windows, {1: (220510, 320650), 2: (420810, 420810)})


# Streamed presses of B (bit 0x04): one taken at level 1, one that came
# behind it in the same read and was taken a pass later, and one never read.
STREAM_LOG = """\
1000 main read-begin in-flight=1
1002 main arrive at=900 31 00 04 80 80 80
1003 main arrive at=950 31 00 00 80 80 80
1004 main arrive at=980 31 00 04 80 80 80
1005 main read-end ok 31 00 04 80 80 80
1010 main write 11 10 31 len=2 tail=zero ok=1
1020 main write 13 01 31 len=2 tail=zero ok=1
101000 main read-begin in-flight=1
101005 main read-end ok 31 00 00 80 80 80
101010 main write 11 10 31 len=2 tail=zero ok=1
201000 main read-begin in-flight=1
201005 main read-end ok 31 00 04 80 80 80
201012 main write 11 30 31 len=2 tail=zero ok=1
301000 main arrive at=300000 31 00 04 80 80 80
"""


class StreamLogTest(unittest.TestCase):
    def test_each_press_runs_from_its_arrival_to_the_led_report_that_took_it(self):
        entries = call_log.parse(STREAM_LOG.splitlines())
        self.assertEqual(call_log.press_latencies_us(entries, 0x04),
                         [(1, 110), (2, 200032), (None, None)])


class StatsTest(unittest.TestCase):
    def test_percentile_interpolates_between_ranks(self):
        values = list(range(1, 61))  # 1..60
        self.assertEqual(stats.median(values), 30.5)
        self.assertAlmostEqual(stats.percentile(values, 99), 59.41)
        self.assertEqual(stats.percentile([7], 99), 7)
        self.assertEqual(stats.summary([3, 1, 2]), {"n": 3, "median": 2, "p99": 2.98, "max": 3})

    def test_rate_uses_the_outermost_samples_inside_the_window(self):
        samples = [(0, 0), (10, 1), (20, 6), (30, 11), (40, 12)]
        self.assertEqual(stats.rate_between(samples, 5, 35), 0.5)
        self.assertIsNone(stats.rate_between(samples, 11, 19))

    def test_merge_takes_medians_down_nested_figures(self):
        runs = [{"cpu": {1: 0.9, 2: None}, "phase": {"n": 5, "median": 1, "p99": 9, "max": 10}},
                {"cpu": {1: 1.0, 2: None}, "phase": {"n": 5, "median": 3, "p99": 7, "max": 30}},
                {"cpu": {1: 0.8, 2: None}, "phase": {"n": 5, "median": 2, "p99": 8, "max": 20}}]
        merged = figures.merge(runs)
        self.assertEqual(merged["cpu"], {1: 0.9, 2: None})
        self.assertEqual(merged["phase"], {"n": 15, "median": 2, "p99": 8, "max": 20})

    def test_driver_lines_give_its_processor_share(self):
        text = "level 1 pulses=61 wall_us=6100000 cpu_us=6100\nnoise\n"
        self.assertEqual(figures.driver_cpu(text), {1: 0.001})


if __name__ == "__main__":
    unittest.main()
