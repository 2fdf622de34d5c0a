#!/usr/bin/env python3
"""The screen-ramp analysis of bench/avsync.py on made-up pictures: where a
ramp's pictures put the file's time line, events the pictures lost, and
pictures a stall spoiled."""
import os
import random
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import avsync  # noqa: E402

SIZE = avsync.GRAY_W * avsync.GRAY_H
MS = 1_000_000


def busy(rng):
    return bytes(rng.randrange(40, 220) for _ in range(SIZE))


def flat(level, rng, cursor=True):
    """A uniform grey picture as the decoder gives it: luma 16..235, a little
    coding noise, and a cursor in one cell."""
    y = 16 + level * 219 / 255
    cells = [max(0, min(255, round(y + rng.uniform(-1.5, 1.5)))) for _ in range(SIZE)]
    if cursor:
        cells[SIZE // 2] = 255 - cells[SIZE // 2]
    return bytes(cells)


def ramp_log(at_ns, step_ns=3 * MS):
    """The flasher's log of one ramp: a repaint every step_ns from at_ns."""
    log = []
    t = at_ns
    while True:
        level = min(255, (t - at_ns) * 255 // (300 * MS))
        log.append((t, level))
        if level == 255:
            return log
        t += step_ns


def record(events_ns, base_ns, seconds, rng, stall=None):
    """Pictures at 15 per second whose file time t was grabbed at base + t
    (ms), showing each event's black, ramp and white parts; `stall` = (event
    index, ms): the grabs of that event's ramp happen that much after their
    stamps, one picture out of two."""
    times, pictures = [], []
    logs = [ramp_log(at) for at in events_ns]
    for i in range(int(seconds * 15)):
        t = i / 15.0
        grab = base_ns + t * 1e9
        picture = busy(rng)
        for k, (at, log) in enumerate(zip(events_ns, logs)):
            if stall and stall[0] == k and at <= grab < at + 300 * MS and i % 2:
                grab += stall[1] * MS
            if at - 200 * MS <= grab < at:
                picture = flat(0, rng)
            elif at <= grab < log[-1][0] + 300 * MS:
                shown = [lv for ts, lv in log if ts <= grab]
                picture = flat(shown[-1] if shown else 0, rng)
        times.append(t)
        pictures.append(picture)
    return times, pictures, list(zip(events_ns, logs))


class ScreenRamps(unittest.TestCase):
    def test_level_time_takes_each_level_in_the_middle_of_its_time_up(self):
        log = [(0, 0), (10, 100), (30, 200), (40, 255)]
        self.assertEqual(avsync._level_time(log, 0), 5)
        self.assertEqual(avsync._level_time(log, 100), 20)
        self.assertEqual(avsync._level_time(log, 150), 27.5)
        self.assertEqual(avsync._level_time(log, 255), 35)

    def test_each_ramp_gives_the_file_time_lines_place_on_the_clock(self):
        rng = random.Random(1)
        base = 5_000_000 * MS
        events = [base + (2000 + 2000 * k) * MS + 7 * MS for k in range(5)]
        times, pictures, shown = record(events, base, 12, rng)
        ramps = avsync.find_ramps(times, pictures, shown)
        self.assertEqual(len(ramps), 5)
        for k, ramp in enumerate(ramps):
            self.assertIsNotNone(ramp, k)
            # To the luma's rounding (a level is 1.2 ms of the ramp).
            self.assertAlmostEqual(ramp["base"], base / MS, delta=1.0)
            self.assertGreaterEqual(ramp["pictures"], 3)
            self.assertLess(ramp["spread"], 5.0)

    def test_an_event_the_pictures_lost_is_none_and_the_others_still_match(self):
        rng = random.Random(2)
        base = 9_000_000 * MS
        events = [base + (2000 + 2000 * k) * MS for k in range(5)]
        times, pictures, shown = record(events, base, 12, rng)
        # Event 2 was shown but its pictures were dropped (a long stall).
        lost = [i for i, t in enumerate(times) if 5.5 <= t < 7.0]
        for i in lost:
            pictures[i] = busy(rng)
        ramps = avsync.find_ramps(times, pictures, shown)
        self.assertIsNone(ramps[2])
        for k in (0, 1, 3, 4):
            self.assertAlmostEqual(ramps[k]["base"], base / MS, delta=1.0)
            self.assertAlmostEqual(ramps[k]["at_ns"], events[k])

    def test_grabs_held_up_after_their_stamps_show_as_a_spread(self):
        rng = random.Random(3)
        base = 1_000_000 * MS
        events = [base + (2000 + 2000 * k) * MS for k in range(3)]
        times, pictures, shown = record(events, base, 8, rng, stall=(1, 60))
        ramps = avsync.find_ramps(times, pictures, shown)
        self.assertLess(ramps[0]["spread"], 5.0)
        self.assertGreater(ramps[1]["spread"], avsync.SPREAD_LIMIT_MS)

    def test_a_black_screen_between_the_events_does_not_merge_them(self):
        rng = random.Random(4)
        base = 3_000_000 * MS
        events = [base + (2000 + 2000 * k) * MS for k in range(4)]
        times, pictures, shown = record(events, base, 10, rng)
        # After the first event the screen stays black (nothing repaints it).
        first_white_end = None
        for i, t in enumerate(times):
            if t > 3.0 and first_white_end is None:
                first_white_end = i
            level = avsync._uniform_level(pictures[i])
            if first_white_end is not None and level is None:
                pictures[i] = flat(0, rng)
        ramps = avsync.find_ramps(times, pictures, shown)
        self.assertTrue(all(r is not None for r in ramps))
        for r in ramps:
            self.assertAlmostEqual(r["base"], base / MS, delta=1.0)


if __name__ == "__main__":
    unittest.main()
