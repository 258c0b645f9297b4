#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Mutation check of the test suite: every deliberate fault must be caught
(docs/TESTING.md, "Mutation check").

  scripts/mutate.py [--list] [--keep] [--all-tests] [NAME...]

Each mutant of the catalogue, tests/mutants.py, is one exact text
replacement in a scratch copy of the tree (the tree itself is never
touched).  A mutant of a source is carried into gen/ by the pinned compiler
(`make regen`'s step) unless it says otherwise; the tree is rebuilt, and
then either the build stops at an object's check, which must leave nothing
delivered, or at least one of its tests (ctest regular expressions, run
tier by tier) must fail.  A mutant whose text is not found exactly once in
its file, or that fails to build for another reason, is an error in the
catalogue.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))
from mutants import MUTANTS, Mutant  # noqa: E402


def run(cmd, cwd, log):
    with open(log, "a") as out:
        out.write(f"\n$ {' '.join(cmd)}\n")
        out.flush()
        return subprocess.run(cmd, cwd=cwd, stdout=out, stderr=subprocess.STDOUT).returncode


def read(path):
    with open(path) as f:
        return f.read()


def write(path, text):
    with open(path, "w") as f:
        f.write(text)


def copy_tree(scratch):
    """The tracked and untracked files of the tree, less those deleted but not yet committed."""
    files = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=ROOT,
                           check=True, capture_output=True).stdout.decode().split("\0")
    for f in filter(lambda f: os.path.isfile(os.path.join(ROOT, f)), filter(None, files)):
        os.makedirs(os.path.dirname(os.path.join(scratch, f)), exist_ok=True)
        shutil.copy2(os.path.join(ROOT, f), os.path.join(scratch, f))


def failed_tests(log):
    """Names from the 'The following tests FAILED' block of the last ctest."""
    _, found, block = read(log).rpartition("The following tests FAILED:")
    return re.findall(r"^\s*\d+ - (\S+)", block, re.M) if found else []


def build_check_failure(log, start):
    """The first failure an object check printed into the log after `start`
    (each names its rule), or None."""
    with open(log) as f:
        f.seek(start)
        line = next((line.strip() for line in f if "[rule: docs/CONTRACT.md" in line), None)
    # Without the object's path in the scratch build.
    return line and re.sub(r"^/\S+\.o: ", "", line)


def delivered(build):
    modules = os.path.join(build, "modules")
    return sorted(os.listdir(modules)) if os.path.isdir(modules) else []


def caught_by(ctest, tiers, all_tests, src, log):
    """Runs the tiers of tests in turn; true when one of them fails."""
    if all_tests:
        return run(ctest + ["-R", "|".join(tiers)], src, log) != 0
    return any(run(ctest + ["-R", tier, "--stop-on-failure"], src, log) for tier in tiers)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("names", nargs="*", help="run only mutants whose name contains one of these")
    parser.add_argument("--list", action="store_true", help="list the mutants and exit")
    parser.add_argument("--keep", action="store_true", help="keep the scratch directory")
    parser.add_argument("--all-tests", action="store_true",
                        help="run every concerned test on each mutant and name all that catch it "
                             "(by default the tests of a mutant stop at the first failure)")
    parser.add_argument("--jobs", default=str(os.cpu_count() or 2))
    args = parser.parse_args()

    mutants = [m for m in (Mutant(*entry) for entry in MUTANTS)
               if not args.names or any(n in m.name for n in args.names)]
    if args.list:
        for m in mutants:
            print(f"{m.name}  ({m.path})")
        return 0

    # Mutants must fail loudly when the source they name has changed.
    broken = [f"{m.name}: its text occurs {count} times in {m.path}" for m in mutants
              if (count := read(os.path.join(ROOT, m.path)).count(m.old)) != 1]
    if broken:
        print("mutants out of date with the sources:\n  " + "\n  ".join(broken))
        return 2

    scratch = tempfile.mkdtemp(prefix="sse2str-mutants-")
    log = os.path.join(scratch, "mutate.log")
    build = os.path.join(scratch, "build")
    src = os.path.join(scratch, "src")
    print(f"scratch copy in {scratch}; log in {log}")
    try:
        copy_tree(src)
        if run(["cmake", "-S", src, "-B", build, "-G", "Ninja", "-DSSE2STR_TESTS=ON"], src, log) or \
           run(["cmake", "--build", build], src, log):
            print("the unchanged tree does not build")
            return 2
        ctest = ["ctest", "--test-dir", build, "-j", args.jobs, "--timeout", "300",
                 "--no-tests=error"]
        start = time.time()
        # The proofs for every size take minutes each; make test runs them on
        # the unchanged tree, and a mutant's tier where it names them.
        if run(ctest + ["-LE", "every-size"], src, log):
            print("the unchanged tree fails its tests: " + ", ".join(failed_tests(log)))
            return 2
        print(f"unchanged tree: tests pass ({time.time() - start:.0f} s)")
        # Source mutants reach the objects through the pinned compiler.
        if any(m.regen for m in mutants) and \
                run(["cmake", "--build", build, "--target", "regen"], src, log):
            print("make regen fails here: the mutants of sources need the pinned compiler "
                  "(scripts/setup.sh regen)")
            return 2

        # The generated assembly as committed, put back after each mutant.
        gen = os.path.join(src, "gen")
        generated = {os.path.join(d, f): read(os.path.join(d, f))
                     for d, _, files in os.walk(gen) for f in files}
        survivors, errors = [], []
        for m in mutants:
            target = os.path.join(src, m.path)
            original, start = read(target), time.time()
            try:
                write(target, original.replace(m.old, m.new))
                build_start = os.path.getsize(log)
                regen = m.regen and not m.path.startswith("gen/")
                if regen and run(["cmake", "--build", build, "--target", "regen"], src, log) or \
                        run(["cmake", "--build", build], src, log):
                    failure = build_check_failure(log, build_start)
                    if failure is None:
                        errors.append(m.name)
                        verdict = "ERROR: does not build"
                    elif delivered(build):
                        errors.append(m.name)
                        verdict = f"ERROR: a check failed, but objects are left delivered: {failure}"
                    else:
                        verdict = f"caught by the build, nothing delivered: {failure[:160]}"
                elif caught_by(ctest, m.tiers, args.all_tests, src, log):
                    caught = failed_tests(log)
                    verdict = f"caught by {len(caught)}: " + ", ".join(caught[:6]) + \
                              (" ..." if len(caught) > 6 else "")
                else:
                    survivors.append(m.name)
                    verdict = "SURVIVED"
            finally:
                write(target, original)
                for path, text in generated.items():
                    if read(path) != text:
                        write(path, text)
            print(f"{m.name}: {verdict} ({time.time() - start:.0f} s)", flush=True)
        run(["cmake", "--build", build], src, log)

        print(f"{len(mutants) - len(survivors) - len(errors)} of {len(mutants)} mutants caught")
        if survivors:
            print("survived: " + "; ".join(survivors))
        if errors:
            print("broken mutants: " + "; ".join(errors))
        return 1 if survivors or errors else 0
    finally:
        if args.keep:
            print(f"kept {scratch}")
        else:
            shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
