# SPDX-License-Identifier: MIT
"""A benchmark run as tables (pandas), and the verdicts drawn from them.

What the benchmark hands over, and where, is in docs/BENCHMARK.md ("What
the benchmark hands the report"); the goals and margins are in
bench/goals.toml.
"""
import bisect
import json
import os
import tomllib

import numpy as np
import pandas as pd

# Our routines as programs link them: hook-free (the default build); the
# profiling build, which calls `_mcount` on entry, with a hook that returns at
# once and with the platform C library's own `_mcount`; and the hook-free
# routines reached through the dispatch's indirect functions.
OURS, OURS_HOOK, OURS_MCOUNT, OURS_DISPATCH = VARIANTS = (
    "sse2str", "sse2str_hook", "sse2str_mcount", "sse2str_dispatch")
BUILDS = (OURS, OURS_HOOK, OURS_MCOUNT)  # the three figures of each verdict cell
PEERS = ("musl", "dietlibc", "byte_loop")
CANDIDATES = VARIANTS + PEERS
LABELS = {OURS: "sse2str", OURS_HOOK: "sse2str, returning hook", OURS_MCOUNT: "sse2str, platform _mcount",
          OURS_DISPATCH: "sse2str, dispatch", "musl": "musl", "dietlibc": "dietlibc", "byte_loop": "byte loop",
          "ceiling": "ceiling (aligned)"}
KEY = ["workload", "candidate", "layout", "size"]
FIELDS = {"first": "first", "second": "second", "calls": "calls", "mix_bytes": "bytes", "label": "description"}
with open(os.path.join(os.path.dirname(__file__), "..", "bench", "goals.toml"), "rb") as f:
    GOALS = tomllib.load(f)
CLASSES = [(c["name"], c["low"], c["high"]) for c in GOALS["classes"]]


def geomean(values):
    v = pd.Series(list(values), dtype=float)
    return float(np.exp(np.log(v[v > 0]).mean())) if (v > 0).any() else None


def value(series, key):
    """series[key], or None when it is missing or not a number."""
    v = None if series is None else series.get(key)
    return None if v is None or pd.isna(v) else float(v)


def size_label(size):
    if size >= 1 << 20 and size % (1 << 20) == 0:
        return f"{size >> 20} MiB"
    return f"{size / 1024:g} KiB" if size >= 1 << 10 and size % (1 << 9) == 0 else f"{size} B"


def repetitions(benchmarks):
    """A row per repetition run, in the order the benchmark registered them:
    the four parts of its name, its CPU time per call in ns or the error that
    kept it from running, and its counters and label."""
    scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
    runs = sorted((b for b in benchmarks if b.get("run_type") == "iteration"), key=lambda b: b.get("family_index", 0))
    frame = pd.DataFrame([(*b["run_name"].split("/"), b["cpu_time"] * scale[b.get("time_unit", "ns")],
                           b.get("error_message", "error") if b.get("error_occurred") else None,
                           *(b.get(field) for field in FIELDS)) for b in runs],
                         columns=KEY + ["time", "error"] + list(FIELDS.values())).astype({"size": int})
    for column in KEY[:3]:  # as categories, which keep that order through groupby and unstack
        frame[column] = pd.Categorical(frame[column], categories=frame[column].drop_duplicates())
    return frame


