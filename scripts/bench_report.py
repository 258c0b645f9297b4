#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Turns a benchmark run into OUT/report.md, OUT/plots/*.png (bench_plots.py)
and the verdict on the console; with --readme, the README's headline too.

  bench_report.py --results build/bench/results.json
                  --peers build/bench/peers/peers.json --out build/bench
                  [--load-end 1.23] [--readme README.md]

The tables come from bench_results.py; docs/BENCHMARK.md says how the
benchmark measures and what the report holds, and the report links to it.
"""
import argparse
import json
import os
import re
import shutil
import sys

import pandas as pd

from bench_results import (BUILDS, CANDIDATES, CLASSES, GOALS, LABELS, OURS, OURS_DISPATCH, OURS_HOOK, OURS_MCOUNT,
                           PEERS, Run, cache_size_for, geomean, is_differ_mix, mix_name, size_label, targets, tuning,
                           value, verdict)
from i386_emulation import emulation

PEER_LIBC = {"musl": "musl", "dietlibc": "diet"}  # their keys in the peers' manifest (bench_peers.py)


def fmt(v, digits=2, unit=""):
    return "–" if v is None or pd.isna(v) else f"{v:.{digits}f}{unit}"


def fmt1(v):
    return fmt(v, 1)


def times(v):
    return fmt(v, unit="×")


def figures(cell):
    """A verdict cell: one figure per build, hook-free first."""
    return "" if cell is None else " / ".join(map(times, cell)) if any(cell) else "–"


def table(rows, columns=None):
    frame = rows if columns is None else pd.DataFrame(rows, columns=columns)
    return frame.to_markdown(index=False, disable_numparse=True).splitlines()


def read(path):
    with open(path) as f:
        return f.read()


# ---- the conditions of the run -----------------------------------------------

def cells(frame, f):
    """`frame` with `f` applied to every cell: DataFrame.map where pandas has
    it (2.1 on), applymap, its older name, before."""
    return frame.map(f) if hasattr(pd.DataFrame, "map") else frame.applymap(f)


def busy(run, load_end):
    """The reasons the machine counted as busy, as text; empty when quiet."""
    cpus, share = run.context.get("num_cpus") or 1, GOALS["conditions"]["busy_share"]
    start = (run.context.get("load_avg") or [0.0])[0]
    return ([f"load average {start:.2f} at the start"] if start > share * cpus else []) + \
        ([f"{load_end:.2f} at the end"] if load_end is not None and load_end > 1 + share * cpus else [])


def peer_note(peers, peer, routine):
    return peers.get(PEER_LIBC.get(peer), {}).get("routines", {}).get(routine, {}).get("note")


def conditions(run, peers, load_end, emulator):
    """The opening lines: warnings first, then the run's facts."""
    md, cpus = [], run.context.get("num_cpus", "?")
    if emulator:
        md += [f"> **Warning: measured under emulation.** This machine runs i386 programs through `{emulator}`, "
               "so every time here is the emulator's: it says how the translated code ran, not how "
               "the routines run on an x86 processor. Do not read these numbers as hardware results.", ""]
    if busy(run, load_end):
        md += [f"> **Warning: the machine was busy** ({' and '.join(busy(run, load_end))}, on {cpus} processors): "
               "other work shared the cores, and the times may be inflated unevenly.", ""]
    measured = {}
    for peer in PEERS:
        statuses, entry = [run.status(r, peer) for r in run.routines], peers.get(PEER_LIBC.get(peer), {})
        if "measured" in statuses:
            measured[peer] = f" ({entry['package']} {entry['version']})" if entry.get("version") else ""
            continue
        notes = [s.get("note") for s in entry.get("routines", {}).values() if s.get("note")]
        if peer in PEER_LIBC and not entry:
            notes = ["the peers' manifest has no entry for it (bench_peers.py did not run)"]
        md += [f"> **Warning: {LABELS[peer]} is missing** from this run: "
               f"{(notes or [s for s in statuses if s] or ['not measured'])[0]}. The speed-ups are against the "
               "peers that were measured.", ""]
    if run.quick:
        md += ["> Quick run (`make bench QUICK=1`): fewer sizes, offsets, repetitions and calls per mix, and no "
               "fill threshold sweep. Run `make bench` for the figures to quote.", ""]
    md += [f"Peers measured: {', '.join(LABELS[p] + v for p, v in measured.items()) or 'none'}."]
    md += [f"{LABELS[p]} {r} not measured: {peer_note(peers, p, r) or run.status(r, p) or 'absent'}."
           for r in run.routines for p in measured if run.status(r, p) != "measured"]
    processor = run.context.get("sse2str.processor")
    return md + ["", f"{'Quick' if run.quick else 'Full'} run of {run.context.get('date', '?')} on {cpus} CPUs "
                 f"{f'({processor}) ' if processor else ''}"
                 f"at {run.context.get('mhz_per_cpu', '?')} MHz; load average "
                 f"{', '.join(f'{x:.2f}' for x in run.context.get('load_avg') or []) or '?'} at the start, "
                 f"{fmt(load_end)} at the end (one minute).", ""]


