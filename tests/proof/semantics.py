# SPDX-License-Identifier: MIT
"""What each instruction of the routines does, on values that are Python
ints where they are known and z3 bit-vectors where they depend on the
inputs, so that everything the code computes from addresses stays a number
and only contents, sizes and the character are left to the solver.

`step(machine, ins)` carries out one instruction on `machine` (explore.py's
state, through its registers, flags and memory) and tells the executor
where control goes.  An instruction or operand form not listed here stops
the proof (Unmodelled) with its address and mnemonic.
"""
from dataclasses import dataclass

import z3
from capstone import x86

from decode import Unmodelled

GENERAL = ("eax", "ecx", "edx", "ebx", "esp", "ebp", "esi", "edi")
CALLEE_SAVED = ("ebx", "esi", "edi", "ebp")
# The parts of the general registers that instructions name: (register, low bit, width).
PARTS = {r: (r, 0, 32) for r in GENERAL}
PARTS.update({r[1:]: ("e" + r[1:], 0, 16) for r in GENERAL})
PARTS.update({f"{x}l": (f"e{x}x", 0, 8) for x in "abcd"})
PARTS.update({f"{x}h": (f"e{x}x", 8, 8) for x in "abcd"})
XMM = 8
LANES = 16


# ---- values: int when known, z3 when not ------------------------------------

def known(v):
    return isinstance(v, int)


def mask(width):
    return (1 << width) - 1


def bv(v, width):
    return z3.BitVecVal(v, width) if known(v) else v


def simple(v):
    """A z3 value that turned out constant, as an int."""
    if known(v):
        return v
    v = z3.simplify(v)
    return v.as_long() if z3.is_bv_value(v) else v


def extract(v, low, width):
    if known(v):
        return (v >> low) & mask(width)
    if low == 0 and width == v.size():
        return v
    if v.decl().kind() == z3.Z3_OP_CONCAT or v.decl().kind() == z3.Z3_OP_ZERO_EXT:
        return simple(z3.Extract(low + width - 1, low, v))
    return z3.Extract(low + width - 1, low, v)


def concat(parts):
    """The value whose bytes are `parts`, lowest first (each 8 bits)."""
    if all(map(known, parts)):
        return sum(p << 8 * i for i, p in enumerate(parts))
    if len(parts) == 1:
        return parts[0]
    whole = reassembled(parts)
    if whole is not None:
        return whole
    return z3.Concat(*[bv(p, 8) for p in reversed(parts)])


def reassembled(parts):
    """The value `parts` were extracted from, byte by byte and whole, or
    None: a value moved through memory or a SIMD lane comes back as itself,
    which the solver then compares term by term."""
    first = parts[0]
    if known(first) or not z3.is_app_of(first, z3.Z3_OP_EXTRACT):
        return None
    whole = first.arg(0)
    if whole.size() != 8 * len(parts):
        return None
    for i, p in enumerate(parts):
        if known(p) or not z3.is_app_of(p, z3.Z3_OP_EXTRACT) or not p.arg(0).eq(whole) \
                or p.params() != [8 * i + 7, 8 * i]:
            return None
    return whole


def read_register(regs, name):
    """The value of register `name` (a whole register or a part of one) in `regs`."""
    full, low, width = PARTS[name]
    return extract(regs[full], low, width)


