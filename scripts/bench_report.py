#!/usr/bin/env python3
"""Turns a benchmark run into the report, the plots and a short summary.

  bench_report.py --results build/bench/results.json
                  --peers build/bench/peers/peers.json --out build/bench

Writes OUT/report.md (one table per routine, the targets, the fill
threshold sweep, the detail of every measurement), OUT/plots/*.png (bytes
per cycle against size, one line per candidate, rendered with gnuplot) and
prints per routine the speed-up against the best peer at small, medium and
large sizes.

Times are CPU time per call.  Each measurement is repeated; the tables use
the minimum over the repetitions (noise only ever adds time) and the detail
gives the median beside it.  Bytes per cycle count cycles of the time-stamp
counter, whose rate the benchmark calibrates at start.
"""
import argparse
import json
import math
import os
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
PEER_LIBC = {"musl": "musl", "dietlibc": "diet"}

# Size classes of the summary, in bytes: [low, high).
CLASSES = (("small", 1, 16), ("medium", 16, 256), ("large", 256, 65537), ("1 MiB", 65537, 1 << 30))

# The targets.
AT_LEAST_PEER_FROM = 16
FACTOR_RANGE = (256, 65536)
FACTOR = 3.0
SMALL_BELOW = 16
SMALL_SLACK = 1.25
CEILING_SIZE = 4096
CEILING_SHARE = 0.70
CEILING_ROUTINES = {"memchr", "strnlen", "memset", "bzero"}


def geomean(values):
    values = list(values)
    return math.exp(sum(math.log(v) for v in values) / len(values)) if values else float("nan")


def size_label(size):
    if size >= 1 << 20 and size % (1 << 20) == 0:
        return f"{size >> 20} MiB"
    if size >= 1 << 10 and size % (1 << 10) == 0:
        return f"{size >> 10} KiB"
    if size >= 1 << 10 and size % (1 << 9) == 0:
        return f"{size / 1024:g} KiB"
    return f"{size} B"


class Run:
    """The timings of one benchmark run, keyed by (workload, candidate, offset, size)."""

    def __init__(self, path):
        data = json.load(open(path))
        self.context = data["context"]
        self.ghz = float(self.context["sse2str.tsc_ghz"])
        self.routines = json.loads(self.context["sse2str.routines"])
        self.quick = self.context.get("sse2str.quick") == "1"
        self.cache_size_default = self.context.get("sse2str.x86_data_cache_size")
        scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
        samples = {}
        for b in data["benchmarks"]:
            if b.get("run_type") != "iteration" or b.get("error_occurred"):
                continue
            workload, candidate, offset, size = b["run_name"].split("/")
            key = (workload, candidate, int(offset), int(size))
            samples.setdefault(key, []).append(b["cpu_time"] * scale[b.get("time_unit", "ns")])
        self.repetitions = max((len(v) for v in samples.values()), default=0)
        self.min = {k: min(v) for k, v in samples.items()}
        self.median = {k: statistics.median(v) for k, v in samples.items()}
        self.sizes = sorted({k[3] for k in samples if not k[0].startswith("tune:")})
        self.offsets = sorted({k[2] for k in samples if not k[0].startswith(("tune:", "ceiling:"))})

    def time(self, workload, candidate, offset, size):
        return self.min.get((workload, candidate, offset, size))

    def bytes_per_cycle(self, workload, candidate, offset, size):
        t = self.time(workload, candidate, offset, size)
        return size / (t * self.ghz) if t else None

    def best_peer(self, workload, offset, size):
        """(time, name) of the fastest peer, or (None, None)."""
        times = [(self.time(workload, p, offset, size), p) for p in PEERS]
        times = [tp for tp in times if tp[0]]
        return min(times) if times else (None, None)

    def speedup(self, workload, offset, size, candidate=OURS):
        ours = self.time(workload, candidate, offset, size)
        peer, _ = self.best_peer(workload, offset, size)
        return peer / ours if ours and peer else None

    def speedup_at(self, workload, size, candidate=OURS):
        """Geometric mean over the start offsets."""
        values = [self.speedup(workload, o, size, candidate) for o in self.offsets]
        values = [v for v in values if v]
        return geomean(values) if values else None

    def speedup_over(self, workload, low, high, candidate=OURS):
        values = [self.speedup_at(workload, s, candidate) for s in self.sizes if low <= s < high]
        values = [v for v in values if v]
        return geomean(values) if values else None