# ---- the tables --------------------------------------------------------------

def verdict_table(rows):
    return table([[label] + [figures(c) for c in cells or [None] * len(CLASSES)] + [figures(mix)]
                  for label, cells, mix in rows], ["routine or mix"] + [n for n, _, _ in CLASSES] + ["realistic mix"])


def mix_table(run):
    """Time per call of each candidate, our speed-up against each peer, and
    where a gap comes from: what each other way of linking us adds to the
    hook-free call, beside the hook-free call's distance to the best peer, in
    nanoseconds per call."""
    m = run.mixes.reindex(columns=["calls", "bytes", *CANDIDATES])
    shown = [c for c in CANDIDATES if m[c].notna().any()]
    peers = [p for p in PEERS if p in shown]
    t = pd.DataFrame({"mix": [f"{w.split(':')[1]}: {mix_name(w)}" for w in m.index],
                      "calls": m.calls.map("{:.0f}".format), "bytes per call": (m.bytes / m.calls).map(fmt1)})
    t = t.assign(**{f"{LABELS[c]} (ns)": m[c].map(fmt1) for c in shown},
                 **{f"vs {LABELS[p]}": (m[p] / m[OURS]).map(times) for p in peers})
    for c in (c for c in COSTS if c in shown):
        t[f"{COSTS[c]} adds (ns)"] = (m[c] - m[OURS]).map(fmt1)
    t["behind the best peer (ns)"] = (m[OURS] - m[peers].min(axis=1)).clip(lower=0).map(fmt1)
    return table(t)


def wide_table(run, routine, workload):
    """Per pass kind: equal strings by size class, characters per cycle in
    the first-level cache, and strings that differ at a random position."""
    rows, l1 = [], GOALS["goals"]["l1_size"]
    for layout in run.layouts[workload]:
        classes = [figures([geomean(run.speedup(workload, layout, s, c) for s in run.sizes[workload] if lo <= s < hi)
                            for c in BUILDS]) for _, lo, hi in CLASSES]
        bpc, differ = run.bpc(workload, OURS, layout, l1), f"mix:{routine}:differ-{layout}"
        rows.append([layout, "{:.0f}, {:.0f}".format(*run.offsets.loc[(workload, layout)])] + classes +
                    [fmt(bpc / run.character_size[routine] if bpc else None),
                     figures([run.mix_speedup(differ, c) for c in BUILDS]) if differ in run.mixes.index else "–"])
    return table(rows, ["pass kind", "offsets (first, second)"] + [n for n, _, _ in CLASSES] +
                 [f"characters per cycle at {size_label(l1)} (hook-free)", "differ at a random position"])


def routine_table(run, routine, workload):
    t = run.bpc_at(workload, run.measured(routine))
    t = t.assign(ceiling=run.ceiling_bpc(routine).reindex(t.index)).pipe(cells, fmt)
    t.columns = [f"ceiling ({run.ceiling[routine]})" if c == "ceiling" else LABELS[c] for c in t.columns]
    t["speed-up"] = [times(value(run.speedups_at.get(OURS), (workload, s))) for s in t.index]
    return table(t.rename(index=size_label).rename_axis("size").reset_index())


