# SPDX-License-Identifier: MIT
"""The parts of each routine in a linked program.

No symbol names a part of a routine: each part is told by the call-frame
record (FDE) of its own that its module carries.  The delivered routines
have one each, from the symbol to the end, entry frame and body; the tools
would see the parts of a routine split otherwise just the same.  The tool
tests use them to check that memcheck and gdb name the routine, and its
caller above it, from inside every part.
"""
import os
import sys
from dataclasses import dataclass

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "scripts"))
from elf_object import ElfObject  # noqa: E402

ESP, EBP = 4, 5  # DWARF register numbers


@dataclass(frozen=True)
class Part:
    routine: str
    start: int    # address of the part's first instruction in the program
    end: int
    deepest: int  # its first instruction past the entry frame with the most pushed
    entry_frame: bool  # the profiling prologue alone, which reads and writes nothing

    def __str__(self):
        return f"{self.routine}[{self.start:#x}, {self.end:#x})"


def routine_parts(program, objects):
    """Every part of the routines of `objects` (module objects), at their
    addresses in `program`, in address order."""
    addresses = {s.name: s.value for s in ElfObject(program).symbols if s.defined}
    parts = []
    for path in objects:
        obj = ElfObject(path)
        routine = obj.routine()
        base = addresses[routine.name] - routine.value
        for frame in obj.frames(obj.sections[routine.shndx]):
            # The entry frame's rows end with the last one based on %ebp.
            rows = frame.rows
            prologue = max((i for i, (_, row) in enumerate(rows) if row["cfa"].reg == EBP),
                           default=None)
            entry_frame = prologue == len(rows) - 1
            if prologue is not None and not entry_frame:
                rows = rows[prologue + 1:]
            depths = [(row["cfa"].offset, address) for address, row in rows
                      if row["cfa"].reg == ESP]
            deepest = max(depths, key=lambda d: (d[0], -d[1]))[1]
            parts.append(Part(routine.name, base + frame.start, base + frame.end,
                              base + deepest, entry_frame))
    return sorted(parts, key=lambda p: p.start)


def part_at(parts, address):
    return next((p for p in parts if p.start <= address < p.end), None)
