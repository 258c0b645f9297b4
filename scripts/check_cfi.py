#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Checks a module's call-frame records at every instruction it can reach.

  check_cfi.py MODULE.o [--symbol NAME] [--list FILE]

Walks the code from the exported symbol along every path: both directions
of each conditional branch, direct jumps and tail jumps (into the local
bodies), every entry of a jump table (absolute addresses in a read-only
section, read through its relocations), and the call to the profiling hook,
which returns to the next instruction with the stack and the callee-saved
registers as they were.  Along the way it tracks the stack depth (the frame
address minus %esp), the frame pointer (%ebp set by `mov %esp,%ebp`), which
callee-saved registers (ebx, esi, edi, ebp) no longer hold the caller's
value, and which stack slots hold a copy of it (saved by push or by a move
to the stack).  At each instruction it compares that with the DWARF row in
.eh_frame that covers it:

- the frame address must be %esp + depth, or %ebp + its distance when %ebp
  is the frame pointer;
- a register whose caller's value is in a slot above the stack pointer may
  be described as saved there; a register changed since entry must be; a
  register described as saved must have its caller's value in that slot
  (so a pop without .cfi_restore fails at the next instruction, and so does
  code after a return inside the body whose records still describe the
  popped state);
- the return address lies just below the frame address.

Two paths that reach one instruction with different depths, frame pointers
or saved slots are a failure, as is any change of %esp other than push,
pop, call, ret, adding or subtracting a constant, and setting it from the
frame pointer (`mov %ebp,%esp`, `leave`, `lea`): the routines have no locals
to align.  So is an indirect jump that is not through a relocated table,
and a `ret` with the stack not at the return address or a callee-saved
register not restored.

Each fault reported names the rule of docs/CONTRACT.md the check enforces.
NAME defaults to the object's one global function.  With --list the check
only writes the offsets from NAME of the instructions it reaches to FILE,
one a line, for the single-step test to measure its coverage against.
"""
import argparse
import sys
from dataclasses import dataclass, replace

from capstone import x86
from elftools.dwarf.callframe import RegisterRule

from check_object import STACK_DISCIPLINE, rule
from elf_object import R_386_32, WORD, ElfObject, att, is_padding, stored_operand

CALLEE_SAVED = ("ebx", "esi", "edi", "ebp")
DWARF_REGISTER = {"ebx": 3, "esp": 4, "ebp": 5, "esi": 6, "edi": 7}
RETURN_ADDRESS_COLUMN = 8
# Parts of the callee-saved registers (and of %esp) that instructions name.
FULL_REGISTER = {"bx": "ebx", "bl": "ebx", "bh": "ebx", "si": "esi", "di": "edi",
                 "bp": "ebp", "sp": "esp"}


class Unmodelled(Exception):
    """An instruction whose effect on the frame the check cannot follow."""


@dataclass(frozen=True)
class State:
    depth: int = WORD               # frame address - %esp; the return address at entry
    frame_pointer: int = None       # frame address - %ebp, when %ebp is the frame pointer
    saved: frozenset = frozenset()  # (slot offset from the frame address, register)
    changed: frozenset = frozenset()  # callee-saved registers not holding the caller's value

    def describe(self):
        base = f"CFA=esp+{self.depth}"
        if self.frame_pointer is not None:
            base += f"=ebp+{self.frame_pointer}"
        saves = ", ".join(f"{r}@cfa{o}" for o, r in sorted(self.saved, key=lambda s: s[1]))
        return base + (f", saved {saves}" if saves else "")


def full(name):
    return FULL_REGISTER.get(name, name)


class Module:
    """The routine's code, its jump tables and call-frame rows."""

    def __init__(self, path, symbol):
        self.obj = ElfObject(path)
        entry = self.obj.routine(symbol)
        self.name, self.entry = entry.name, entry.value
        self.section = self.obj.sections[entry.shndx]
        self.table_starts = sorted(r.address for r in self.obj.relocations(self.section).values()
                                   if r.type == R_386_32 and self.is_rodata(r.symbol))
        self.fdes = self.obj.frames(self.section)

    def is_rodata(self, symbol):
        return isinstance(symbol.shndx, int) and self.obj.sections[symbol.shndx].read_only_data

    def table_entries(self, start, rodata):
        """Targets of the jump table at `start` of section `rodata`, up to the next table."""
        end = next((s for s in self.table_starts if s > start), rodata.size)
        targets = self.obj.addresses(rodata, start, end, self.section)
        if None in targets:
            raise Unmodelled(f"jump table entry at {start + WORD * targets.index(None):#x} is no address "
                             "in the code")
        return targets

    def row_at(self, address):
        for frame in self.fdes:
            if frame.start <= address < frame.end:
                return [row for pc, row in frame.rows if pc <= address][-1]
        return None