def detail_table(run, routine, workload):
    t = run.times.loc[workload].pipe(cells, "{:.1f}".format)
    t = (t["min"] + " / " + t["median"]).unstack("candidate").rename(columns=str)
    t = t.reindex(columns=run.measured(routine)).fillna("–").rename(columns=LABELS)
    return table(t.rename(index=size_label, level="size").reset_index())


def costs_table(run):
    """A row per routine: what each way of linking of COSTS adds to a
    hook-free call (extra_cost)."""
    def cost(extra):
        return "–" if extra is None else f"{extra[0]:+.1f} ns ({times(extra[1])})"
    return table([[r] + [cost(run.extra_cost(r, c, COST_BELOW)) for c in COSTS]
                  for r in run.routines if run.status(r, OURS) == "measured"], ["routine"] + list(COSTS.values()))


def notes(run, routine, peers):
    """Why a candidate was not measured, or how a peer was linked."""
    lines = []
    for c in CANDIDATES:
        status, note = run.status(routine, c), peer_note(peers, c, routine)
        if status not in ("measured", None):
            lines.append(f"- {LABELS[c]}: not measured: {note or status}.")
        elif note:
            lines.append(f"- {LABELS[c]}: {note}.")
    return lines + [""] if lines else []


# ---- the report --------------------------------------------------------------

VERDICT_TEXT = ("Speed-up against the best peer (the fastest of musl, dietlibc and the plain byte loop at each "
                "point): the peer's time over ours, above 1 when we are faster. Each cell is *hook-free / returning "
                "hook / platform `_mcount`*. The first figure is what a program gets by default: the hook-free "
                "objects, which the default link lines give. A program built for gprof links the profiling objects, "
                "which call `_mcount` on entry: the second figure is theirs with an `_mcount` that returns at once "
                "(the entry frame and the call alone), the third with the platform C library's own `_mcount`, "
                "reached through the PLT as any dynamic program reaches it and run on every call, whether the "
                "program is being profiled or not. Size classes: the geometric mean over the sizes and start offsets "
                "of the tight loops (one size at a time); mixes: a fixed-seed random sequence of calls drawn from "
                "real data, time per call.")
# What each other way of linking our routines costs, against the hook-free call.
COSTS = {OURS_HOOK: "returning hook", OURS_MCOUNT: "platform `_mcount`", OURS_DISPATCH: "dispatch"}
COST_BELOW = CLASSES[-1][1]  # the sizes where a call's fixed cost shows: below the last class
COSTS_TEXT = (f"What each other way of linking the routines adds to the hook-free call: the profiling objects with "
              f"the returning hook and with the platform's `_mcount`, and the hook-free routines called through the "
              f"dispatch's indirect functions (a jump through the PLT slot). Nanoseconds per call, the median over "
              f"the tight loops' sizes below {COST_BELOW} B and their layouts of the difference of the minimum times, "
              f"and, after it, the geometric mean of the ratio of the times.")
BENCHMARK_DOC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "docs", "BENCHMARK.md")


