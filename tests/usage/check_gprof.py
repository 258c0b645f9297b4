#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Runs a program built with -pg and checks gprof's account of the routines.

  check_gprof.py PROGRAM --routine SYMBOL... [--no-call-counts]

The program prints one line for each routine it called, with the calls
from each caller: `SYMBOL CALLER=COUNT...`; every routine named must be
among them.  Every routine must have samples in the flat profile under its
own name, and no row of the flat profile may name anything else inside a
routine: the time of every part of a routine is the routine's.  With the
profiling entry frame (the default), each routine must also show the sum of
its counts as its number of calls, and in the call graph exactly the callers
printed, each with its own count; --no-call-counts is for the build without
the hook, where gprof sees no calls of the routines.  The program runs in a
fresh directory, where the profiling runtime writes gmon.out at exit.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile


def call_graph_entries(report):
    """routine -> {caller: (calls, total)} from the call graph of gprof -b."""
    graph = report.split("Call graph", 1)[1].split("Index by function name", 1)[0]
    entries = {}
    for block in graph.split("-----------------------------------------------"):
        lines = [line for line in block.splitlines() if line.strip()]
        primary = next((i for i, line in enumerate(lines) if re.match(r"\[\d+\]", line)), None)
        if primary is None:
            continue
        name = re.sub(r"\s*\[\d+\]$", "", lines[primary]).split()[-1]
        callers = {}
        for line in lines[:primary]:
            m = re.search(r"(\d+)/(\d+)\s+(\S+)\s+\[\d+\]$", line)
            if m:
                callers[m.group(3)] = (int(m.group(1)), int(m.group(2)))
        entries[name] = callers
    return entries


def flat_profile(report):
    """name -> (self seconds, calls or None), from the flat profile."""
    flat = report.split("Call graph", 1)[0]
    rows = {}
    for line in flat.splitlines():
        m = re.match(r"\s*[\d.]+\s+[\d.]+\s+([\d.]+)\s+(?:(\d+)\s+[\d.]+\s+[\d.]+\s+)?(\S.*)$",
                     line)
        if m:
            rows[m.group(3)] = (float(m.group(1)), int(m.group(2)) if m.group(2) else None)
    return rows


def symbol_extents(program):
    """name -> (start, end) of the program's sized symbols, named as gprof
    names them (demangled)."""
    extents = {}
    for line in subprocess.run(["nm", "-S", "-C", program], check=True, capture_output=True,
                               text=True).stdout.splitlines():
        words = line.split(maxsplit=3)
        if len(words) == 4:
            start, size = int(words[0], 16), int(words[1], 16)
            extents[words[3]] = (start, start + size)
    return extents


def calls_made(output):
    """routine -> {caller: calls}, as the program printed them."""
    made = {}
    for line in output.splitlines():
        routine, *counts = line.split()
        made[routine] = {caller: int(count)
                         for caller, count in (c.split("=") for c in counts)}
    return made


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("program")
    parser.add_argument("--routine", action="append", required=True)
    parser.add_argument("--no-call-counts", dest="counted", action="store_false")
    args = parser.parse_args()
    program = os.path.abspath(args.program)
    with tempfile.TemporaryDirectory() as directory:
        made = calls_made(subprocess.run([program], cwd=directory, check=True,
                                         capture_output=True, text=True).stdout)
        report = subprocess.run(["gprof", "-b", program, os.path.join(directory, "gmon.out")],
                                check=True, capture_output=True, text=True).stdout

    failures = []
    rows = flat_profile(report)
    extents = symbol_extents(program)
    entries = call_graph_entries(report) if args.counted else {}
    for routine in args.routine:
        if routine not in made:
            failures.append(f"{routine}: not called by the program")
            continue
        expected = made[routine]
        total = sum(expected.values())
        seconds, calls = rows.get(routine, (0.0, None))
        if seconds <= 0:
            failures.append(f"{routine}: no samples in the flat profile")
        if args.counted and calls != total:
            failures.append(f"{routine}: {calls} calls in the flat profile, expected {total}")
        if args.counted:
            got = entries.get(routine)
            want = {caller: (count, total) for caller, count in expected.items()}
            if got != want:
                failures.append(f"{routine}: callers {got}, expected {want}")
        start, end = extents[routine]
        for name, (seconds, _) in rows.items():
            address = extents.get(name, (None,))[0]
            if name != routine and address is not None and start <= address < end:
                failures.append(f"{name}, inside {routine}, has a row of its own "
                                f"({seconds:.2f} s)")
    for message in failures:
        print(message, file=sys.stderr)
    if failures:
        print(report, file=sys.stderr)
        return 1
    for routine in args.routine:
        counted = ""
        if args.counted:
            callers = ", ".join(f"{count} from {caller}"
                                for caller, count in sorted(made[routine].items()))
            counted = f", calls {callers}"
        print(f"gprof: {routine} {rows[routine][0]:.2f} s{counted}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