class Walker:
    def __init__(self, module):
        self.m = module
        self.failures = []

    @staticmethod
    def text(ins):
        return f"{ins.address:#x} `{att(ins)}`"

    def fail(self, ins, message):
        self.failures.append(f"{self.text(ins)}: {message}")

    # ---- the frame at one instruction ---------------------------------------

    @staticmethod
    def stack_slot(state, mem):
        """Offset from the frame address of a stack operand, else None."""
        if mem.index != 0:
            return None
        if mem.base == x86.X86_REG_ESP:
            return mem.disp - state.depth
        if mem.base == x86.X86_REG_EBP and state.frame_pointer is not None:
            return mem.disp - state.frame_pointer
        return None

    @staticmethod
    def drop_below(state, depth):
        """The state with the stack at `depth`; slots below %esp are gone."""
        return replace(state, depth=depth,
                       saved=frozenset(s for s in state.saved if -s[0] <= depth))

    @staticmethod
    def set_register(state, reg, restored):
        changed = state.changed - {reg} if restored else state.changed | {reg}
        fp = state.frame_pointer if reg != "ebp" else None
        return replace(state, changed=changed, frame_pointer=fp)

    def execute(self, ins, s):
        """The state after `ins` on its fall-through or branch edges."""
        ops = ins.operands
        name = ins.mnemonic
        reg = lambda op: full(ins.reg_name(op.reg)) if op.type == x86.X86_OP_REG else None
        if name == "push":
            s = self.drop_below(s, s.depth + WORD)
            saved = {x for x in s.saved if x[0] != -s.depth}
            r = reg(ops[0])
            if r in CALLEE_SAVED and r not in s.changed:
                saved.add((-s.depth, r))
            return replace(s, saved=frozenset(saved))
        if name == "pop":
            r = reg(ops[0])
            if r == "esp" or r is None:
                raise Unmodelled("pop into %esp or memory")
            return self.pop(s, r)
        if name == "leave":
            if s.frame_pointer is None:
                raise Unmodelled("leave without a frame pointer")
            return self.pop(self.drop_below(s, s.frame_pointer), "ebp")
        if name == "call":
            return s  # the hook returns with the frame as it found it
        if x86.X86_GRP_RET in ins.groups:
            return s  # the path ends; check_return looks at the state
        if is_padding(ins):
            return s
        _, written = ins.regs_access()
        written = {full(ins.reg_name(w)) for w in written}
        if "esp" in written:
            return self.move_stack_pointer(ins, s)
        if name == "mov" and reg(ops[0]) == "ebp" and reg(ops[1]) == "esp":
            return replace(self.set_register(s, "ebp", False), frame_pointer=s.depth)
        # Stores to the stack: a move of an unchanged callee-saved register
        # saves it; any other store overwrites what the slot held.
        stored = stored_operand(ins)
        slot = self.stack_slot(s, stored.mem) if stored else None
        if slot is not None:
            if slot >= 0:
                raise Unmodelled("writes the return address or argument area")
            saved = {x for x in s.saved if x[0] != slot}
            src = reg(ops[1]) if len(ops) > 1 else None
            if name == "mov" and src in CALLEE_SAVED and src not in s.changed:
                saved.add((slot, src))
            s = replace(s, saved=frozenset(saved))
        # Registers written: a load of a saved copy restores the register.
        for r in written & set(CALLEE_SAVED):
            restored = (name == "mov" and ops[1].type == x86.X86_OP_MEM
                        and (self.stack_slot(s, ops[1].mem), r) in s.saved)
            s = self.set_register(s, r, restored)
        return s

    def pop(self, s, r):
        restored = (-s.depth, r) in s.saved
        s = self.drop_below(s, s.depth - WORD)
        return self.set_register(s, r, restored) if r in CALLEE_SAVED else s

    def move_stack_pointer(self, ins, s):
        name, ops = ins.mnemonic, ins.operands
        src = ops[1] if len(ops) > 1 else None
        if name in ("sub", "add") and src.type == x86.X86_OP_IMM:
            delta = src.imm if name == "sub" else -src.imm
            if delta % WORD:
                raise Unmodelled("moves %esp by a non-multiple of 4")
            return self.drop_below(s, s.depth + delta)
        if name == "lea" and self.stack_slot(s, src.mem) is not None:
            return self.drop_below(s, -self.stack_slot(s, src.mem))
        if name == "mov" and src.type == x86.X86_OP_REG and full(ins.reg_name(src.reg)) == "ebp" \
                and s.frame_pointer is not None:
            return self.drop_below(s, s.frame_pointer)
        raise Unmodelled("changes %esp in a way not modelled (the routines have no locals)")

    # ---- control flow ---------------------------------------------------------

    def successors(self, ins):
        """Addresses control may go to after `ins`, or [] where the path ends."""
        groups = set(ins.groups)
        after = ins.address + ins.size
        if x86.X86_GRP_RET in groups or ins.mnemonic in ("ud2", "hlt", "int3"):
            return []
        found = self.m.obj.relocation_in(self.m.section, ins)
        reloc = found[1] if found else None
        if x86.X86_GRP_CALL in groups:
            if reloc is None or reloc.symbol.defined:
                raise Unmodelled("calls something other than an outside function")
            return [after]
        if x86.X86_GRP_JUMP not in groups:
            return [after]
        op = ins.operands[0]
        if op.type == x86.X86_OP_MEM:
            if ins.mnemonic != "jmp" or reloc is None or reloc.type != R_386_32 or \
                    not self.m.is_rodata(reloc.symbol):
                raise Unmodelled("indirect jump not through a relocated table")
            return self.m.table_entries(reloc.address, self.m.obj.sections[reloc.symbol.shndx])
        if op.type != x86.X86_OP_IMM:
            raise Unmodelled("jump through a register")
        target = self.m.obj.branch_target(self.m.section, ins)
        if target is None:
            raise Unmodelled("jumps out of the routine's section")
        return [target] if ins.mnemonic == "jmp" else [target, after]

    def check_return(self, ins, s):
        if s.depth != WORD:
            self.fail(ins, f"returns with {s.depth - WORD} bytes still on the stack")
        if s.changed:
            self.fail(ins, "returns with " + ", ".join(sorted(s.changed)) + " not restored")

    # ---- comparison with the records ------------------------------------------

    def compare(self, ins, s):
        row = self.m.row_at(ins.address)
        if row is None:
            return self.fail(ins, "no call-frame record covers it")
        cfa = row["cfa"]
        names = {n: r for r, n in DWARF_REGISTER.items()}
        recorded_cfa = "an expression" if cfa.expr else \
            f"{names.get(cfa.reg, f'r{cfa.reg}')}+{cfa.offset}"
        if not ((cfa.reg == 4 and cfa.offset == s.depth) or
                (cfa.reg == 5 and cfa.offset == s.frame_pointer)):
            self.fail(ins, f"CFA recorded as {recorded_cfa}, expected {s.describe()}")
        ra = row.get(RETURN_ADDRESS_COLUMN)
        if ra is None or ra.type != RegisterRule.OFFSET or ra.arg != -WORD:
            self.fail(ins, "return address not recorded at cfa-4")
        for r in CALLEE_SAVED:
            rule = row.get(DWARF_REGISTER[r])
            if rule is None or rule.type == RegisterRule.SAME_VALUE:
                recorded, ok = "unsaved", r not in s.changed
            elif rule.type == RegisterRule.OFFSET:
                recorded, ok = f"at cfa{rule.arg}", (rule.arg, r) in s.saved
            else:
                recorded, ok = f"by a {rule.type} rule", False
            if not ok:
                slots = [f"at cfa{o}" for o, x in s.saved if x == r]
                if r not in s.changed:
                    slots.append("unsaved")
                expected = " or ".join(slots) or "saved (its caller's value is in no slot)"
                self.fail(ins, f"%{r} recorded {recorded}, expected {expected} [{s.describe()}]")

    # ---- the walk -------------------------------------------------------------

    def walk(self):
        states = {self.m.entry: State()}
        pending = [self.m.entry]
        while pending:
            address = pending.pop()
            s = states[address]
            try:
                ins = self.m.obj.decode(self.m.section, address)
            except ValueError as e:
                self.failures.append(f"{address:#x}: {e}")
                continue
            self.compare(ins, s)
            try:
                after = self.execute(ins, s)
                targets = self.successors(ins)
            except Unmodelled as e:
                self.fail(ins, str(e))
                continue
            if x86.X86_GRP_RET in ins.groups:
                self.check_return(ins, s)
            for t in targets:
                old = states.get(t)
                if old is None:
                    states[t] = after
                    pending.append(t)
                    continue
                if (old.depth, old.frame_pointer, old.saved) != \
                        (after.depth, after.frame_pointer, after.saved):
                    self.failures.append(
                        f"{t:#x}: reached with {old.describe()} and, from {self.text(ins)}, "
                        f"with {after.describe()}")
                    continue
                merged = replace(old, changed=old.changed | after.changed)
                if merged != old:
                    states[t] = merged
                    pending.append(t)
        return sorted(states)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("object")
    parser.add_argument("--symbol")
    parser.add_argument("--list", metavar="FILE")
    args = parser.parse_args()

    module = Module(args.object, args.symbol)
    walker = Walker(module)
    reached = walker.walk()
    if args.list:
        with open(args.list, "w") as out:
            out.writelines(f"{address - module.entry:#x}\n" for address in reached)
        return 0
    if walker.failures:
        # A path revisited with a wider set of changed registers reports the
        # same fault again: each once.
        unique = list(dict.fromkeys(walker.failures))
        print(f"{args.object}: {len(unique)} call-frame faults in {module.name}:")
        for f in unique[:40]:
            print(f"  {rule(STACK_DISCIPLINE, f)}")
        return 1
    print(f"{module.name}: {len(reached)} reachable instructions, every one described correctly")
    return 0


if __name__ == "__main__":
    sys.exit(main())
