#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Checks the jump tables of a fill module against the rule of
docs/CONTRACT.md that every failure names, where their layout is set out:
the short table and the tail table, one store sequence per residue, entered
in ascending order, each to a return of its own, and entry 0 straight to a
return; and of the rule that names the jumps that read them: one into the
short table, two into the tail table.

  check_fill_tables.py MODULE.o --section .rodata.sse2 --code .text.sse2
"""
import argparse
import sys

from capstone import x86

from check_object import FILL_DISPATCH, FILL_TABLES_ONLY, report, rule
from elf_object import WORD, ElfObject, att, stored_operand

SHORT_ENTRIES, SHORT_RESIDUES = 32, 4
TAIL_ENTRIES, TAIL_RESIDUES = 128, 16
# The jumps that read each table, by its offset in the section: the short
# fill's, and the medium fill's and the block loop's.
DISPATCH_JUMPS = {0: ("short table", 1), SHORT_ENTRIES * WORD: ("tail table", 2)}
# How far the walks below look for a return: the stores of a sequence, and
# the few instructions between entry 0 and its return.
SEQUENCE_REACH, RETURN_REACH, RETURN_JUMPS = 256, 64, 4
# Instructions that end a straight run of code.
FLOW = {x86.X86_GRP_JUMP, x86.X86_GRP_CALL, x86.X86_GRP_RET, x86.X86_GRP_BRANCH_RELATIVE}


def straight_run(obj, code, address, reach):
    """The instructions from `address` on, within `reach` bytes, up to and
    including the first that changes the flow."""
    out, end = [], min(address + reach, code.size)
    while address < end and not (out and FLOW & set(out[-1].groups)):
        out.append(obj.decode(code, address))
        address += out[-1].size
    return out


def leads_to_return(obj, code, address):
    """True when the code at `address` returns without storing to memory
    or branching, following direct jumps."""
    for _ in range(RETURN_JUMPS):
        straight = straight_run(obj, code, address, RETURN_REACH)
        if not straight or any(ins.mnemonic.startswith(("push", "call")) or stored_operand(ins)
                               for ins in straight):
            return False
        if x86.X86_GRP_RET in straight[-1].groups:
            return True
        address = obj.branch_target(code, straight[-1]) if straight[-1].mnemonic == "jmp" else None
        if address is None:
            return False
    return False


def ends_in_own_return(obj, code, address):
    """True when the code from `address` runs straight to a `ret`: the
    first instruction that changes the flow is a return, not a jump."""
    straight = straight_run(obj, code, address, SEQUENCE_REACH)
    return bool(straight) and x86.X86_GRP_RET in straight[-1].groups


def check_table(failures, obj, code, name, entries, residues):
    """Entries of index c = k * residues + r: one ascending run per r."""
    per_residue = len(entries) // residues
    starts = sorted(entries[(per_residue - 1) * residues + r] for r in range(residues))
    if not leads_to_return(obj, code, entries[0]):
        failures.append(f"{name} entry 0 does not lead straight to a return")
    for r in range(residues):
        run_ = [entries[k * residues + r] for k in reversed(range(per_residue)) if k * residues + r]
        first = run_[0]
        if first % 16:
            failures.append(f"{name} sequence {r} starts at {first:#x}, not on a 16-byte boundary")
        if not ends_in_own_return(obj, code, first):
            failures.append(f"{name} sequence {r} at {first:#x} does not end in a return of "
                            "its own")
        if any(b <= a for a, b in zip(run_, run_[1:])):
            failures.append(f"{name} entries of residue {r} do not ascend: "
                            + " ".join(f"{a:#x}" for a in run_))
        following = [s for s in starts if s > first]
        if following and run_[-1] >= following[0]:
            failures.append(f"{name} entries of residue {r} run into the next sequence")


def check_dispatch(failures, obj, code, tables):
    """The code reads the tables only by indirect jumps through them, as
    many into each as DISPATCH_JUMPS says, and makes no other indirect
    jump."""
    jumps = dict.fromkeys(DISPATCH_JUMPS, 0)
    for ins in obj.instructions(code):
        found = obj.relocation_in(code, ins)
        reads_table = found is not None and found[1].symbol.shndx == tables.index
        through_memory = ins.mnemonic == "jmp" and ins.operands[0].type == x86.X86_OP_MEM
        if reads_table and through_memory and found[1].address in jumps:
            jumps[found[1].address] += 1
        elif reads_table:
            failures.append(f"{att(ins)} at {ins.address:#x} reads the tables other than "
                            "as the jump through one")
        elif ins.mnemonic == "jmp" and ins.operands[0].type != x86.X86_OP_IMM:
            failures.append(f"{att(ins)} at {ins.address:#x} jumps to a computed address "
                            "that no table gives")
    for at, (name, expected) in DISPATCH_JUMPS.items():
        if jumps[at] != expected:
            failures.append(f"{jumps[at]} jumps through the {name}, expected {expected}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("object")
    parser.add_argument("--section", required=True, help="the tables' section")
    parser.add_argument("--code", required=True, help="the code's section")
    args = parser.parse_args()

    obj = ElfObject(args.object)
    tables, code = obj.section(args.section), obj.section(args.code)
    failures = [f"section {name} missing" for name in (args.section, args.code)
                if obj.section(name) is None]
    if failures:
        return report(args.object, [rule(FILL_TABLES_ONLY, f) for f in failures])

    size = (SHORT_ENTRIES + TAIL_ENTRIES) * WORD
    if tables.size != size:
        failures.append(f"{args.section} holds {tables.size} bytes, expected {size}")
    entries = obj.addresses(tables, 0, min(tables.size, size), code)
    failures += [f"entry at {i * WORD:#x} is not an absolute address in {args.code}"
                 for i, address in enumerate(entries) if address is None]
    if len(obj.relocations(tables)) != size // WORD:
        failures.append(f"{len(obj.relocations(tables))} relocations in {args.section}, expected {size // WORD}")
    if not failures:
        check_table(failures, obj, code, "short table", entries[:SHORT_ENTRIES], SHORT_RESIDUES)
        check_table(failures, obj, code, "tail table", entries[SHORT_ENTRIES:], TAIL_RESIDUES)
    failures = [rule(FILL_TABLES_ONLY, f) for f in failures]

    dispatch = []
    check_dispatch(dispatch, obj, code, tables)
    return report(args.object, failures + [rule(FILL_DISPATCH, f) for f in dispatch])


if __name__ == "__main__":
    sys.exit(main())
