#!/usr/bin/env python3
"""Turns a benchmark run into the report, the plots and a short summary.

  bench_report.py --results build/bench/results.json
                  --peers build/bench/peers/peers.json --out build/bench
                  [--load-end 1.23] [--readme README.md]

Writes OUT/report.md and OUT/plots/*.png (gnuplot) and prints the verdict.
The report opens with the conditions of the run (emulation, load, which
peers were measured), then the verdict: the speed-up against the best peer
(musl, dietlibc, the byte loop) at small, medium and large sizes and on the
realistic mixes, with and without the profiling hook, and one plot per
routine of the speed-up against size.  Below come the mixes, the wcscmp
pass kinds, the bytes per cycle of every routine, the project's own goals,
the fill threshold sweep and every measurement.  With --readme it also
rewrites the benchmark headline of that README (the verdict table and the
overview plot, copied to docs/).

Times are CPU time per call.  Each measurement is repeated; the tables use
the minimum over the repetitions (noise only ever adds time) and the detail
gives the median beside it.  Bytes per cycle count cycles of the time-stamp
counter, whose rate the benchmark calibrates at start.
"""
import argparse
import json
import math
import os
import re
import shutil
import statistics
import subprocess
import sys

OURS = "sse2str"
OURS_NOHOOK = "sse2str_nohook"
PEERS = ("musl", "dietlibc", "byte_loop")
CANDIDATES = (OURS, OURS_NOHOOK) + PEERS
LABELS = {OURS: "sse2str", OURS_NOHOOK: "sse2str, no hook", "musl": "musl",
          "dietlibc": "dietlibc", "byte_loop": "byte loop", "ceiling": "SSE2 ceiling"}
# The key of each peer library in the peers' manifest (bench_peers.py).
PEER_LIBC = {"musl": "musl", "dietlibc": "diet"}
MIX = "mix:"

# Size classes of the verdict, in bytes: [low, high).
CLASSES = (("small (< 16 B)", 1, 16), ("medium (16–255 B)", 16, 256), ("large (≥ 256 B)", 256, 1 << 40))

# The project's goals.
AT_LEAST_PEER_FROM = 16
FACTOR_RANGE = (256, 65536)
FACTOR = 3.0
SMALL_BELOW = 16
SMALL_SLACK = 1.25
CEILING_SIZE = 4096
CEILING_SHARE = 0.70
CEILING_ROUTINES = {"memchr", "strnlen", "memset", "bzero"}
MIX_GOAL_NOHOOK = 1.1
MIX_GOAL_HOOK = 0.9
WIDE_GOAL = 2.0  # characters per cycle, every pass kind, long equal strings in L1

# A run counts as disturbed when the one-minute load average passes this
# share of the processors (at the end, besides the benchmark's own process).
BUSY_SHARE = 0.5

BINFMT = "/proc/sys/fs/binfmt_misc"


def geomean(values):
    values = [v for v in values if v]
    return math.exp(sum(math.log(v) for v in values) / len(values)) if values else None


def size_label(size):
    if size >= 1 << 20 and size % (1 << 20) == 0:
        return f"{size >> 20} MiB"
    if size >= 1 << 10 and size % (1 << 10) == 0:
        return f"{size >> 10} KiB"
    if size >= 1 << 10 and size % (1 << 9) == 0:
        return f"{size / 1024:g} KiB"
    return f"{size} B"


def fmt(value, digits=2):
    return "–" if value is None or value != value else f"{value:.{digits}f}"


def times(value):
    return "–" if value is None else f"{value:.2f}×"


class Run:
    """The timings of one benchmark run, keyed by (workload, candidate, layout, size);
    the layout is the label of the start offsets ("0", "37", "distance-1", ...)."""

    def __init__(self, path):
        data = json.load(open(path))
        self.context = data["context"]
        self.ghz = float(self.context["sse2str.tsc_ghz"])
        self.routines = json.loads(self.context["sse2str.routines"])
        self.mixes = json.loads(self.context.get("sse2str.mixes", "[]"))
        self.corpus = json.loads(self.context.get("sse2str.corpus", "{}"))
        self.quick = self.context.get("sse2str.quick") == "1"
        self.cache_size_default = self.context.get("sse2str.x86_data_cache_size")
        scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
        samples = {}
        for b in data["benchmarks"]:
            if b.get("run_type") != "iteration" or b.get("error_occurred"):
                continue
            workload, candidate, layout, size = b["run_name"].split("/")
            key = (workload, candidate, layout, int(size))
            samples.setdefault(key, []).append(b["cpu_time"] * scale[b.get("time_unit", "ns")])
        self.repetitions = max((len(v) for v in samples.values()), default=0)
        self.min = {k: min(v) for k, v in samples.items()}
        self.median = {k: statistics.median(v) for k, v in samples.items()}
        # Layouts in the routine table's order, numbers by value.
        order = [l["label"] for r in self.routines for l in r.get("layouts", [])]

        def rank(label):
            return (order.index(label) if label in order else len(order),
                    int(label) if label.isdigit() else 0, label)
        self._sizes, layouts = {}, {}
        for w, _, layout, size in samples:
            self._sizes.setdefault(w, set()).add(size)
            layouts.setdefault(w, set()).add(layout)
        self._layouts = {w: sorted(ls, key=rank) for w, ls in layouts.items()}

    def sizes(self, workload):
        return sorted(self._sizes.get(workload, ()))

    def layouts(self, workload):
        return self._layouts.get(workload, [])

    def time(self, workload, candidate, layout, size):
        return self.min.get((workload, candidate, layout, size))

    def bytes_per_cycle(self, workload, candidate, layout, size):
        t = self.time(workload, candidate, layout, size)
        return size / (t * self.ghz) if t else None

    def best_peer(self, workload, layout, size):
        """(time, name) of the fastest peer, or (None, None)."""
        found = [(self.time(workload, p, layout, size), p) for p in PEERS]
        found = [tp for tp in found if tp[0]]
        return min(found) if found else (None, None)

    def speedup(self, workload, layout, size, candidate=OURS):
        ours = self.time(workload, candidate, layout, size)
        peer, _ = self.best_peer(workload, layout, size)
        return peer / ours if ours and peer else None

    def speedup_at(self, workload, size, candidate=OURS):
        """Geometric mean over the layouts."""
        return geomean(self.speedup(workload, l, size, candidate) for l in self.layouts(workload))

    def speedup_over(self, workloads, low, high, candidate=OURS):
        """Geometric mean over the sizes in [low, high) of every workload."""
        return geomean(self.speedup_at(w, s, candidate)
                       for w in workloads for s in self.sizes(w) if low <= s < high)

    # ---- the mixes: one measurement per candidate, a whole sequence of calls

    def mix_time(self, mix, candidate):
        """Nanoseconds per call."""
        t = self.time(mix["workload"], candidate, "random", mix["calls"])
        return t / mix["calls"] if t else None

    def mix_speedup(self, mix, candidate=OURS, against=PEERS):
        ours = self.mix_time(mix, candidate)
        peers = [self.mix_time(mix, p) for p in against]
        peers = [p for p in peers if p]
        return min(peers) / ours if ours and peers else None

    def mixes_of(self, routine):
        return [m for m in self.mixes if m["routine"] == routine]


