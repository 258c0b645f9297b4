#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Proves a delivered object: for every placement of its buffers in their
lines, every content, character and size up to the bound, on every path,
the obligations of obligations.py (docs/TESTING.md, "Proof").

  prove.py OBJECT --routine NAME [--full | --bound N] [--report FILE]

NAME is a routine of routines.def.  The bound is the routine's CI bound,
its full one with --full, or N (bytes; characters for wcscmp).  With
--full the proof must also reach every instruction the object can reach
and take every loop's back edge, else it fails.  The report line (appended
to FILE too) gives the bound, the runs, paths, solver queries, time and
coverage.
"""
import argparse
import os
import sys
import time
from collections import Counter

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from decode import Program, Unmodelled  # noqa: E402
from explore import Disproved, Proof  # noqa: E402
from obligations import ROUTINES, read_routines, runs  # noqa: E402


def prove(path, name, bound):
    """(stats, coverage set, program); Disproved or Unmodelled on a fault."""
    module, symbol = read_routines()[name]
    program = Program(path, symbol)
    stats = Counter()
    stats["loops"] = Counter({edge: 0 for edge in program.loops})
    covered = set()
    for run in runs(name, bound):
        stats["runs"] += 1
        Proof(program, run, stats, covered).start()
    return stats, covered, program


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("object")
    parser.add_argument("--routine", required=True, choices=sorted(ROUTINES))
    parser.add_argument("--bound", type=int)
    parser.add_argument("--full", action="store_true")
    parser.add_argument("--label", help="how the report names the object")
    parser.add_argument("--report")
    args = parser.parse_args()

    routine = ROUTINES[args.routine]
    bound = args.bound or (routine.full if args.full else routine.ci)
    label = args.label or os.path.basename(args.object)
    began = time.process_time()
    try:
        stats, covered, program = prove(args.object, args.routine, bound)
    except (Disproved, Unmodelled) as fault:
        print(f"{label}: NOT PROVED at bound {bound} {routine.unit}:\n  {fault}")
        return 1
    seconds = time.process_time() - began
    reached = covered & program.reachable
    missed = sorted(program.reachable - covered)
    loops = stats["loops"]
    short = sorted(edge for edge, n in loops.items() if n < 1)
    line = (f"{label:<30} bound {bound:>4} {routine.unit:<10} runs {stats['runs']:>4}  "
            f"paths {stats['paths']:>7}  queries {stats['queries']:>8}  "
            f"coverage {len(reached)}/{len(program.reachable)} "
            f"({100 * len(reached) / len(program.reachable):.1f} %)  "
            f"loops {len(loops) - len(short)}/{len(loops)} twice  {seconds:7.1f} s")
    print(line)
    if args.report:
        with open(args.report, "a") as out:
            out.write(line + "\n")
    if args.full and (missed or short):
        if missed:
            print("  instructions never reached: " + " ".join(f"{a:#x}" for a in missed[:40]))
        for edge in short:
            print(f"  loop {edge[1]:#x}..{edge[0]:#x} never ran twice")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
