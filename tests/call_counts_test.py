#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The counting hook reports each routine's calls, where it is asked to.

  call_counts_test.py DRIVER

DRIVER is call_counts_driver: it calls each routine a known number of
times, checks the ABI after each call and prints the counts to expect.
Checked here: the hook's line on standard error equals them; with
SSE2STR_CALL_COUNTS set the line is appended to that file instead and
standard error stays quiet; a forked child reports its own calls only.
"""
import os
import re
import subprocess
import sys
import tempfile

COUNTS_LINE = re.compile(r"^sse2str calls:(.*)$", re.M)


def counts(text):
    return [dict(item.split("=") for item in line.split()) for line in COUNTS_LINE.findall(text)]


def run(driver, *args, env=None):
    result = subprocess.run([driver, *args], capture_output=True, text=True, env=env)
    if result.returncode != 0:
        raise SystemExit(f"{driver} {' '.join(args)}: exit {result.returncode}\n"
                         f"{result.stdout}{result.stderr}")
    expected = re.search(r"^expect:(.*)$", result.stdout, re.M)
    if not expected:
        raise SystemExit(f"no expectation printed:\n{result.stdout}")
    return dict(item.split("=") for item in expected.group(1).split()), result.stderr


def main():
    driver = sys.argv[1]
    failures = []

    expected, stderr = run(driver)
    reported = counts(stderr)
    if reported != [expected]:
        failures.append(f"on stderr: expected {expected}, reported {reported}")

    with tempfile.TemporaryDirectory() as root:
        path = os.path.join(root, "counts")
        with open(path, "w") as f:
            f.write("a line already there\n")
        env = dict(os.environ, SSE2STR_CALL_COUNTS=path)
        expected, stderr = run(driver, "fork", env=env)
        if COUNTS_LINE.search(stderr):
            failures.append(f"counts on stderr though a file was named:\n{stderr}")
        with open(path) as f:
            text = f.read()
        if not text.startswith("a line already there\n"):
            failures.append(f"the counts file was not appended to:\n{text}")
        child = {name: "1" if name == "__memchr_sse2" else "0" for name in expected}
        reported = counts(text)
        if sorted(map(sorted, map(dict.items, reported))) != sorted(
                map(sorted, map(dict.items, [expected, child]))):
            failures.append(f"with a child: expected {expected} and {child}, reported {reported}")

    for message in failures:
        print(message, file=sys.stderr)
    if not failures:
        print("call counts: exact on stderr, appended to the named file, per process")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