def workloads_of(routine):
    return [f"{routine['name']}:{s}" for s in routine["scenarios"]]


def status_of(routine, candidate):
    for c in routine["candidates"]:
        if c["name"] == candidate:
            return c["status"]
    return "absent"


def is_differ_mix(mix):
    return mix["routine"] == "wcscmp" and mix["name"].startswith("differ-")


# ---- the conditions of the run -----------------------------------------------------

def emulation(binfmt=BINFMT):
    """The interpreter through which the kernel runs i386 programs (an enabled
    binfmt_misc entry for 32-bit x86 ELF files, such as qemu-user), or None
    when it runs them itself.  Such an entry takes precedence over the
    kernel's own loader, so the benchmark ran under it."""
    try:
        if open(os.path.join(binfmt, "status")).read().strip() != "enabled":
            return None
        entries = sorted(os.listdir(binfmt))
    except OSError:
        return None
    for name in entries:
        if name in ("status", "register"):
            continue
        try:
            lines = open(os.path.join(binfmt, name)).read().splitlines()
        except OSError:
            continue
        fields = dict(line.split(" ", 1) for line in lines if " " in line)
        magic = bytes.fromhex(fields.get("magic", ""))
        # ELF, 32-bit (class 1), machine EM_386 (3) at byte 18.
        if (lines and lines[0] == "enabled" and fields.get("offset", "0") == "0"
                and magic[:5] == b"\x7fELF\x01" and magic[18:20] == b"\x03\x00"):
            return fields.get("interpreter", name)
    return None


def busy(run, load_end):
    """The reasons the machine counted as busy, as text; empty when quiet."""
    cpus = run.context.get("num_cpus") or 1
    start = (run.context.get("load_avg") or [0.0])[0]
    reasons = []
    if start > BUSY_SHARE * cpus:
        reasons.append(f"load average {start:.2f} at the start")
    if load_end is not None and load_end > 1 + BUSY_SHARE * cpus:
        reasons.append(f"{load_end:.2f} at the end")
    return reasons


def peer_states(run, peers):
    """(measured, missing): peers measured for at least one routine, with the
    package version; and {peer: reason} for those measured for none."""
    measured, missing = {}, {}
    for peer in PEERS:
        statuses = [status_of(r, peer) for r in run.routines]
        libc = PEER_LIBC.get(peer)
        entry = peers.get(libc, {}) if libc else {}
        if "measured" in statuses:
            measured[peer] = f"{entry['package']} {entry['version']}" if entry.get("version") else ""
            continue
        notes = [s.get("note") for s in entry.get("routines", {}).values() if s.get("note")]
        if libc and not entry:
            notes = ["the peers' manifest has no entry for it (bench_peers.py did not run)"]
        missing[peer] = (notes or [s for s in statuses if s] or ["not measured"])[0]
    return measured, missing


def left_out(run, peers, measured):
    """Routines a measured peer was not measured for: [(peer, routine, why)]."""
    out = []
    for routine in run.routines:
        for peer in measured:
            status = status_of(routine, peer)
            if status != "measured":
                libc = PEER_LIBC.get(peer)
                note = peers.get(libc, {}).get("routines", {}).get(routine["name"], {}).get("note")
                out.append((peer, routine["name"], note or status))
    return out


