#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The benchmark report's verdicts: the speed-ups, the verdict table and the
goals it prints, the fill threshold it recommends, and the warnings it opens
with (emulation, a busy machine, a missing peer), computed from synthetic
runs whose answers are known."""
import json
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
import bench_report as report  # noqa: E402

GHZ = 2.0


def load(times, routines=(), mixes=(), **context):
    """A Run from {(workload, candidate, layout, size): [ns per call, ...]},
    written as the benchmark writes it: a candidate of `routines` that was
    not measured reports its status as its benchmark's error, and a mix of
    `mixes` carries its calls, bytes and description."""
    benchmarks = [{"run_name": "/".join(map(str, key)), "run_type": "iteration",
                   "cpu_time": t, "time_unit": "ns"}
                  for key, samples in times.items() for t in samples]
    for r in routines:
        context[f"sse2str.{r['name']}.ceiling"] = r["ceiling"]
        benchmarks += [{"run_name": f"{r['name']}:{s}/{c['name']}/0/1", "run_type": "iteration",
                        "cpu_time": 0.0, "error_occurred": True, "error_message": c["status"]}
                       for s in r["scenarios"] for c in r["candidates"] if c["status"] != "measured"]
    for b in benchmarks:
        for m in mixes:
            if b["run_name"].startswith(m["workload"] + "/"):
                b.update(calls=float(m["calls"]), mix_bytes=m["bytes"], label=m["description"])
    for i, b in enumerate(benchmarks):
        b["family_index"] = i
    context["sse2str.tsc_ghz"] = str(GHZ)
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
        # The threshold is C - (C >> shift); the benchmark exports the shift.
        for shift in (1, 4, 6):
            def threshold(c):
                return c - (c >> shift)
            for t in list(range(0, 5000)) + [2048, 1 << 20, 0xF0000000]:
                c = report.cache_size_for(t, shift)
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
                # The goals below 16 B hold the returning hook's build to them.
                for build in (report.OURS, report.OURS_HOOK):
                    times[("memchr:end", build, offset, size)] = [ours(size, offset), 1e9]
                for name, peer in zip(report.PEERS, peers):
                    times[("memchr:end", name, offset, size)] = [peer(size, offset)]
            times[("ceiling:load", "ceiling", 0, size)] = [ceiling(size) if ceiling else 1.0]
        return load(times, [self.ROUTINE])

    def test_speed_up_is_against_the_fastest_peer_by_minimum(self):
        run = self.run_with(lambda s, o: 10.0, [lambda s, o: 40.0, lambda s, o: 30.0,
                                                lambda s, o: 50.0])
        self.assertAlmostEqual(run.speedup("memchr:end", "0", 16), 3.0)
        self.assertAlmostEqual(run.speedup_over(["memchr:end"], 256, 65537), 3.0)

    def test_each_target_fails_where_it_should(self):
        # Slower than a peer at 16 B from offset 5 only; 2x from 256 B; 1.5x
        # the peer's time at 8 B; 50 % of the ceiling at 4 KiB.
        ours = {8: 15.0, 16: 10.0, 256: 10.0, 4096: 4096 / (GHZ * 16)}
        def mine(s, o):
            return 11.0 if (s, o) == (16, 5) else ours[s]
        run = self.run_with(mine, [lambda s, o: 10.0 if s <= 16 else 20.0 if s == 256 else 4096 / GHZ / 4] * 3,
                            ceiling=lambda s: s / (GHZ * 32))
        rows = report.targets(run, "memchr")
        self.assertEqual([ok for _, _, ok in rows], [False, False, False, False])
        self.assertIn("layout 5, 16 B", rows[0][1])
        self.assertIn("1.50x", rows[2][1])
        self.assertIn("50%", rows[3][1])

    def test_targets_pass_when_met(self):
        run = self.run_with(lambda s, o: 10.0, [lambda s, o: 12.0 if s < 16 else 40.0] * 3,
                            ceiling=lambda s: 9.0)
        self.assertTrue(all(ok for _, _, ok in report.targets(run, "memchr")))


def routine(name, missing=()):
    return {"name": name, "ceiling": "load", "scenarios": ["end"],
            "candidates": [{"name": c, "status": "not linked" if c in missing else "measured"}
                           for c in report.CANDIDATES]}


class Verdict(unittest.TestCase):
    """Speed-ups by size class and on the mixes, hook-free, with the returning
    hook and with the platform's _mcount; what each way of linking costs."""
    MIX = {"workload": "mix:memchr:lines", "routine": "memchr", "name": "lines",
           "description": "", "calls": 100, "bytes": 5000.0}

    def run_with(self, missing=()):
        times = {}
        for size, peer in ((8, 40.0), (64, 20.0), (4096, 10.0)):
            # The builds add a fixed cost per call, the dispatch 1 ns; at
            # 4 KiB, past the sizes that show it, the hook's time is noise.
            for c, t in (("sse2str", 5.0), ("sse2str_hook", 10.0 if size < 4096 else 99.0),
                         ("sse2str_mcount", 20.0), ("sse2str_dispatch", 6.0)):
                if c not in missing:
                    times[("memchr:end", c, "0", size)] = [t, 99.0]
            for p in report.PEERS:
                if p not in missing:
                    times[("memchr:end", p, "0", size)] = [peer if p == "musl" else 2 * peer]
        # Whole sequences of 100 calls: 1000 ns is 10 ns per call.
        for c, t in (("sse2str", 800.0), ("sse2str_hook", 1000.0), ("sse2str_mcount", 1500.0),
                     ("sse2str_dispatch", 850.0), ("musl", 1200.0), ("dietlibc", 600.0), ("byte_loop", 3000.0)):
            if c not in missing:
                times[("mix:memchr:lines", c, "random", 100)] = [t]
        return load(times, [routine("memchr", missing)], [self.MIX], num_cpus=2)

    def test_rows_give_each_class_and_each_mix(self):
        rows = report.verdict(self.run_with())
        self.assertEqual([label for label, _, _ in rows], ["memchr (sizes)", "memchr: lines (50 B/call)"])
        # Hook-free first, then the returning hook, then the platform's _mcount.
        for cell, expected in zip(rows[0][1], ((8.0, 4.0, 2.0), (4.0, 2.0, 1.0), (2.0, 10 / 99, 0.5))):
            self.assertEqual([round(v, 9) for v in cell], [round(v, 9) for v in expected])
        self.assertIsNone(rows[1][1])
        # The best peer on the mix is dietlibc, 6 ns per call against our 8, 10 and 15.
        self.assertEqual([round(v, 9) for v in rows[1][2]], [0.75, 0.6, 0.4])
        self.assertEqual(report.figures(rows[1][2]), "0.75× / 0.60× / 0.40×")

    def test_a_missing_peer_leaves_the_best_of_the_others(self):
        run = self.run_with(missing=("dietlibc",))
        self.assertAlmostEqual(run.mix_speedup(self.MIX["workload"]), 1.5)
        self.assertAlmostEqual(run.mix_speedup(self.MIX["workload"], report.OURS_HOOK), 1.2)
        self.assertAlmostEqual(run.mix_speedup(self.MIX["workload"], against=("byte_loop",)), 3.75)

    def test_the_table_has_a_column_per_class_and_the_mix(self):
        table = report.verdict_table(report.verdict(self.run_with()))
        self.assertEqual(table[0].count("|"), len(report.CLASSES) + 3)
        self.assertEqual(table[3].split("|")[-2].strip(), "0.75× / 0.60× / 0.40×")

    def test_costs_are_against_the_hook_free_call_below_the_large_sizes(self):
        run = self.run_with()
        hook, mcount, dispatch = (run.extra_cost("memchr", c, report.COST_BELOW) for c in report.COSTS)
        self.assertEqual(hook, (5.0, 2.0))  # 4 KiB's 99 ns left out
        self.assertEqual(mcount, (15.0, 4.0))
        self.assertAlmostEqual(dispatch[0], 1.0)
        self.assertEqual([c.strip() for c in report.costs_table(run)[2].split("|")[1:-1]],
                         ["memchr", "+5.0 ns (2.00×)", "+15.0 ns (4.00×)", "+1.0 ns (1.20×)"])
        mixes = report.mix_table(run)
        header = [c.strip() for c in mixes[0].split("|")]
        self.assertEqual(mixes[2].split("|")[header.index("dispatch adds (ns)")].strip(), "0.5")
        self.assertEqual(mixes[2].split("|")[header.index("platform `_mcount` adds (ns)")].strip(), "7.0")

    def test_a_way_of_linking_not_measured_costs_nothing_it_can_show(self):
        run = self.run_with(missing=("sse2str_dispatch",))
        self.assertIsNone(run.extra_cost("memchr", report.OURS_DISPATCH, report.COST_BELOW))
        self.assertEqual(report.costs_table(run)[2].split("|")[-2].strip(), "–")
        self.assertNotIn("dispatch adds (ns)", report.mix_table(run)[0])
        # A build not measured leaves its place in each verdict cell.
        rows = report.verdict(self.run_with(missing=("sse2str_mcount",)))
        self.assertEqual(report.figures(rows[0][1][0]), "8.00× / 4.00× / –")


