#!/usr/bin/env python3
"""Checks the jump tables of a fill module.

  check_fill_tables.py MODULE.o [--section .rodata.sse2] [--code .text.sse2]

The tables section holds exactly the 32-entry short table at offset 0 and
the 128-entry tail table at offset 128, each entry an absolute address in
the code section.  The entries of one residue (count modulo 4, remaining
count modulo 16) lead into one store sequence: the entry for the highest
index of the residue starts the sequence on a 16-byte boundary, and the
entries for lower indexes follow it in ascending order before the next
sequence starts, so each sequence exists once and every index enters it at
a store of its own.  Each sequence runs straight to a return of its own,
with no jump to an epilogue shared with others.  Index 0 stores nothing:
its entry leads straight to a return, wherever the compiler put that.  Every failure names the rule of
docs/CONTRACT.md it breaks.
"""
import argparse
import re
import sys

from check_object import FILL_TABLES_ONLY, report, rule, run

SHORT_ENTRIES, SHORT_RESIDUES = 32, 4
TAIL_ENTRIES, TAIL_RESIDUES = 128, 16
ENTRY_SIZE = 4


def section_bytes(obj, name):
    data = bytearray()
    for line in run("readelf", "-x", name, obj).splitlines():
        m = re.match(r"\s+0x[0-9a-f]+ ((?:[0-9a-f]{2,8} ?){1,4})", line)
        if m:
            data += bytes.fromhex("".join(m.group(1).split()))
    return bytes(data)


def relocations(obj, name):
    """offset -> (type, symbol) of the relocations against section `name`."""
    out, current = {}, None
    for line in run("readelf", "-rW", obj).splitlines():
        m = re.match(r"Relocation section '(\S+)'", line)
        if m:
            current = m.group(1)
            continue
        m = re.match(r"\s*([0-9a-f]+)\s+[0-9a-f]+\s+(\S+)\s+[0-9a-f]+\s+(\S+)", line)
        if m and current == ".rel" + name:
            out[int(m.group(1), 16)] = (m.group(2), m.group(3))
    return out


def leads_to_return(obj, code, address):
    """True when the code at `address` returns without storing to memory,
    following direct jumps."""
    for _ in range(4):
        listing = run("objdump", "-d", "--no-show-raw-insn", "-j", code,
                      f"--start-address={address:#x}", f"--stop-address={address + 64:#x}", obj)
        for line in listing.splitlines():
            m = re.match(r"\s*[0-9a-f]+:\s+(\S+)\s*(.*)", line)
            if not m:
                continue
            mnemonic, operands = m.groups()
            if mnemonic == "ret":
                return True
            if mnemonic == "jmp" and re.match(r"[0-9a-f]+ <", operands):
                address = int(operands.split()[0], 16)
                break
            if re.search(r",\s*-?(0x[0-9a-f]+)?\(", operands) or mnemonic.startswith(("push", "call")):
                return False
        else:
            return False
    return False


def ends_in_own_return(obj, code, address):
    """True when the code from `address` runs straight to a `ret`: the
    first instruction that changes the flow is a return, not a jump."""
    listing = run("objdump", "-d", "--no-show-raw-insn", "-j", code,
                  f"--start-address={address:#x}", f"--stop-address={address + 256:#x}", obj)
    for line in listing.splitlines():
        m = re.match(r"\s*[0-9a-f]+:\s+(\S+)", line)
        if m and (m.group(1) == "ret" or m.group(1).startswith(("j", "call", "loop"))):
            return m.group(1) == "ret"
    return False


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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("object")
    parser.add_argument("--section", default=".rodata.sse2")
    parser.add_argument("--code", default=".text.sse2")
    args = parser.parse_args()

    failures = []
    data = section_bytes(args.object, args.section)
    size = (SHORT_ENTRIES + TAIL_ENTRIES) * ENTRY_SIZE
    if len(data) != size:
        failures.append(f"{args.section} holds {len(data)} bytes, expected {size}")
    relocs = relocations(args.object, args.section)
    entries = []
    for offset in range(0, min(len(data), size), ENTRY_SIZE):
        if relocs.get(offset) != ("R_386_32", args.code):
            failures.append(f"entry at {offset:#x} is not an absolute address in {args.code}: "
                            f"{relocs.get(offset)}")
        entries.append(int.from_bytes(data[offset:offset + ENTRY_SIZE], "little"))
    if len(relocs) != size // ENTRY_SIZE:
        failures.append(f"{len(relocs)} relocations in {args.section}, expected {size // ENTRY_SIZE}")
    if not failures:
        check_table(failures, args.object, args.code, "short table", entries[:SHORT_ENTRIES],
                    SHORT_RESIDUES)
        check_table(failures, args.object, args.code, "tail table", entries[SHORT_ENTRIES:],
                    TAIL_RESIDUES)

    return report(args.object, [rule(FILL_TABLES_ONLY, f) for f in failures])


if __name__ == "__main__":
    sys.exit(main())