def conditions(run, peers, load_end, emulator):
    """The opening lines: warnings first, then the run's facts."""
    md = []
    if emulator:
        md += [f"> **Warning: measured under emulation.** This machine runs i386 programs through "
               f"`{emulator}` (binfmt_misc), so every time here is the emulator's: it says how the "
               "translated code ran, not how the routines run on an x86 processor. Do not read these "
               "numbers as hardware results.", ""]
    reasons = busy(run, load_end)
    if reasons:
        md += [f"> **Warning: the machine was busy** ({' and '.join(reasons)}, on "
               f"{run.context.get('num_cpus', '?')} processors): other work shared the cores, and "
               "the times may be inflated unevenly.", ""]
    measured, missing = peer_states(run, peers)
    for peer, why in missing.items():
        md += [f"> **Warning: {LABELS[peer]} is missing** from this run: {why}. "
               "The speed-ups are against the peers that were measured.", ""]
    if run.quick:
        md += ["> Quick run (`make bench QUICK=1`): fewer sizes, offsets, repetitions and calls per "
               "mix, and no fill threshold sweep. Run `make bench` for the figures to quote.", ""]
    names = [f"{LABELS[p]} ({v})" if v else LABELS[p] for p, v in measured.items()]
    md += [f"Peers measured: {', '.join(names) if names else 'none'}."]
    for peer, routine, why in left_out(run, peers, measured):
        md += [f"{LABELS[peer]} {routine} not measured: {why}."]
    start = run.context.get("load_avg") or []
    md += ["", f"{'Quick' if run.quick else 'Full'} run of {run.context.get('date', '?')} on "
           f"{run.context.get('num_cpus', '?')} CPUs at {run.context.get('mhz_per_cpu', '?')} MHz; "
           f"load average {', '.join(f'{x:.2f}' for x in start) or '?'} at the start, "
           f"{fmt(load_end)} at the end (one minute).", ""]
    return md


def library_note(run):
    if run.context.get("library_build_type") != "debug":
        return []
    return ["Debian's Google Benchmark library reports itself as a debug build (its console "
            "prints \"Library was built as DEBUG\"). That does not bias these figures: the library "
            "reads the clock before and after the measured loop, and the loop itself "
            "(`for (auto _ : state)`, inlined from the library's header) is compiled with the "
            "benchmark's own -O2; the library's unoptimised code runs once per batch of "
            "iterations, outside the per-call time, and the same for every candidate.", ""]


# ---- the verdict -----------------------------------------------------------------------

def verdict(run):
    """Rows of (label, [(with hook, without) per class], (with, without) for the mix or None)."""
    rows = []
    for routine in run.routines:
        if status_of(routine, OURS) != "measured":
            continue
        workloads = workloads_of(routine)
        cells = [(run.speedup_over(workloads, lo, hi), run.speedup_over(workloads, lo, hi, OURS_NOHOOK))
                 for _, lo, hi in CLASSES]
        rows.append((f"{routine['name']} (sizes)", cells, None))
        differ = []
        for mix in run.mixes_of(routine["name"]):
            if is_differ_mix(mix):
                differ.append(mix)
                continue
            mean = mix["bytes"] / mix["calls"]
            rows.append((f"{routine['name']}: {mix['name']} ({mean:.0f} B/call)", None,
                         (run.mix_speedup(mix), run.mix_speedup(mix, OURS_NOHOOK))))
        if differ:
            rows.append((f"{routine['name']}: differ at random ({len(differ)} pass kinds)", None,
                         (geomean(run.mix_speedup(m) for m in differ),
                          geomean(run.mix_speedup(m, OURS_NOHOOK) for m in differ))))
    return rows


def pair(cell):
    if cell is None:
        return ""
    hook, nohook = cell
    return f"{times(hook)} / {times(nohook)}" if hook or nohook else "–"


def verdict_table(rows):
    head = ["routine or mix"] + [name for name, _, _ in CLASSES] + ["realistic mix"]
    lines = ["| " + " | ".join(head) + " |", "|---" * len(head) + "|"]
    for label, cells, mix in rows:
        lines.append("| " + " | ".join([label] + [pair(c) for c in (cells or [None] * len(CLASSES))] +
                                      [pair(mix)]) + " |")
    return lines


VERDICT_TEXT = ("Speed-up against the best peer (the fastest of musl, dietlibc and the plain byte loop "
                "at each point): the peer's time over ours, above 1 when we are faster. Each cell is "
                "*with the profiling hook / without it*: the delivered objects call `_mcount` on entry "
                "(here one that returns at once); a program that links the objects built with "
                "`PROFILE=0` gets the second figure. Size classes: the geometric mean over the sizes "
                "and start offsets of the tight loops (one size at a time); mixes: a fixed-seed random "
                "sequence of calls drawn from real data, time per call.")


# ---- the project's goals ------------------------------------------------------------