class Run:
    """Times per call in ns, the minimum and the median over the repetitions,
    by workload, candidate, layout and size; and the speed-ups and bytes per
    cycle they give."""

    def __init__(self, path):
        with open(path) as f:
            data = json.load(f)
        self.context, frame = data["context"], repetitions(data["benchmarks"])
        self.ghz, self.quick = float(self.context["sse2str.tsc_ghz"]), self.context.get("sse2str.quick") == "1"
        ok, kinds = frame[frame.error.isna()], [w.split(":") for w in frame.workload.cat.categories]
        self.status_of = frame.groupby(KEY[:2], observed=True).error.first().fillna("measured")
        self.times = ok.groupby(KEY, observed=True).time.agg(["min", "median"])
        self.repetitions = int(ok.groupby(KEY, observed=True).size().max()) if len(ok) else 0
        self.offsets = ok.groupby(["workload", "layout"], observed=True)[["first", "second"]].first()
        self.sizes, self.layouts = {}, {}
        for w, g in self.times.index.to_frame(index=False).groupby("workload", observed=True):
            self.sizes[w], self.layouts[w] = sorted(g["size"].unique()), list(g.layout.unique())
        self.routines = list(dict.fromkeys(k[0] for k in kinds if k[0] not in ("mix", "ceiling", "tune")))
        self.workloads = {r: [":".join(k) for k in kinds if k[0] == r] for r in self.routines}
        self.ceiling = {r: self.context.get(f"sse2str.{r}.ceiling", "") for r in self.routines}
        self.character_size = {r: int(self.context.get(f"sse2str.{r}.character_size", 1)) for r in self.routines}
        mins = self.times["min"].unstack("candidate").rename(columns=str)
        self.bytes_per_cycle = mins.rdiv(mins.index.get_level_values("size"), axis=0) / self.ghz
        best = mins.reindex(columns=PEERS).min(axis=1)
        self.mins = mins
        self.speedups = pd.DataFrame({c: best / mins[c] for c in VARIANTS if c in mins}, index=mins.index)
        self.speedups_at = self.speedups.groupby(level=["workload", "size"], observed=True).agg(geomean)
        # A row per mix: what it is, and each candidate's time per call.
        mixes = ok[ok.workload.str.startswith("mix:")].groupby("workload", observed=True)
        mixes = mixes[["calls", "bytes", "description"]].first()
        per_call = mins[mins.index.get_level_values("workload").isin(mixes.index)].droplevel(["layout", "size"])
        self.mixes = mixes.join(per_call.div(mixes.calls, axis=0)).rename(index=str)

    def status(self, routine, candidate):
        """"measured", why not (the benchmarks' error), or None when absent."""
        found = [self.status_of.get((w, candidate)) for w in self.workloads.get(routine, [])]
        return "measured" if "measured" in found else next((s for s in found if s), None)

    def measured(self, routine):
        return [c for c in CANDIDATES if self.status(routine, c) == "measured"]

    def bpc(self, workload, candidate, layout, size):
        return value(self.bytes_per_cycle.get(candidate), (workload, str(layout), size))

    def bpc_at(self, workload, candidates):
        """Bytes per cycle by size, the geometric mean over the layouts."""
        return self.bytes_per_cycle.loc[workload][candidates].groupby(level="size").agg(geomean)

    def ceiling_bpc(self, routine):
        """The bytes per cycle of the routine's ceiling, by size."""
        w = f"ceiling:{self.ceiling[routine]}"
        return self.bytes_per_cycle.loc[w, "ceiling"].droplevel("layout") if w in self.sizes else pd.Series(dtype=float)

    def speedup(self, workload, layout, size, candidate=OURS):
        return value(self.speedups.get(candidate), (workload, str(layout), size))

    def speedup_over(self, workloads, low, high, candidate=OURS):
        """The geometric mean over the sizes in [low, high) of every workload of
        the geometric mean over the layouts."""
        at = self.speedups_at.get(candidate)
        if at is None:
            return None
        w, s = (at.index.get_level_values(n) for n in ("workload", "size"))
        return geomean(at[w.isin(workloads) & (s >= low) & (s < high)])

    def extra_cost(self, routine, candidate, below):
        """What `candidate` adds to the hook-free routine's time per call on
        the tight loops below `below` bytes: (the median over sizes and
        layouts of the difference in ns, the geometric mean of the ratio), or
        None when either was not measured."""
        if candidate not in self.mins or OURS not in self.mins:
            return None
        t = self.mins[self.mins.index.get_level_values("workload").isin(self.workloads.get(routine, []))]
        t = t[t.index.get_level_values("size") < below][[OURS, candidate]].dropna()
        if not len(t):
            return None
        return float((t[candidate] - t[OURS]).median()), geomean(t[candidate] / t[OURS])

    def mixes_of(self, routine):
        return [m for m in self.mixes.index if m.split(":")[1] == routine]

    def mix_speedup(self, mix, candidate=OURS, against=PEERS):
        ours, peers = value(self.mixes.get(candidate), mix), [value(self.mixes.get(p), mix) for p in against]
        return min(filter(None, peers)) / ours if ours and any(peers) else None


def mix_name(mix):
    return mix.split(":", 2)[2]


def is_differ_mix(mix):
    return mix_name(mix).startswith("differ-")


def verdict(run):
    """Rows of (label, [a figure per build (BUILDS) per class], the figures for the mix or None)."""
    rows = []
    for routine in (r for r in run.routines if run.status(r, OURS) == "measured"):
        rows.append((f"{routine} (sizes)", [tuple(run.speedup_over(run.workloads[routine], lo, hi, c)
                                                  for c in BUILDS) for _, lo, hi in CLASSES], None))
        differ = [m for m in run.mixes_of(routine) if is_differ_mix(m)]
        rows += [(f"{routine}: {mix_name(m)} ({run.mixes.bytes[m] / run.mixes.calls[m]:.0f} B/call)", None,
                  tuple(run.mix_speedup(m, c) for c in BUILDS)) for m in run.mixes_of(routine) if m not in differ]
        if differ:
            rows.append((f"{routine}: differ at random ({len(differ)} pass kinds)", None,
                         tuple(geomean(run.mix_speedup(m, c) for m in differ) for c in BUILDS)))
    return rows