def workloads_of(routine):
    return [f"{routine['name']}:{s}" for s in routine["scenarios"]]


def status_of(routine, candidate):
    for c in routine["candidates"]:
        if c["name"] == candidate:
            return c["status"]
    return "absent"


def fmt(value, digits=2):
    return "–" if value is None or value != value else f"{value:.{digits}f}"


# ---- the targets -------------------------------------------------------------

def targets(run, routine):
    """Lines of (target, measured, met) for a routine whose module was measured."""
    rows = []
    for workload in workloads_of(routine):
        worst = None  # (ratio, offset, size)
        for size in run.sizes:
            if size < AT_LEAST_PEER_FROM:
                continue
            for offset in run.offsets:
                r = run.speedup(workload, offset, size)
                if r and (worst is None or r < worst[0]):
                    worst = (r, offset, size)
        if worst:
            rows.append((f"{workload}: at least the best peer at every size >= {AT_LEAST_PEER_FROM} B",
                         f"lowest {worst[0]:.2f}x (offset {worst[1]}, {size_label(worst[2])})",
                         worst[0] >= 1.0))
        mean = run.speedup_over(workload, FACTOR_RANGE[0], FACTOR_RANGE[1] + 1)
        if mean:
            rows.append((f"{workload}: >= {FACTOR:g}x the best peer, 256 B to 64 KiB (geometric mean)",
                         f"{mean:.2f}x", mean >= FACTOR))
        slowest = None  # our time over the best peer's, below 16 bytes
        for size in run.sizes:
            if size >= SMALL_BELOW:
                continue
            for offset in run.offsets:
                r = run.speedup(workload, offset, size)
                if r and (slowest is None or 1 / r > slowest[0]):
                    slowest = (1 / r, offset, size)
        if slowest:
            rows.append((f"{workload}: below 16 B within {SMALL_SLACK}x the best peer's time (with the hook)",
                         f"worst {slowest[0]:.2f}x the peer's time (offset {slowest[1]}, {size_label(slowest[2])})",
                         slowest[0] <= SMALL_SLACK))
        if routine["name"] in CEILING_ROUTINES:
            ours = run.bytes_per_cycle(workload, OURS, 0, CEILING_SIZE)
            ceiling = run.bytes_per_cycle(f"ceiling:{routine['ceiling']}", "ceiling", 0, CEILING_SIZE)
            if ours and ceiling:
                rows.append((f"{workload}: >= {CEILING_SHARE:.0%} of the {routine['ceiling']} ceiling at 4 KiB (L1, aligned)",
                             f"{ours / ceiling:.0%} ({ours:.1f} of {ceiling:.1f} B/cycle)",
                             ours / ceiling >= CEILING_SHARE))
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
    sizes = sorted({k[3] for k in run.min if k[0] == "tune:memset"})
    rows = []
    for s in sizes:
        keys = [("tune:memset", t, 0, s) for t in ("block_loop", "string_store")]
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


def plot(run, workload, routine, out):
    """Writes OUT/plots/<workload>.png, one panel per start offset."""
    name = workload.replace(":", "-")
    data = os.path.join(out, "plots", name + ".dat")
    columns = [c for c in CANDIDATES if status_of(routine, c) == "measured"]
    with open(data, "w") as f:
        f.write("# size " + " ".join(f"{c}@{o}" for o in run.offsets for c in columns) + " ceiling\n")
        for size in run.sizes:
            cells = [run.bytes_per_cycle(workload, c, o, size) for o in run.offsets for c in columns]
            cells.append(run.bytes_per_cycle(f"ceiling:{routine['ceiling']}", "ceiling", 0, size))
            f.write(f"{size} " + " ".join(f"{v:.4f}" if v else "NaN" for v in cells) + "\n")
    styles = {OURS: "lw 3 lc rgb '#c0392b'", OURS_NOHOOK: "lw 2 dt 2 lc rgb '#e67e22'",
              "musl": "lw 2 lc rgb '#2980b9'", "dietlibc": "lw 2 lc rgb '#27ae60'",
              "byte_loop": "lw 2 lc rgb '#7f8c8d'", "ceiling": "lw 1 dt 3 lc rgb '#000000'"}
    panels = len(run.offsets)
    script = [
        f"set terminal pngcairo size {460 * panels},460 font 'sans,10'",
        f"set output '{os.path.join(out, 'plots', name + '.png')}'",
        f"set multiplot layout 1,{panels} title '{workload}: bytes per cycle (TSC) against size'",
        "set logscale xy 2", XTICS, "set xlabel 'size (bytes)'",
        "set ylabel 'bytes per cycle'", "set grid", "set datafile missing 'NaN'",
        # One key for all panels, below them.
        "set bmargin 7", "set key at screen 0.5, 0.06 center horizontal Left reverse width 2 samplen 3",
    ]
    for p, offset in enumerate(run.offsets):
        if p == 1:
            script.append("unset key")
        lines = []
        for i, c in enumerate(columns):
            col = 2 + p * len(columns) + i
            lines.append(f"'{data}' using 1:{col} with linespoints {styles[c]} pt 7 ps 0.5 title '{LABELS[c]}'")
        ceiling_col = 2 + len(run.offsets) * len(columns)
        lines.append(f"'{data}' using 1:{ceiling_col} with lines {styles['ceiling']} title 'ceiling (aligned)'")
        script.append(f"set title 'start offset {offset} mod 64'")
        script.append("plot " + ", ".join(lines))
    script.append("unset multiplot")
    return script


