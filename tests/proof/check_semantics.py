#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Checks the executor's model of each instruction against this processor
(docs/TESTING.md, "Proof"): every form of instruction that occurs in the
objects is run as i386 code, natively or under qemu-user, on random and
edge operands, and its registers, flags and memory afterwards are compared
with the model's, both on numbers and on z3 values evaluated at the same
numbers (the executor works on both).  Each conditional jump is run with
every combination of the flags it reads.

  check_semantics.py --work DIR [--cases N] [--plant FAULT] OBJECT...

The instructions are taken from the objects as they are, bytes and all
(an absolute address a relocation fills in points into a scratch page), up
to three of each form (mnemonic and operand kinds).  --plant puts a wrong
semantics into the model, which the check must then report.
"""
import argparse
import os
import random
import struct
import subprocess
import sys
from collections import defaultdict

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import z3  # noqa: E402
from capstone import x86  # noqa: E402

import semantics  # noqa: E402
from decode import Program  # noqa: E402
from elf_object import R_386_32, att  # noqa: E402
from semantics import (CONDITIONS, GENERAL, LANES, XMM, known, read_register,  # noqa: E402
                       write_register)

HERE = os.path.dirname(os.path.abspath(__file__))
SCRATCH = 0x30000000
SCRATCH_SIZE = 256
# Where memory operands land, and the stack pointer for the stubs.
OPERAND_AREA = SCRATCH + 64
STACK = SCRATCH + 192
STATE = struct.Struct("<9I128s")
FLAG_BITS = {"cf": 0x1, "zf": 0x40, "sf": 0x80, "of": 0x800}
# Bits of EFLAGS a stub may set: CF, PF, AF, ZF, SF, OF (IF and bit 1 always).
SETTABLE = (0x1, 0x4, 0x10, 0x40, 0x80, 0x800)
EFLAGS_BASE = 0x202
FLAG_SETTERS = {"add", "sub", "cmp", "and", "or", "xor", "test", "neg", "shr"}
EDGES = (0, 1, 2, 0x7F, 0x80, 0xFF, 0x100, 0x7FFF, 0x8000, 0xFFFF, 0x7FFFFFFF, 0x80000000,
         0xFFFFFFFF, 0xFFFFFFFE, 0x01010101, 0x80808080)
BYTE_EDGES = (0, 1, 0x7F, 0x80, 0x81, 0xFE, 0xFF)
PER_FORM = 3

# Wrong semantics the check must catch (--plant).
PLANTS = {
    "pminub-signed": ("pminub", semantics.lanewise(
        lambda x, y: semantics.select(signed_less(x, y), x, y, 8))),
    "pcmpeqb-low-bits": ("pcmpeqb", semantics.lanewise(
        lambda x, y: semantics.byte_equal(semantics.extract(x, 0, 7), semantics.extract(y, 0, 7)))),
}


def signed_less(x, y):
    if known(x) and known(y):
        return (x ^ 0x80) < (y ^ 0x80)
    return semantics.bv(x, 8) < semantics.bv(y, 8)


class FixedFlags:
    """Flags given as bits of EFLAGS (for the instructions that read them)."""

    def __init__(self, eflags):
        self.bits = eflags

    def zf(self):
        return bool(self.bits & FLAG_BITS["zf"])

    def cf(self):
        return bool(self.bits & FLAG_BITS["cf"])

    def sf(self):
        return bool(self.bits & FLAG_BITS["sf"])

    def of(self):
        return bool(self.bits & FLAG_BITS["of"])


class CheckProgram:
    """What the model asks of the program, for one instruction."""

    def __init__(self, relocated):
        self.relocated = relocated

    def relocated_address(self, ins):
        return self.relocated

    def padding(self, address):
        return False


class Model:
    """The machine the model runs one instruction on."""

    def __init__(self, regs, xmm, memory, eflags, relocated):
        self.regs, self.xmm, self.memory = dict(regs), list(xmm), dict(memory)
        self.flags = FixedFlags(eflags)
        self.df = 0
        self.program = CheckProgram(relocated)

    def reg(self, name):
        return read_register(self.regs, name)

    def set_reg(self, name, value):
        write_register(self.regs, name, value)

    def flags_for(self, ins):
        return self.flags

    def concrete(self, ins, value, what):
        if not known(value):
            raise ValueError(f"{what} is not a number")
        return value

    def address(self, address, size):
        if not known(address) or not SCRATCH <= address <= SCRATCH + SCRATCH_SIZE - size:
            raise ValueError(f"address {address} outside the scratch page")
        return address

    def load(self, ins, address, size):
        a = self.address(address, size)
        return [self.memory[x] for x in range(a, a + size)]

    def store(self, ins, address, values):
        a = self.address(address, len(values))
        for i, v in enumerate(values):
            self.memory[a + i] = v

    def require_aligned(self, ins, address, size):
        if address % size:
            raise ValueError("unaligned operand")


# ---- the instructions to check ------------------------------------------------

def form(ins):
    kinds = tuple((op.type, op.size) for op in ins.operands)
    return ins.mnemonic, kinds


def collect(paths):
    """Up to PER_FORM instructions of each form, with their programs."""
    chosen = defaultdict(dict)
    for path in paths:
        program = Program(path)
        for address in sorted(program.reachable):
            ins = program.at(address)
            groups = set(ins.groups)
            if groups & {x86.X86_GRP_JUMP, x86.X86_GRP_CALL, x86.X86_GRP_RET} or \
                    program.padding(address) or ins.mnemonic == "nop":
                continue
            if ins.mnemonic not in semantics.SIMPLE and ins.mnemonic not in semantics.REPEATED:
                raise SystemExit(f"{path}: {address:#x} `{att(ins)}`: not modelled")
            same = chosen[form(ins)]
            if len(same) < PER_FORM and bytes(ins.bytes) not in same:
                same[bytes(ins.bytes)] = (program, ins)
    return [entry for forms in chosen.values() for entry in forms.values()]


def machine_code(program, ins):
    """The instruction's bytes, an absolute address relocated into the
    operand area; and the address the relocation stands for."""
    code = bytearray(ins.bytes)
    found = program.obj.relocation_in(program.section, ins)
    if found is None:
        return bytes(code), None
    at, reloc = found
    if reloc.type != R_386_32:
        raise SystemExit(f"{ins.address:#x} `{att(ins)}`: relocation of type {reloc.type}")
    offset = at - ins.address
    code[offset:offset + 4] = struct.pack("<I", OPERAND_AREA)
    addend = struct.unpack("<i", bytes(ins.bytes[offset:offset + 4]))[0]
    return bytes(code), (OPERAND_AREA - addend) & 0xFFFFFFFF


STUB_ENTRY = """\
\t.globl stub_{n}
stub_{n}:
\tpushl %ebp
\tpushl %ebx
\tpushl %esi
\tpushl %edi
\tmovl %esp, stub_saved_esp
\tpushl stub_state+32
\tpopfl
""" + "".join(f"\tmovdqu stub_state+{36 + 16 * i}, %xmm{i}\n" for i in range(XMM)) + \
    "".join(f"\tmovl stub_state+{4 * i}, %{r}\n" for i, r in enumerate(GENERAL) if r != "esp") + \
    "\tmovl stub_state+16, %esp\n"
STUB_EXIT = "".join(f"\tmovl %{r}, stub_state+{4 * i}\n" for i, r in enumerate(GENERAL)) + \
    "\tmovl stub_saved_esp, %esp\n\tpushfl\n\tpopl stub_state+32\n" + \
    "".join(f"\tmovdqu %xmm{i}, stub_state+{36 + 16 * i}\n" for i in range(XMM)) + \
    "\tpopl %edi\n\tpopl %esi\n\tpopl %ebx\n\tpopl %ebp\n\tret\n"


def jump_body(name):
    """Sets %eax to 1 when the conditional jump `name` is taken, else 0."""
    return f"\t{name} 1f\n\tmovl $0, %eax\n\tjmp 2f\n1:\tmovl $1, %eax\n2:\n"


def assembly(bodies):
    out = ["# SPDX-License-Identifier: MIT", "# Made by check_semantics.py.", "\t.text"]
    for n, body in enumerate(bodies):
        out.append(STUB_ENTRY.format(n=n) + body + STUB_EXIT)
    out.append("\t.section .rodata\n\t.globl stubs\n\t.p2align 2\nstubs:")
    out += [f"\t.long stub_{n}" for n in range(len(bodies))]
    out.append(f"\t.globl stub_count\nstub_count:\n\t.long {len(bodies)}")
    out.append('\t.section .note.GNU-stack,"",@progbits')
    return "\n".join(out) + "\n"


# ---- operands -------------------------------------------------------------------

def word(rng):
    return rng.choice(EDGES) if rng.random() < 0.3 else rng.getrandbits(32)


def byte_vector(rng, pattern):
    """16 bytes, each the pattern's byte or else an edge or random byte."""
    out = []
    for p in pattern:
        r = rng.random()
        out.append(p if r < 0.5 else rng.choice(BYTE_EDGES) if r < 0.7 else rng.getrandbits(8))
    return out


