#!/usr/bin/env python3
"""Checks the object-level contract of one module.

  check_object.py MODULE.o --symbol NAME --section SECTION
                  [--undefined SYM]... [--rodata SECTION]
  check_object.py OBJECT.o --forbid-undefined SYM[,SYM...]

The first form checks a deliverable: exactly one global symbol, a function at
offset 0 of its 16-byte aligned section, and no other symbol but section
symbols, the file symbol and the undefined imports; the entry frame followed
by the body at once, and no conditional branch to a lone jump; no other code
or data sections with
contents but the allowed read-only one; only the allowed undefined symbols;
no bit-scan instructions, no x87 and no SIMD operation outside the routines'
set; the register and stack discipline (no SSE operand on the stack but a
MOVD load of an argument word, no stack-pointer arithmetic, no frame pointer
after the entry frame); call-frame records with the expected CIE.  The
second form checks that an object (say, the reference models) calls none of
the named functions.

Every failure names the rule of docs/CONTRACT.md it breaks, where the rule's
reason is given.
"""
import argparse
import re
import subprocess
import sys

failures = []

# The rules of docs/CONTRACT.md, by the anchor of their section there.
ONE_GLOBAL = "one-global-function"
ONE_NAME = "no-other-symbols"
NO_DETOUR = "no-jump-to-a-jump"
ENTRY_FRAME = "entry-frame"
SECTIONS = "sections"
NO_WRITABLE_DATA = "no-writable-data"
FILL_TABLES_ONLY = "read-only-data-the-fill-tables-only"
UNDEFINED = "undefined-symbols"
NO_BIT_SCAN = "no-bit-scan-instructions"
NO_X87 = "no-x87"
SIMD_SET = "listed-simd-operations-only"
CIE_FIELDS = "cie-fields"
STACK_DISCIPLINE = "register-and-stack-discipline"


def rule(anchor, message):
    """`message` with the rule it enforces, for failure reports."""
    return f"{message} [rule: docs/CONTRACT.md#{anchor}]"


def fail(anchor, message):
    failures.append(rule(anchor, message))


def run(*cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True).stdout


def sections(obj):
    """name -> (type, flags, size, alignment)"""
    out = {}
    for line in run("readelf", "-SW", obj).splitlines():
        m = re.match(r"\s*\[\s*\d+\]\s+(\S+)\s+(\S+)\s+[0-9a-f]+\s+[0-9a-f]+\s+"
                     r"([0-9a-f]+)\s+[0-9a-f]+\s+(\S*)\s+\d+\s+\d+\s+(\d+)", line)
        if m:
            name, typ, size, flags, align = m.groups()
            out[name] = (typ, flags, int(size, 16), int(align))
    return out


def symbols(obj):
    """list of (value, size, type, bind, ndx, name), the null symbol left out"""
    out = []
    for line in run("readelf", "-sW", obj).splitlines():
        m = re.match(r"\s*[1-9]\d*:\s+([0-9a-f]+)\s+(\d+)\s+(\S+)\s+(\S+)\s+\S+\s+(\S+)\s*(\S*)",
                     line)
        if m:
            value, size, typ, bind, ndx, name = m.groups()
            out.append((int(value, 16), int(size), typ, bind, ndx, name))
    return out


def section_names_by_index(obj):
    out = {}
    for line in run("readelf", "-SW", obj).splitlines():
        m = re.match(r"\s*\[\s*(\d+)\]\s+(\S+)", line)
        if m:
            out[m.group(1)] = m.group(2)
    return out


def undefined(obj):
    return {s[5] for s in symbols(obj) if s[4] == "UND" and s[5]}


