#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Runs memcheck_calls under valgrind memcheck and checks what it reports.

  run_memcheck.py quiet --suppressions FILE --module NAME... DRIVER...
      Correct use, with the suppression file, in every configuration of the
      driver: no error at all, and every entry of the file that belongs to a
      built module silences something in at least one configuration (an
      entry that matches nothing is wider than the reads it was written for).
  run_memcheck.py noisy --module NAME... DRIVER
      Correct use without the file: memcheck does complain (the driver makes
      the routines read past their operands), and only about the routines.
  run_memcheck.py misuse --suppressions FILE DRIVER
      Each genuine caller error the driver lists is still reported with the
      file: every case of its sweep adds an error (the driver counts them),
      with memcheck's message and the function it blames.
  run_memcheck.py every-part --object MODULE.o... --caller NAME DRIVER
      Reports from inside every part of every routine (as their call-frame
      records tell them apart: one per routine): each names the routine
      itself, with the driver's function NAME above it.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

failures = []


def memcheck(driver, argument, suppressions=None):
    """(errors, [(message, first function)], {used suppression: count}, log,
    the driver's exit status)"""
    command = ["valgrind", "--tool=memcheck", "-v", "--error-limit=no",
               "--num-callers=4"]
    if suppressions:
        command.append(f"--suppressions={suppressions}")
    command += [driver, argument]
    result = subprocess.run(command, capture_output=True, text=True)
    log = result.stderr
    summary = re.search(r"ERROR SUMMARY: (\d+) errors", log)
    if not summary:
        raise SystemExit(f"no memcheck summary for {driver} {argument}:\n{log}")
    reports = re.findall(r"==\d+== (\S.*)\n==\d+==    at 0x[0-9A-F]+: (\S+)", log)
    used = {name: int(count) for count, name in
            re.findall(r"used_suppression:\s+(\d+) (\S+)", log)}
    return int(summary.group(1)), reports, used, log, result.returncode


def entry_names(suppressions):
    text = open(suppressions).read()
    return re.findall(r"^\{\s*\n\s*(\S+)", text, re.M)


def outgrown_entries(suppressions):
    """The entries this valgrind no longer needs: those marked, in the comment
    right above them, as reported by valgrind before some release only."""
    version = subprocess.run(["valgrind", "--version"], capture_output=True,
                             text=True).stdout.strip()
    release = tuple(int(n) for n in re.findall(r"\d+", version)[:2])
    marked = re.findall(r"^# .*reported by valgrind before (\d+)\.(\d+) only.*\n"
                        r"(?:#.*\n)*\{\s*\n\s*(\S+)", open(suppressions).read(), re.M | re.I)
    return {entry for major, minor, entry in marked if release >= (int(major), int(minor))}


def entry_module(entry):
    # Entries are named sse2str:<module>:<what>.
    parts = entry.split(":")
    return parts[1] if len(parts) > 2 and parts[0] == "sse2str" else None


def quiet(args):
    used = {}
    for driver in args.driver:
        errors, reports, used_here, log, _ = memcheck(driver, "correct", args.suppressions)
        if errors:
            failures.append(f"{driver}: {errors} errors with the suppressions:\n{log}")
        for name, count in used_here.items():
            used[name] = used.get(name, 0) + count
    for entry in entry_names(args.suppressions):
        if entry_module(entry) is None:
            failures.append(f"suppression {entry} is not named sse2str:<module>:<what>")
        elif entry_module(entry) in args.module and entry not in used and \
                entry not in outgrown_entries(args.suppressions):
            failures.append(f"suppression {entry} silences nothing")
    if not failures:
        print(f"quiet: {sum(used.values())} reports suppressed by {len(used)} entries")


def noisy(args):
    errors, reports, _, log, _ = memcheck(args.driver[0], "correct")
    if not errors:
        failures.append("no reports without the suppressions: the driver reads nothing past its operands")
    for message, function in reports:
        if not any(module in function for module in args.module):
            failures.append(f"report outside the routines: {message} at {function}")
    if not failures:
        print(f"noisy: {errors} reports, all inside the routines")


def misuse(args):
    driver = args.driver[0]
    listing = subprocess.run([driver, "list"], check=True, capture_output=True,
                             text=True).stdout
    cases = [line.split("\t") for line in listing.splitlines()]
    for name, blamed, report in cases:
        errors, reports, _, log, status = memcheck(driver, name, args.suppressions)
        if status != 0:
            failures.append(f"{name}: cases not reported:\n{log}")
        elif not any(message.startswith(report) and blamed in function
                   for message, function in reports):
            failures.append(f"{name}: no '{report}' blamed on {blamed}:\n{log}")
    if not failures:
        print(f"misuse: {len(cases)} caller errors reported: "
              + ", ".join(case[0] for case in cases))


def stacks(driver, argument):
    """[(memcheck's kind, [(ip, function)...])] of every error, from
    memcheck's XML output."""
    with tempfile.TemporaryDirectory() as directory:
        xml = os.path.join(directory, "memcheck.xml")
        subprocess.run(["valgrind", "--tool=memcheck", "--error-limit=no", "--num-callers=3",
                        "--xml=yes", f"--xml-file={xml}", driver, argument],
                       capture_output=True, check=True)
        root = ElementTree.parse(xml).getroot()
    return [(error.findtext("kind"),
             [(int(frame.findtext("ip"), 16), frame.findtext("fn"))
              for frame in error.find("stack").findall("frame")])
            for error in root.findall("error")]


def every_part(args):
    from routine_parts import part_at, routine_parts
    driver = args.driver[0]
    parts = routine_parts(driver, args.object)
    reported = set()
    errors = stacks(driver, "every-part")
    for kind, frames in errors:
        (ip, function), caller = frames[0], frames[1][1] if len(frames) > 1 else None
        part = part_at(parts, ip)
        where = f"{kind} at {ip:#x} ({part or 'outside the routines'})"
        if part is None:
            failures.append(f"{where}: not in a routine")
            continue
        reported.add(part)
        if function != part.routine:
            failures.append(f"{where}: named {function}, not {part.routine}")
        if caller != args.caller:
            failures.append(f"{where}: {caller} above the routine, not {args.caller}")
    for part in parts:
        if not part.entry_frame and part not in reported:
            failures.append(f"no report from {part}")
    if not failures:
        print(f"every-part: {len(errors)} reports from the {len(reported)} parts of "
              f"{len({p.routine for p in parts})} routines, each under its routine's name "
              f"with {args.caller} above it")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=("quiet", "noisy", "misuse", "every-part"))
    parser.add_argument("driver", nargs="+")
    parser.add_argument("--suppressions")
    parser.add_argument("--module", action="append", default=[])
    parser.add_argument("--object", action="append", default=[])
    parser.add_argument("--caller")
    args = parser.parse_args()
    {"quiet": quiet, "noisy": noisy, "misuse": misuse,
     "every-part": every_part}[args.mode](args)
    for message in failures:
        print(message, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
