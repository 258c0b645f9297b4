# SPDX-License-Identifier: MIT
"""The benchmark report's plots (matplotlib), against size on a log scale."""
import os

import matplotlib
import pandas as pd

from bench_results import LABELS, OURS, OURS_DISPATCH, OURS_HOOK, OURS_MCOUNT, geomean, tuning

matplotlib.use("Agg")  # files only, no display
import matplotlib.pyplot as plt  # noqa: E402
STYLES = {OURS: dict(lw=3, color="#c0392b"), OURS_HOOK: dict(ls="--", color="#e67e22"),
          OURS_MCOUNT: dict(ls="-.", color="#8e44ad"), OURS_DISPATCH: dict(ls=":", color="#c0392b"),
          "musl": dict(color="#2980b9"), "dietlibc": dict(color="#27ae60"), "byte_loop": dict(color="#7f8c8d"),
          "ceiling": dict(lw=1, ls=":", color="#000000", marker="")}
TICKS = [(1 << k, f"{1 << k % 10}{('', 'K', 'M')[k // 10]}") for k in range(0, 23, 2)]
SPEEDUP = "speed-up against the best peer"


def draw(frame, path, title, ylabel, log_y=False, width=6.4, legend="lower right", at=None, labels=LABELS):
    """One line per column of `frame`, indexed by size in bytes; speed-ups get
    a line at 1, and `at` a dashed line at that size."""
    fig, ax = plt.subplots(figsize=(width, 4.2))
    for column in frame:  # a line through the sizes it has
        line = frame[column].astype(float).dropna()
        ax.plot(line.index, line, label=labels.get(column, column),
                **{"lw": 2, "marker": "o", "ms": 3, **STYLES.get(column, {})})
    ax.set_xscale("log", base=2)
    ticks = [(t, label) for t, label in TICKS if frame.index.min() <= t <= frame.index.max()]
    ax.set_xticks([t for t, _ in ticks], [label for _, label in ticks])
    if log_y:
        ax.set_yscale("log", base=2)
        ax.yaxis.set_major_formatter(lambda v, _: f"{v:g}")
    else:
        ax.set_ylim(bottom=0)
    if ylabel == SPEEDUP:
        ax.axhline(1, color="black", lw=1)
    if at:
        ax.axvline(at, color="black", ls="--", lw=1)
    ax.set(title=title, xlabel="size (bytes, log scale)", ylabel=ylabel)
    ax.grid(True, alpha=0.4)
    ax.legend(loc=legend, bbox_to_anchor=(1, 0.5) if legend == "center left" else None)
    fig.savefig(path, dpi=100, bbox_inches="tight")
    plt.close(fig)


def draw_all(run, out, emulated):
    """OUT/plots/*.png: the speed-up of each routine and of all of them, the
    bytes per cycle of each workload, and the fills' threshold sweep."""
    plots = os.path.join(out, "plots")
    os.makedirs(plots, exist_ok=True)
    note = " (under emulation)" if emulated else ""
    overview = {}
    for routine in (r for r in run.routines if run.status(r, OURS) == "measured"):
        at = run.speedups_at.loc[run.workloads[routine]].groupby(level="size").agg(geomean)
        overview[routine] = at[OURS]
        draw(at, os.path.join(plots, f"speedup-{routine}.png"), f"{routine}: {SPEEDUP}{note}", SPEEDUP,
             legend="lower center", labels={OURS: "hook-free", OURS_HOOK: "returning hook",
                                            OURS_MCOUNT: "platform _mcount", OURS_DISPATCH: "dispatch"})
    if overview:
        draw(pd.DataFrame(overview), os.path.join(plots, "speedup.png"), f"{SPEEDUP}, hook-free{note}",
             SPEEDUP, width=7.6, legend="center left")
    for routine in run.routines:
        for workload in (w for w in run.workloads[routine] if w in run.sizes):
            frame = run.bpc_at(workload, run.measured(routine))
            draw(frame.assign(ceiling=run.ceiling_bpc(routine).reindex(frame.index)),
                 os.path.join(plots, workload.replace(":", "-") + ".png"),
                 f"{workload}: bytes per cycle (TSC) against size", "bytes per cycle", log_y=True)
    sweep, crossover = tuning(run)
    if len(sweep):
        medians = sweep[["block loop, median", "string store, median"]]
        draw(medians.set_axis(["block loop", "string store (rep stosl)"], axis=1),
             os.path.join(plots, "tune-memset.png"), "memset: block loop against string store "
             "(aligned start, median)", "bytes per cycle", width=7, at=crossover)