def targets(run, routine):
    """Lines of (goal, measured, met) for a routine whose module was measured."""
    rows = []
    for workload in workloads_of(routine):
        worst = None  # (ratio, layout, size)
        for size in run.sizes(workload):
            if size < AT_LEAST_PEER_FROM:
                continue
            for layout in run.layouts(workload):
                r = run.speedup(workload, layout, size)
                if r and (worst is None or r < worst[0]):
                    worst = (r, layout, size)
        if worst:
            rows.append((f"{workload}: at least the best peer at every size >= {AT_LEAST_PEER_FROM} B",
                         f"lowest {worst[0]:.2f}x (layout {worst[1]}, {size_label(worst[2])})",
                         worst[0] >= 1.0))
        mean = run.speedup_over([workload], FACTOR_RANGE[0], FACTOR_RANGE[1] + 1)
        if mean:
            rows.append((f"{workload}: >= {FACTOR:g}x the best peer, 256 B to 64 KiB (geometric mean)",
                         f"{mean:.2f}x", mean >= FACTOR))
        slowest = None  # our time over the best peer's, below 16 bytes
        for size in run.sizes(workload):
            if size >= SMALL_BELOW:
                continue
            for layout in run.layouts(workload):
                r = run.speedup(workload, layout, size)
                if r and (slowest is None or 1 / r > slowest[0]):
                    slowest = (1 / r, layout, size)
        if slowest:
            rows.append((f"{workload}: below 16 B within {SMALL_SLACK}x the best peer's time (with the hook)",
                         f"worst {slowest[0]:.2f}x the peer's time (layout {slowest[1]}, {size_label(slowest[2])})",
                         slowest[0] <= SMALL_SLACK))
        if routine["name"] in CEILING_ROUTINES:
            ours = run.bytes_per_cycle(workload, OURS, "0", CEILING_SIZE)
            ceiling = run.bytes_per_cycle(f"ceiling:{routine['ceiling']}", "ceiling", "0", CEILING_SIZE)
            if ours and ceiling:
                rows.append((f"{workload}: >= {CEILING_SHARE:.0%} of the {routine['ceiling']} ceiling at 4 KiB (L1, aligned)",
                             f"{ours / ceiling:.0%} ({ours:.1f} of {ceiling:.1f} B/cycle)",
                             ours / ceiling >= CEILING_SHARE))
    if routine["name"] == "wcscmp":
        for layout in run.layouts("wcscmp:equal"):
            bpc = run.bytes_per_cycle("wcscmp:equal", OURS_NOHOOK, layout, CEILING_SIZE)
            if bpc:
                rows.append((f"wcscmp {layout}: >= {WIDE_GOAL:g} characters per cycle, equal strings of 4 KiB",
                             f"{bpc / 4:.2f}", bpc / 4 >= WIDE_GOAL))
    for mix in run.mixes_of(routine["name"]):
        hook, nohook = run.mix_speedup(mix), run.mix_speedup(mix, OURS_NOHOOK)
        if hook and nohook:
            rows.append((f"mix {mix['routine']}:{mix['name']}: >= {MIX_GOAL_NOHOOK}x the best peer without "
                         f"the hook, >= {MIX_GOAL_HOOK}x with it",
                         f"{nohook:.2f}x without, {hook:.2f}x with",
                         nohook >= MIX_GOAL_NOHOOK and hook >= MIX_GOAL_HOOK))
    return rows


# ---- the fill threshold ----------------------------------------------------------

def cache_size_for(threshold):
    """The smallest cache size C whose threshold C - C/16 reaches `threshold`."""
    c = threshold + threshold // 15
    while c - (c >> 4) < threshold:
        c += 1
    while c > 0 and (c - 1) - ((c - 1) >> 4) >= threshold:
        c -= 1
    return c


# Two fill techniques within this share of each other's speed are a tie:
# beyond the first-level cache both run at the cache's bandwidth, and the
# order between them is noise.
TIE = 0.05


def tuning(run):
    """(rows, crossover size or None); rows: size, then bytes per cycle of the
    block loop and the string store, by minimum and by median.

    The crossover is the smallest size at which the string store is faster
    than the block loop (by the medians) and from which on it never really
    loses: a later size counts as a loss only when the string store is slower
    by more than the tie margin by the medians and by the minima alike.  Past
    the first-level cache both techniques run at the cache's bandwidth, and a
    single noisy repetition, or a lucky minimum, must not move the threshold
    by hundreds of kilobytes."""
    rows = []
    for s in run.sizes("tune:memset"):
        keys = [("tune:memset", t, "0", s) for t in ("block_loop", "string_store")]
        if all(k in run.min for k in keys):
            rows.append((s, *(s / (run.min[k] * run.ghz) for k in keys),
                         *(s / (run.median[k] * run.ghz) for k in keys)))

    def loses(row):
        _, block_min, string_min, block_median, string_median = row
        return (string_median < block_median * (1 - TIE)
                and string_min < block_min * (1 - TIE))

    crossover = None
    for i, row in enumerate(rows):
        size, _, _, block, string = row
        if string > block and not any(loses(later) for later in rows[i:]):
            crossover = size
            break
    return rows, crossover


# ---- plots -----------------------------------------------------------------------

XTICS = ("set xtics ('1' 1, '4' 4, '16' 16, '64' 64, '256' 256, '1K' 1024, '4K' 4096, "
         "'16K' 16384, '64K' 65536, '256K' 262144, '1M' 1048576, '4M' 4194304)")
STYLES = {OURS: "lw 3 lc rgb '#c0392b'", OURS_NOHOOK: "lw 2 dt 2 lc rgb '#e67e22'",
          "musl": "lw 2 lc rgb '#2980b9'", "dietlibc": "lw 2 lc rgb '#27ae60'",
          "byte_loop": "lw 2 lc rgb '#7f8c8d'", "ceiling": "lw 1 dt 3 lc rgb '#000000'"}
COLOURS = ("#c0392b", "#2980b9", "#27ae60", "#8e44ad", "#e67e22", "#000000", "#7f8c8d")


def write_data(path, header, rows):
    with open(path, "w") as f:
        f.write("# " + " ".join(header) + "\n")
        for size, cells in rows:
            f.write(f"{size} " + " ".join(f"{v:.4f}" if v else "NaN" for v in cells) + "\n")