def report(run, peers, load_end, emulator, out="."):
    """The lines of report.md, the verdict's rows and the goals'; `out` is
    where report.md goes, for its links to docs/BENCHMARK.md."""
    rows, ours = verdict(run), [r for r in run.routines if run.status(r, OURS) == "measured"]
    doc = os.path.relpath(BENCHMARK_DOC, out).replace(os.sep, "/")
    md = ["# sse2str benchmark", ""] + conditions(run, peers, load_end, emulator)
    md += ["## Verdict", "", VERDICT_TEXT, ""] + verdict_table(rows) + [""]
    md += ["## What each way of linking costs", "", COSTS_TEXT, ""] + costs_table(run) + [""]
    if len(ours) < len(run.routines):
        md += ["Not measured (a wrong result in the benchmark's check; see the notes): "
               f"{', '.join(r for r in run.routines if r not in ours)}.", ""]
    md += [f"![{r}: speed-up against size](plots/speedup-{r}.png)" for r in ours] + [""]
    if run.context.get("library_build_type") == "debug":
        md += [f"Debian's Google Benchmark library reports itself as a debug build; [that does not bias these "
               f"figures]({doc}#timing).", ""]
    c = {k[15:]: v for k, v in run.context.items() if k.startswith("sse2str.corpus.")}
    if c:
        md += ["## Realistic mixes", "", f"[The mixes]({doc}#realistic-mixes) drew on {c['lines']} lines and "
               f"{c['words']} words ({c['distinct_words']} distinct) of the {c['files']} licence texts under "
               f"`/usr/share/common-licenses`, and {c['paths']} path names of the {c['paths_found']} found under "
               "`/usr/share`.", ""]
    md += ["Nanoseconds per call (the whole sequence's minimum time over the repetitions, divided by its calls) "
           "and our hook-free speed-up against each peer.", ""] + mix_table(run) + [""]
    md += [f"- {m.split(':')[1]}: {mix_name(m)}: {d}." for m, d in run.mixes.description.items()
           if not is_differ_mix(m)] + [""]
    for routine, workload in ((r, w) for r in ours if run.character_size[r] > 1 for w in run.workloads[r]):
        md += [f"## {routine}: the {len(run.layouts[workload])} pass kinds", "", "Each row starts the two strings "
               "at offsets that select one kind of main-loop pass: equal strings compared to the end by size class "
               "(hook-free / returning hook / platform `_mcount`), characters per cycle in L1, and strings of 64 "
               "characters that differ at a random position.", ""] + wide_table(run, routine, workload) + [""]
    wide = "".join(f" (for {r}, characters × {n}, the terminator included)" for r, n in run.character_size.items()
                   if n > 1)
    md += ["## Bytes per cycle", "", f"Bytes a call processes{wide} over its time in cycles of the time-stamp counter "
           f"({run.ghz:.3f} GHz), by the minimum of {run.repetitions} repetitions, the geometric mean over the "
           f"layouts; the ceiling is the plainest aligned SSE2 loop of the routine's kind ([how]({doc}#timing)).",
           ""]
    for routine in run.routines:
        md += [f"### {routine}", ""]
        for workload in run.workloads[routine]:
            md += [f"#### {workload}", ""] if len(run.workloads[routine]) > 1 else []
            if workload in run.sizes:
                md += routine_table(run, routine, workload) + [
                    "", f"![{workload}](plots/{workload.replace(':', '-')}.png)", ""]
        md += notes(run, routine, peers)
    goals = [row for r in ours for row in targets(run, r)]
    md += ["## The project's own goals", "", f"[Targets the project sets itself]({doc}#the-projects-own-goals), "
           "not a verdict.", ""]
    md += table([(t, m, "yes" if ok else "no") for t, m, ok in goals], ["goal", "measured", "met"])
    md += ["", f"Goals met: {sum(ok for _, _, ok in goals)} of {len(goals)}.", ""]
    md += ["## String-store threshold of the fills", ""] + threshold(run, emulator, doc)
    md += ["", "## Detail", "", "Nanoseconds per call, minimum / median over the repetitions.", ""]
    for routine, workload in ((r, w) for r in run.routines for w in run.workloads[r] if w in run.sizes):
        md += [f"<details><summary>{workload}</summary>", ""] + detail_table(run, routine, workload) + \
            ["", "</details>", ""]
    return md, rows, goals


def threshold(run, emulator, doc):
    sweep, crossover = tuning(run)
    if run.quick:
        return ["Not swept in the quick run: its grid is too coarse to place the threshold."]
    if not len(sweep):
        return ["Not measured: `__memset_sse2_rep` and its `__x86_data_cache_size` provider are not built."]
    t = sweep.assign(**{"string / block (median)": sweep["string store, median"] / sweep["block loop, median"]})
    t = t.pipe(cells, fmt).rename(index=size_label).rename_axis("size").reset_index()
    md = [f"`__memset_sse2_rep` from an aligned start, [by the block loop and by the string store]"
          f"({doc}#the-fills-string-store-threshold); bytes per cycle.", ""] + table(t) + [""]
    if crossover:
        shift = int(run.context["sse2str.threshold_shift"])
        md.append(f"The string store wins for good (never losing by more than {GOALS['threshold']['tie']:.0%}) from "
                  f"{size_label(crossover)}: a threshold C - C/{1 << shift} = "
                  f"{crossover} needs C = {cache_size_for(crossover, shift)}, the default this machine suggests "
                  "for `__x86_data_cache_size`.")
    else:
        md.append("The block loop is faster at every size measured: the string store should start beyond the sweep.")
    if emulator:
        md.append("Measured under emulation: this says nothing about where the threshold belongs on a processor.")
    if run.context.get("sse2str.x86_data_cache_size"):
        md.append(f"The provider's current default is {run.context['sse2str.x86_data_cache_size']}.")
    return md + ["", "![memset fill techniques](plots/tune-memset.png)"]


