#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Checks the object-level contract of one module.

  check_object.py MODULE.o --symbol NAME --section SECTION [--entry-frame]
                  [--undefined SYM]... [--rodata SECTION] [--max-code BYTES]
  check_object.py OBJECT [--forbid-undefined SYM[,SYM...]] [--no-simd]

The first form checks a deliverable against the rules of docs/CONTRACT.md
(each failure names the rule it breaks, where its reason is given) and
prints the size of its code section.  The second form checks that an object
or archive (say, the reference models) calls none of the named functions
and, with --no-simd, that its code would run on a processor without MMX or
SSE (the objects a program runs before or instead of choosing the SSE2
routines).
"""
import argparse
import sys

from capstone import CS_AC_READ, CS_AC_WRITE, x86

from elf_object import ElfObject, att, is_padding, read_objects

failures = []

# The rules of docs/CONTRACT.md, by the anchor of their section there.
ONE_GLOBAL = "one-global-function"
ONE_NAME = "no-other-symbols"
NO_DETOUR = "no-jump-to-a-jump"
NO_JUMP_TO_RETURN = "no-jump-to-a-return"
OWN_RETURN = "each-exit-its-own-return"
BLOCK_READ_ONCE = "each-block-read-once"
SIZE = "each-piece-once"
ENTRY_FRAME = "entry-frame"
SECTIONS = "sections"
NO_WRITABLE_DATA = "no-writable-data"
FILL_TABLES_ONLY = "read-only-data-the-fill-tables-only"
FILL_DISPATCH = "three-jumps-into-the-fill-tables"
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


def check_module(args):
    obj = ElfObject(args.object)
    sections = {s.name: s for s in obj.sections}

    # One global function, at the start of its section.
    globals_ = [s for s in obj.symbols if s.external and s.defined]
    if len(globals_) != 1:
        fail(ONE_GLOBAL, f"expected exactly one global symbol, found {[g.name for g in globals_]}")
    for s in globals_:
        if s.name != args.symbol:
            fail(ONE_GLOBAL, f"global symbol is {s.name}, expected {args.symbol}")
        if s.type != "FUNC":
            fail(ONE_GLOBAL, f"{s.name} has type {s.type}, expected FUNC")
        if s.section != args.section:
            fail(SECTIONS, f"{s.name} lies in {s.section}, expected {args.section}")
        if s.value != 0:
            fail(ONE_GLOBAL, f"{s.name} starts at offset {s.value:#x} of its section, expected 0")
        if s.size == 0:
            fail(ONE_GLOBAL, f"{s.name} has no size")

    # No other name: a symbol inside the routine is what profilers,
    # debuggers and memory checkers would report instead of the routine.
    for s in obj.symbols:
        if not s.defined or s.type in ("SECTION", "FILE") or s.name == args.symbol:
            continue
        fail(ONE_NAME, f"symbol {s.name} ({s.bind} {s.type}) at {s.section}+{s.value:#x}: "
                       f"only {args.symbol} may be named")

    # Sections: the routine's code, 16-byte aligned; nothing writable; no
    # read-only data but the allowed tables (no constant pools).
    code = sections.get(args.section)
    if code is None:
        fail(SECTIONS, f"section {args.section} missing")
    elif code.alignment < 16:
        fail(ONE_GLOBAL, f"{args.section} aligned to {code.alignment}, expected 16")
    if code is not None and args.max_code is not None:
        print(f"{args.object}: {args.section} holds {code.size} bytes (at most {args.max_code})")
        if code.size > args.max_code:
            fail(SIZE, f"{args.section} holds {code.size} bytes, more than {args.max_code}: "
                       "a piece the routine has once may have been copied")
    for s in obj.sections:
        if not s.allocated or s.size == 0 or s.name in (args.section, ".eh_frame"):
            continue
        if s.name == args.rodata and s.read_only_data:
            continue
        kind = "writable" if s.writable else "executable" if s.executable else "read-only"
        fail(NO_WRITABLE_DATA if s.writable else SECTIONS if s.executable else FILL_TABLES_ONLY,
             f"unexpected allocated section {s.name} ({kind}, {s.size} bytes)")
    if args.rodata and args.rodata not in sections:
        fail(SECTIONS, f"section {args.rodata} missing")

    extra = obj.undefined() - set(args.undefined)
    if extra:
        fail(UNDEFINED, f"undefined symbols beyond {sorted(args.undefined)}: {sorted(extra)}")

    for section in obj.sections:
        if section.executable and section.size:
            instructions = obj.instructions(section)
            check_instructions(instructions, args.entry_frame and section is code)
            check_branches(obj, section, instructions, args.shared_return)
            check_block_reads(obj, section, instructions)
            if args.entry_frame and section is code:
                check_entry_frame(instructions)

    cies = obj.cies()
    if not cies:
        fail(CIE_FIELDS, "no call-frame records (CIE) found")
    for cie in cies:
        for field, want in CIE_VALUES.items():
            if cie[field] != want:
                fail(CIE_FIELDS, f"CIE {field.replace('_', ' ')} is {cie[field]!r}, "
                                 f"expected {want!r}")
    # One FDE for the whole routine: unwinders report its start as where the
    # procedure of any instruction in it begins.
    routine = next((g for g in globals_ if g.name == args.symbol), None)
    if code is not None and routine is not None:
        spans = [(f.start, f.end) for f in obj.frames(code)]
        whole = (routine.value, routine.value + routine.size)
        if spans != [whole]:
            fail(CIE_FIELDS, "the FDEs cover " + (", ".join(f"[{a:#x}, {b:#x})" for a, b in spans)
                             or "nothing") +
                 f": expected one over the whole routine, [{whole[0]:#x}, {whole[1]:#x})")


# The fields of the CIE every unwinder accepts (the i386 psABI's), by pyelftools' names.
CIE_VALUES = {"augmentation": b"zR", "code_alignment_factor": 1, "data_alignment_factor": -4,
              "return_address_register": 8}

# The SIMD operations the routines are made of; any other instruction with
# an SSE register is a departure (a compiler's choice of MOVSD for MOVLPD,
# POR for PMAXUB, a shuffle or a PSADBW trick).
SIMD_OPERATIONS = {"movd", "movq", "movlpd", "punpcklbw", "pshufd", "movdqu", "movdqa",
                   "movaps", "pcmpeqb", "pcmpeqd", "pmovmskb", "pminub", "pmaxub", "psubb",
                   "pxor"}
BIT_SCANS = {"bsf", "bsr", "tzcnt", "lzcnt"}
# The bytes of a block, the width of the reads check_block_reads follows.
BLOCK_SIZE = 16
# The only instructions that may move the stack pointer.
STACK_OPERATIONS = ("push", "pop", "call", "ret")

# The entry frame sets the frame pointer at this offset, and nothing else may.
ENTRY_FRAME_POINTER = 1


def registers(ins):
    """The registers `ins` has as operands, the destination first."""
    return [ins.reg_name(op.reg) for op in ins.operands if op.type == x86.X86_OP_REG]


def check_instructions(code, entry_frame):
    """The register and stack discipline, and the SIMD operations used.

    Callers may keep only 4-byte stack alignment, and the routines keep no
    locals: the stack holds nothing but the return address, the arguments
    and pushed registers.  So no SSE register may meet a stack operand
    (save a 4-byte MOVD load of an argument word), nothing may realign or
    otherwise move the stack pointer but push, pop, call and ret, and no
    frame pointer is set after the entry frame."""
    for ins in code:
        for anchor, fault in faults(ins, entry_frame):
            fail(anchor, f"{fault} at {ins.address:#x}: {att(ins)}")


def faults(ins, entry_frame):
    """(rule, fault) of each rule of check_instructions that `ins` breaks."""
    names = registers(ins)
    sse = any(r.startswith("xmm") for r in names)
    if ins.mnemonic in BIT_SCANS:
        yield NO_BIT_SCAN, "bit-scan instruction"
    if sse and ins.mnemonic not in SIMD_OPERATIONS:
        yield SIMD_SET, "SIMD operation outside the routines' set"
    if ins.mnemonic.startswith("f") or any(r.startswith("st") for r in names):
        yield NO_X87, "x87 instruction"
    stack = [op.mem.base for op in ins.operands if op.type == x86.X86_OP_MEM
             and op.mem.base in (x86.X86_REG_ESP, x86.X86_REG_EBP)]
    # MOVD into the register from an argument word, above %esp.
    argument_load = ins.mnemonic == "movd" and stack == [x86.X86_REG_ESP] and \
        ins.operands[0].type == x86.X86_OP_REG
    if sse and stack and not argument_load:
        yield STACK_DISCIPLINE, "SSE register with a stack operand"
    _, written = ins.regs_access()
    if x86.X86_REG_ESP in written and (not ins.mnemonic.startswith(STACK_OPERATIONS)
                                       or ins.mnemonic == "pop" and names == ["esp"]):
        yield STACK_DISCIPLINE, ("stack realigned" if ins.mnemonic == "and" else
                                 "stack pointer moved other than by push, pop, call and ret")
    if ins.mnemonic == "mov" and names == ["ebp", "esp"] and \
            not (entry_frame and ins.address == ENTRY_FRAME_POINTER):
        yield STACK_DISCIPLINE, "frame pointer set after the entry frame"


# The entry frame, by mnemonic and register operands (destination first),
# and where the body starts: right after the pop.
ENTRY_FRAME_CODE = [("push", ["ebp"]), ("mov", ["ebp", "esp"]), ("call", []), ("pop", ["ebp"])]


def check_entry_frame(code):
    """The profiling prologue, then the body's first instruction: no jump
    and no padding between them, which every call would execute."""
    frame = code[:len(ENTRY_FRAME_CODE)]
    if [(ins.mnemonic, registers(ins)) for ins in frame] != ENTRY_FRAME_CODE:
        fail(ENTRY_FRAME, "the routine does not open with the entry frame: "
                          + "; ".join(att(ins) for ins in frame))
        return
    if len(code) == len(frame):
        fail(ENTRY_FRAME, "no body follows the entry frame")
        return
    body = code[len(frame)]
    if body.mnemonic == "jmp" or is_padding(body):
        fail(ENTRY_FRAME, f"the body does not follow the entry frame at once: "
                          f"{att(body)} at {body.address:#x}")


def check_branches(obj, section, code, shared_return):
    """No conditional branch lands on an unconditional jump: the branch
    would go on to the jump's target with one taken jump more.  No
    unconditional jump lands on a return: the return itself is shorter and
    ends the call one taken jump sooner.  No branch lands on a `ret` that
    the code in front of it runs into: that return is the last instruction
    of another exit."""
    at = {ins.address: ins for ins in code}
    # The instruction in front of each one, padding skipped.
    before, last = {}, None
    for ins in code:
        before[ins.address] = last
        if not is_padding(ins):
            last = ins
    for ins in code:
        if not ins.mnemonic.startswith("j"):
            continue
        target = obj.branch_target(section, ins)
        landed = at.get(target)
        if not landed:
            continue
        if ins.mnemonic != "jmp" and landed.mnemonic == "jmp":
            fail(NO_DETOUR, f"{att(ins)} at {ins.address:#x} lands on {att(landed)} "
                            f"at {target:#x}")
        if ins.mnemonic == "jmp" and landed.mnemonic == "ret":
            fail(NO_JUMP_TO_RETURN, f"{att(ins)} at {ins.address:#x} lands on {att(landed)} "
                                    f"at {target:#x}")
        if landed.mnemonic == "ret" and not shared_return:
            front = before[target]
            if front and front.mnemonic != "ret" and not front.mnemonic.startswith("j"):
                fail(OWN_RETURN, f"{att(ins)} at {ins.address:#x} lands on the return at "
                                 f"{target:#x}, which {att(front)} at {front.address:#x} "
                                 "runs into")


def check_block_reads(obj, section, code):
    """No block is read twice in one straight-line run: a second 16-byte
    read of the same address, with its base and index registers unchanged
    and no store, branch target or branch between, is a read the register
    of the first would have served."""
    targets = {obj.branch_target(section, ins) for ins in code if ins.mnemonic.startswith("j")}
    read = {}
    for ins in code:
        if ins.address in targets:
            read.clear()
        for op in ins.operands:
            if op.type == x86.X86_OP_MEM and op.access & CS_AC_WRITE:
                read.clear()
            if op.type != x86.X86_OP_MEM or op.size != BLOCK_SIZE or not op.access & CS_AC_READ:
                continue
            key = (op.mem.segment, op.mem.base, op.mem.index, op.mem.scale, op.mem.disp)
            if key in read:
                fail(BLOCK_READ_ONCE, f"{att(ins)} at {ins.address:#x} reads again the block "
                                      f"that {att(read[key])} at {read[key].address:#x} read")
            read[key] = ins
        _, written = ins.regs_access()
        for key in [k for k in read if k[1] in written or k[2] in written]:
            del read[key]
        if ins.mnemonic.startswith(("j", "ret", "call")):
            read.clear()


def check_forbidden(args):
    undefined = set().union(*(obj.undefined() for obj in read_objects(args.object)))
    found = undefined & set(args.forbid_undefined.split(","))
    if found:
        failures.append(f"calls {sorted(found)}: plain loops and fallbacks must call no "
                        "library routine")


SIMD_GROUPS = {x86.X86_GRP_MMX, x86.X86_GRP_3DNOW, x86.X86_GRP_SSE1, x86.X86_GRP_SSE2,
               x86.X86_GRP_SSE3, x86.X86_GRP_SSSE3, x86.X86_GRP_SSE41, x86.X86_GRP_SSE42,
               x86.X86_GRP_SSE4A, x86.X86_GRP_AVX, x86.X86_GRP_AVX2, x86.X86_GRP_AVX512}
SIMD_REGISTERS = ("mm", "xmm", "ymm", "zmm")


def check_no_simd(args):
    for obj in read_objects(args.object):
        for section in filter(lambda s: s.executable, obj.sections):
            for ins in obj.instructions(section):
                read, written = ins.regs_access()
                registers = {ins.reg_name(r) for r in (*read, *written)}
                if SIMD_GROUPS & set(ins.groups) or any(r.startswith(SIMD_REGISTERS)
                                                        for r in registers):
                    failures.append(f"{att(ins)} at {section.name}+{ins.address:#x}: this "
                                    "code must run on processors without SSE2, so it may use "
                                    "no MMX or SSE instruction")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("object")
    parser.add_argument("--symbol")
    parser.add_argument("--section")
    parser.add_argument("--undefined", action="append", default=[])
    parser.add_argument("--rodata")
    parser.add_argument("--forbid-undefined")
    parser.add_argument("--no-simd", action="store_true",
                        help="the object runs on processors without MMX or SSE")
    parser.add_argument("--max-code", type=int)
    parser.add_argument("--shared-return", action="store_true",
                        help="the routine still branches to the return of another exit")
    parser.add_argument("--entry-frame", action="store_true",
                        help="the routine opens with the profiling entry frame")
    args = parser.parse_args()
    if args.forbid_undefined or args.no_simd:
        if args.forbid_undefined:
            check_forbidden(args)
        if args.no_simd:
            check_no_simd(args)
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
