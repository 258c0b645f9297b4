#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Stops gdb inside every part of every routine and checks its backtrace.

  check_gdb.py PROGRAM ARGUMENT --object MODULE.o... --caller NAME

Runs PROGRAM ARGUMENT under gdb in batch mode with a temporary breakpoint
(`tbreak *address`) in each part of each routine, as its call-frame
records tell them apart (one per routine).  The point is the part's first
instruction past the entry frame with the most registers pushed, where the
unwinder has the most to get right.  At each stop `bt` must show the
routine itself, with NAME (the driver's function that calls the routines)
right above it, and every breakpoint must be reached.
"""
import argparse
import re
import subprocess
import sys
import tempfile

from routine_parts import routine_parts



def frame_functions(stop):
    """The function of each frame of a backtrace, as gdb names it: what
    comes before the argument list, after the address."""
    functions = []
    for line in stop.splitlines():
        m = re.match(r"#\d+\s+(?:0x[0-9a-f]+ in )?(.*?)( at \S+)?$", line)
        if m:
            functions.append(m.group(1).rsplit(" (", 1)[0])
    return functions


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("program")
    parser.add_argument("argument")
    parser.add_argument("--object", action="append", required=True)
    parser.add_argument("--caller", required=True)
    args = parser.parse_args()

    parts = routine_parts(args.program, args.object)
    script = ["set pagination off", "set confirm off"]
    for part in parts:
        script += [f"tbreak *{part.deepest:#x}", "commands", "bt 2", "continue", "end"]
    script.append("run")
    with tempfile.NamedTemporaryFile("w", suffix=".gdb") as commands:
        commands.write("\n".join(script) + "\n")
        commands.flush()
        output = subprocess.run(["gdb", "-batch", "-nx", "-x", commands.name, "--args",
                                 args.program, args.argument],
                                capture_output=True, text=True).stdout

    failures = []
    stops = {}
    for stop in re.split(r"^Temporary breakpoint \d+, ", output, flags=re.M)[1:]:
        functions = frame_functions(stop)
        if len(functions) < 2:
            failures.append(f"no backtrace at a stop:\n{stop}")
            continue
        stops[int(stop.split()[0], 16)] = (functions[0], functions[1])
    for part in parts:
        where = f"{part} at {part.deepest:#x}"
        if part.deepest not in stops:
            failures.append(f"{where}: never stopped there")
            continue
        routine, caller = stops[part.deepest]
        if routine != part.routine:
            failures.append(f"{where}: bt shows {routine}, not {part.routine}")
        if caller != args.caller:
            failures.append(f"{where}: bt shows {caller} above it, not {args.caller}")
    for message in failures:
        print(message, file=sys.stderr)
    if failures:
        print(output, file=sys.stderr)
        return 1
    print(f"gdb: {len(parts)} parts of {len({p.routine for p in parts})} routines, each "
          f"backtrace its routine with {args.caller} above it")
    return 0


if __name__ == "__main__":
    sys.exit(main())
