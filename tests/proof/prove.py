#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Proves a delivered object: for every placement of its buffers in their
lines, every content, character and size up to the bound, on every path,
the obligations of obligations.py (docs/TESTING.md, "Proof").

  prove.py OBJECT --routine NAME [--full | --bound N] [--runs K,...] [--report FILE]
  prove.py --list FILE --report FILE [--full] [--jobs N] [--cc CC] [--keep DIR]

The second form proves every object of the list the build writes
(routine, label and object on each line) in pieces of a few runs, JOBS
pieces at a time, then checks the instruction model against the processor,
and writes the report.  With --keep, each proved piece is kept in DIR
under a name drawn from the object's bytes, the bound, the runs and the
proof's own sources, and a later run takes it from there instead of
proving it again: an interrupted proof resumes where it stopped.

NAME is a routine of routines.def.  The bound is the routine's CI bound,
its full one with --full, or N (bytes; characters for wcscmp).  With
--full the proof must also reach every instruction the object can reach
and take every loop's back edge, else it fails.  The report line (appended
to FILE too) gives the bound, the runs, paths, solver queries, time and
coverage.
"""
import argparse
import hashlib
import json
import os
import subprocess
import sys
import time
from collections import Counter, defaultdict
from concurrent.futures import ProcessPoolExecutor
from dataclasses import asdict, dataclass, field

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import capstone  # noqa: E402
import z3  # noqa: E402

from decode import Program, Unmodelled  # noqa: E402
from explore import Disproved, Proof  # noqa: E402
from obligations import ROOT, ROUTINES, read_routines, runs  # noqa: E402

# The runs (placements) a piece of a listed object's proof takes: small
# enough that no piece holds up the end of the proof for long, and that
# work on many cores spreads over the costly objects too.
PIECE_RUNS = 4


@dataclass
class Tally:
    """What proving some of an object's runs found.  `loops` maps each loop
    head to the most times one path reached it; `fault` is the proof's
    message where an obligation failed."""
    runs: int = 0
    paths: int = 0
    queries: int = 0
    seconds: float = 0.0
    reachable: set = field(default_factory=set)
    covered: set = field(default_factory=set)
    loops: dict = field(default_factory=dict)
    fault: str = ""

    def add(self, other):
        self.runs += other.runs
        self.paths += other.paths
        self.queries += other.queries
        self.seconds += other.seconds
        self.reachable |= other.reachable
        self.covered |= other.covered
        for head, n in other.loops.items():
            self.loops[head] = max(self.loops.get(head, 0), n)
        self.fault = self.fault or other.fault

    def missed(self):
        return sorted(self.reachable - self.covered)

    def short_loops(self):
        return sorted(head for head, n in self.loops.items() if n < 2)

    def to_json(self):
        fields = asdict(self)
        fields.update(reachable=sorted(self.reachable), covered=sorted(self.covered),
                      loops=sorted(self.loops.items()))
        return json.dumps(fields)

    @classmethod
    def from_json(cls, text):
        fields = json.loads(text)
        fields.update(reachable=set(fields["reachable"]), covered=set(fields["covered"]),
                      loops=dict(fields["loops"]))
        return cls(**fields)


def prove(path, name, bound, only=None):
    """The tally of proving the runs of routine `name` in the object at
    `path`; `only` picks runs by their number (placements, in the
    routine's order), all of them where it is None."""
    module, symbol = read_routines()[name]
    began = time.process_time()
    program = Program(path, symbol)
    tally = Tally(reachable=set(program.reachable))
    stats = Counter()
    stats["loops"] = Counter({head: 0 for head in program.loops})
    try:
        for number, run in enumerate(runs(name, bound)):
            if only is not None and number not in only:
                continue
            tally.runs += 1
            Proof(program, run, stats, tally.covered).start()
    except (Disproved, Unmodelled) as fault:
        tally.fault = str(fault)
    tally.covered &= program.reachable
    tally.paths, tally.queries, tally.loops = stats["paths"], stats["queries"], dict(stats["loops"])
    tally.seconds = time.process_time() - began
    return tally


def report_line(label, name, bound, tally):
    routine = ROUTINES[name]
    if tally.fault:
        return f"{label}: NOT PROVED at bound {bound} {routine.unit}:\n  {tally.fault}"
    reached, reachable = len(tally.covered), len(tally.reachable)
    return (f"{label:<30} bound {bound:>4} {routine.unit:<10} runs {tally.runs:>4}  "
            f"paths {tally.paths:>7}  queries {tally.queries:>8}  "
            f"coverage {reached}/{reachable} ({100 * reached / reachable:.1f} %)  "
            f"loops {len(tally.loops) - len(tally.short_loops())}/{len(tally.loops)} twice  "
            f"{tally.seconds:7.1f} s")


def shortfalls(tally):
    """Why a proof at the full bound does not cover its object, line by line."""
    lines = []
    if tally.missed():
        lines.append("  instructions never reached: "
                     + " ".join(f"{a:#x}" for a in tally.missed()[:40]))
    lines += [f"  the loop at {head:#x} never ran twice on one path" for head in tally.short_loops()]
    return lines


def sources_digest():
    """What a kept piece's name depends on besides its object: the proof's
    own code (every module it loaded from this tree), the routines' list,
    and the versions of the solver and the disassembler."""
    digest = hashlib.sha256(f"{z3.get_version_string()} {capstone.__version__}".encode())
    root = os.path.realpath(ROOT)
    files = {os.path.realpath(m.__file__) for m in list(sys.modules.values())
             if getattr(m, "__file__", None)}
    for path in sorted(f for f in files if f.startswith(root + os.sep)) + [
            os.path.join(root, "routines.def")]:
        with open(path, "rb") as f:
            digest.update(path[len(root):].encode() + f.read())
    return digest.hexdigest()


def piece(task):
    """Proves one piece in a worker, or takes it from the kept pieces:
    (its tally, whether it was kept)."""
    path, name, bound, numbers, kept = task
    if kept and os.path.exists(kept):
        with open(kept) as f:
            return Tally.from_json(f.read()), True
    tally = prove(path, name, bound, set(numbers))
    if kept and not tally.fault:
        with open(kept + ".part", "w") as f:
            f.write(tally.to_json())
        os.replace(kept + ".part", kept)
    return tally, False


def pieces(entries, full, keep):
    """The pieces of the listed objects' proofs, as (the object's index in
    the list, the task of `piece`)."""
    digest = sources_digest() if keep else None
    for index, (name, _, path) in enumerate(entries):
        bound = ROUTINES[name].full if full else ROUTINES[name].ci
        count = len(list(ROUTINES[name].offsets()))
        with open(path, "rb") as f:
            content = f.read()
        for first in range(0, count, PIECE_RUNS):
            numbers = list(range(first, min(first + PIECE_RUNS, count)))
            kept = None
            if keep:
                key = hashlib.sha256(content + f"{digest} {name} {bound} {numbers}".encode())
                kept = os.path.join(keep, key.hexdigest()[:32] + ".json")
            yield index, (path, name, bound, numbers, kept)


def complete_task(task):
    """The complete proof of one listed object, in a worker: its report
    lines and whether it failed."""
    path, name, label = task
    from induction import prove_complete
    try:
        complete = prove_complete(Program(path, read_routines()[name][1]), name)
    except (Disproved, Unmodelled) as fault:
        return [f"{label}: NOT PROVED for every size:\n  {fault}"], True
    missed = complete.program.reachable - complete.coverage
    gaps = ["  instructions never reached: " + " ".join(f"{a:#x}" for a in sorted(missed)[:40])]
    return complete.lines(label) + (gaps if missed else []), bool(missed)


def prove_list(args):
    """Every object of the build's list, then the semantics check; the report."""
    with open(args.list) as f:
        listed = [line.split() for line in f if line.strip()]
    complete = []
    if args.complete:
        from induction import INVARIANTS
        complete = [e for e in listed if e[0] in INVARIANTS]
    entries = [e for e in listed if e not in complete]
    here = os.path.dirname(os.path.abspath(__file__))
    began = time.time()
    if args.keep:
        os.makedirs(args.keep, exist_ok=True)
    tasks = list(pieces(entries, args.full, args.keep))
    left = Counter(index for index, _ in tasks)
    tallies = defaultdict(Tally)
    lines = [None] * len(entries)
    earlier = failed = 0
    with ProcessPoolExecutor(args.jobs) as pool:
        # The complete proofs first: each is one long task.
        proved = pool.map(complete_task, [(e[2], e[0], e[1]) for e in complete])
        done = pool.map(piece, [task for _, task in tasks])
        for (index, task), (tally, was_kept) in zip(tasks, done):
            earlier += was_kept
            tallies[index].add(tally)
            left[index] -= 1
            if not left[index]:
                name, label, _ = entries[index]
                total = tallies[index]
                gaps = shortfalls(total) if args.full and not total.fault else []
                lines[index] = "\n".join([report_line(label, name, task[2], total)] + gaps)
                print(lines[index], flush=True)
        for report, fault in proved:
            failed += fault
            lines += [""] + report
            print("\n".join(report), flush=True)
    entries += complete
    work = os.path.join(os.path.dirname(os.path.abspath(args.report)), "semantics")
    semantics = subprocess.run([sys.executable, os.path.join(here, "check_semantics.py"),
                                "--work", work, "--cc", args.cc] + [e[2] for e in entries],
                               capture_output=True, text=True)
    bound = "the full bound (make prove FULL=1)" if args.full else "the test suite's bound"
    bounded = len(entries) - len(complete)
    kinds = ([f"{len(complete)} for every size, each loop by induction"] if complete else []) + \
        ([f"{bounded} at {bound}"] if bounded else [])
    pieces_of = f", the bounded in pieces of {PIECE_RUNS} runs" if tasks else ""
    resumed = (f" ({earlier} of the {len(tasks)} pieces proved by an earlier run and kept "
               f"in {args.keep})" if earlier else "")
    report = "\n".join([f"Proof of {len(entries)} objects, {', '.join(kinds)}; {args.jobs} "
                        f"at a time{pieces_of}, {time.time() - began:.0f} s in all"
                        f"{resumed}; times are CPU seconds of each object's proof", ""]
                       + lines + ["", (semantics.stdout + semantics.stderr).rstrip()]) + "\n"
    with open(args.report, "w") as out:
        out.write(report)
    print((semantics.stdout + semantics.stderr).rstrip())
    failed += sum(1 for t in tallies.values() if t.fault or (args.full and shortfalls(t)))
    failed += semantics.returncode != 0
    print(f"{len(entries) + 1 - failed} passed, {failed} failed; the report is {args.report}")
    return 1 if failed else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("object", nargs="?")
    parser.add_argument("--list")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--cc", default="gcc")
    parser.add_argument("--keep", help="where the proved pieces of --list are kept")
    parser.add_argument("--routine", choices=sorted(ROUTINES))
    parser.add_argument("--bound", type=int)
    parser.add_argument("--full", action="store_true")
    parser.add_argument("--complete", action="store_true",
                        help="with --list: every size, each loop by induction (induction.py), "
                             "for the routines whose loops have their invariants")
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
    only = set(map(int, args.runs.split(","))) if args.runs else None
    tally = prove(args.object, args.routine, bound, only)
    line = report_line(label, args.routine, bound, tally)
    print(line)
    if tally.fault:
        return 1
    if args.report:
        with open(args.report, "a") as out:
            out.write(line + "\n")
    if tally.missed() and args.runs:
        print("  instructions not reached: " + " ".join(f"{a:#x}" for a in tally.missed()[:60]))
    if args.full and shortfalls(tally):
        print("\n".join(shortfalls(tally)))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
