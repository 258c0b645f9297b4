#!/usr/bin/env python3
"""The benchmark report's verdicts: the speed-ups and targets it prints, and
the fill threshold it recommends, computed from synthetic runs whose answers
are known."""
import importlib.util
import json
import os
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
found = importlib.util.spec_from_file_location(
    "bench_report", os.path.join(HERE, "..", "scripts", "bench_report.py"))
report = importlib.util.module_from_spec(found)
found.loader.exec_module(report)

GHZ = 2.0


def load(times, routines=()):
    """A Run from {(workload, candidate, offset, size): [ns per call, ...]}."""
    benchmarks = [{"run_name": "/".join(map(str, key)), "run_type": "iteration",
                   "cpu_time": t, "time_unit": "ns"}
                  for key, samples in times.items() for t in samples]
    context = {"sse2str.tsc_ghz": str(GHZ), "sse2str.routines": json.dumps(list(routines))}
    with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as f:
        json.dump({"context": context, "benchmarks": benchmarks}, f)
    try:
        return report.Run(f.name)
    finally:
        os.unlink(f.name)


def fill_sweep(string_over_block):
    """Tuning samples: the string store's speed relative to the block loop."""
    times = {}
    for size, ratio in string_over_block.items():
        times[("tune:memset", "block_loop", 0, size)] = [100.0] * 3
        times[("tune:memset", "string_store", 0, size)] = [100.0 / ratio] * 3
    return times


class Threshold(unittest.TestCase):
    def test_cache_size_is_the_smallest_that_reaches_the_threshold(self):
        def threshold(c):
            return c - (c >> 4)
        for t in list(range(0, 5000)) + [2048, 1 << 20, 0xF0000000]:
            c = report.cache_size_for(t)
            self.assertGreaterEqual(threshold(c), t)
            if c:
                self.assertLess(threshold(c - 1), t)

    def test_crossover_is_where_the_string_store_wins_for_good(self):
        # Loses, wins in the first-level cache, then ties within noise.
        run = load(fill_sweep({1024: 0.7, 2048: 1.1, 4096: 1.8, 65536: 0.97, 1 << 20: 1.02}))
        self.assertEqual(report.tuning(run)[1], 2048)

    def test_a_real_loss_later_moves_the_crossover_past_it(self):
        run = load(fill_sweep({1024: 0.7, 2048: 1.1, 65536: 0.8, 1 << 20: 1.1}))
        self.assertEqual(report.tuning(run)[1], 1 << 20)
        run = load(fill_sweep({1024: 1.5, 1 << 20: 0.9}))
        self.assertIsNone(report.tuning(run)[1])

    def test_a_loss_in_the_median_alone_is_noise(self):
        times = fill_sweep({1024: 0.7, 2048: 1.2, 4096: 1.8, 1 << 20: 1.0})
        # One slow repetition of the string store at 512 KiB: its median
        # loses, its minimum ties.
        times[("tune:memset", "block_loop", 0, 1 << 19)] = [100.0] * 3
        times[("tune:memset", "string_store", 0, 1 << 19)] = [101.0, 110.0, 110.0]
        self.assertEqual(report.tuning(load(times))[1], 2048)

    def test_the_rule_compares_medians_not_lucky_minima(self):
        times = fill_sweep({1024: 0.7, 2048: 1.2})
        times[("tune:memset", "block_loop", 0, 2048)] = [50.0, 100.0, 100.0]
        self.assertEqual(report.tuning(load(times))[1], 2048)


class Verdicts(unittest.TestCase):
    ROUTINE = {"name": "memchr", "ceiling": "load", "scenarios": ["end"],
               "candidates": [{"name": c, "status": "measured"} for c in report.CANDIDATES]}

    def run_with(self, ours, peers, sizes=(8, 16, 256, 4096), ceiling=None):
        times = {}
        for size in sizes:
            for offset in (0, 5):
                times[("memchr:end", "sse2str", offset, size)] = [ours(size, offset), 1e9]
                for name, peer in zip(report.PEERS, peers):
                    times[("memchr:end", name, offset, size)] = [peer(size, offset)]
            times[("ceiling:load", "ceiling", 0, size)] = [ceiling(size) if ceiling else 1.0]
        return load(times, [self.ROUTINE])

    def test_speed_up_is_against_the_fastest_peer_by_minimum(self):
        run = self.run_with(lambda s, o: 10.0, [lambda s, o: 40.0, lambda s, o: 30.0,
                                                lambda s, o: 50.0])
        self.assertAlmostEqual(run.speedup("memchr:end", 0, 16), 3.0)
        self.assertAlmostEqual(run.speedup_over("memchr:end", 256, 65537), 3.0)

    def test_each_target_fails_where_it_should(self):
        # Slower than a peer at 16 B from offset 5 only; 2x from 256 B; 1.5x
        # the peer's time at 8 B; 50 % of the ceiling at 4 KiB.
        ours = {8: 15.0, 16: 10.0, 256: 10.0, 4096: 4096 / (GHZ * 16)}
        def mine(s, o):
            return 11.0 if (s, o) == (16, 5) else ours[s]
        run = self.run_with(mine, [lambda s, o: 10.0 if s <= 16 else 20.0 if s == 256 else 4096 / GHZ / 4] * 3,
                            ceiling=lambda s: s / (GHZ * 32))
        rows = report.targets(run, self.ROUTINE)
        self.assertEqual([ok for _, _, ok in rows], [False, False, False, False])
        self.assertIn("offset 5, 16 B", rows[0][1])
        self.assertIn("1.50x", rows[2][1])
        self.assertIn("50%", rows[3][1])

    def test_targets_pass_when_met(self):
        run = self.run_with(lambda s, o: 10.0, [lambda s, o: 12.0 if s < 16 else 40.0] * 3,
                            ceiling=lambda s: 9.0)
        self.assertTrue(all(ok for _, _, ok in report.targets(run, self.ROUTINE)))


if __name__ == "__main__":
    unittest.main()