class Conditions(unittest.TestCase):
    def test_a_peer_that_could_not_be_had_is_named_with_the_reason(self):
        run = Verdict().run_with(missing=("dietlibc",))
        peers = {"musl": {"package": "musl-dev:i386", "version": "1.2.3-1",
                          "routines": {"memchr": {"status": "linked", "note": ""}}},
                 "diet": {"package": "dietlibc-dev:i386",
                          "routines": {"memchr": {"status": "left out",
                                                  "note": "dietlibc-dev:i386 unavailable (no lists)"}}}}
        md = report.conditions(run, peers, None, None)
        self.assertIn("> **Warning: dietlibc is missing** from this run: dietlibc-dev:i386 "
                      "unavailable (no lists).", "\n".join(md))
        self.assertIn("Peers measured: musl (musl-dev:i386 1.2.3-1), byte loop.", md)
        # Without a manifest at all the peer is still named, with the cause.
        self.assertIn("bench_peers.py did not run", "\n".join(report.conditions(run, {}, None, None)))

    def test_a_wrong_result_is_named_as_the_reason_a_candidate_is_left_out(self):
        wrong = "wrong result (end, layout 0, size 16)"
        memchr = routine("memchr")
        memchr["candidates"][report.CANDIDATES.index("musl")]["status"] = wrong
        run = load({("memchr:end", c, "0", 16): [10.0] for c in report.CANDIDATES if c != "musl"}, [memchr])
        self.assertIn(f"- musl: not measured: {wrong}.", report.notes(run, "memchr", {}))
        peers = {"musl": {"package": "musl-dev:i386", "routines": {}}}
        self.assertIn(f"> **Warning: musl is missing** from this run: {wrong}.",
                      "\n".join(report.conditions(run, peers, None, None)))

    def test_load_counts_the_start_and_the_end_beside_the_benchmark(self):
        quiet = load({}, num_cpus=2, load_avg=[0.9, 0.5, 0.4])
        self.assertEqual(report.busy(quiet, 1.9), [])
        self.assertEqual(len(report.busy(quiet, 2.1)), 1)
        self.assertEqual(len(report.busy(load({}, num_cpus=2, load_avg=[1.1]), 0.5)), 1)

    def test_emulation_is_what_the_kernel_runs_for_the_probe(self):
        # A program the kernel runs itself names itself; a script names the
        # interpreter it was handed to, as an emulated i386 program names
        # qemu.
        with tempfile.TemporaryDirectory() as scratch:
            native, script = os.path.join(scratch, "native"), os.path.join(scratch, "script")
            shutil.copy(shutil.which("cat"), native)
            with open(script, "w") as f:
                f.write("#!/bin/sh\ncat >/dev/null\n")
            os.chmod(script, 0o755)
            self.assertIsNone(report.emulation(native))
            self.assertEqual(report.emulation(script), os.path.realpath("/bin/sh"))
        md = report.conditions(load({}), {}, None, "/usr/bin/qemu-i386")
        self.assertTrue(md[0].startswith("> **Warning: measured under emulation.**"))

if __name__ == "__main__":
    unittest.main()