def check_module(args):
    obj = args.object
    secs = sections(obj)
    names = section_names_by_index(obj)

    # One global function, at the start of its section.
    globals_ = [s for s in symbols(obj) if s[3] in ("GLOBAL", "WEAK") and s[4] != "UND"]
    if len(globals_) != 1:
        fail(ONE_GLOBAL, f"expected exactly one global symbol, found {[g[5] for g in globals_]}")
    for value, size, typ, _, ndx, name in globals_:
        if name != args.symbol:
            fail(ONE_GLOBAL, f"global symbol is {name}, expected {args.symbol}")
        if typ != "FUNC":
            fail(ONE_GLOBAL, f"{name} has type {typ}, expected FUNC")
        if names.get(ndx) != args.section:
            fail(SECTIONS, f"{name} lies in {names.get(ndx)}, expected {args.section}")
        if value != 0:
            fail(ONE_GLOBAL, f"{name} starts at offset {value:#x} of its section, expected 0")
        if size == 0:
            fail(ONE_GLOBAL, f"{name} has no size")

    # No other name: a symbol inside the routine is what profilers,
    # debuggers and memory checkers would report instead of the routine.
    for value, _, typ, bind, ndx, name in symbols(obj):
        if ndx == "UND" or typ in ("SECTION", "FILE") or name == args.symbol:
            continue
        fail(ONE_NAME, f"symbol {name} ({bind} {typ}) at {names.get(ndx, ndx)}+{value:#x}: "
                       f"only {args.symbol} may be named")

    # Sections: the routine's code, 16-byte aligned; nothing writable; no
    # read-only data but the allowed tables (no constant pools).
    if args.section not in secs:
        fail(SECTIONS, f"section {args.section} missing")
    elif secs[args.section][3] < 16:
        fail(ONE_GLOBAL, f"{args.section} aligned to {secs[args.section][3]}, expected 16")
    for name, (typ, flags, size, _) in secs.items():
        if "A" not in flags or size == 0 or name in (args.section, ".eh_frame"):
            continue
        if name == args.rodata and "W" not in flags and "X" not in flags:
            continue
        fail(NO_WRITABLE_DATA if "W" in flags else FILL_TABLES_ONLY if "X" not in flags else SECTIONS,
             f"unexpected allocated section {name} ({flags}, {size} bytes)")
    if args.rodata and args.rodata not in secs:
        fail(SECTIONS, f"section {args.rodata} missing")

    extra = undefined(obj) - set(args.undefined)
    if extra:
        fail(UNDEFINED, f"undefined symbols beyond {sorted(args.undefined)}: {sorted(extra)}")

    disassembly = run("objdump", "-d", "--no-show-raw-insn", obj)
    for mnemonic in ("bsf", "bsr", "tzcnt", "lzcnt"):
        if re.search(rf"\t{mnemonic}[wlq]?\s", disassembly):
            fail(NO_BIT_SCAN, f"bit-scan instruction {mnemonic} in the code")
    code = instructions(disassembly)
    check_instructions(code, args.entry_frame)
    check_branches(code)
    if args.entry_frame:
        check_entry_frame(code)

    frames = run("readelf", "--debug-dump=frames", obj)
    cies = re.findall(r"CIE\n(.*?)\n\n", frames, re.S)
    if not cies:
        fail(CIE_FIELDS, "no call-frame records (CIE) found")
    for cie in cies:
        for field, want in (("Augmentation", '"zR"'), ("Code alignment factor", "1"),
                            ("Data alignment factor", "-4"), ("Return address column", "8")):
            m = re.search(rf"{field}:\s+(\S+)", cie)
            if not m or m.group(1) != want:
                fail(CIE_FIELDS, f"CIE {field} is {m.group(1) if m else 'missing'}, expected {want}")
    if "FDE" not in frames:
        fail(CIE_FIELDS, "no FDE records found")


# The SIMD operations the routines are made of; any other instruction with
# an SSE register is a departure (a compiler's choice of MOVSD for MOVLPD,
# POR for PMAXUB, a shuffle or a PSADBW trick).
SIMD_OPERATIONS = {"movd", "movq", "movlpd", "punpcklbw", "pshufd", "movdqu", "movdqa",
                   "movaps", "pcmpeqb", "pcmpeqd", "pmovmskb", "pminub", "pmaxub", "psubb",
                   "pxor"}

# The entry frame sets the frame pointer at this offset, and nothing else may.
ENTRY_FRAME_POINTER = 1


def instructions(disassembly):
    """(offset, mnemonic, operands) of every instruction."""
    out = []
    for line in disassembly.splitlines():
        m = re.match(r"\s*([0-9a-f]+):\t(\S+)\s*(.*)$", line)
        if m:
            offset, mnemonic, operands = m.groups()
            out.append((int(offset, 16), mnemonic, operands.split("<")[0].strip()))
    return out


