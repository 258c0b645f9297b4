#!/usr/bin/env python3
"""Runs a program built with -pg and checks gprof's account of the routines.

  check_gprof.py PROGRAM --routine SYMBOL... --caller NAME=COUNT...

Each routine must appear in the flat profile with the sum of the counts as
its number of calls, and in the call graph with exactly the named callers,
each with its own count.  The program runs in a fresh directory, where the
profiling runtime writes gmon.out at exit.
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


def flat_calls(report):
    """routine -> calls, from the flat profile."""
    flat = report.split("Call graph", 1)[0]
    calls = {}
    for line in flat.splitlines():
        fields = line.split()
        if len(fields) == 7 and fields[3].isdigit():
            calls[fields[6]] = int(fields[3])
    return calls


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("program")
    parser.add_argument("--routine", action="append", required=True)
    parser.add_argument("--caller", action="append", required=True)
    args = parser.parse_args()
    expected = {name: int(count) for name, count in (c.split("=") for c in args.caller)}
    total = sum(expected.values())

    program = os.path.abspath(args.program)
    with tempfile.TemporaryDirectory() as directory:
        subprocess.run([program], cwd=directory, check=True)
        report = subprocess.run(["gprof", "-b", program, os.path.join(directory, "gmon.out")],
                                check=True, capture_output=True, text=True).stdout

    failures = []
    graph = call_graph_entries(report)
    calls = flat_calls(report)
    for routine in args.routine:
        if calls.get(routine) != total:
            failures.append(f"{routine}: {calls.get(routine, 'no')} calls in the flat profile, "
                            f"expected {total}")
        got = graph.get(routine)
        want = {caller: (count, total) for caller, count in expected.items()}
        if got != want:
            failures.append(f"{routine}: callers {got}, expected {want}")
    for message in failures:
        print(message, file=sys.stderr)
    if failures:
        print(report, file=sys.stderr)
        return 1
    print(f"gprof: {len(args.routine)} routines, {total} calls each from "
          f"{', '.join(sorted(expected))}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
