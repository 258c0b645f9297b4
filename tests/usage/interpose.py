#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A program's own calls of the standard names reach the routines.

  interpose.py cmake|pkg-config interpose|dispatch --build DIR --project DIR
               --cc COMPILER [--module NAME]... [--routine NAME=SYMBOL]...

Installs the build tree as consume.py does and builds the project's
standard_names.c, which calls every routine by its standard name and checks
each result, adding only the binding's target or package: with CMake
through sse2str::<binding>, with pkg-config through sse2str-<binding>, there
both as a dynamic (-no-pie) and as a static executable.  Each binding is
built twice: in its profiling twin (`_profiled`, `-profiled`) with the
counting hook, to see the calls, and as it is, which must hold no profiling
hook at all.  Each program must be position-dependent, give the right
results and bind every standard name: interposition at the address of its
routine (no jump in between), the dispatch as an indirect function.  The
counting hook must report the calls the program makes (the CALLS_<name>
numbers in the source): exactly for a dynamic executable; at least those
for a static one, where the platform's C library linked in may call some of
the names itself.
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


# The profiling twin of a binding's CMake target and pkg-config package.
PROFILED_TARGET = "_profiled"
PROFILED_PACKAGE = "-profiled"
# The programs' labels: the counted ones, and those built as users get them.
COUNTED = "counted"
HOOK_FREE = "hook-free"


def build_with_cmake(args, prefix, out):
    run(["cmake", "-S", args.project, "-B", out, "-G", "Ninja",
         f"-DCMAKE_C_COMPILER={args.cc}", "-DCMAKE_C_FLAGS=-m32",
         f"-DCMAKE_PREFIX_PATH={prefix}", f"-DBINDING={args.binding}",
         f"-DPROFILED={PROFILED_TARGET}"])
    run(["cmake", "--build", out])
    return {f"cmake {COUNTED}": os.path.join(out, "standard_names_counted"),
            f"cmake {HOOK_FREE}": os.path.join(out, "standard_names")}


def build_with_pkg_config(args, prefix, out):
    environment = dict(os.environ, PKG_CONFIG_PATH=os.path.join(prefix, "lib", "pkgconfig"))

    def pkg_config(*words):
        return shlex.split(run(["pkg-config", *words], env=environment))

    package = f"sse2str-{args.binding}"
    flags = {COUNTED: pkg_config("--libs", package + PROFILED_PACKAGE)
             + pkg_config("--variable=call_counts", "sse2str"),
             HOOK_FREE: pkg_config("--libs", package)}
    os.makedirs(out)
    programs = {}
    for build, libraries in flags.items():
        for link in ("dynamic", "static"):
            program = os.path.join(out, f"standard_names_{build}_{link}")
            extra = ["-static"] if link == "static" else ["-no-pie"]
            run([args.cc, "-m32", "-O2", "-fno-builtin", *extra, "-o", program,
                 os.path.join(args.project, "standard_names.c"), *libraries])
            programs[f"pkg-config {build} {link}"] = program
    return programs


def symbols(program):
    """name -> (address, nm's type letter) of the symbols of `program`."""
    found = {}
    for line in run(["nm", program]).splitlines():
        words = line.split()
        if len(words) == 3:
            found[words[2]] = (words[0], words[1])
    return found


def symbol_addresses(program):
    return {name: address for name, (address, _) in symbols(program).items()}


def check_binding(program, label, binding, names, routines):
    """The standard names `names` of `program` bound as `binding` binds them:
    interposed, at their routines' addresses; dispatched, elsewhere (an
    indirect function, or in a dynamic program the table entry that stands
    for it), each with a relocation that calls its resolver."""
    table = symbols(program)
    failures = []
    for name in names:
        address = table.get(name, (None,))[0]
        routine = table.get(routines[name], (None,))[0]
        if address is None:
            failures.append(f"{label}: {name} is not defined")
        elif (address == routine) != (binding == "interpose"):
            failures.append(f"{label}: {name} is at {address}, {routines[name]} at {routine}")
    if binding == "dispatch":
        resolved = run(["readelf", "-rW", program]).count("R_386_IRELATIVE")
        if resolved < len(names):
            failures.append(f"{label}: {resolved} names resolved at start-up, not {len(names)}")
    return failures


def run_bound(program, label, binding, names, routines):
    """Checks that `program` is position-dependent and bound as `binding`
    binds, and runs it: its standard error, and the failures."""
    failures = [] if position_dependent(program) else [f"{label}: not linked -no-pie"]
    failures += check_binding(program, label, binding, names, routines)
    result = subprocess.run([program], capture_output=True, text=True)
    if result.returncode != 0:
        failures.append(f"{label}: exit {result.returncode}\n{result.stdout}{result.stderr}")
    return result.stderr, failures


def check(program, label, expected, routines, exact, binding="interpose"):
    stderr, failures = run_bound(program, label, binding, expected, routines)
    lines = COUNTS_LINE.findall(stderr)
    if len(lines) != 1:
        return failures + [f"{label}: expected one counts line on stderr, got:\n{stderr}"]
    counted = dict(item.split("=") for item in lines[0].split())
    print(f"{label}: sse2str calls:{lines[0].rstrip()}")
    for name, calls in expected.items():
        got = int(counted.get(routines[name], -1))
        if got != calls if exact else got < calls:
            failures.append(f"{label}: {calls} calls of {name}, the hook counted {got} "
                            f"for {routines[name]}")
    return failures


def check_hook_free(program, label, expected, routines, binding):
    """A program built as users get it: bound, right, and with no trace of
    the profiling hook."""
    failures = run_bound(program, label, binding, expected, routines)[1]
    if "_mcount" in symbols(program) or "_mcount" in run(["nm", "-D", program]):
        failures.append(f"{label}: links _mcount")
    if not failures:
        print(f"{label}: bound, right, no _mcount")
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("way", choices=("cmake", "pkg-config"))
    parser.add_argument("binding", choices=("interpose", "dispatch"))
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
            if HOOK_FREE in label:
                failures += check_hook_free(program, label, expected, routines, args.binding)
            else:
                failures += check(program, label, expected, routines,
                                  exact=not label.endswith("static"), binding=args.binding)
    for message in failures:
        print(message, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
