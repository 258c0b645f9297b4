# SPDX-License-Identifier: MIT
"""Whether this machine runs i386 programs itself or hands them to an
emulator (qemu-user, which scripts/setup.sh registers where the kernel runs
none): the benchmark and the real programs' timings report no hardware
times under emulation."""
import os
import subprocess


def emulation(probe):
    """The program through which the kernel runs i386 programs (qemu-user,
    whoever registered it), or None when it runs them itself.  `probe` is an
    i386 program that waits for its standard input to close
    (bench/i386_probe.c): the kernel's own record of what it runs,
    /proc/<pid>/exe, names the probe itself or the interpreter it was handed
    to."""
    with subprocess.Popen([probe], stdin=subprocess.PIPE) as process:
        try:
            running = os.path.realpath(f"/proc/{process.pid}/exe")
        finally:
            process.stdin.close()
    return None if running == os.path.realpath(probe) else running