def write_register(regs, name, value):
    """Writes `value` to register `name` in `regs`, keeping the rest of a part's register."""
    full, low, width = PARTS[name]
    if width == 32:
        regs[full] = value
        return
    parts = [extract(regs[full], 8 * i, 8) for i in range(4)]
    for i in range(width // 8):
        parts[low // 8 + i] = extract(value, 8 * i, 8)
    regs[full] = concat(parts)


def binary(op, a, b, width):
    if known(a) and known(b):
        return op(a, b) & mask(width)
    return op(bv(a, width), bv(b, width))


def select(cond, a, b, width):
    """cond ? a : b, cond a bool or a z3 bool."""
    if isinstance(cond, bool):
        return a if cond else b
    if known(a) and known(b) and a == b:
        return a
    return z3.If(cond, bv(a, width), bv(b, width))


def equal(a, b, width):
    if known(a) and known(b):
        return a == b
    return bv(a, width) == bv(b, width)


def unsigned_less(a, b, width):
    if known(a) and known(b):
        return a < b
    return z3.ULT(bv(a, width), bv(b, width))


def negative(v, width):
    if known(v):
        return bool(v >> (width - 1) & 1)
    return z3.Extract(width - 1, width - 1, v) == 1


def bool_not(c):
    return not c if isinstance(c, bool) else z3.Not(c)


def bool_and(*cs):
    if any(c is False for c in cs):
        return False
    rest = [c for c in cs if c is not True]
    return True if not rest else rest[0] if len(rest) == 1 else z3.And(*rest)


def bool_or(*cs):
    if any(c is True for c in cs):
        return True
    rest = [c for c in cs if c is not False]
    return False if not rest else rest[0] if len(rest) == 1 else z3.Or(*rest)


def bool_xor(a, b):
    if isinstance(a, bool) and isinstance(b, bool):
        return a != b
    return z3.Xor(a if not isinstance(a, bool) else z3.BoolVal(a),
                  b if not isinstance(b, bool) else z3.BoolVal(b))


# ---- flags ------------------------------------------------------------------

@dataclass(frozen=True)
class Flags:
    """The status flags of the last instruction that set them, worked out
    only when a branch reads them: `kind` is sub, add, logic or shr."""
    kind: str
    a: object
    b: object
    result: object
    width: int

    def zf(self):
        if self.kind == "sub":
            return equal(self.a, self.b, self.width)
        return equal(self.result, 0, self.width)

    def sf(self):
        return negative(self.result, self.width)

    def cf(self):
        if self.kind == "sub":
            return unsigned_less(self.a, self.b, self.width)
        if self.kind == "add":
            return unsigned_less(self.result, self.a, self.width)
        if self.kind == "shr":  # the last bit shifted out; b is the count, 1 to 31
            return extract(self.a, self.b - 1, 1) == 1 if known(self.a) else \
                z3.Extract(self.b - 1, self.b - 1, self.a) == 1
        return False

    def of(self):
        w = self.width
        if self.kind == "sub":
            return bool_and(bool_xor(negative(self.a, w), negative(self.b, w)),
                            bool_xor(negative(self.a, w), negative(self.result, w)))
        if self.kind == "add":
            return bool_and(bool_not(bool_xor(negative(self.a, w), negative(self.b, w))),
                            bool_xor(negative(self.a, w), negative(self.result, w)))
        if self.kind == "shr":  # defined for a count of 1: the operand's top bit
            return negative(self.a, w) if self.b == 1 else False
        return False


CONDITIONS = {
    "je": lambda f: f.zf(),
    "jne": lambda f: bool_not(f.zf()),
    "ja": lambda f: bool_and(bool_not(f.cf()), bool_not(f.zf())),
    "jae": lambda f: bool_not(f.cf()),
    "jb": lambda f: f.cf(),
    "jbe": lambda f: bool_or(f.cf(), f.zf()),
    "jg": lambda f: bool_and(bool_not(f.zf()), bool_not(bool_xor(f.sf(), f.of()))),
    "jl": lambda f: bool_xor(f.sf(), f.of()),
    "js": lambda f: f.sf(),
    "jns": lambda f: bool_not(f.sf()),
}
SET_CONDITIONS = {"set" + name[1:]: test for name, test in CONDITIONS.items()}


# ---- control: what step() returns -------------------------------------------

@dataclass
class Next:
    """Go on at `address`."""
    address: int


@dataclass
class Branch:
    """Go to `taken` when `condition` holds, else to `fallthrough`; on the
    way to `taken`, `then(m)` where it is given (one round of a repeated
    instruction, which branches to itself)."""
    condition: object
    taken: int
    fallthrough: int
    then: object = None

    def way(self, taken):
        """The address the branch goes to and what it does on the way there,
        taken or not."""
        return (self.taken, self.then) if taken else (self.fallthrough, None)


@dataclass
class Table:
    """Jump to `targets[index]` (an indirect jump through a jump table)."""
    index: object
    targets: list


@dataclass
class Return:
    pass


# ---- operands ---------------------------------------------------------------

def address_of(m, ins, op):
    """The address a memory operand refers to: int, or z3 when it depends on inputs."""
    mem = op.mem
    if mem.segment not in (0, x86.X86_REG_DS, x86.X86_REG_ES):
        raise Unmodelled(ins, "segment override")
    total = mem.disp & mask(32)
    relocated = m.program.relocated_address(ins)
    if relocated is not None:
        total = (total + relocated) & mask(32)
    if mem.base:
        total = binary(lambda a, b: a + b, total, m.reg(ins.reg_name(mem.base)), 32)
    if mem.index and mem.index != x86.X86_REG_EIZ:
        scaled = binary(lambda a, b: a * b, m.reg(ins.reg_name(mem.index)), mem.scale, 32)
        total = binary(lambda a, b: a + b, total, scaled, 32)
    return total


def is_xmm(ins, op):
    return op.type == x86.X86_OP_REG and ins.reg_name(op.reg).startswith("xmm")


def xmm_index(ins, op):
    return int(ins.reg_name(op.reg)[3:])


def read(m, ins, op, width=None):
    """An integer operand's value (width in bits from the operand)."""
    width = width or op.size * 8
    if op.type == x86.X86_OP_IMM:
        return op.imm & mask(width)
    if op.type == x86.X86_OP_REG:
        return m.reg(ins.reg_name(op.reg))
    if op.type == x86.X86_OP_MEM:
        return concat(m.load(ins, address_of(m, ins, op), width // 8))
    raise Unmodelled(ins, "operand type")


def write(m, ins, op, value):
    if op.type == x86.X86_OP_REG:
        return m.set_reg(ins.reg_name(op.reg), value)
    if op.type == x86.X86_OP_MEM:
        size = op.size
        return m.store(ins, address_of(m, ins, op), [extract(value, 8 * i, 8) for i in range(size)])
    raise Unmodelled(ins, "destination")


def read_vector(m, ins, op, size=LANES):
    """The bytes of a SIMD operand, lowest first (`size` of them from memory)."""
    if is_xmm(ins, op):
        return list(m.xmm[xmm_index(ins, op)])
    if op.type == x86.X86_OP_MEM:
        return m.load(ins, address_of(m, ins, op), size)
    if op.type == x86.X86_OP_REG:  # a general register, for MOVD
        v = m.reg(ins.reg_name(op.reg))
        return [extract(v, 8 * i, 8) for i in range(4)]
    raise Unmodelled(ins, "SIMD operand")


def write_vector(m, ins, op, lanes):
    if is_xmm(ins, op):
        m.xmm[xmm_index(ins, op)] = tuple(lanes) + (0,) * (LANES - len(lanes))
    elif op.type == x86.X86_OP_MEM:
        m.store(ins, address_of(m, ins, op), lanes)
    elif op.type == x86.X86_OP_REG:
        m.set_reg(ins.reg_name(op.reg), concat(lanes[:4]))
    else:
        raise Unmodelled(ins, "SIMD destination")


# ---- the instructions -------------------------------------------------------

def sub_like(m, ins, store):
    dst, src = ins.operands
    w = dst.size * 8
    a, b = read(m, ins, dst, w), read(m, ins, src, w)
    result = binary(lambda x, y: x - y, a, b, w)
    m.flags = Flags("sub", a, b, result, w)
    if store:
        write(m, ins, dst, result)


def add(m, ins):
    dst, src = ins.operands
    w = dst.size * 8
    a = read(m, ins, dst, w)
    b = src.imm & mask(w) if src.type == x86.X86_OP_IMM else read(m, ins, src, w)
    result = binary(lambda x, y: x + y, a, b, w)
    m.flags = Flags("add", a, b, result, w)
    write(m, ins, dst, result)


def logic(op, store=True):
    def run(m, ins):
        dst, src = ins.operands
        w = dst.size * 8
        a = read(m, ins, dst, w)
        b = src.imm & mask(w) if src.type == x86.X86_OP_IMM else read(m, ins, src, w)
        result = binary(op, a, b, w)
        m.flags = Flags("logic", a, b, result, w)
        if store:
            write(m, ins, dst, result)
    return run


def neg(m, ins):
    (dst,) = ins.operands
    w = dst.size * 8
    a = read(m, ins, dst, w)
    result = binary(lambda x, y: x - y, 0, a, w)
    m.flags = Flags("sub", 0, a, result, w)
    write(m, ins, dst, result)


def shr(m, ins):
    dst, src = ins.operands
    w = dst.size * 8
    count = read(m, ins, src, 8)
    if not known(count):
        raise Unmodelled(ins, "shift by a count that depends on the inputs")
    count &= 31
    if count == 0:
        return  # no flag changes
    a = read(m, ins, dst, w)
    result = a >> count if known(a) else z3.LShR(a, count)
    m.flags = Flags("shr", a, count, result, w)
    write(m, ins, dst, result)


# A byte times this is the byte in each of four: a fill's word.
BYTE_COPIES = 0x01010101


def imul3(m, ins):
    dst, src, imm = ins.operands
    value, factor = read(m, ins, src, 32), imm.imm & mask(32)
    byte = zero_extended_byte(value)
    if factor == BYTE_COPIES and byte is not None:
        # Said as the copies it is, not a product, which the solver would
        # have to multiply out to compare a stored byte with the fill's.
        result = z3.Concat(byte, byte, byte, byte)
    else:
        result = binary(lambda x, y: x * y, value, factor, 32)
    m.flags = None  # CF and OF tell an overflow; no routine reads them
    write(m, ins, dst, result)


def zero_extended_byte(v):
    """The byte v widens with zeros, or None."""
    if known(v) or v.decl().kind() != z3.Z3_OP_ZERO_EXT or v.arg(0).size() != 8:
        return None
    return v.arg(0)


def mov(m, ins):
    dst, src = ins.operands
    write(m, ins, dst, read(m, ins, src, dst.size * 8))


def movzx(m, ins):
    dst, src = ins.operands
    v = read(m, ins, src, src.size * 8)
    write(m, ins, dst, v if known(v) else z3.ZeroExt(32 - src.size * 8, v))


def lea(m, ins):
    dst, src = ins.operands
    write(m, ins, dst, address_of(m, ins, src))


def set_condition(m, ins):
    cond = SET_CONDITIONS[ins.mnemonic](m.flags_for(ins))
    write(m, ins, ins.operands[0], select(cond, 1, 0, 8))


def push(m, ins):
    value = read(m, ins, ins.operands[0], 32)
    m.set_reg("esp", (m.reg("esp") - 4) & mask(32))
    m.store(ins, m.reg("esp"), [extract(value, 8 * i, 8) for i in range(4)])


def pop(m, ins):
    value = concat(m.load(ins, m.reg("esp"), 4))
    m.set_reg("esp", (m.reg("esp") + 4) & mask(32))
    write(m, ins, ins.operands[0], value)


def rep_stosd(m, ins, after):
    """A round at a time, each a branch back to the instruction while the
    count is not zero: a loop of its own, whose count may be any."""
    if m.df:
        raise Unmodelled(ins, "a string store with the direction flag set")
    return Branch(bool_not(equal(m.reg("ecx"), 0, 32)), ins.address, after,
                  then=lambda machine: store_word(machine, ins))


def store_word(m, ins):
    """One round of `rep stosd`: the word stored upward (the direction flag
    is clear), the count one less."""
    m.store(ins, m.reg("edi"), [extract(m.reg("eax"), 8 * i, 8) for i in range(4)])
    m.set_reg("edi", (m.reg("edi") + 4) & mask(32))
    m.set_reg("ecx", (m.reg("ecx") - 1) & mask(32))


# 16-byte moves that fault on an operand not aligned to 16.
ALIGNED_MOVES = ("movdqa", "movaps")


def vector_move(m, ins):
    dst, src = ins.operands
    if ins.mnemonic in ALIGNED_MOVES:
        for op in (dst, src):
            if op.type == x86.X86_OP_MEM:
                m.require_aligned(ins, address_of(m, ins, op), 16)
    write_vector(m, ins, dst, read_vector(m, ins, src))


def lanewise(op):
    def run(m, ins):
        dst, src = ins.operands
        if src.type == x86.X86_OP_MEM:
            m.require_aligned(ins, address_of(m, ins, src), 16)
        a, b = read_vector(m, ins, dst), read_vector(m, ins, src)
        write_vector(m, ins, dst, [op(x, y) for x, y in zip(a, b)])
    return run


def pxor(m, ins):
    dst, src = ins.operands
    if is_xmm(ins, src) and src.reg == dst.reg:
        return write_vector(m, ins, dst, [0] * LANES)
    lanewise(lambda x, y: binary(lambda p, q: p ^ q, x, y, 8))(m, ins)


def pcmpeqd(m, ins):
    dst, src = ins.operands
    if src.type == x86.X86_OP_MEM:
        m.require_aligned(ins, address_of(m, ins, src), 16)
    a, b = read_vector(m, ins, dst), read_vector(m, ins, src)
    out = []
    for lane in range(0, LANES, 4):
        same = equal(concat(a[lane:lane + 4]), concat(b[lane:lane + 4]), 32)
        out += [select(same, 0xFF, 0, 8)] * 4
    write_vector(m, ins, dst, out)


def pmovmskb(m, ins):
    dst, src = ins.operands
    lanes = read_vector(m, ins, src)
    bits = [extract(x, 7, 1) for x in lanes]
    if all(map(known, bits)):
        value = sum(b << i for i, b in enumerate(bits))
    else:
        value = z3.Concat(z3.BitVecVal(0, 16), *[bv(b, 1) for b in reversed(bits)])
    write(m, ins, dst, value)


def pshufd(m, ins):
    dst, src, order = ins.operands
    lanes = read_vector(m, ins, src)
    out = []
    for i in range(4):
        pick = (order.imm >> 2 * i) & 3
        out += lanes[4 * pick:4 * pick + 4]
    write_vector(m, ins, dst, out)


def punpcklbw(m, ins):
    dst, src = ins.operands
    a, b = read_vector(m, ins, dst), read_vector(m, ins, src)
    write_vector(m, ins, dst, [x for i in range(8) for x in (a[i], b[i])])


def movd_or_q(m, ins):
    dst, src = ins.operands
    size = 4 if ins.mnemonic == "movd" else 8
    lanes = read_vector(m, ins, src, size)[:size]
    if is_xmm(ins, dst):
        write_vector(m, ins, dst, list(lanes) + [0] * (LANES - size))
    else:
        write_vector(m, ins, dst, lanes)


def movlpd(m, ins):
    dst, src = ins.operands
    lanes = read_vector(m, ins, src, 8)[:8]
    if is_xmm(ins, dst):
        write_vector(m, ins, dst, list(lanes) + list(m.xmm[xmm_index(ins, dst)][8:]))
    else:
        write_vector(m, ins, dst, lanes)


def unsigned_min(x, y):
    return select(unsigned_less(x, y, 8), x, y, 8)


def unsigned_max(x, y):
    return select(unsigned_less(x, y, 8), y, x, 8)


def byte_equal(x, y):
    return select(equal(x, y, 8), 0xFF, 0, 8)


SIMPLE = {
    "add": add,
    "sub": lambda m, ins: sub_like(m, ins, True),
    "cmp": lambda m, ins: sub_like(m, ins, False),
    "and": logic(lambda a, b: a & b),
    "or": logic(lambda a, b: a | b),
    "xor": logic(lambda a, b: a ^ b),
    "test": logic(lambda a, b: a & b, store=False),
    "neg": neg,
    "shr": shr,
    "imul": imul3,
    "mov": mov,
    "movzx": movzx,
    "lea": lea,
    "push": push,
    "pop": pop,
    "movd": movd_or_q,
    "movq": movd_or_q,
    "movlpd": movlpd,
    "movdqa": vector_move,
    "movdqu": vector_move,
    "movaps": vector_move,
    "movups": vector_move,
    "pxor": pxor,
    "pcmpeqb": lanewise(byte_equal),
    "pcmpeqd": pcmpeqd,
    "pminub": lanewise(unsigned_min),
    "pmaxub": lanewise(unsigned_max),
    "psubb": lanewise(lambda x, y: binary(lambda p, q: p - q, x, y, 8)),
    "por": lanewise(lambda x, y: binary(lambda p, q: p | q, x, y, 8)),
    "pand": lanewise(lambda x, y: binary(lambda p, q: p & q, x, y, 8)),
    "pmovmskb": pmovmskb,
    "pshufd": pshufd,
    "punpcklbw": punpcklbw,
}
SIMPLE.update({name: set_condition for name in SET_CONDITIONS})
# Instructions that repeat themselves, each round a branch back to itself.
REPEATED = {"rep stosd": rep_stosd}
MODELLED = set(SIMPLE) | set(REPEATED) | set(CONDITIONS) | {"jmp", "call", "ret", "nop", "xchg"}


def step(m, ins):
    """Carries out `ins` on `m`; what follows it (Next, Branch, Table, Return)."""
    name = ins.mnemonic
    after = ins.address + ins.size
    if name == "nop" or (name == "xchg" and m.program.padding(ins.address)):
        return Next(after)
    if name in CONDITIONS:
        return Branch(CONDITIONS[name](m.flags_for(ins)), m.program.branch_target(ins), after)
    if name == "jmp":
        op = ins.operands[0]
        if op.type == x86.X86_OP_IMM:
            return Next(m.program.branch_target(ins))
        if op.type == x86.X86_OP_MEM and op.mem.scale == 4 and op.mem.index and not op.mem.base:
            return Table(m.reg(ins.reg_name(op.mem.index)), m.program.table(ins))
        raise Unmodelled(ins, "indirect jump form")
    if name == "call":
        m.call(ins, m.program.called(ins), after)
        return Next(after)
    if name in REPEATED:
        return REPEATED[name](m, ins, after)
    if name == "ret":
        if ins.operands:
            raise Unmodelled(ins, "return that pops arguments")
        return Return()
    run = SIMPLE.get(name)
    if run is None:
        raise Unmodelled(ins)
    run(m, ins)
    return Next(after)
