#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Static checks that make lint runs after the warnings-as-errors build.

  lint.py [--base REV]       check
  lint.py --fix [--base REV] format the changed lines in place (make format)

clang-tidy (checks in .clang-tidy) on the source of every delivered object,
with the definitions and include paths of the pinned
compiler's commands (build-lint/regen/compile_commands.json, written when
build-lint/ is configured), as many files at a time as there are
processors; clang-format (style in .clang-format) on the lines changed
since REV, by default where this branch left main (on main itself:
uncommitted changes), so that new code follows the house style without
reformatting what is there.  The tools are the release's Clang's
(clang-tidy, git-clang-format).
"""
import argparse
import concurrent.futures
import json
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LINT_BUILD = os.path.join(ROOT, "build-lint")


def run(command, **kwargs):
    return subprocess.run(command, cwd=ROOT, capture_output=True, text=True, **kwargs)


# What Clang is told of a GCC command line: what the source sees, not how
# GCC is to compile it.
CLANG_ARGUMENTS = ("-D", "-I", "-std=", "-m32", "-msse2", "-march=", "-ffreestanding",
                   "-fno-exceptions", "-fno-rtti")


def delivered_sources():
    """(source, Clang's arguments) for every source of a generated object, as
    its first build (with the profiling hook) compiles it."""
    configured = run(["cmake", "-S", ".", "-B", LINT_BUILD, "-G", "Ninja",
                      "-DSSE2STR_TESTS=OFF"])
    if configured.returncode != 0:
        sys.exit(configured.stdout + configured.stderr)
    with open(os.path.join(LINT_BUILD, "regen", "compile_commands.json")) as f:
        commands = {}
        for entry in json.load(f):
            commands.setdefault(entry["file"], [a for a in entry["arguments"]
                                                if a.startswith(CLANG_ARGUMENTS)])
    return list(commands.items())


def tidy(command):
    source, arguments = command
    result = run(["clang-tidy", "--quiet", source, "--", *arguments])
    return result.returncode, result.stdout + result.stderr


def default_base():
    for branch in ("main", "origin/main"):
        if run(["git", "rev-parse", "--verify", "--quiet", branch]).returncode == 0:
            return run(["git", "merge-base", "HEAD", branch]).stdout.strip()
    return "HEAD"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--base")
    parser.add_argument("--fix", action="store_true")
    args = parser.parse_args()
    base = args.base or default_base()
    if args.fix:
        print(run(["git-clang-format", "--extensions", "c,h,cpp,cc", base]).stdout, end="")
        return 0
    failed = False

    commands = delivered_sources()
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count()) as pool:
        for status, output in pool.map(tidy, commands):
            if status != 0:
                failed = True
                print(output, end="")
    print(f"clang-tidy: {len(commands)} sources{', findings above' if failed else ', clean'}")

    diff = run(["git-clang-format", "--diff", "--extensions", "c,h,cpp,cc", base]).stdout
    if diff.startswith("diff"):
        failed = True
        print(diff, end="")
        print(f"clang-format: lines changed since {base[:12]} need formatting "
              "(make format applies it)")
    else:
        print(f"clang-format: lines changed since {base[:12]} are formatted")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
