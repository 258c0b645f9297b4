#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Checks every load __wcscmp_sse2 makes, from a valgrind lackey trace.

  wcscmp_reads.py VALGRIND DRIVER

Runs DRIVER (wcscmp_reads.cpp) under lackey with --trace-mem=yes.  Between
two marker stores, every load inside a string's area is the routine's.  Each
is either a 4-byte load of one whole character of the string, up to its
deciding character and none after, or a 16-byte load that starts at a
character of the string up to the deciding one (so that it reads at most 12
bytes after it) and stays inside one 64-byte line.  No call reads the same
block of a string twice with 16-byte loads.
"""
import os
import subprocess
import sys
import struct
import tempfile

LINE = 64
CHAR = 4
BLOCK = 16


def main():
    valgrind, driver = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory() as tmp:
        log = os.path.join(tmp, "trace")
        run = subprocess.run(
            [valgrind, "--tool=lackey", "--trace-mem=yes", f"--log-file={log}", driver],
            capture_output=True)
        if run.returncode != 0:
            print(run.stderr.decode(errors="replace")[-2000:], file=sys.stderr)
            return 1
        words = struct.unpack(f"<{len(run.stdout) // 4}I", run.stdout)
        areas = [(words[0], words[1]), (words[2], words[3])]
        marker = words[4]
        cases = [words[i:i + 4] for i in range(5, len(words), 4)]

        failures = []
        widths = {}
        call = -1
        blocks_read = set()  # (side, address) of the 16-byte loads of this call
        with open(log) as trace:
            for line in trace:
                if line.startswith(" S") and int(line[3:].split(",")[0], 16) == marker:
                    call += 1
                    blocks_read.clear()
                    continue
                if not line.startswith(" L") or call < 0:
                    continue
                address, size = line[3:].split(",")
                address, size = int(address, 16), int(size)
                for side, (low, high) in enumerate(areas):
                    if low <= address < high:
                        break
                else:
                    continue
                if call >= len(cases):
                    failures.append(f"load {address:#x},{size} after the last call")
                    continue
                start, deciding = cases[call][2 * side], cases[call][2 * side + 1]
                where = (f"call {call}: {'first' if side == 0 else 'second'} string at "
                         f"{start:#x} (line offset {start % LINE}) deciding at "
                         f"+{deciding - start}, load of {size} at +{address - start}")
                widths[size] = widths.get(size, 0) + 1
                if size not in (CHAR, BLOCK) or (address - start) % CHAR:
                    failures.append(f"{where}: not whole characters")
                elif not start <= address <= deciding:
                    failures.append(f"{where}: does not start at a character it must read")
                elif size == BLOCK and address // LINE != (address + size - 1) // LINE:
                    failures.append(f"{where}: crosses a line")
                elif size == BLOCK and (side, address) in blocks_read:
                    failures.append(f"{where}: reads the block a second time")
                if size == BLOCK:
                    blocks_read.add((side, address))

    if call + 1 != len(cases):
        failures.append(f"saw {call + 1} calls in the trace, the driver made {len(cases)}")
    if not widths.get(BLOCK) or not widths.get(CHAR):
        failures.append(f"expected both 16-byte and 4-byte loads, saw {widths}")
    for message in failures[:20]:
        print(message, file=sys.stderr)
    print(f"{len(cases)} calls, loads by width {widths}, {len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