def speedup_axes(title, out_png, key, width=640):
    return [f"set terminal pngcairo size {width},420 font 'sans,10'", f"set output '{out_png}'",
            f"set title '{title}'", "set logscale x 2", XTICS, "set xlabel 'size (bytes, log scale)'",
            "set ylabel 'speed-up against the best peer'", "set grid", "set datafile missing 'NaN'",
            "set yrange [0:*]", f"set key {key}",
            "set arrow from graph 0, first 1 to graph 1, first 1 nohead lw 1 lc rgb '#000000'"]


def plot_speedup(run, routine, out, emulated):
    """OUT/plots/speedup-<routine>.png: with and without the hook, against size."""
    name = routine["name"]
    workloads = workloads_of(routine)
    sizes = sorted({s for w in workloads for s in run.sizes(w)})
    data = os.path.join(out, "plots", f"speedup-{name}.dat")
    write_data(data, ["size", OURS, OURS_NOHOOK],
               [(s, [geomean(run.speedup_at(w, s, c) for w in workloads) for c in (OURS, OURS_NOHOOK)])
                for s in sizes])
    title = f"{name}: speed-up against the best peer" + (" (under emulation)" if emulated else "")
    script = speedup_axes(title, os.path.join(out, "plots", f"speedup-{name}.png"), "below")
    script.append(f"plot '{data}' using 1:2 with linespoints {STYLES[OURS]} pt 7 ps 0.6 title 'with the hook', "
                  f"'{data}' using 1:3 with linespoints {STYLES[OURS_NOHOOK]} pt 7 ps 0.5 title 'without the hook'")
    return script


def plot_overview(run, out, emulated):
    """OUT/plots/speedup.png: every routine, with the hook, on one plot."""
    routines = [r for r in run.routines if status_of(r, OURS) == "measured"]
    sizes = sorted({s for r in routines for w in workloads_of(r) for s in run.sizes(w)})
    data = os.path.join(out, "plots", "speedup.dat")
    write_data(data, ["size"] + [r["name"] for r in routines],
               [(s, [geomean(run.speedup_at(w, s) for w in workloads_of(r)) for r in routines])
                for s in sizes])
    title = "speed-up against the best peer, with the hook" + (" (under emulation)" if emulated else "")
    script = speedup_axes(title, os.path.join(out, "plots", "speedup.png"), "outside right", 760)
    script.append("plot " + ", ".join(
        f"'{data}' using 1:{i + 2} with linespoints lw 2 pt 7 ps 0.5 lc rgb '{COLOURS[i % len(COLOURS)]}' "
        f"title '{r['name']}'" for i, r in enumerate(routines)))
    return script


def plot_bytes(run, workload, routine, out):
    """OUT/plots/<workload>.png: bytes per cycle of every candidate against size."""
    name = workload.replace(":", "-")
    data = os.path.join(out, "plots", name + ".dat")
    columns = [c for c in CANDIDATES if status_of(routine, c) == "measured"]
    ceiling = f"ceiling:{routine['ceiling']}"
    write_data(data, ["size"] + columns + ["ceiling"],
               [(s, [geomean(run.bytes_per_cycle(workload, c, l, s) for l in run.layouts(workload))
                     for c in columns] + [run.bytes_per_cycle(ceiling, "ceiling", "0", s)])
                for s in run.sizes(workload)])
    script = [
        "set terminal pngcairo size 640,420 font 'sans,10'",
        f"set output '{os.path.join(out, 'plots', name + '.png')}'",
        f"set title '{workload}: bytes per cycle (TSC) against size'",
        "set logscale xy 2", XTICS, "set xlabel 'size (bytes)'",
        "set ylabel 'bytes per cycle'", "set grid", "set datafile missing 'NaN'", "set key bottom right"]
    lines = [f"'{data}' using 1:{i + 2} with linespoints {STYLES[c]} pt 7 ps 0.5 title '{LABELS[c]}'"
             for i, c in enumerate(columns)]
    lines.append(f"'{data}' using 1:{len(columns) + 2} with lines {STYLES['ceiling']} title 'ceiling (aligned)'")
    return script + ["plot " + ", ".join(lines)]


def plot_tuning(rows, crossover, out):
    data = os.path.join(out, "plots", "tune-memset.dat")
    write_data(data, ["size", "block_loop", "string_store"], [(s, [b, r]) for s, _, _, b, r in rows])
    script = [
        "set terminal pngcairo size 700,420 font 'sans,10'",
        f"set output '{os.path.join(out, 'plots', 'tune-memset.png')}'",
        "set title 'memset: block loop against string store (aligned start, median)'",
        "set logscale x 2", XTICS, "set xlabel 'size (bytes)'",
        "set ylabel 'bytes per cycle'", "set grid", "set key bottom right", "set yrange [0:*]",
    ]
    if crossover:
        script.append(f"set arrow from {crossover}, graph 0 to {crossover}, graph 1 nohead dt 2")
    script.append(f"plot '{data}' using 1:2 with linespoints lw 2 pt 7 title 'block loop', "
                  f"'{data}' using 1:3 with linespoints lw 2 pt 7 title 'string store (rep stosl)'")
    return script


def render(scripts, out):
    if not shutil.which("gnuplot"):
        print("bench_report.py: gnuplot not found, plots skipped", file=sys.stderr)
        return False
    path = os.path.join(out, "plots", "plots.gp")
    with open(path, "w") as f:
        for script in scripts:
            f.write("\n".join(script) + "\nreset\n")
    subprocess.run(["gnuplot", path], check=True)
    return True


