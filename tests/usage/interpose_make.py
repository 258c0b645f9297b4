#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A make project builds a shared object and a program that links it in one
run, the way the README says.

  interpose_make.py --build DIR --project DIR --cc COMPILER [--module NAME]...
                    [--routine NAME=SYMBOL]...

Installs the build tree as consume.py does and runs the project's Makefile
once, giving it what configure would: the libraries of
sse2str-interpose-profiled (and the counting hook), which the Makefile puts in the program's link
alone, with -no-pie.  The shared object calls memchr; the program calls
strrchr itself.  The program must be position-dependent, define the
standard names at their routines' addresses, give the right results, and
the counting hook must report exactly the CALLS_<name> numbers of its
source: the shared object's calls reach the program's routine.  The shared
object must hold no routine.  A shared object given the line anyway, as a
build that puts it in LIBS does, must still link.
"""
import argparse
import os
import shlex
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from consume import install, run  # noqa: E402
from interpose import check, expected_calls, parse_arguments, symbol_addresses  # noqa: E402

PROGRAM = "count_bytes"
LIBRARY = "libbytes.so"
LIBRARY_SOURCE = "bytes.c"


def main():
    args, routines = parse_arguments(argparse.ArgumentParser())
    expected = expected_calls(os.path.join(args.project, PROGRAM + ".c"), routines)
    if "memchr" not in expected:
        raise SystemExit("memchr, which the shared object calls, is not built")

    failures = []
    with tempfile.TemporaryDirectory() as root:
        prefix = install(args.build, root, args.module)
        environment = dict(os.environ, PKG_CONFIG_PATH=os.path.join(prefix, "lib", "pkgconfig"))
        # Variables given to an enclosing make travel in MAKEFLAGS and would
        # override the project's own.
        for inherited in ("MAKEFLAGS", "MFLAGS", "MAKEOVERRIDES", "MAKELEVEL"):
            environment.pop(inherited, None)

        def pkg_config(*words):
            return run(["pkg-config", *words], env=environment).strip()

        line = pkg_config("--libs", "sse2str-interpose-profiled")
        out = os.path.join(root, "consumer")
        os.makedirs(out)
        run(["make", "-f", os.path.join(args.project, "Makefile"), f"srcdir={args.project}",
             f"CC={args.cc}", f"SSE2STR_LIBS={line}",
             f"CALL_COUNTS={pkg_config('--variable=call_counts', 'sse2str')}"],
            cwd=out, env=environment)
        failures += check(os.path.join(out, PROGRAM), "make", expected, routines, exact=True)
        held = sorted(set(symbol_addresses(os.path.join(out, LIBRARY)))
                      & {*routines, *routines.values()})
        if held:
            failures.append(f"{LIBRARY} holds {', '.join(held)}")

        run([args.cc, "-m32", "-fPIC", "-shared", "-o", os.path.join(out, "given_the_line.so"),
             os.path.join(args.project, LIBRARY_SOURCE), *shlex.split(line)])
    for message in failures:
        print(message, file=sys.stderr)
    if not failures:
        print("make: the shared object's calls reached the program's routines; "
              "a shared object given the line links")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
