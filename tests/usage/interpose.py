#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A program's own calls of the standard names reach the routines.

  interpose.py cmake|pkg-config --build DIR --project DIR --cc COMPILER
               [--module NAME]... [--routine NAME=SYMBOL]...

Installs the build tree as consume.py does and builds the project's
standard_names.c, which calls every routine by its standard name, adding
only the interposition target or module (and the counting hook, to see the
calls): with CMake through sse2str::interpose, with pkg-config through
sse2str-interpose, there both as a dynamic (-no-pie) and as a static
executable.  Each program must be position-dependent, give the right
results, define every standard name at the address of its routine (no jump
in between), and the counting hook must report the calls the program makes
(the CALLS_<name> numbers in the source): exactly for a dynamic executable;
at least those for a static one, where the platform's C library linked in
may call some of the names itself.
"""
import argparse
import os
import re
import shlex
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from consume import install, position_dependent, run  # noqa: E402

COUNTS_LINE = re.compile(r"^sse2str calls:(.*)$", re.M)


def parse_arguments(parser):
    """The options every interposition test takes, parsed, and the routine
    of each standard name built (from the NAME=SYMBOL pairs)."""
    parser.add_argument("--build", required=True)
    parser.add_argument("--project", required=True)
    parser.add_argument("--cc", required=True)
    parser.add_argument("--module", action="append", default=[])
    parser.add_argument("--routine", action="append", default=[], metavar="NAME=SYMBOL")
    args = parser.parse_args()
    return args, dict(pair.split("=", 1) for pair in args.routine)


def expected_calls(source, routines):
    """The calls `source` makes of each routine built: its CALLS_<name> numbers."""
    with open(source) as f:
        return {name: int(n) for name, n in re.findall(r"#define CALLS_(\w+) (\d+)", f.read())
                if name in routines}


def build_with_cmake(args, prefix, out):
    run(["cmake", "-S", args.project, "-B", out, "-G", "Ninja",
         f"-DCMAKE_C_COMPILER={args.cc}", "-DCMAKE_C_FLAGS=-m32",
         f"-DCMAKE_PREFIX_PATH={prefix}"])
    run(["cmake", "--build", out])
    return {"cmake": os.path.join(out, "standard_names")}


def build_with_pkg_config(args, prefix, out):
    environment = dict(os.environ, PKG_CONFIG_PATH=os.path.join(prefix, "lib", "pkgconfig"))

    def pkg_config(*words):
        return shlex.split(run(["pkg-config", *words], env=environment))

    flags = pkg_config("--libs", "sse2str-interpose") + pkg_config("--variable=call_counts",
                                                                    "sse2str")
    os.makedirs(out)
    programs = {}
    for link in ("dynamic", "static"):
        program = os.path.join(out, f"standard_names_{link}")
        extra = ["-static"] if link == "static" else ["-no-pie"]
        run([args.cc, "-m32", "-O2", "-fno-builtin", *extra, "-o", program,
             os.path.join(args.project, "standard_names.c"), *flags])
        programs[f"pkg-config {link}"] = program
    return programs


def symbol_addresses(program):
    addresses = {}
    for line in run(["nm", program]).splitlines():
        words = line.split()
        if len(words) == 3:
            addresses[words[2]] = words[0]
    return addresses


def check(program, label, expected, routines, exact):
    failures = [] if position_dependent(program) else [f"{label}: not linked -no-pie"]
    addresses = symbol_addresses(program)
    for name, routine in routines.items():
        if name in expected and addresses.get(name) != addresses.get(routine):
            failures.append(f"{label}: {name} is at {addresses.get(name)}, "
                            f"{routine} at {addresses.get(routine)}")
    result = subprocess.run([program], capture_output=True, text=True)
    if result.returncode != 0:
        failures.append(f"{label}: exit {result.returncode}\n{result.stdout}{result.stderr}")
    lines = COUNTS_LINE.findall(result.stderr)
    if len(lines) != 1:
        return failures + [f"{label}: expected one counts line on stderr, got:\n{result.stderr}"]
    counted = dict(item.split("=") for item in lines[0].split())
    print(f"{label}: sse2str calls:{lines[0].rstrip()}")
    for name, calls in expected.items():
        got = int(counted.get(routines[name], -1))
        if got != calls if exact else got < calls:
            failures.append(f"{label}: {calls} calls of {name}, the hook counted {got} "
                            f"for {routines[name]}")
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("way", choices=("cmake", "pkg-config"))
    args, routines = parse_arguments(parser)
    expected = expected_calls(os.path.join(args.project, "standard_names.c"), routines)
    if not expected:
        raise SystemExit("no routine of standard_names.c is built")

    failures = []
    with tempfile.TemporaryDirectory() as root:
        prefix = install(args.build, root, args.module)
        out = os.path.join(root, "consumer")
        build = build_with_cmake if args.way == "cmake" else build_with_pkg_config
        for label, program in build(args, prefix, out).items():
            failures += check(program, label, expected, routines,
                              exact=not label.endswith("static"))
    for message in failures:
        print(message, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