# ---- the report ------------------------------------------------------------------

def mix_table(run, mixes, columns):
    """Time per call of each candidate, our speed-up against each peer, and
    where a gap comes from: the hook's cost beside our distance to the best
    peer, in nanoseconds per call."""
    head = ["mix", "calls", "bytes per call"] + [f"{LABELS[c]} (ns)" for c in columns] + \
           [f"vs {LABELS[p]}" for p in PEERS if p in columns] + ["hook's cost (ns)", "behind the best peer (ns)"]
    lines = ["| " + " | ".join(head) + " |", "|---" * len(head) + "|"]
    for mix in mixes:
        cells = [f"{mix['routine']}: {mix['name']}", str(mix["calls"]), f"{mix['bytes'] / mix['calls']:.1f}"]
        cells += [fmt(run.mix_time(mix, c), 1) for c in columns]
        cells += [times(run.mix_speedup(mix, OURS, (p,))) for p in PEERS if p in columns]
        ours, nohook = run.mix_time(mix, OURS), run.mix_time(mix, OURS_NOHOOK)
        best = [t for t in (run.mix_time(mix, p) for p in PEERS) if t]
        cells.append(fmt(ours - nohook, 1) if ours and nohook else "–")
        cells.append(fmt(max(0.0, ours - min(best)), 1) if ours and best else "–")
        lines.append("| " + " | ".join(cells) + " |")
    return lines


def wide_table(run, routine):
    """The seven pass kinds of wcscmp: equal strings by size, and differing ones."""
    workload = "wcscmp:equal"
    layouts = {l["label"]: l for l in routine.get("layouts", [])}
    differ = {m["name"][len("differ-"):]: m for m in run.mixes_of("wcscmp") if is_differ_mix(m)}
    head = ["pass kind", "offsets (first, second)"] + [name for name, _, _ in CLASSES] + \
           [f"characters per cycle at {size_label(CEILING_SIZE)} (no hook)", "differ at a random position"]
    lines = ["| " + " | ".join(head) + " |", "|---" * len(head) + "|"]
    for layout in run.layouts(workload):
        entry = layouts.get(layout, {})
        cells = [layout, f"{entry.get('first', '?')}, {entry.get('second', '?')}"]
        for _, lo, hi in CLASSES:
            sizes = [s for s in run.sizes(workload) if lo <= s < hi]
            cells.append(pair((geomean(run.speedup(workload, layout, s) for s in sizes),
                               geomean(run.speedup(workload, layout, s, OURS_NOHOOK) for s in sizes))))
        bpc = run.bytes_per_cycle(workload, OURS_NOHOOK, layout, CEILING_SIZE)
        cells.append(fmt(bpc / 4 if bpc else None))
        mix = differ.get(layout)
        cells.append(pair((run.mix_speedup(mix), run.mix_speedup(mix, OURS_NOHOOK))) if mix else "–")
        lines.append("| " + " | ".join(cells) + " |")
    return lines


def routine_table(run, routine, workload):
    columns = [c for c in CANDIDATES if status_of(routine, c) == "measured"]
    head = ["size"] + [LABELS[c] for c in columns] + [f"ceiling ({routine['ceiling']})", "speed-up"]
    lines = ["| " + " | ".join(head) + " |", "|---" * len(head) + "|"]
    for size in run.sizes(workload):
        cells = [size_label(size)]
        for c in columns:
            cells.append(fmt(geomean(run.bytes_per_cycle(workload, c, l, size) for l in run.layouts(workload))))
        cells.append(fmt(run.bytes_per_cycle(f"ceiling:{routine['ceiling']}", "ceiling", "0", size)))
        cells.append(times(run.speedup_at(workload, size)))
        lines.append("| " + " | ".join(cells) + " |")
    return lines


def detail_table(run, routine, workload):
    columns = [c for c in CANDIDATES if status_of(routine, c) == "measured"]
    head = ["layout", "size"] + [LABELS[c] for c in columns]
    lines = ["| " + " | ".join(head) + " |", "|---" * len(head) + "|"]
    for layout in run.layouts(workload):
        for size in run.sizes(workload):
            cells = [layout, size_label(size)]
            for c in columns:
                key = (workload, c, layout, size)
                cells.append(f"{run.min[key]:.1f} / {run.median[key]:.1f}" if key in run.min else "–")
            lines.append("| " + " | ".join(cells) + " |")
    return lines


def notes(routine, peers):
    lines = []
    for c in routine["candidates"]:
        name, status = c["name"], c["status"]
        libc = PEER_LIBC.get(name)
        peer = peers.get(libc, {}).get("routines", {}).get(routine["name"]) if libc else None
        if status != "measured":
            why = peer["note"] if peer and peer.get("note") else status
            lines.append(f"- {LABELS[name]}: not measured: {why}.")
        elif peer and peer.get("note"):
            lines.append(f"- {LABELS[name]}: {peer['note']}.")
    return lines


def corpus_line(run):
    c = run.corpus
    if not c:
        return []
    return [f"The mixes' data: {c.get('lines', 0)} lines and {c.get('words', 0)} words "
            f"({c.get('distinct_words', 0)} distinct) of the {c.get('files', 0)} licence texts under "
            f"`/usr/share/common-licenses`, and {c.get('paths', 0)} path names drawn from the "
            f"{c.get('paths_found', 0)} found under `/usr/share`; memset and bzero sizes from the five "
            "fleet-measured distributions in `bench/data/size-distributions/`. Every draw has a fixed "
            "seed: each candidate runs the same sequence.", ""]