def check_instructions(code, entry_frame):
    """The register and stack discipline, and the SIMD operations used.

    Callers may keep only 4-byte stack alignment, and the routines keep no
    locals: the stack holds nothing but the return address, the arguments
    and pushed registers.  So no SSE register may meet a stack operand
    (save a 4-byte MOVD load of an argument word), nothing may realign or
    otherwise move the stack pointer but push, pop, call and ret, and no
    frame pointer is set after the entry frame."""
    for offset, mnemonic, operands in code:
        where = f"at {offset:#x}: {mnemonic} {operands}"
        sse = "%xmm" in operands
        if sse and mnemonic not in SIMD_OPERATIONS:
            fail(SIMD_SET, f"SIMD operation outside the routines' set {where}")
        if mnemonic.startswith("f") or "%st" in operands:
            fail(NO_X87, f"x87 instruction {where}")
        on_stack = re.search(r"\((%esp|%ebp)[,)]", operands)
        if sse and on_stack and not (mnemonic == "movd" and operands.endswith(
                tuple(f"%xmm{i}" for i in range(8))) and "%esp" in on_stack.group(1)):
            fail(STACK_DISCIPLINE, f"SSE register with a stack operand {where}")
        writes_esp = re.search(r",%esp$", operands) or operands == "%esp" and mnemonic != "push"
        if writes_esp and mnemonic == "and":
            fail(STACK_DISCIPLINE, f"stack realigned {where}")
        elif writes_esp or mnemonic in ("leave", "enter"):
            fail(STACK_DISCIPLINE, f"stack pointer moved other than by push, pop, call and ret {where}")
        if mnemonic == "mov" and operands == "%esp,%ebp":
            if not (entry_frame and offset == ENTRY_FRAME_POINTER):
                fail(STACK_DISCIPLINE, f"frame pointer set after the entry frame {where}")


# The entry frame, and where the body starts: right after the pop.
ENTRY_FRAME_CODE = [("push", "%ebp"), ("mov", "%esp,%ebp"), ("call", None), ("pop", "%ebp")]


def check_entry_frame(code):
    """The profiling prologue, then the body's first instruction: no jump
    and no padding between them, which every call would execute."""
    frame = [(mnemonic, operands) for _, mnemonic, operands in code[:len(ENTRY_FRAME_CODE)]]
    if [m for m, _ in frame] != [m for m, _ in ENTRY_FRAME_CODE] or any(
            want is not None and got != want
            for (_, got), (_, want) in zip(frame, ENTRY_FRAME_CODE)):
        fail(ENTRY_FRAME, f"the routine does not open with the entry frame: {frame}")
        return
    offset, mnemonic, operands = code[len(ENTRY_FRAME_CODE)]
    if mnemonic.startswith("jmp") or mnemonic.startswith("nop") or mnemonic == "xchg" or (
            mnemonic == "lea" and operands.startswith("0x0(")):
        fail(ENTRY_FRAME, f"the body does not follow the entry frame at once: "
                          f"{mnemonic} {operands} at {offset:#x}")


def check_branches(code):
    """No conditional branch lands on an unconditional jump: the branch
    would go on to the jump's target with one taken jump more."""
    at = {offset: (mnemonic, operands) for offset, mnemonic, operands in code}
    for offset, mnemonic, operands in code:
        if not mnemonic.startswith("j") or mnemonic.startswith("jmp") or \
                not re.fullmatch(r"[0-9a-f]+", operands):
            continue
        target = int(operands, 16)
        landed = at.get(target)
        if landed and landed[0].startswith("jmp"):
            fail(NO_DETOUR, f"{mnemonic} at {offset:#x} lands on {landed[0]} {landed[1]} "
                            f"at {target:#x}")


def check_forbidden(args):
    found = undefined(args.object) & set(args.forbid_undefined.split(","))
    if found:
        failures.append(f"calls {sorted(found)}: the reference models must be plain loops "
                        "that call no library routine")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("object")
    parser.add_argument("--symbol")
    parser.add_argument("--section")
    parser.add_argument("--undefined", action="append", default=[])
    parser.add_argument("--rodata")
    parser.add_argument("--forbid-undefined")
    parser.add_argument("--entry-frame", action="store_true",
                        help="the routine opens with the profiling entry frame")
    args = parser.parse_args()
    if args.forbid_undefined:
        check_forbidden(args)
    else:
        check_module(args)
    return report(args.object, failures)


def report(obj, messages):
    """Prints the failures of `obj` (or that it is ok); the exit status."""
    for message in messages:
        print(f"{obj}: {message}", file=sys.stderr)
    if not messages:
        print(f"{obj}: ok")
    return 1 if messages else 0


if __name__ == "__main__":
    sys.exit(main())
