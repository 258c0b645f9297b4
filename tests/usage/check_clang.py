#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Checks that the build refuses Clang, and that the reason still holds.

  check_clang.py --root DIR --module SOURCE DEFINITION... ...

The project configured with the Clang toolchain must stop with the refusal
message.  The reason: compiled by Clang with call-frame records, the routine
bodies pop callee-saved registers in their epilogues without a .cfi_restore,
so the records are wrong between the pop and the return.  If no body shows
such a pop any more, this Clang has mended it and the refusal must go.  Each
module source is compiled with the definitions the build gives it (its
symbol and section).
"""
import argparse
import re
import subprocess
import sys
import tempfile

POP = re.compile(r"^\s+popl\s+%(e[a-z]{2})\s*$")
INSTRUCTION = re.compile(r"^\s+[a-z]")
DWARF_NUMBER = {"eax": 0, "ecx": 1, "edx": 2, "ebx": 3, "esp": 4, "ebp": 5, "esi": 6, "edi": 7}


def unrestored_pops(assembly):
    """Pops of a register not followed by its .cfi_restore before the next
    instruction."""
    count = 0
    pending = None
    for line in assembly.splitlines():
        if pending and re.match(rf"^\s+\.cfi_restore\s+(%{pending}|{DWARF_NUMBER[pending]})\s*$",
                                line):
            pending = None
            continue
        if INSTRUCTION.match(line) and not line.strip().startswith("."):
            if pending:
                count += 1
            m = POP.match(line)
            pending = m.group(1) if m else None
    return count


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--module", nargs="+", action="append", required=True,
                        metavar=("SOURCE", "DEFINITION"))
    args = parser.parse_args()
    failures = []

    with tempfile.TemporaryDirectory() as build:
        configured = subprocess.run(
            ["cmake", "-S", args.root, "-B", build, "-G", "Ninja",
             f"-DCMAKE_TOOLCHAIN_FILE={args.root}/cmake/i386-clang-toolchain.cmake"],
            capture_output=True, text=True)
    if configured.returncode == 0 or "cannot be built with Clang" not in configured.stderr:
        failures.append("configuring with Clang did not stop with the refusal:\n"
                        + configured.stdout + configured.stderr)

    total = 0
    for source, *definitions in args.module:
        assembly = subprocess.run(
            ["clang++-14", "-m32", "-msse2", "-march=i686", "-O2", "-std=c++17",
             "-mstack-alignment=4", "-fno-pic", "-fasynchronous-unwind-tables",
             "-fno-exceptions", "-I", args.root, *(f"-D{d}" for d in definitions),
             "-S", "-o", "-", source],
            capture_output=True, text=True, check=True).stdout
        found = unrestored_pops(assembly)
        print(f"{source}: {found} pops without .cfi_restore")
        total += found
    if total == 0:
        failures.append("Clang now marks every popped register restored: lift the refusal "
                        "in cmake/Sse2strModule.cmake and run make test-clang")
    for message in failures:
        print(message, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