def report(run, peers, out, rendered, load_end, emulator):
    md = ["# sse2str benchmark", ""] + conditions(run, peers, load_end, emulator)
    rows = verdict(run)
    md += ["## Verdict", "", VERDICT_TEXT, ""] + verdict_table(rows) + [""]
    missing = [r["name"] for r in run.routines if status_of(r, OURS) != "measured"]
    if missing:
        md += [f"Not measured (a wrong result in the benchmark's check; see the notes): {', '.join(missing)}.", ""]
    if rendered:
        md += [f"![{r['name']}: speed-up against size](plots/speedup-{r['name']}.png)"
               for r in run.routines if status_of(r, OURS) == "measured"] + [""]
    md += library_note(run)

    md += ["## Realistic mixes", ""] + corpus_line(run)
    md += ["Nanoseconds per call (the whole sequence's minimum time over the repetitions, divided by "
           "its calls) and our speed-up, with the hook, against each peer.", ""]
    columns = [c for c in CANDIDATES if any(run.mix_time(m, c) for m in run.mixes)]
    mixes = [m for r in run.routines for m in run.mixes_of(r["name"])]
    md += mix_table(run, mixes, columns) + [""]
    md += [f"- {m['routine']}: {m['name']}: {m['description']}." for m in mixes
           if not is_differ_mix(m)] + [""]

    for routine in run.routines:
        if routine["name"] == "wcscmp" and status_of(routine, OURS) == "measured":
            md += ["## wcscmp: the seven pass kinds", "",
                   "Each row starts the two strings at offsets that select one kind of main-loop pass. "
                   "Size classes: equal strings compared to the end (speed-up with the hook / without); "
                   f"characters per cycle on equal strings of {size_label(CEILING_SIZE)} (in L1); and a "
                   "mix of strings of 64 characters that differ at a random position.", ""]
            md += wide_table(run, routine) + [""]

    md += ["## Bytes per cycle", "",
           "Each cell is bytes per cycle: the bytes a call processes (for wcscmp, characters × 4, the "
           "terminator included) divided by the CPU time of one call in cycles of the time-stamp "
           f"counter ({run.ghz:.3f} GHz, calibrated at start; the core clock may differ under turbo). "
           f"Time per call is the minimum over {run.repetitions} repetitions, run in random order with "
           "every other measurement (Google Benchmark's random interleaving); the medians are in the "
           "detail below. Cells are the geometric mean over the layouts (start offsets modulo 64 of "
           "the operands; for stpcpy destination and source; for wcscmp the seven pass kinds). The "
           "ceiling is the plainest aligned SSE2 loop of the routine's kind, from aligned operands: "
           "what 16-byte operations reach here, not a hard limit.", ""]
    for routine in run.routines:
        md += [f"### {routine['name']}", ""]
        for workload in workloads_of(routine):
            if len(routine["scenarios"]) > 1:
                md += [f"#### {workload}", ""]
            md += routine_table(run, routine, workload) + [""]
            if rendered and run.sizes(workload):
                md += [f"![{workload}](plots/{workload.replace(':', '-')}.png)", ""]
        md += notes(routine, peers)

    target_rows = []
    for routine in run.routines:
        if status_of(routine, OURS) == "measured":
            target_rows += targets(run, routine)
    md += ["", "## The project's own goals", "",
           "These are the targets the project sets itself, not a verdict: they say where the routines "
           "should get to, and how far each is from it.", "",
           "| goal | measured | met |", "|---|---|---|"]
    md += [f"| {t} | {m} | {'yes' if ok else 'no'} |" for t, m, ok in target_rows]
    md += ["", f"Goals met: {sum(ok for _, _, ok in target_rows)} of {len(target_rows)}."]

    md += ["", "## String-store threshold of the fills", ""]
    rows_t, crossover = tuning(run)
    if run.quick:
        md += ["Not swept in the quick run: its grid would be too coarse to place the threshold "
               "(a step of 4 between sizes puts it a whole step from where it belongs). "
               "`make bench` sweeps 1 KiB to 4 MiB in steps of 1.5 and 2."]
    elif not rows_t:
        md += ["Not measured: `__memset_sse2_rep` and its `__x86_data_cache_size` provider are not "
               "built in this tree. The sweep runs by itself once they are."]
    else:
        md += ["`__memset_sse2_rep` from an aligned start, `__x86_data_cache_size` forced to "
               "0xFFFFFFFF (every large fill runs the block loop) and to 0 (every large fill takes the "
               "string store); bytes per cycle by the minimum and by the median time.", "",
               "| size | block loop, min | string store, min | block loop, median | string store, median "
               "| string / block (median) |", "|---|---|---|---|---|---|"]
        md += [f"| {size_label(s)} | {bm:.2f} | {sm:.2f} | {b:.2f} | {r:.2f} | {r / b:.2f} |"
               for s, bm, sm, b, r in rows_t]
        md.append("")
        if crossover:
            md.append(f"Rule: the threshold goes to the smallest size at which the string store is faster "
                      f"(by the medians) and from which on it never loses by more than {TIE:.0%} by the "
                      f"medians and the minima alike (closer than that, or in one of the two only, is "
                      f"noise). Here that is {size_label(crossover)}: a threshold C - C/16 = {crossover} "
                      f"needs C = {cache_size_for(crossover)}, the default this machine suggests for "
                      f"`__x86_data_cache_size`.")
        else:
            md.append("The block loop is faster at every size measured: the string store should start "
                      "beyond the sweep.")
        if emulator:
            md.append("Measured under emulation: this says nothing about where the threshold belongs "
                      "on a processor.")
        if run.cache_size_default:
            md.append(f"The provider's current default is {run.cache_size_default}.")
        if rendered:
            md += ["", "![memset fill techniques](plots/tune-memset.png)"]

    md += ["", "## Detail", "", "Nanoseconds per call, minimum / median over the repetitions.", ""]
    for routine in run.routines:
        for workload in workloads_of(routine):
            md += [f"<details><summary>{workload}</summary>", ""] + detail_table(run, routine, workload) + \
                  ["", "</details>", ""]
    return md, rows, target_rows


