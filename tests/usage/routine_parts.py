"""The parts of each routine in a linked program.

No symbol names a part of a routine (the entry frame, the body, a long part
entered by a tail jump): each part is told by the call-frame record (FDE)
of its own that its module carries.  The tool tests use them to check that
memcheck and gdb name the routine, and its caller above it, from inside
every part.
"""
import os
import subprocess
import sys
from dataclasses import dataclass

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "scripts"))
from check_cfi import Module  # noqa: E402

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


def symbol_addresses(program):
    out = subprocess.run(["nm", program], check=True, capture_output=True, text=True).stdout
    return {words[2]: int(words[0], 16) for words in map(str.split, out.splitlines())
            if len(words) == 3}


def routine_parts(program, objects):
    """Every part of the routines of `objects` (module objects), at their
    addresses in `program`, in address order."""
    addresses = symbol_addresses(program)
    parts = []
    for path in objects:
        module = Module(path, None)
        base = addresses[module.name] - module.entry
        for start, end, rows in module.fdes:
            depths = [(row["cfa"].offset, address) for address, row in rows
                      if row["cfa"].reg == ESP]
            deepest = max(depths, key=lambda d: (d[0], -d[1]))[1]
            entry_frame = any(row["cfa"].reg == EBP for _, row in rows)
            parts.append(Part(module.name, base + start, base + end, base + deepest,
                              entry_frame))
    return sorted(parts, key=lambda p: p.start)


def part_at(parts, address):
    return next((p for p in parts if p.start <= address < p.end), None)
