#!/usr/bin/env python3
"""Checks of the figures the measurement scripts compute: the relay delay of
unit moves when receipts carry summed deltas or one is lost, the longest
gap, the queue slope from --stats lines, and the move schedule.

    measurelib_test.py"""

import json
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import measurelib as ml  # noqa: E402


class RelayDelay(unittest.TestCase):
    def test_one_receipt_per_move(self):
        made = [1.0, 2.0, 3.0]
        seen = [(1.1, 1), (2.05, 2), (3.2, 3)]
        delays, missing = ml.relay_delays(made, seen)
        self.assertEqual([round(d) for d in delays], [100, 50, 200])
        self.assertEqual(missing, 0)

    def test_summed_receipt_covers_every_move_in_it(self):
        # One receipt at 3.5 carries moves 1 to 3 (coalesced deltas): each is
        # delayed from its own making, not from the first.
        made = [1.0, 2.0, 3.0, 4.0]
        seen = [(3.5, 3), (4.1, 4)]
        delays, missing = ml.relay_delays(made, seen)
        self.assertEqual([round(d) for d in delays], [2500, 1500, 500, 100])
        self.assertEqual(missing, 0)

    def test_lost_relay_leaves_the_last_move_missing(self):
        # Move 2's relay is lost: the count lags by one from then on, so move
        # 2 is reached only when move 3 arrives and move 4 never is.
        made = [1.0, 2.0, 3.0, 4.0]
        seen = [(1.1, 1), (3.1, 2), (4.1, 3)]
        delays, missing = ml.relay_delays(made, seen)
        self.assertEqual([round(d) for d in delays], [100, 1100, 1100])
        self.assertEqual(missing, 1)

    def test_window_and_end_limit_what_counts(self):
        made = [1.0, 2.0, 3.0, 4.0]
        seen = [(1.1, 1), (2.1, 2), (3.1, 3), (9.0, 4)]
        delays, missing = ml.relay_delays(made, seen, t_end=5.0, window=(1.5, 4.5))
        self.assertEqual([round(d) for d in delays], [100, 100])
        self.assertEqual(missing, 1)  # move 4: seen only after the end

    def test_a_scene_joining_late_starts_from_the_offset_it_is_given(self):
        # The first point is the introduction with 2 moves already summed.
        made = [1.0, 2.0, 3.0]
        seen = [(2.5, 2), (3.05, 3)]
        delays, _ = ml.relay_delays(made, seen)
        self.assertEqual([round(d) for d in delays], [1500, 500, 50])


class Gaps(unittest.TestCase):
    def test_longest_gap_counts_only_increases_and_the_window_edges(self):
        seen = [(1.0, 1), (1.5, 1), (2.0, 2), (5.0, 3), (5.2, 4)]
        self.assertAlmostEqual(ml.longest_gap(seen, 0.0, 6.0), 3.0)
        self.assertAlmostEqual(ml.longest_gap(seen, 0.0, 9.0), 3.8)
        self.assertAlmostEqual(ml.longest_gap([], 0.0, 2.0), 2.0)


class FakeProc:
    def __init__(self, lines):
        self._lines = lines

    def lines(self):
        return self._lines


class Queues(unittest.TestCase):
    def test_queue_figures_from_stats_lines(self):
        lines = []
        for s in range(0, 61):
            lines.append({"stats": [{"name": "a", "queued": 10 * s, "in_flight": 3},
                                    {"name": "b", "queued": 5, "in_flight": 1}], "t": 1000 * (100 + s)})
        lines.append({"rpc": "c2smakeMovement", "args": [1, 0, 0], "t": 130000})
        f = ml.queue_figures(FakeProc(lines), 100, 160, last=30)
        self.assertEqual(f["queue_max_total"], 605)
        self.assertEqual(f["queue_max_one"], 600)
        self.assertAlmostEqual(f["queue_slope_last_s"], 10.0)
        self.assertEqual(f["in_flight_max"], 3)
        one = ml.queue_figures(FakeProc(lines), 100, 160, name="b")
        self.assertEqual(one["queue_max_total"], 5)
        self.assertAlmostEqual(one["queue_slope_last_s"], 0.0)

    def test_no_stats_gives_no_figures(self):
        f = ml.queue_figures(FakeProc([]), 0, 10)
        self.assertIsNone(f["queue_max_total"])
        self.assertIsNone(f["queue_slope_last_s"])


class Lines(unittest.TestCase):
    def test_lines_are_read_incrementally_and_by_key(self):
        work = tempfile.mkdtemp()
        p = ml.Proc(["sh", "-c", 'echo \'{"state": "connected", "t": 5000}\'; echo noise; printf \'{"a": 1\''],
                    "fake", work, timeout=10)
        p.p.wait()
        self.assertEqual(p.first("state"), {"state": "connected", "t": 5000})
        self.assertEqual(len(p.lines()), 1)  # the cut line is not read yet
        with open(p.out_path, "a") as f:
            f.write(', "t": 6}\n')
        self.assertEqual(p.lines()[-1], {"a": 1, "t": 6})
        # The schedule of a mover that connected at 5 s and moves every 250 ms.
        self.assertEqual(ml.mover_times(p, 250, 6.0), [5.25, 5.5, 5.75, 6.0])
        p.stop()
        ml.finish(work, False)
        self.assertFalse(os.path.exists(work))

    def test_offsets_ignore_the_user_leaving(self):
        lines = [{"model": "m", "entity": "boat", "pos": [1.0, 0, 0], "t": 1000},
                 {"model": "m", "entity": None, "pos": [0, 0, 0], "t": 2000},
                 {"model": "x", "entity": "boat", "pos": [7.0, 0, 0], "t": 2000}]
        self.assertEqual(ml.offsets_of(FakeProc(lines), "m"), [(1.0, 1)])
        self.assertEqual(json.dumps(ml.delay_summary([], 2)),
                         '{"n": 0, "p50_ms": null, "p99_ms": null, "max_ms": null, "missing": 2}')


if __name__ == "__main__":
    unittest.main()
