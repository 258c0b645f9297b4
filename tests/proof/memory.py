# SPDX-License-Identifier: MIT
"""Memory as the routines see it: the caller's buffers, whose bytes are
inputs (a z3 variable each, named by buffer and index) until the routine
stores to them; the stack, where the arguments and the return address lie
above the stack pointer at entry; the read-only tables of the object; and
the outside variables it reads.

Where a load or store may go is an obligation of the routine (obligations.py);
this module only says which buffer and line an address belongs to.

Pages and lines.  A page is a whole number of 64-byte lines and a caller
may place a buffer at any address with a given offset in its line, so a
page boundary may fall on any line boundary.  When every line a load
touches holds a byte the routine must read, so does every page it touches,
wherever the pages lie; and when some line it touches holds none, a
placement exists that puts a page boundary at that line's edge and leaves
the page beyond it (before the buffer, or after every byte that must be
read, since those bytes are one run from the start) with no such byte.  So
"for every placement, every page a load touches holds a byte the routine
must read" is "every line it touches holds one", checked for each offset of
the start in its line.
"""
from dataclasses import dataclass

import z3

LINE = 64
# The caller's buffers, each at its own line-aligned base plus the start's
# offset in its line; far apart, so that no routine reaches one from another.
BUFFER_BASES = (0x10000000, 0x20000000)
BUFFER_REACH = 0x08000000
# The stack pointer at entry: the return address is at STACK_TOP, the
# arguments above it; the routine's pushes go below.
STACK_TOP = 0x7fff0000
STACK_BELOW = 0x10000
STACK_ABOVE = 0x100
RETURN_ADDRESS = 0x0c0ffee0


@dataclass(frozen=True)
class Buffer:
    name: str
    start: int

    def index(self, address):
        return address - self.start

    def variable(self, index):
        return z3.BitVec(f"{self.name}[{index}]", 8)

    def line_spans(self, address, size):
        """For each line the bytes address .. address + size - 1 touch, the
        indices of its first and last byte."""
        first, last = address // LINE, (address + size - 1) // LINE
        return [(line * LINE - self.start, line * LINE + LINE - 1 - self.start)
                for line in range(first, last + 1)]


def place(names, offsets):
    """The buffers `names`, each at its base plus its offset in its line."""
    return [Buffer(n, base + o) for n, base, o in zip(names, BUFFER_BASES, offsets)]


def buffer_at(buffers, address):
    for b in buffers:
        if b.start - BUFFER_REACH // 2 <= address < b.start + BUFFER_REACH // 2:
            return b
    return None


def in_stack(address):
    return STACK_TOP - STACK_BELOW <= address < STACK_TOP + STACK_ABOVE


class Memory:
    """Bytes by address: a value stored, or else what `initial` says lies there."""

    def __init__(self, initial):
        self.initial = initial
        self.bytes = {}

    def copy(self):
        other = Memory(self.initial)
        other.bytes = dict(self.bytes)
        return other

    def load(self, address, size):
        return [self.bytes[a] if a in self.bytes else self.initial(a)
                for a in range(address, address + size)]

    def store(self, address, values):
        for i, v in enumerate(values):
            self.bytes[address + i] = v

    def stored(self, low, high):
        """Addresses in low .. high - 1 that hold a stored byte."""
        return sorted(a for a in self.bytes if low <= a < high)
