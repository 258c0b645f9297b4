#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Proves a delivered object: for every placement of its buffers in their
lines, every content, character and size up to the bound, on every path,
the obligations of obligations.py (docs/TESTING.md, "Proof").

  prove.py OBJECT --routine NAME [--full | --bound N] [--report FILE]
  prove.py --list FILE --report FILE [--full] [--jobs N] [--cc CC]

The second form proves every object of the list the build writes
(routine, label and object on each line), JOBS at a time, then checks the
instruction model against the processor, and writes the report.

NAME is a routine of routines.def.  The bound is the routine's CI bound,
its full one with --full, or N (bytes; characters for wcscmp).  With
--full the proof must also reach every instruction the object can reach
and take every loop's back edge, else it fails.  The report line (appended
to FILE too) gives the bound, the runs, paths, solver queries, time and
coverage.
"""
import argparse
import os
import subprocess
import sys
import time
from collections import Counter
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from decode import Program, Unmodelled  # noqa: E402
from explore import Disproved, Proof  # noqa: E402
from obligations import ROUTINES, read_routines, runs  # noqa: E402


def prove(path, name, bound, only=None):
    """(stats, coverage set, program); Disproved or Unmodelled on a fault.
    `only` picks runs by their number (placements, in the routine's order)."""
    module, symbol = read_routines()[name]
    program = Program(path, symbol)
    stats = Counter()
    stats["loops"] = Counter({head: 0 for head in program.loops})
    covered = set()
    for number, run in enumerate(runs(name, bound)):
        if only is not None and number not in only:
            continue
        stats["runs"] += 1
        Proof(program, run, stats, covered).start()
    return stats, covered, program


def prove_list(args):
    """Every object of the build's list, then the semantics check; the report."""
    with open(args.list) as f:
        entries = [line.split() for line in f if line.strip()]
    here = os.path.dirname(os.path.abspath(__file__))
    began = time.time()

    def one(entry):
        routine, label, path = entry
        command = [sys.executable, os.path.abspath(__file__), path, "--routine", routine,
                   "--label", label] + (["--full"] if args.full else [])
        done = subprocess.run(command, capture_output=True, text=True)
        return done.returncode, done.stdout + done.stderr
    with ThreadPoolExecutor(args.jobs) as pool:
        results = list(pool.map(one, entries))
    work = os.path.join(os.path.dirname(os.path.abspath(args.report)), "semantics")
    semantics = subprocess.run([sys.executable, os.path.join(here, "check_semantics.py"),
                                "--work", work, "--cc", args.cc] + [e[2] for e in entries],
                               capture_output=True, text=True)
    kind = "full bound (make prove FULL=1)" if args.full else "test suite's bound (make prove)"
    lines = [f"Proof of {len(entries)} objects at the {kind}; {args.jobs} at a time, "
             f"{time.time() - began:.0f} s in all; times are CPU seconds of each proof", ""]
    lines += [out.rstrip() for _, out in results]
    lines += ["", (semantics.stdout + semantics.stderr).rstrip()]
    report = "\n".join(lines) + "\n"
    with open(args.report, "w") as out:
        out.write(report)
    print(report, end="")
    failed = sum(1 for status, _ in results if status) + (semantics.returncode != 0)
    print(f"{len(entries) + 1 - failed} passed, {failed} failed")
    return 1 if failed else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("object", nargs="?")
    parser.add_argument("--list")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--cc", default="gcc")
    parser.add_argument("--routine", choices=sorted(ROUTINES))
    parser.add_argument("--bound", type=int)
    parser.add_argument("--full", action="store_true")
    parser.add_argument("--label", help="how the report names the object")
    parser.add_argument("--runs", help="only these runs (numbers, comma-separated)")
    parser.add_argument("--report")
    args = parser.parse_args()
    if args.list:
        return prove_list(args)
    if not args.object or not args.routine:
        parser.error("an object and its --routine, or --list")

    routine = ROUTINES[args.routine]
    bound = args.bound or (routine.full if args.full else routine.ci)
    label = args.label or os.path.basename(args.object)
    began = time.process_time()
    try:
        only = set(map(int, args.runs.split(","))) if args.runs else None
        stats, covered, program = prove(args.object, args.routine, bound, only)
    except (Disproved, Unmodelled) as fault:
        print(f"{label}: NOT PROVED at bound {bound} {routine.unit}:\n  {fault}")
        return 1
    seconds = time.process_time() - began
    reached = covered & program.reachable
    missed = sorted(program.reachable - covered)
    loops = stats["loops"]
    short = sorted(head for head, n in loops.items() if n < 2)
    line = (f"{label:<30} bound {bound:>4} {routine.unit:<10} runs {stats['runs']:>4}  "
            f"paths {stats['paths']:>7}  queries {stats['queries']:>8}  "
            f"coverage {len(reached)}/{len(program.reachable)} "
            f"({100 * len(reached) / len(program.reachable):.1f} %)  "
            f"loops {len(loops) - len(short)}/{len(loops)} twice  {seconds:7.1f} s")
    print(line)
    if args.report:
        with open(args.report, "a") as out:
            out.write(line + "\n")
    if missed and args.runs:
        print("  instructions not reached: " + " ".join(f"{a:#x}" for a in missed[:60]))
    if args.full and (missed or short):
        if missed:
            print("  instructions never reached: " + " ".join(f"{a:#x}" for a in missed[:40]))
        for head in short:
            print(f"  the loop at {head:#x} never ran twice on one path")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
