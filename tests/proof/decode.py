# SPDX-License-Identifier: MIT
"""The routine as shipped: its code, relocations and jump tables, read with
the object scripts' reader (scripts/elf_object.py) and the call-frame
check's walk of every path (scripts/check_cfi.py), which also gives the
instructions a path can reach and the loops among them.
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))

from check_cfi import Module, Walker  # noqa: E402
from elf_object import R_386_32, R_386_PC32, att, is_padding  # noqa: E402

# Where the executor places what the object refers to but does not hold.
# Buffers and the stack lie elsewhere (memory.py); none of these overlap.
CODE_BASE = 0x08000000        # the routine's section
RODATA_BASE = 0x09000000      # a read-only section of the object (the jump tables)
EXTERNAL_BASE = 0x0a000000    # each undefined symbol one page apart
EXTERNAL_SPACING = 0x1000
EXTERNAL_END = EXTERNAL_BASE + 0x100000


class Unmodelled(Exception):
    """An instruction or operand outside the model: the proof stops there."""

    def __init__(self, ins, why=""):
        super().__init__(f"{ins.address:#x} `{att(ins)}` ({ins.mnemonic}): not modelled"
                         + (f": {why}" if why else ""))


class Program:
    """The routine `symbol` of the object at `path`, at CODE_BASE."""

    def __init__(self, path, symbol=None):
        self.module = Module(path, symbol)
        self.obj, self.section = self.module.obj, self.module.section
        self.entry = self.module.entry
        self.externals = {}
        walker = Walker(self.module)
        self.reachable = set(walker.walk())
        self.successors = {a: walker.successors(self.at(a)) for a in self.reachable}
        for a in self.reachable:
            if self.at(a).mnemonic.startswith("rep "):
                # A repeated instruction runs a round at a time: a loop.
                self.successors[a] = [a] + list(self.successors[a])
        # Each loop by its head, the instruction its back edges go to.
        self.loops = sorted({head for _, head in self._back_edges()})
        self.loop_heads = set(self.loops)
        self.tails = self._tails()
        self._ways = {}

    def name(self):
        return self.module.name

    def at(self, address):
        return self.obj.decode(self.section, address)

    def _back_edges(self):
        """(from, to) of each jump back to an instruction at or before
        itself from which it can be reached again: one per loop."""
        return {(a, t) for a in self.reachable for t in self.successors[a]
                if t <= a and a in self._reached_from(t)}

    def _reached_from(self, start):
        seen, pending = {start}, [start]
        while pending:
            for t in self.successors[pending.pop()]:
                if t not in seen:
                    seen.add(t)
                    pending.append(t)
        return seen

    def _tails(self):
        """The instructions from which every path runs straight to a return:
        through no loop head (so through no cycle), call or jump table.  A
        path from one of them on has finitely many ways to go, which the
        executor may check together (explore.py, Proof.merge)."""
        tails, changed = set(), True
        while changed:
            changed = False
            for a in self.reachable - tails - self.loop_heads:
                ins = self.at(a)
                if ins.mnemonic == "call" or (ins.mnemonic == "jmp" and len(self.successors[a]) > 1):
                    continue
                if ins.mnemonic == "ret" or (self.successors[a] and
                                             all(t in tails for t in self.successors[a])):
                    tails.add(a)
                    changed = True
        return frozenset(tails)

    def ways(self, address):
        """How many ways run from a tail instruction to a return."""
        if address not in self._ways:
            successors = self.successors[address]
            self._ways[address] = sum(map(self.ways, successors)) if successors else 1
        return self._ways[address]

    def padding(self, address):
        return is_padding(self.at(address))

    def relocated_address(self, ins):
        """The absolute address a relocated operand of `ins` refers to, or None."""
        found = self.obj.relocation_in(self.section, ins)
        if found is None:
            return None
        _, reloc = found
        if reloc.type != R_386_32:
            return None
        symbol = reloc.symbol
        if symbol.defined:
            section = self.obj.sections[symbol.shndx]
            if not section.read_only_data:
                raise Unmodelled(ins, f"refers to section {section.name}")
            return RODATA_BASE + symbol.value
        return self.external(symbol.name)

    def external(self, name):
        if name not in self.externals:
            self.externals[name] = EXTERNAL_BASE + EXTERNAL_SPACING * len(self.externals)
        return self.externals[name]

    def external_at(self, address):
        """The undefined symbol whose place holds `address`."""
        return next((name for name, base in self.externals.items()
                     if base <= address < base + EXTERNAL_SPACING), f"memory at {address:#x}")

    def called(self, ins):
        """The name of the outside function the call `ins` goes to."""
        found = self.obj.relocation_in(self.section, ins)
        if found is None or found[1].type != R_386_PC32 or found[1].symbol.defined:
            raise Unmodelled(ins, "calls something other than an outside function")
        return found[1].symbol.name

    def table(self, ins):
        """The targets of the jump table that the indirect jump `ins` goes through."""
        found = self.obj.relocation_in(self.section, ins)
        if found is None:
            raise Unmodelled(ins, "indirect jump not through a relocated table")
        reloc = found[1]
        if reloc.type != R_386_32 or not self.module.is_rodata(reloc.symbol):
            raise Unmodelled(ins, "indirect jump not through a table of read-only data")
        return self.module.table_entries(reloc.address, self.obj.sections[reloc.symbol.shndx])

    def branch_target(self, ins):
        target = self.obj.branch_target(self.section, ins)
        if target is None:
            raise Unmodelled(ins, "jumps out of the routine's section")
        return target