def targets(run, routine):
    """Lines of (goal, measured, met) for a routine whose module was measured."""
    g, rows, l1 = GOALS["goals"], [], size_label(GOALS["goals"]["l1_size"])
    for workload in run.workloads[routine]:
        s = run.speedups[OURS].xs(workload, level="workload").dropna()
        hooked = run.speedups[OURS_HOOK].xs(workload, level="workload").dropna() \
            if OURS_HOOK in run.speedups else s.iloc[:0]
        size, hooked_size = s.index.get_level_values("size"), hooked.index.get_level_values("size")
        if len(large := s[size >= g["at_least_peer_from"]]):
            layout, at = large.idxmin()
            rows.append((f"{workload}: at least the best peer at every size >= {g['at_least_peer_from']} B",
                         f"lowest {large.min():.2f}x (layout {layout}, {size_label(at)})", large.min() >= 1))
        low, high = g["factor_sizes"]
        if mean := run.speedup_over([workload], low, high + 1):
            rows.append((f"{workload}: >= {g['factor']:g}x the best peer, {size_label(low)} to {size_label(high)}"
                         " (geometric mean)", f"{mean:.2f}x", mean >= g["factor"]))
        if len(small := hooked[hooked_size < g["small_below"]]):
            layout, at = small.idxmin()
            rows.append((f"{workload}: below {g['small_below']} B within {g['small_slack']}x the best peer's time "
                         "(with the returning hook)",
                         f"worst {1 / small.min():.2f}x the peer's time (layout {layout}, {size_label(at)})", 1 / small.min() <= g["small_slack"]))
        ours, top = run.bpc(workload, OURS, 0, g["l1_size"]), value(run.ceiling_bpc(routine), g["l1_size"])
        if routine in g["ceiling_routines"] and ours and top:
            rows.append((f"{workload}: >= {g['ceiling_share']:.0%} of the {run.ceiling[routine]} ceiling at {l1} "
                         "(L1, aligned)", f"{ours / top:.0%} ({ours:.1f} of {top:.1f} B/cycle)",
                         ours / top >= g["ceiling_share"]))
        for layout in run.layouts[workload] if run.character_size[routine] > 1 else []:
            if cpc := (run.bpc(workload, OURS, layout, g["l1_size"]) or 0) / run.character_size[routine]:
                rows.append((f"{routine} {layout}: >= {g['wide_characters_per_cycle']:g} characters per cycle, "
                             f"equal strings of {l1}", f"{cpc:.2f}", cpc >= g["wide_characters_per_cycle"]))
    for mix in run.mixes_of(routine):
        nohook, hook = (run.mix_speedup(mix, c) for c in (OURS, OURS_HOOK))
        if hook and nohook:
            rows.append((f"mix {routine}:{mix_name(mix)}: >= {g['mix_nohook']}x the best peer without the hook, "
                         f">= {g['mix_hook']}x with it", f"{nohook:.2f}x without, {hook:.2f}x with",
                         nohook >= g["mix_nohook"] and hook >= g["mix_hook"]))
    return rows


def cache_size_for(threshold, shift):
    """The smallest cache size C whose threshold C - (C >> shift) reaches `threshold`."""
    return bisect.bisect_left(range(2 * threshold + 2), threshold, key=lambda c: c - (c >> shift))


def tuning(run):
    """(sweep, crossover size or None); the sweep: bytes per cycle of the block
    loop and the string store by size, by the minimum and the median time.

    The crossover is the smallest size at which the string store is faster
    (by the medians) and from which on it never really loses: a later size
    counts as a loss only when it is slower by more than the tie margin by
    the medians and the minima alike.  Past the first-level cache both run at
    the cache's bandwidth, and one noisy repetition, or a lucky minimum, must
    not move the threshold by hundreds of kilobytes."""
    if "tune:memset" not in run.sizes:
        return pd.DataFrame(), None
    t = run.times.loc["tune:memset"].droplevel("layout").unstack("candidate")
    sweep = t.rdiv(t.index, axis=0).div(run.ghz).dropna()
    sweep.columns = [f"{technique.replace('_', ' ')}, {stat}" for stat, technique in sweep.columns]
    block, string, keep = sweep["block loop, median"], sweep["string store, median"], 1 - GOALS["threshold"]["tie"]
    loses = (string < block * keep) & (sweep["string store, min"] < sweep["block loop, min"] * keep)
    wins = sweep.index[(string > block) & ~loses[::-1].cummax()[::-1]]
    return sweep, int(wins[0]) if len(wins) else None
