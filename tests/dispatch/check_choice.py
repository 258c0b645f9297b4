#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Where a program's calls of the standard names went, with SSE2 and without.

  check_choice.py --binding dispatch|interpose --linkage dynamic|static
                  --processor sse2|no-sse2 --qemu QEMU --refusal-source FILE
                  PROGRAM

PROGRAM is standard_calls.cpp linked with the binding, the profiling
objects and the counting hook: it calls each name over sweeps, checks each
result against the models and prints its own count of calls per routine.
With --processor no-sse2 it runs under QEMU as a pentium3, whose CPUID
reports no SSE2 (qemu runs SSE2 instructions all the same, so the counts
alone show where the calls went).

Checked:
  with SSE2, either binding: every result right, and the counting hook saw
    every call the program made reach the routine: exactly as many in a
    dynamic program, at least as many in a static one, whose C library's
    start-up and exit call some of the names too;
  dispatch without SSE2: every result right, and no call reached a routine;
  interpose without SSE2: the program ends with status 1 before anything
    runs: the one refusal line of FILE (dispatch/sse2_required.c) on
    standard error, nothing on standard output, no counts at all.
"""
import argparse
import codecs
import os
import re
import subprocess
import sys
import tempfile

COUNTS = re.compile(r"^sse2str calls:(.*)$", re.M)
MADE = re.compile(r"^calls:(.*)$", re.M)
PREMISE = re.compile(r"^sse2: (yes|no)$", re.M)
EMULATED_PROCESSOR = "pentium3"
REFUSED_STATUS = 1


def pairs(text):
    return {name: int(count) for name, count in (item.split("=") for item in text.split())}


def refusal_line(source):
    """The refusal as the source spells it: the string literals that make up
    kRefusal, joined and unescaped."""
    with open(source) as f:
        text = f.read()
    definition = re.search(r"kRefusal\[\]\s*=((?:\s*\"(?:[^\"\\]|\\.)*\")+)\s*;", text)
    if not definition:
        raise SystemExit(f"{source}: no definition of kRefusal")
    literals = re.findall(r"\"((?:[^\"\\]|\\.)*)\"", definition.group(1))
    return codecs.decode("".join(literals), "unicode_escape")


def run(args):
    command = [args.program]
    if args.processor == "no-sse2":
        command = [args.qemu, "-cpu", EMULATED_PROCESSOR, args.program]
    with tempfile.TemporaryDirectory() as root:
        counts_file = os.path.join(root, "counts")
        env = dict(os.environ, SSE2STR_CALL_COUNTS=counts_file)
        # Bytes a broken program writes are shown, not decoded strictly.
        result = subprocess.run(command, capture_output=True, encoding="utf-8", errors="replace",
                                env=env, timeout=300)
        counts_text = open(counts_file).read() if os.path.exists(counts_file) else ""
    return " ".join(command), result, COUNTS.findall(counts_text)


def check_refusal(args, result, counted):
    failures = []
    want = refusal_line(args.refusal_source)
    if result.returncode != REFUSED_STATUS:
        failures.append(f"exit status {result.returncode}, expected {REFUSED_STATUS}")
    if result.stderr != want:
        failures.append(f"standard error:\n{result.stderr!r}\nexpected exactly:\n{want!r}")
    if result.stdout:
        failures.append(f"standard output not empty, so calls ran:\n{result.stdout}")
    if counted:
        failures.append(f"the counting hook reported, so the program ran: {counted}")
    return failures, "refused before any call, with the one line"


def check_calls(args, result, counted):
    failures = []
    if result.returncode != 0 or result.stderr:
        failures.append(f"exit status {result.returncode}\n{result.stdout}{result.stderr}")
    premise = PREMISE.findall(result.stdout)
    want = "yes" if args.processor == "sse2" else "no"
    if premise != [want]:
        failures.append(f"the processor's SSE2 as the program saw it: {premise}, expected {want}")
    made = MADE.findall(result.stdout)
    if len(made) != 1 or len(counted) != 1:
        failures.append(f"expected one line of calls made and one of counts, got {made} and "
                        f"{counted}")
        return failures, ""
    made, counted = pairs(made[0]), pairs(counted[0])
    if sorted(made) != sorted(counted):
        failures.append(f"routines made {sorted(made)}, counted {sorted(counted)}")
        return failures, ""
    if args.processor == "no-sse2":
        expected, verdict = {name: 0 for name in made}, "none reached a routine"
    elif args.linkage == "static":
        # The start-up's and exit's own calls come on top.
        expected = {name: max(counted[name], made[name]) for name in made}
        verdict = "each reached its routine (and the C library's own calls too)"
    else:
        expected, verdict = made, "each reached its routine, exactly"
    if counted != expected:
        wrong = {name: (made[name], counted[name]) for name in made
                 if counted[name] != expected[name]}
        failures.append("calls made and counted in the routines differ: " + ", ".join(
            f"{name} {m} made, {c} counted" for name, (m, c) in wrong.items()))
    return failures, f"{sum(made.values())} calls, results right; {verdict}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binding", choices=["dispatch", "interpose"], required=True)
    parser.add_argument("--linkage", choices=["dynamic", "static"], required=True)
    parser.add_argument("--processor", choices=["sse2", "no-sse2"], required=True)
    parser.add_argument("--qemu", required=True)
    parser.add_argument("--refusal-source", required=True)
    parser.add_argument("program")
    args = parser.parse_args()

    command, result, counted = run(args)
    if args.binding == "interpose" and args.processor == "no-sse2":
        failures, verdict = check_refusal(args, result, counted)
    else:
        failures, verdict = check_calls(args, result, counted)
    for message in failures:
        print(f"{command}: {message}", file=sys.stderr)
    if not failures:
        print(f"{args.binding}, {args.linkage}, {args.processor}: {verdict}")
        print(result.stdout, end="")
        print("".join(f"sse2str calls:{line}\n" for line in counted), end="")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