def memory_operand(ins):
    return next((op for op in ins.operands if op.type == x86.X86_OP_MEM), None)


def case(rng, ins, relocated):
    """Registers, SIMD registers, scratch bytes and EFLAGS for one run, and
    the general registers that must stay numbers (addresses, counts)."""
    regs = {r: word(rng) for r in GENERAL}
    regs["esp"] = STACK
    fixed = {"esp"}
    pattern = [rng.getrandbits(8) for _ in range(LANES)]
    xmm = [tuple(byte_vector(rng, pattern)) for _ in range(XMM)]
    scratch = [b for _ in range(SCRATCH_SIZE // LANES) for b in byte_vector(rng, pattern)]
    op = memory_operand(ins)
    if op is not None:
        mem = op.mem
        aligned = ins.mnemonic not in ("movdqu", "movups", "mov", "movzx", "cmp", "movd",
                                        "movq", "movlpd", "lea")
        target = OPERAND_AREA + (rng.randrange(3) * 16 if aligned else rng.randrange(48))
        total = mem.disp + (relocated or 0)
        if mem.index and mem.index != x86.X86_REG_EIZ:
            index = ins.reg_name(mem.index)
            regs[index] = rng.randrange(4)
            fixed.add(index)
            total += regs[index] * mem.scale
        if mem.base:
            base = ins.reg_name(mem.base)
            regs[base] = (target - total) & 0xFFFFFFFF
            fixed.add(base)
    if ins.mnemonic == "rep stosd":
        regs["edi"], regs["ecx"] = SCRATCH + 16 * rng.randrange(5), rng.randrange(9)
        fixed |= {"edi", "ecx"}
    if ins.mnemonic == "shr":
        fixed.add("ecx")
    eflags = EFLAGS_BASE | sum(b for b in SETTABLE if rng.random() < 0.5)
    return regs, xmm, scratch, eflags, fixed


def record(index, regs, xmm, scratch, eflags):
    return struct.pack("<I", index) + STATE.pack(*[regs[r] for r in GENERAL], eflags,
                                                 b"".join(bytes(x) for x in xmm)) + bytes(scratch)


def parse(data):
    out = []
    size = STATE.size + SCRATCH_SIZE
    for i in range(0, len(data), size):
        values = STATE.unpack(data[i:i + STATE.size])
        regs = dict(zip(GENERAL, values[:8]))
        vectors = values[9]
        xmm = [tuple(vectors[16 * j:16 * j + 16]) for j in range(XMM)]
        out.append((regs, values[8], xmm, list(data[i + STATE.size:i + size])))
    return out


# ---- the model on the same operands ------------------------------------------

def run_model(ins, relocated, regs, xmm, scratch, eflags, fixed, symbolic):
    """The model's registers, SIMD registers, scratch bytes and flags after
    `ins`: with `symbolic`, computed on z3 variables and then evaluated."""
    values = {}

    def var(name, width, value):
        if not symbolic:
            return value
        v = z3.BitVec(name, width)
        values[name] = (v, value)
        return v
    r = {g: regs[g] if g in fixed else var(g, 32, regs[g]) for g in GENERAL}
    x = [tuple(var(f"xmm{i}.{j}", 8, b) for j, b in enumerate(v)) for i, v in enumerate(xmm)]
    mem = {SCRATCH + i: var(f"m{i}", 8, b) for i, b in enumerate(scratch)}
    m = Model(r, x, mem, eflags, relocated)
    outcome = semantics.step(m, ins)
    # A repeated instruction, its count fixed, round by round to its end.
    while isinstance(outcome, semantics.Branch) and outcome.then and outcome.condition is True:
        outcome.then(m)
        outcome = semantics.step(m, ins)
    pairs = [(v, z3.BitVecVal(n, v.size())) for v, n in values.values()]
    inputs = {v.get_id(): n for v, n in values.values()}

    flags = {}
    if ins.mnemonic in FLAG_SETTERS and isinstance(m.flags, semantics.Flags):
        f = m.flags
        count_one = f.kind != "shr" or f.b == 1
        flags = {name: getattr(f, name)() for name in FLAG_BITS if name != "of" or count_one}
    outputs = list(m.regs.values()) + [b for v in m.xmm for b in v] + \
        [m.memory[SCRATCH + i] for i in range(SCRATCH_SIZE)] + list(flags.values())
    # Every output that is still a z3 term, evaluated in one substitution.
    pending = [i for i, v in enumerate(outputs) if not isinstance(v, (bool, int))
               and v.get_id() not in inputs]
    for i, v in enumerate(outputs):
        if not isinstance(v, (bool, int)) and v.get_id() in inputs:
            outputs[i] = inputs[v.get_id()]
    if pending:
        terms = [z3.If(outputs[i], z3.BitVecVal(1, 1), z3.BitVecVal(0, 1))
                 if z3.is_bool(outputs[i]) else outputs[i] for i in pending]
        whole = z3.simplify(z3.substitute(z3.Concat(*terms) if len(terms) > 1 else terms[0],
                                          *pairs)).as_long()
        for i, t in zip(reversed(pending), reversed(terms)):
            outputs[i], whole = whole & ((1 << t.size()) - 1), whole >> t.size()
    regs = dict(zip(m.regs, outputs))
    xmm = [tuple(outputs[8 + LANES * j:8 + LANES * (j + 1)]) for j in range(XMM)]
    memory = outputs[8 + LANES * XMM:8 + LANES * XMM + SCRATCH_SIZE]
    flags = dict(zip(flags, outputs[8 + LANES * XMM + SCRATCH_SIZE:]))
    return regs, xmm, memory, flags


def differences(model, cpu):
    regs, xmm, scratch, flags = model
    cpu_regs, cpu_eflags, cpu_xmm, cpu_scratch = cpu
    out = [f"%{g} {regs[g]:#x}, processor {cpu_regs[g]:#x}" for g in GENERAL
           if regs[g] != cpu_regs[g]]
    out += [f"%xmm{i} {bytes(xmm[i]).hex()}, processor {bytes(cpu_xmm[i]).hex()}"
            for i in range(XMM) if tuple(xmm[i]) != tuple(cpu_xmm[i])]
    wrong = [i for i in range(SCRATCH_SIZE) if scratch[i] != cpu_scratch[i]]
    if wrong:
        out.append(f"memory at +{wrong[0]} {scratch[wrong[0]]:#x}, processor "
                   f"{cpu_scratch[wrong[0]]:#x}")
    for name, bit in FLAG_BITS.items():
        if flags and name in flags and bool(flags[name]) != bool(cpu_eflags & bit):
            out.append(f"{name.upper()} {int(bool(flags[name]))}, processor "
                       f"{int(bool(cpu_eflags & bit))}")
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("objects", nargs="+")
    parser.add_argument("--work", required=True)
    parser.add_argument("--cc", default="gcc")
    parser.add_argument("--cases", type=int, default=24)
    parser.add_argument("--seed", type=int, default=30)
    parser.add_argument("--plant", choices=sorted(PLANTS))
    args = parser.parse_args()
    if args.plant:
        mnemonic, wrong = PLANTS[args.plant]
        semantics.SIMPLE[mnemonic] = wrong

    chosen = collect(args.objects)
    jumps = sorted(CONDITIONS)
    bodies = [".byte " + ", ".join(str(b) for b in machine_code(p, ins)[0]) + "\n"
              for p, ins in chosen] + [jump_body(name) for name in jumps]
    os.makedirs(args.work, exist_ok=True)
    source = os.path.join(args.work, "stubs.S")
    driver = os.path.join(args.work, "semantics_driver")
    with open(source, "w") as out:
        out.write(assembly(bodies))
    subprocess.run([args.cc, "-m32", "-msse2", "-O1", "-no-pie", "-o", driver,
                    os.path.join(HERE, "semantics_driver.c"), source], check=True)

    rng = random.Random(args.seed)
    records, expected = [], []
    for n, (program, ins) in enumerate(chosen):
        _, relocated = machine_code(program, ins)
        for i in range(args.cases):
            regs, xmm, scratch, eflags, fixed = case(rng, ins, relocated)
            records.append(record(n, regs, xmm, scratch, eflags))
            expected.append((ins, relocated, regs, xmm, scratch, eflags, fixed, i % 2 == 1))
    for k, name in enumerate(jumps):
        for bits in range(1 << len(FLAG_BITS)):
            eflags = EFLAGS_BASE | sum(b for i, b in enumerate(FLAG_BITS.values()) if bits >> i & 1)
            regs = {r: 0 for r in GENERAL}
            regs["esp"] = STACK
            records.append(record(len(chosen) + k, regs, [(0,) * LANES] * XMM,
                                  [0] * SCRATCH_SIZE, eflags))
            expected.append((name, eflags))
    result = subprocess.run([driver], input=b"".join(records), capture_output=True)
    if result.returncode:
        raise SystemExit(f"semantics driver failed: {result.stderr.decode()}")
    outputs = parse(result.stdout)

    faults = []
    for e, cpu in zip(expected, outputs):
        if isinstance(e[0], str):
            name, eflags = e
            model = bool(z3.is_true(z3.simplify(z3.BoolVal(CONDITIONS[name](FixedFlags(eflags))))))
            if model != bool(cpu[0]["eax"]):
                faults.append(f"{name} with EFLAGS {eflags:#x}: model "
                              f"{'taken' if model else 'not taken'}, processor the opposite")
            continue
        ins, relocated, regs, xmm, scratch, eflags, fixed, symbolic = e
        try:
            model = run_model(ins, relocated, regs, xmm, scratch, eflags, fixed, symbolic)
        except Exception as error:  # the model failed where the processor ran
            faults.append(f"`{att(ins)}`: the model fails: {error}")
            continue
        wrong = differences(model, cpu)
        if wrong:
            inputs = ", ".join(f"%{g}={regs[g]:#x}" for g in GENERAL if g != "esp")
            faults.append(f"`{att(ins)}` ({'z3' if symbolic else 'numbers'}; {inputs}; "
                          f"xmm0 {bytes(xmm[0]).hex()} xmm1 {bytes(xmm[1]).hex()}): "
                          + "; ".join(wrong))
    forms = len({form(ins) for _, ins in chosen})
    print(f"semantics: {len(chosen)} instructions of {forms} forms and {len(jumps)} conditional "
          f"jumps, {len(outputs)} operand cases run on the processor")
    if faults:
        print(f"{len(faults)} cases where the model and the processor differ:")
        for f in faults[:20]:
            print("  " + f)
        return 1
    print("the model agrees with the processor on every case")
    return 0


if __name__ == "__main__":
    sys.exit(main())