# ---- the README's headline and the console -------------------------------------

HEADLINE = ("<!-- benchmark headline: written by make bench-readme -->", "<!-- end of benchmark headline -->")
HEADLINE_PLOT = os.path.join("docs", "bench-speedup.png")


def headline(opening, rows, costs):
    """The README's benchmark block: the run's warnings and facts, the verdict
    and what each way of linking costs."""
    return [HEADLINE[0], ""] + [x for line in opening if line.startswith(
        ("> **Warning", "Peers", "Full run", "Quick run")) for x in (line, "")] + [VERDICT_TEXT, ""] + \
        verdict_table(rows) + ["", f"![speed-up against the best peer, by size]({HEADLINE_PLOT})", "", COSTS_TEXT,
                               ""] + costs + ["", HEADLINE[1]]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--results", required=True)
    parser.add_argument("--peers")
    parser.add_argument("--out", required=True)
    parser.add_argument("--load-end", type=float, help="one-minute load average when the run ended")
    parser.add_argument("--readme", help="rewrite this README's benchmark headline")
    parser.add_argument("--probe", required=True,
                        help="an i386 program that waits for its input to close (bench/i386_probe.c)")
    args = parser.parse_args()
    run, peers, emulator = Run(args.results), {}, emulation(args.probe)
    if args.peers and os.path.exists(args.peers):
        try:
            peers = json.loads(read(args.peers))
        except ValueError as e:
            print(f"bench_report.py: {args.peers}: {e}", file=sys.stderr)
    import bench_plots  # matplotlib, which the report's tests do without
    bench_plots.draw_all(run, args.out, emulator)
    md, rows, goals = report(run, peers, args.load_end, emulator, args.out)
    with open(path := os.path.join(os.path.abspath(args.out), "report.md"), "w") as f:
        f.write("\n".join(md) + "\n")
    opening = conditions(run, peers, args.load_end, emulator)
    print("\n".join(re.sub(r"\*\*|`|^> ", "", line) for line in opening if line.startswith(("> **W", "Peers"))))
    print(f"\nSpeed-up against the best peer, hook-free / returning hook / platform _mcount "
          f"(TSC {run.ghz:.2f} GHz):")
    print("\n".join(verdict_table(rows)) if rows else "  (no routine of ours is built in this tree)")
    print(f"Project's own goals met: {sum(ok for _, _, ok in goals)} of {len(goals)} (see the report)")
    print(f"Report: {path}")
    if args.readme:
        # The README tells users how fast the routines are on their
        # processors: an emulator's times say nothing about that.
        if emulator:
            sys.exit(f"bench_report.py: this run went through {emulator}; its times are not written into the "
                     "README (run make bench on a machine that runs i386 programs itself)")
        text, pattern = read(args.readme), re.compile(re.escape(HEADLINE[0]) + ".*?" + re.escape(HEADLINE[1]), re.S)
        if not pattern.search(text):
            sys.exit(f"bench_report.py: {args.readme} has no benchmark headline markers")
        shutil.copyfile(os.path.join(args.out, "plots", "speedup.png"),
                        os.path.join(os.path.dirname(os.path.abspath(args.readme)), HEADLINE_PLOT))
        with open(args.readme, "w") as f:
            f.write(pattern.sub(lambda _: "\n".join(headline(opening, rows, costs_table(run))), text))
        print(f"README headline: {args.readme}")


if __name__ == "__main__":
    main()
