# SPDX-License-Identifier: MIT
"""The parts of each routine in a linked program.

No symbol names a part of a routine (the entry frame, the body, a long part
entered by a tail jump): each part is told by the call-frame record (FDE)
of its own that its module carries.  The tool tests use them to check that
memcheck and gdb name the routine, and its caller above it, from inside
every part.
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
    deepest: int  # its first instruction with the most pushed on the stack
    entry_frame: bool  # the profiling prologue, which reads and writes nothing

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
            depths = [(row["cfa"].offset, address) for address, row in frame.rows
                      if row["cfa"].reg == ESP]
            deepest = max(depths, key=lambda d: (d[0], -d[1]))[1]
            entry_frame = any(row["cfa"].reg == EBP for _, row in frame.rows)
            parts.append(Part(routine.name, base + frame.start, base + frame.end,
                              base + deepest, entry_frame))
    return sorted(parts, key=lambda p: p.start)


def part_at(parts, address):
    return next((p for p in parts if p.start <= address < p.end), None)