def plot_tuning(rows, crossover, out):
    data = os.path.join(out, "plots", "tune-memset.dat")
    with open(data, "w") as f:
        f.write("# size block_loop string_store\n")
        for size, _, _, block, string in rows:
            f.write(f"{size} {block:.4f} {string:.4f}\n")
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

def routine_table(run, routine, workload):
    columns = [c for c in CANDIDATES if status_of(routine, c) == "measured"]
    head = ["size"] + [LABELS[c] for c in columns] + [f"ceiling ({routine['ceiling']})", "speed-up"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for size in run.sizes:
        cells = [size_label(size)]
        for c in columns:
            values = [run.bytes_per_cycle(workload, c, o, size) for o in run.offsets]
            values = [v for v in values if v]
            cells.append(fmt(geomean(values)) if values else "–")
        cells.append(fmt(run.bytes_per_cycle(f"ceiling:{routine['ceiling']}", "ceiling", 0, size)))
        cells.append(fmt(run.speedup_at(workload, size)) + "x" if run.speedup_at(workload, size) else "–")
        lines.append("| " + " | ".join(cells) + " |")
    return lines


def detail_table(run, routine, workload):
    columns = [c for c in CANDIDATES if status_of(routine, c) == "measured"]
    head = ["offset", "size"] + [LABELS[c] for c in columns]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for offset in run.offsets:
        for size in run.sizes:
            cells = [str(offset), size_label(size)]
            for c in columns:
                key = (workload, c, offset, size)
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


def report(run, peers, out, rendered):
    md = ["# sse2str benchmark", ""]
    md += [f"{'Quick' if run.quick else 'Full'} run of {run.context.get('date', '?')} on "
           f"{run.context.get('num_cpus', '?')} CPUs at {run.context.get('mhz_per_cpu', '?')} MHz "
           f"(load average {', '.join(f'{x:.2f}' for x in run.context.get('load_avg', []))}).", ""]
    md += ["Each cell is bytes per cycle: the size divided by the CPU time of one call, in cycles of "
           f"the time-stamp counter ({run.ghz:.3f} GHz, calibrated at start; the core clock may differ "
           "under turbo). Time per call is the minimum over "
           f"{run.repetitions} repetitions, run in random order with every other measurement "
           "(Google Benchmark's random interleaving); the medians are in the detail below. "
           "Routine cells are the geometric mean over the start offsets "
           f"{', '.join(str(o) for o in run.offsets)} (modulo 64). The ceiling is the plainest aligned "
           "SSE2 loop of the routine's kind, measured from aligned operands: what 16-byte operations "
           "reach here, not a hard limit (the string store instructions of a fill can pass it). The speed-up is the best peer's time over ours (profiling configuration, the "
           "hook returning at once), geometric mean over the offsets; the peers are musl, dietlibc "
           "and the plain byte loop, whichever is fastest at each point.", ""]
    if peers:
        versions = ", ".join(f"{e['package']} {e.get('version', '(unavailable)')}" for e in peers.values())
        md += [f"Peers from Debian's {versions}, linked as opaque objects.", ""]

    # Summary and targets.
    md += ["## Summary", "", "Speed-up against the best peer (geometric mean over sizes and offsets):", "",
           "| workload | small (< 16 B) | medium (16–255 B) | large (256 B–64 KiB) | 1 MiB |",
           "|---|---|---|---|---|"]
    summary = []
    target_rows = []
    for routine in run.routines:
        if status_of(routine, OURS) != "measured":
            continue
        for workload in workloads_of(routine):
            cells = [run.speedup_over(workload, lo, hi) for _, lo, hi in CLASSES]
            summary.append((workload, cells))
            md.append(f"| {workload} | " + " | ".join(fmt(c) + "x" if c else "–" for c in cells) + " |")
        target_rows += targets(run, routine)
    missing = [r["name"] for r in run.routines if status_of(r, OURS) != "measured"]
    if missing:
        md += ["", f"Not measured (module not built in this tree): {', '.join(missing)}."]
    md += ["", "## Targets", "", "| target | measured | met |", "|---|---|---|"]
    md += [f"| {t} | {m} | {'yes' if ok else '**no**'} |" for t, m, ok in target_rows]

    # One table per routine.
    for routine in run.routines:
        md += ["", f"## {routine['name']}", ""]
        for workload in workloads_of(routine):
            if len(routine["scenarios"]) > 1:
                md += [f"### {workload}", ""]
            md += routine_table(run, routine, workload) + [""]
            if rendered and any(k[0] == workload for k in run.min):
                md += [f"![{workload}](plots/{workload.replace(':', '-')}.png)", ""]
        md += notes(routine, peers)

    # The fill threshold.
    md += ["", "## String-store threshold of the fills", ""]
    rows, crossover = tuning(run)
    if not rows:
        md += ["Not measured: `__memset_sse2_rep` and its `__x86_data_cache_size` provider are not "
               "built in this tree. The sweep runs by itself once they are."]
    else:
        md += ["`__memset_sse2_rep` from an aligned start, `__x86_data_cache_size` forced to "
               "0xFFFFFFFF (every large fill runs the block loop) and to 0 (every large fill takes the "
               "string store); bytes per cycle by the minimum and by the median time.", "",
               "| size | block loop, min | string store, min | block loop, median | string store, median "
               "| string / block (median) |", "|---|---|---|---|---|---|"]
        md += [f"| {size_label(s)} | {bm:.2f} | {sm:.2f} | {b:.2f} | {r:.2f} | {r / b:.2f} |"
               for s, bm, sm, b, r in rows]
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
        if run.cache_size_default:
            md.append(f"The provider's current default is {run.cache_size_default}.")
        if rendered:
            md += ["", "![memset fill techniques](plots/tune-memset.png)"]

    # Every measurement.
    md += ["", "## Detail", "", "Nanoseconds per call, minimum / median over the repetitions.", ""]
    for routine in run.routines:
        for workload in workloads_of(routine):
            md += [f"<details><summary>{workload}</summary>", ""] + detail_table(run, routine, workload) + \
                  ["", "</details>", ""]
    return md, summary, target_rows, crossover


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--results", required=True)
    parser.add_argument("--peers")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    run = Run(args.results)
    peers = json.load(open(args.peers)) if args.peers and os.path.exists(args.peers) else {}
    args.out = os.path.abspath(args.out)
    os.makedirs(os.path.join(args.out, "plots"), exist_ok=True)

    scripts = [plot(run, w, r, args.out) for r in run.routines for w in workloads_of(r)
               if any(k[0] == w for k in run.min)]
    rows, crossover = tuning(run)
    if rows:
        scripts.append(plot_tuning(rows, crossover, args.out))
    rendered = render(scripts, args.out)
    md, summary, target_rows, crossover = report(run, peers, args.out, rendered)
    path = os.path.join(args.out, "report.md")
    with open(path, "w") as f:
        f.write("\n".join(md) + "\n")

    print(f"\nSpeed-up against the best peer (musl, dietlibc, byte loop), TSC {run.ghz:.2f} GHz:")
    print(f"  {'workload':<16}" + "".join(f"{name:>22}" for name, _, _ in CLASSES))
    for workload, cells in summary:
        print(f"  {workload:<16}" + "".join(f"{(fmt(c) + 'x') if c else '–':>22}" for c in cells))
    if not summary:
        print("  (no routine of ours is built in this tree)")
    missed = [t for t, _, ok in target_rows if not ok]
    print(f"Targets met: {len(target_rows) - len(missed)} of {len(target_rows)}")
    for t in missed:
        print(f"  missed: {t}")
    if rows:
        print(f"Fill threshold: string store wins from "
              f"{size_label(crossover) + f' (C = {cache_size_for(crossover)})' if crossover else 'no size measured'}")
    print(f"Report: {path}")


if __name__ == "__main__":
    main()