# ---- the README's headline -------------------------------------------------------

HEADLINE_BEGIN = "<!-- benchmark headline: written by make bench-readme -->"
HEADLINE_END = "<!-- end of benchmark headline -->"
HEADLINE_PLOT = os.path.join("docs", "bench-speedup.png")


def headline(run, rows, conditions_md, plot):
    md = [HEADLINE_BEGIN, ""]
    for line in conditions_md:
        if line.startswith(("> **Warning", "Peers", "Full run", "Quick run")):
            md += [line, ""]
    md += [VERDICT_TEXT, ""] + verdict_table(rows) + [""]
    if plot:
        md += [f"![speed-up against the best peer, by size]({plot})", ""]
    return md + [HEADLINE_END]


def rewrite_readme(path, block):
    text = open(path).read()
    pattern = re.compile(re.escape(HEADLINE_BEGIN) + ".*?" + re.escape(HEADLINE_END), re.S)
    if not pattern.search(text):
        sys.exit(f"bench_report.py: {path} has no benchmark headline markers")
    open(path, "w").write(pattern.sub(lambda _: "\n".join(block), text))


# ---- the console -----------------------------------------------------------------

def console(run, rows, target_rows, md_conditions, path):
    for line in md_conditions:
        if line.startswith("> **Warning"):
            print(re.sub(r"\*\*|`", "", line[2:]))
        elif line.startswith("Peers measured"):
            print(line)
    print(f"\nSpeed-up against the best peer, with the hook / without (TSC {run.ghz:.2f} GHz):")
    width = max([len(label) for label, _, _ in rows] + [14])
    print(f"  {'routine or mix':<{width}}" + "".join(f"{name:>20}" for name, _, _ in CLASSES) + f"{'mix':>16}")
    for label, cells, mix in rows:
        print(f"  {label:<{width}}" + "".join(f"{pair(c):>20}" for c in (cells or [None] * len(CLASSES)))
              + f"{pair(mix):>16}")
    if not rows:
        print("  (no routine of ours is built in this tree)")
    print(f"Project's own goals met: {sum(ok for _, _, ok in target_rows)} of {len(target_rows)} (see the report)")
    print(f"Report: {path}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--results", required=True)
    parser.add_argument("--peers")
    parser.add_argument("--out", required=True)
    parser.add_argument("--load-end", type=float, help="one-minute load average when the run ended")
    parser.add_argument("--readme", help="rewrite this README's benchmark headline")
    args = parser.parse_args()

    run = Run(args.results)
    peers = {}
    if args.peers and os.path.exists(args.peers):
        try:
            peers = json.load(open(args.peers))
        except ValueError as e:
            print(f"bench_report.py: {args.peers}: {e}", file=sys.stderr)
    emulator = emulation()
    args.out = os.path.abspath(args.out)
    os.makedirs(os.path.join(args.out, "plots"), exist_ok=True)

    scripts = [plot_speedup(run, r, args.out, emulator) for r in run.routines if status_of(r, OURS) == "measured"]
    if scripts:
        scripts.append(plot_overview(run, args.out, emulator))
    scripts += [plot_bytes(run, w, r, args.out) for r in run.routines for w in workloads_of(r) if run.sizes(w)]
    rows_t, crossover = tuning(run)
    if rows_t:
        scripts.append(plot_tuning(rows_t, crossover, args.out))
    rendered = render(scripts, args.out)
    md, rows, target_rows = report(run, peers, args.out, rendered, args.load_end, emulator)
    path = os.path.join(args.out, "report.md")
    with open(path, "w") as f:
        f.write("\n".join(md) + "\n")
    md_conditions = conditions(run, peers, args.load_end, emulator)
    console(run, rows, target_rows, md_conditions, path)

    if args.readme:
        # The README tells users how fast the routines are on their
        # processors: an emulator's times say nothing about that.
        if emulator:
            sys.exit(f"bench_report.py: this run went through {emulator}; its times are not "
                     "written into the README (run make bench on a machine that runs i386 "
                     "programs itself)")
        plot = None
        if rendered and scripts:
            root = os.path.dirname(os.path.abspath(args.readme))
            shutil.copyfile(os.path.join(args.out, "plots", "speedup.png"), os.path.join(root, HEADLINE_PLOT))
            plot = HEADLINE_PLOT
        rewrite_readme(args.readme, headline(run, rows, md_conditions, plot))
        print(f"README headline: {args.readme}")


if __name__ == "__main__":
    main()
