# SPDX-License-Identifier: MIT
"""The complete proof: every input of every size, each loop by induction
(docs/TESTING.md, "Proof for every size").

The loop heads are cuts (as few as break every cycle).  Paths run from the
entry with the size or bound any 32-bit value and stop at the first head
they reach; paths run from a loop head, in any state its invariant allows,
and stop at the next head they reach.  Every path that returns meets the obligations of
obligations.py; every path that reaches a head establishes that head's
invariant there.  So the invariant holds at every arrival, by induction
over the arrivals, and every return meets the obligations.

The invariant of a head has a part stated for the routine (its Invariant
in INVARIANTS below: what the bytes passed hold) and a part read from the
first arrival from the entry, which the proof then checks at every other
arrival: where each buffer's scan pointer is (a register), which offsets
in its line it may have (the classes), the least count left, and what
every other register, SIMD lane and stack word of the frame holds:
  a pointer a fixed way from the scan pointer or the buffer's start;
  the count left, or the count, plus a fixed number;
  a value fixed through the routine (the entry's registers, the character,
    the return address, a constant);
  or anything (a value the loop recomputes before it uses it).

At a head the scan pointer is symbolic: its offset in its line (one class
at a time) plus any multiple of a line, with any number of bytes of the
buffer in front of it, and the count left any 32-bit value.  The models
see a window of bytes from the scan pointer; the answer past the window is
a value no path can produce without reading on (obligations.past_window).
"""
import os
import sys
import time
from collections import Counter
from dataclasses import dataclass, field

import z3

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from explore import Disproved, Machine, NeedNumber, Proof  # noqa: E402
from memory import BUFFER_REACH, LINE, STACK_TOP, Memory, place  # noqa: E402
from models import CHAR  # noqa: E402
from obligations import CHARACTER, ROUTINES, Run, byte_of, word  # noqa: E402
from semantics import GENERAL, LANES, XMM, concat, extract, known, mask, simple  # noqa: E402

WORD = 32
# The bytes in front of the scan pointer whose content the invariant states
# (the step reads none further back).
FRONT = 2 * LINE
# Names the proof gives the unknowns of a head's state.
DISTANCE, LEFT = "distance", "left"


@dataclass(frozen=True)
class Frame:
    """A buffer as a step sees it: its anchor (the concrete place of the
    scan pointer, whose offset in its line is the class) moved by `shift`,
    a multiple of a line, with `distance` bytes of the buffer in front."""
    shift: object
    distance: object


@dataclass(frozen=True)
class Invariant:
    """What a routine's loops keep, stated once for all its heads.

    `passed(run, j)` is what byte j of the buffers (an index from the scan
    pointer, in front of it) holds once the loop has passed it: no match,
    no terminator, the same in both strings.  `counted` says the routine
    has a size or bound, whose part left from the scan pointer is the
    count left."""
    passed: object
    counted: bool
    window: int        # the models' bound from the scan pointer (characters for wcscmp)
    # The routine keeps the last match it has passed as a block's address
    # and mask in two SIMD lanes (see SavedMatch below).
    saved: bool = False
    # A pass's queries go to a fresh solver each (explore.BLASTING): the
    # claims of a saved match are disjunctions the incremental solver
    # splits on anew at every query.
    blasting: bool = False
    # The size of the routine's characters: the scan pointers lie a whole
    # number of them from the starts.
    character: int = 1
    # What a pass may know of bytes ahead of the scan pointer that it has
    # not passed yet, each (what, tested(run, j)): a block tested for the
    # terminator in one string, or found equal in both.  How many bytes
    # each holds for is read from the arrivals, as the bytes passed are.
    tested: tuple = ()


def byte(run, name, j):
    return run.buffer(name).variable(j)


def not_terminator(name):
    """Byte j of string `name` ends a character that is not the terminator
    (said of a character's last byte; its others say nothing)."""
    def claim(run, j):
        if j % CHAR != CHAR - 1:
            return z3.BoolVal(True)
        return z3.Or([byte(run, name, j - i) != 0 for i in range(CHAR)])
    return claim


def same_bytes(run, j):
    return byte(run, "s1", j) == byte(run, "s2", j)


def same_characters(run, j):
    """Byte j of the two strings once passed: the same, and the character
    it ends not the terminator."""
    return z3.And(same_bytes(run, j), not_terminator("s1")(run, j))


INVARIANTS = {
    "memchr": Invariant(lambda run, j: byte(run, "s", j) != byte_of(z3.BitVec(CHARACTER, 32)),
                        counted=True, window=384),
    "strnlen": Invariant(lambda run, j: byte(run, "s", j) != 0, counted=True, window=384),
    "strrchr": Invariant(lambda run, j: byte(run, "s", j) != 0, counted=False, window=128,
                         saved=True, blasting=True),
    # The copy's destination moves with its source: what it holds is the
    # head's `written` bytes, checked apart.
    "stpcpy": Invariant(lambda run, j: byte(run, "src", j) != 0, counted=False, window=256),
    # A fill reads nothing: what it keeps is the bytes stored, checked apart.
    "memset": Invariant(None, counted=True, window=512),
    "bzero": Invariant(None, counted=True, window=512),
    "wcscmp": Invariant(same_characters, counted=False, window=48, character=CHAR,
                        tested=(("equal in both", same_bytes), ("no end of s1", not_terminator("s1")),
                                ("no end of s2", not_terminator("s2")))),
}


# ---- the parts of a head's state --------------------------------------------

def slots(m):
    """The frame's slots and their values at an arrival: the general
    registers, the SIMD registers by 32-bit lane, and the stack's words
    from the stack pointer up to the arguments."""
    out = {("reg", r): m.regs[r] for r in GENERAL}
    for i in range(XMM):
        for k in range(LANES // 4):
            out[("xmm", i, k)] = concat(list(m.xmm[i][4 * k:4 * k + 4]))
    esp = m.regs["esp"]
    if known(esp):
        for a in range(esp, STACK_TOP + 4 * 4, 4):
            out[("stack", a)] = concat(m.mem.load(a, 4))
    return out


def put(m, slot, value):
    if slot[0] == "reg":
        m.regs[slot[1]] = value
    elif slot[0] == "xmm":
        _, i, k = slot
        lanes = list(m.xmm[i])
        lanes[4 * k:4 * k + 4] = [extract(value, 8 * j, 8) for j in range(4)]
        m.xmm[i] = tuple(lanes)
    else:
        m.mem.store(slot[1], [extract(value, 8 * j, 8) for j in range(4)])


def difference(a, b):
    """a - b as a number where it is one, else None."""
    d = simple(a - b) if not (known(a) and known(b)) else a - b
    return d & mask(WORD) if known(d) else None


def free_of_inputs(v):
    """True where v depends on nothing but the entry's registers, the
    character and constants: no content, size or place."""
    if known(v):
        return True
    seen, pending = set(), [v]
    while pending:
        e = pending.pop()
        if e.get_id() in seen:
            continue
        seen.add(e.get_id())
        if z3.is_const(e) and e.decl().kind() == z3.Z3_OP_UNINTERPRETED:
            name = e.decl().name()
            if not (name.startswith("entry.") or name == CHARACTER):
                return False
        pending.extend(e.children())
    return True


@dataclass
class Arrival:
    """Where the scan pointers are at an arrival: per buffer the key the
    memory model places it at and its value; their distance from the
    start; the count left."""
    pointers: dict
    distance: object
    left: object
    run: object = None

    def byte(self, name, offset):
        """The buffer's byte `offset` from its scan pointer, as it was on entry."""
        b = self.run.buffer(name)
        return b.variable(self.pointers[name][0] - b.start + offset)


def runs(indices):
    """Indices as runs of consecutive ones, each [first, last]."""
    out = []
    for i in sorted(indices):
        if out and out[-1][1] == i - 1:
            out[-1][1] = i
        else:
            out.append([i, i])
    return out


def spans(indices):
    """Indices as runs: "0-15 17-31"."""
    return " ".join(f"{a}-{b}" for a, b in runs(indices))


def leaves(value):
    """The parts of a nest of concatenations, highest first."""
    if z3.is_app(value) and value.decl().kind() == z3.Z3_OP_CONCAT:
        return [leaf for child in value.children() for leaf in leaves(child)]
    return [value]


def contents(value, at, names):
    """(buffer, offset from its scan pointer) where `value` is the buffer's
    four bytes from there, as the routine loaded them; else None."""
    if known(value) or value.decl().kind() != z3.Z3_OP_CONCAT:
        return None
    parts = list(reversed(leaves(value)))
    if len(parts) != 4 or not all(z3.is_const(p) for p in parts):
        return None
    for name in names:
        b = at.run.buffer(name)
        first = parts[0].decl().name()
        if not first.startswith(name + "["):
            continue
        index = int(first[len(name) + 1:-1])
        if all(p.eq(b.variable(index + i)) for i, p in enumerate(parts)):
            return name, index - (at.pointers[name][0] - b.start)
    return None


# ---- the saved match -------------------------------------------------------

MASK_BITS = 16     # a block's mask: a bit for each of its bytes


def highest_bit(mask):
    """The index of the highest bit set among a block mask's."""
    out = z3.BitVecVal(0, WORD)
    for k in range(MASK_BITS):
        out = z3.If(z3.Extract(k, k, mask) == 1, z3.BitVecVal(k, WORD), out)
    return out


@dataclass(frozen=True)
class SavedMatch:
    """The two SIMD lanes that hold the last match the loop has passed: the
    address bit 0 of the mask stands for, and a block's mask of matches (0
    for none), whose highest bit is that match.

    What the pair stands for is its match's index from the scan pointer.  A
    pass that keeps the pair moves the index back by the bytes it passed; a
    pass that saves a block names it by the block's place and mask.  So the
    index is read from the form of the lanes, never solved for: from a head
    it is a variable, and the claims compare it with numbers only."""
    base: tuple
    mask: tuple

    @staticmethod
    def index(proof, m, base, mask, at, name):
        """The match's index from the scan pointer of `name` at arrival
        `at`, or None where the lanes hold neither the pair a pass began
        with nor a block's address and mask."""
        kept = getattr(proof.run, "kept", None)
        if kept is not None and proof.holds(z3.And(word(base) == kept.base,
                                                   word(mask) == kept.mask)):
            return kept.index - (at.pointers[name][0] - proof.run.buffer(name).start)
        offset = proof.fixed_difference(m, base, at.pointers[name][1])
        return None if offset is None else z3.BitVecVal(offset, WORD) + highest_bit(word(mask))

    @staticmethod
    def kept(index, mask, at, name):
        """That a pair whose match lies at `index` (mask `mask`) holds the
        last match from the start up to the scan pointer: the match, and no
        other after it, where the bytes in front of the pointer are seen
        (FRONT of them); a match in the block ahead of the pointer (a first
        block overlapping it) lies before the terminator."""
        c = byte_of(z3.BitVec(CHARACTER, 32))
        mask, distance = word(mask), word(at.distance)
        # The match lies behind the pointer, inside the string, or in the
        # block ahead of it: two ranges of indices that cannot meet, as no
        # string reaches the top of the address space.
        back = -index
        behind = z3.And(z3.ULE(1, back), z3.ULE(back, distance))
        ahead = z3.ULT(index, MASK_BITS)

        def inside(j):
            return z3.BoolVal(True) if j >= 0 else z3.ULE(-j, distance)
        none = [z3.Implies(inside(j), at.byte(name, j) != c) for j in range(-FRONT, 0)]
        claims = [z3.Extract(WORD - 1, MASK_BITS, mask) == 0, z3.Or(behind, ahead)]
        for j in range(-FRONT, 0):
            byte = at.byte(name, j)
            claims.append(z3.Implies(index == j, byte == c))
            # After the match: -j < -index where the match lies behind.
            claims.append(z3.Implies(z3.And(inside(j), behind, z3.ULT(-j, back)), byte != c))
        for j in range(MASK_BITS):
            byte = at.byte(name, j)
            claims.append(z3.Implies(index == j, byte == c))
            claims.append(z3.Implies(z3.And(ahead, z3.UGE(index, j)), byte != 0))
        return z3.If(mask == 0, z3.And(none), z3.And(claims))


@dataclass(frozen=True)
class Kept:
    """The saved pair a pass begins with: its lanes' values and the index
    of its match."""
    base: object
    mask: object
    index: object


def describe_classes(classes):
    """The classes as offsets in line, each with the counts of bytes stored
    past the pointer that occur with it, runs of them as ranges."""
    stored = {}
    for c in classes:
        stored.setdefault(c[:-1], []).append(c[-1])
    parts = []
    for offsets, counts in sorted(stored.items()):
        text = "/".join(map(str, offsets))
        if counts != [0]:
            stored_runs = ", ".join(f"{a}" if a == b else f"{a}-{b}" for a, b in runs(counts))
            text += f" ({stored_runs} stored past it)"
        parts.append(text)
    return ", ".join(parts)


@dataclass
class Head:
    """A loop head's invariant as read at its first arrival and checked at
    every other: the scan registers, the kinds of the other slots, the
    classes (the scan pointers' offsets in their lines and the bytes stored
    past them), the least count left."""
    address: int
    registers: dict                      # buffer -> register of its scan pointer
    kinds: dict                          # slot -> (kind, datum)
    candidates: dict = field(default_factory=dict)  # slot -> the kinds the entry still allows
    classes: set = field(default_factory=set)
    least_left: int = None
    ahead: int = None                    # bytes from the scan pointer on already passed
    tested: dict = field(default_factory=dict)  # per Invariant.tested, the bytes it holds for
    witness: str = ""                    # an input whose path establishes it
    saved: object = None                 # the SavedMatch, or its candidates until chosen
    weakened: list = field(default_factory=list)   # slots a step found otherwise
    arrivals: int = 0                    # from the entry
    steps: int = 0
    step_stats: Counter = field(default_factory=Counter)

    def describe(self):
        """The invariant and its proof, in a line of the report."""
        scans = ", ".join(f"{name} in %{r}" if r else f"{name} moving with it"
                          for name, r in self.registers.items())
        kinds = Counter(kind for kind, _ in self.kinds.values())
        frame = ", ".join(f"{n} {k}" for k, n in sorted(kinds.items()))
        classes = describe_classes(self.classes)
        left = f", at least {self.least_left} bytes left" if self.least_left is not None else ""
        tested = "".join(f", {n} bytes ahead tested {what}" for what, n in self.tested.items() if n)
        weakened = f" ({len(self.weakened)} weakened by a step)" if self.weakened else ""
        exits = self.step_stats["paths"] - self.step_stats["arrivals"]
        return (f"loop {self.address:#x}: first reached on {self.witness}\n    "
                f"scan pointer {scans}, offsets in line {classes}, "
                f"{self.ahead or 0} bytes ahead passed{tested}{left}; slots: {frame}{weakened}.  "
                f"Established at {self.arrivals} arrivals from the entry; "
                f"{self.steps} steps (one per class) kept it at "
                f"{self.step_stats['arrivals']} arrivals and left the loop on {exits} "
                f"paths that returned ({self.step_stats['queries']} queries)")

    def expected(self, slot, at, kind=None):
        """What the slot must hold at an arrival `at` (as the head's kind
        of it, or `kind`, has it), or None for anything."""
        kind, datum = kind or self.kinds[slot]
        if kind == "pointer":
            name, offset = datum
            return at.pointers[name][1] + offset
        if kind == "start":
            name, offset = datum
            return at.pointers[name][1] - at.distance + offset
        if kind == "left":
            return at.left + datum
        if kind == "words":
            return z3.LShR(word(at.left), REPEATED_SHIFT)
        if kind == "residue":
            return z3.Concat(z3.BitVec(f"head.{'.'.join(map(str, slot))}", WORD - REPEATED_SHIFT),
                             residue(at.left + datum))
        if kind == "count":
            return at.distance + at.left + datum
        if kind == "difference":
            name, other = datum
            return at.pointers[name][1] - at.pointers[other][1]
        if kind == "content":
            name, offset = datum
            return concat([at.byte(name, offset + i) for i in range(4)])
        if kind == "fixed":
            return datum
        return None


# A repeated store's word: the count left is so many words and a residue.
REPEATED_SHIFT = 2
STRING_POINTERS = {"rep stosd": "edi"}


def residue(v):
    return z3.Extract(REPEATED_SHIFT - 1, 0, word(v))


# How far from the count left or the scan pointer a value may lie and still
# be taken for one of them, either way.
NEAR = 1 << 16


def near(k):
    if k is None:
        return False
    k &= mask(WORD)
    return k < NEAR or k > (1 << WORD) - NEAR


def classify(value, at, names):
    """The kinds a slot's value has at the first arrival `at`, the most
    telling first, down to "fixed" or "any": where several hold (the count
    left is the count when the scan pointer has not moved), later arrivals
    from the entry choose among them."""
    if at.left is not None:
        if difference(value, at.distance + at.left) == 0:
            yield "count", 0
        k = difference(value, at.left)
        if near(k):
            yield "left", k
        if difference(value, z3.LShR(word(at.left), REPEATED_SHIFT)) == 0:
            yield "words", None
    for name in names:
        pointer = at.pointers[name][1]
        if difference(value, pointer - at.distance) == 0:
            yield "start", (name, 0)
        k = difference(value, pointer)
        if near(k):
            yield "pointer", (name, k)
    for name in names:
        for other in names:
            if other != name and difference(value, at.pointers[name][1] -
                                            at.pointers[other][1]) == 0:
                yield "difference", (name, other)
    found = contents(value, at, names)
    if found:
        yield "content", found
    yield ("fixed", value) if free_of_inputs(value) else ("any", None)


# A slot that every arrival from the entry leaves alike (a lane one
# constant, a pointer beside the scan pointer) but a pass leaves otherwise
# is weakened, not failed: to its kind here, else to anything.  A copy of
# the count left kept across a repeated store keeps what is left of a word.
WEAKER = {"left": "residue"}


class Weaken(Exception):
    """A step arrived at `head` with `slot` other than the entry's arrivals
    all left it, or with fewer bytes left than they all had."""

    def __init__(self, head, slot=None, least_left=None):
        super().__init__(head, slot, least_left)
        self.head, self.slot, self.least_left = head, slot, least_left

    def apply(self, head):
        if self.slot is None:
            head.least_left = self.least_left
            return
        kind, datum = head.kinds[self.slot]
        head.kinds[self.slot] = (WEAKER[kind], datum) if kind in WEAKER else ("any", None)
        head.weakened.append(self.slot)


class InductiveProof(Proof):
    """Paths from the entry or from a loop head to the next cut or return."""

    def __init__(self, program, run, stats, coverage, heads, invariant, name):
        super().__init__(program, run, stats, coverage)
        self.cuts = cuts(program)
        self.heads, self.invariant, self.name = heads, invariant, name
        self.pending = set()            # (head, classes) arrivals found to prove

    # ---- addresses relative to a shifted buffer ----
    def locate(self, m, address, what):
        if not known(address):
            address = simple(address)
        if known(address):
            return address
        for frame in self.shifted():
            offset = self.fixed_difference(m, address, frame.shift)
            if offset is not None:
                return offset
        return m.number(address, what)

    def shifted(self):
        """The frames of buffers a pass has moved by a symbolic shift."""
        return [f for f in self.run.frames.values() if not known(f.shift)]

    def fixed_difference(self, m, a, b):
        """a - b where the path leaves it one number, else None."""
        d = difference(a, b)
        if d is None:
            v = m.model.eval(a - b, model_completion=True).as_long()
            if not self.query(a - b != v):
                d = v
        return d

    def unfixed(self, m, address):
        """An input on which `address` lies another way from the shifted
        buffers than on the path's model, where there is one."""
        for frame in self.shifted():
            way = address - frame.shift
            if self.query(way != m.model.eval(way, model_completion=True)):
                return self.model()
        return None

    def begin(self, m):
        for a in self.run.assumptions:
            self.solver.add(a)
        super().begin(m)

    # ---- arrivals ----
    def arrival(self, m, registers):
        """Where the scan pointers are: per buffer its register, distance
        and value.  A buffer no register points into (a copy's destination,
        addressed from the source) moves with the first."""
        pointers, distance, advance = {}, None, None
        for name, register in registers.items():
            if register is None:
                continue
            b = self.run.buffer(name)
            value = m.regs[register]
            try:
                key = self.locate(m, value, "a scan pointer")
            except NeedNumber:
                self.disprove(m, self.program.at(m.pc), "reaches the loop head with the scan "
                              "pointer no fixed way from where the pass began",
                              self.unfixed(m, value))
            d = self.run.front(name) + key - b.start
            if distance is not None and difference(d, distance) != 0:
                self.disprove(m, self.program.at(m.pc), "the scan pointers moved apart")
            distance, advance = d, key - b.start
            pointers[name] = (key, value)
        for name, register in registers.items():
            if register is None:
                b = self.run.buffer(name)
                pointers[name] = (b.start + advance, self.run.base(name) + advance)
        left = None
        if self.invariant.counted:
            left = self.run.left - advance
            left = simple(left) if not known(left) else left
        return Arrival(pointers, distance, left, self.run)

    def scan_registers(self, m):
        """At a first arrival: the register that points into each buffer,
        the one with the most alignment where several do."""
        found = {}
        # A repeated string store's pointer is its own register, though
        # another may hold the same address when it begins.
        own = STRING_POINTERS.get(self.program.at(m.pc).mnemonic)
        for name in (b.name for b in self.run.buffers):
            best = None
            for r in [own] if own else GENERAL:
                if r == "esp":
                    continue
                try:
                    key = self.locate(m, m.regs[r], "a scan pointer")
                except NeedNumber:
                    continue
                if not near(key - self.run.buffer(name).start):
                    continue
                align = (key & -key) if key else 1 << 32
                if best is None or align > best[0]:
                    best = (align, r)
            found[name] = best[1] if best else None
        return found if any(found.values()) else {}

    def arrive(self, m):
        ins = self.program.at(m.pc)
        self.stats["arrivals"] += 1
        head = self.heads.get(m.pc)
        first = head is None
        if first:
            registers = self.scan_registers(m)
            if not registers:
                self.disprove(m, ins, "reaches a loop head with no pointer into a buffer")
            head = Head(m.pc, registers, {}, witness=self.run.describe(m.model))
        at = self.arrival(m, head.registers)
        self.check_passed(m, ins, at, head)
        written = self.check_written(m, ins, at)
        values = slots(m)
        if first:
            names = list(head.registers)
            head.candidates = {s: list(classify(v, at, names)) for s, v in values.items()}
            for slot, kinds in head.candidates.items():
                if kinds[-1][0] == "any":
                    kinds[-1] = self.constant(m, values[slot])
            head.kinds = {s: kinds[0] for s, kinds in head.candidates.items()}
            self.heads[m.pc] = head
        for slot, value in values.items():
            if self.keeps(head, slot, value, at):
                continue
            if not self.entry_pass:
                raise Weaken(head.address, slot)
            # The first of the other kinds this arrival leaves it, else anything.
            kinds = head.candidates[slot]
            while kinds and (kinds[0] == head.kinds[slot] or
                             not self.keeps(head, slot, value, at, kinds[0])):
                kinds.pop(0)
            head.kinds[slot] = kinds[0] if kinds else ("any", None)
        if self.invariant.saved:
            self.check_saved(m, ins, at, values, head, first)
        if m.df:
            self.disprove(m, ins, "reaches a loop head with the direction flag set")
        classes = tuple(at.pointers[n][0] % LINE for n in head.registers) + (written,)
        if self.entry_pass:
            head.classes.add(classes)
            if at.left is not None:
                least = self.least(at.left)
                head.least_left = least if head.least_left is None else min(head.least_left, least)
        else:
            if classes not in head.classes:
                self.pending.add((m.pc, classes))
            if at.left is not None and self.query(z3.ULT(z3.BitVecVal(0, 32) + at.left,
                                                         head.least_left)):
                raise Weaken(head.address, least_left=self.least(at.left))
        head.arrivals += self.entry_pass
        self.stats["paths"] += 1

    def keeps(self, head, slot, value, at, kind=None):
        """True where the slot's `value` is as its kind (the head's, or
        `kind`) has it at arrival `at`."""
        kind = kind or head.kinds[slot]
        expected = head.expected(slot, at, kind)
        if expected is None:
            return True
        if kind[0] == "residue":
            value, expected = residue(value), residue(expected)
        if known(value) and known(expected):
            return (value - expected) & mask(WORD) == 0
        claim = z3.simplify(value == expected)
        return z3.is_true(claim) or not self.query(z3.Not(claim))

    def check_saved(self, m, ins, at, values, head, first):
        """The saved match is kept.  From the entry, the pairs of SIMD lanes
        that might hold it are narrowed down to those that do on every
        arrival; the steps then check the one chosen."""
        name = next(iter(head.registers))

        def claim(pair):
            base, mask = values[pair.base], values[pair.mask]
            index = SavedMatch.index(self, m, base, mask, at, name)
            return None if index is None else SavedMatch.kept(index, mask, at, name)
        if first:
            lanes = [s for s in values if s[0] == "xmm"]
            head.saved = [SavedMatch(b, k) for b in lanes for k in lanes
                          if head.kinds[b][0] in ("start", "pointer")
                          and head.kinds[k][0] in ("any", "fixed")]
        if self.entry_pass:
            head.saved = [pair for pair in head.saved
                          if claim(pair) is not None and self.holds(claim(pair))]
            if not head.saved:
                self.disprove(m, ins, "reaches the loop head with no SIMD lanes holding the "
                                      "last match")
            return
        kept = claim(head.saved)
        if kept is None:
            self.disprove(m, ins, "reaches the loop head with the saved lanes holding neither "
                                  "the saved pair nor a block's address")
        self.always(m, ins, kept, "reaches the loop head without the last match saved")

    def constant(self, m, value):
        """("fixed", n) where the path leaves `value` one number n (a mask
        of a block tested, a register cleared through the inputs), else
        ("any", None)."""
        n = m.model.eval(value, model_completion=True).as_long()
        return ("fixed", n) if self.holds(value == n) else ("any", None)

    def least(self, left):
        """The least value the count left takes on this path."""
        if known(left):
            return left
        low, high = 0, (1 << 32) - 1
        while low < high:
            middle = (low + high + 1) // 2
            if self.query(z3.ULT(left, middle)):
                high = middle - 1
            else:
                low = middle
        return low

    def check_passed(self, m, ins, at, head):
        """The bytes from the last anchor up to the scan pointer, and the
        head's bytes ahead of it, hold what the loop's invariant says of
        bytes it has passed; those ahead of it that a pass has tested
        hold what was tested of them.  From the entry, how many bytes
        ahead is read from the arrivals: as many as every arrival has."""
        advance = None
        for name, (key, _) in at.pointers.items():
            advance = key - self.run.buffer(name).start
            if advance < 0:
                self.disprove(m, ins, f"reaches the loop head with the scan pointer of {name} "
                                      "moved back")
        if advance % self.invariant.character:
            self.disprove(m, ins, "reaches the loop head with the scan pointer part of the way "
                                  "through a character")
        if self.invariant.passed:
            head.ahead = self.check_ahead(m, ins, self.invariant.passed, 0, advance, head.ahead,
                                          "having passed a byte that decides")
        for what, tested in self.invariant.tested:
            head.tested[what] = self.check_ahead(m, ins, tested, advance, advance,
                                                 head.tested.get(what), "having tested a byte "
                                                 f"ahead as {what}, which it is not")

    def check_ahead(self, m, ins, claim, first, advance, ahead, message):
        """`claim` holds of the bytes from `first` up to `ahead` past the
        scan pointer, at `advance`; from the entry, `ahead` (None at first)
        is lowered until it does, and returned."""
        def through(end):
            return z3.And([claim(self.run, j) for j in range(first, end)])
        if self.entry_pass:
            ahead = LINE if ahead is None else ahead
            while ahead and not self.holds(through(advance + ahead)):
                ahead -= 1
        if advance + ahead > first:
            self.always(m, ins, through(advance + ahead), f"reaches the loop head {message}")
        return ahead

    def check_written(self, m, ins, at):
        """The bytes a copy or a fill has stored are the result's from the
        start up to the scan pointer and on for some bytes, no more, and
        hold the model's values: how many bytes on (part of the class)."""
        written = 0
        for name in self.run.writes:
            b = self.run.buffer(name)
            advance = at.pointers[name][0] - b.start
            stored = {a - b.start: a for a in m.mem.stored(b.start - BUFFER_REACH // 2,
                                                           b.start + BUFFER_REACH // 2)}
            ahead = [i for i in stored if i >= 0]
            written = max(ahead, default=-1) + 1 - advance
            if written < 0 or sorted(ahead) != list(range(advance + written)):
                self.disprove(m, ins, f"reaches the loop head with {name} stored other than "
                                      f"from the start on past its scan pointer (at {advance}): "
                                      f"{spans(ahead)}")
            values = self.run.prefix_values[name]
            claims = [m.mem.bytes[a] == values(i) for i, a in stored.items()]
            if claims:
                self.always(m, ins, z3.And(claims), f"reaches the loop head with a byte of "
                                                    f"{name} stored other than the model's")
        return written

    def holds(self, claim):
        """True where `claim` holds on every input of the path."""
        return not self.query(z3.Not(claim))


# ---- the runs --------------------------------------------------------------

def entry_run(name, offsets, invariant):
    """From the entry: the buffers at their offsets, every size."""
    routine = ROUTINES[name]
    run = Run(invariant.window, offsets, place(routine.buffers, offsets))
    run.frames = {b.name: Frame(0, 0) for b in run.buffers}
    run.left = z3.BitVec("n", 32) if invariant.counted else None
    routine.setup(run)
    return run


def step_run(name, head, classes, invariant):
    """From a head: each scan pointer at its class plus any multiple of a
    line, any distance from the start, any count left above the least."""
    routine = ROUTINES[name]
    offsets = classes[:-1]  # every buffer's, in the routine's order; then the bytes stored
    run = Run(invariant.window, offsets, place(routine.buffers, offsets))
    distance = z3.BitVec(DISTANCE, 32)
    run.frames = {b.name: Frame(z3.Concat(z3.BitVec(f"shift.{b.name}", 26), z3.BitVecVal(0, 6)),
                                distance) for b in run.buffers}
    run.left = z3.BitVec(LEFT, 32) if invariant.counted else None
    if invariant.saved:
        # The saved pair: its base as an offset from the scan pointer (set
        # with the pointer, below), its mask, and its match's index.
        run.kept = Kept(z3.BitVec("saved.offset", 32), z3.BitVec("saved.mask", 32),
                        z3.BitVec("saved.index", 32))
        run.front_match = (run.kept.mask != 0, run.kept.index)
    routine.setup(run)
    # Where each scan pointer lies, for a counterexample's reader.
    places = []
    for b in run.buffers:
        address = z3.BitVec(f"{b.name}.address", 32)
        run.assumptions.append(address == run.base(b.name))
        places.append(address)
    run.shown = places + [distance] + run.shown
    if invariant.counted:
        # The range does not wrap: its size is the distance plus what is left.
        run.assumptions += [z3.UGE(run.left, head.least_left),
                            z3.ULE(distance, distance + run.left)]
    else:
        # Nor does a string: the window ahead of its scan pointer lies below
        # the top of the address space too.
        run.assumptions.append(z3.ULE(distance, distance + invariant.window))
    if invariant.character > 1:
        run.assumptions.append(distance & (invariant.character - 1) == 0)
    for j in range(-FRONT, head.ahead or 0) if invariant.passed else ():
        passed = invariant.passed(run, j)
        run.assumptions.append(z3.Implies(z3.ULE(-j, distance), passed) if j < 0 else passed)
    for what, tested in invariant.tested:
        run.assumptions += [tested(run, j) for j in range(head.tested[what])]
    return run


def step_machine(proof, head, classes):
    """The state at the head that the invariant allows."""
    m = Machine(proof)
    proof.entry = {r: z3.BitVec(f"entry.{r}", 32) for r in GENERAL}
    m.regs = dict(proof.entry)
    m.xmm = [tuple(z3.BitVec(f"head.xmm{i}.{j}", 8) for j in range(LANES)) for i in range(XMM)]
    m.mem = Memory(proof.initial)
    run = proof.run
    pointers = {name: (run.buffer(name).start, run.base(name)) for name in head.registers}
    at = Arrival(pointers, run.frames[next(iter(head.registers))].distance, run.left, run)
    for slot, (kind, _) in head.kinds.items():
        value = head.expected(slot, at)
        if value is None:
            value = z3.BitVec(f"head.{'.'.join(map(str, slot))}", 32)
        put(m, slot, value)
    for name, register in head.registers.items():
        if register is not None:
            m.regs[register] = pointers[name][1]
    for name in run.writes:
        b = run.buffer(name)
        m.mem.store(b.start, [run.prefix_values[name](j) for j in range(classes[-1])])
    if head.saved:
        # The base as the pointer plus an offset: a result the routine makes
        # from it then compares with the models' pointers term by term.
        name = next(iter(head.registers))
        offset = run.kept.base
        run.kept = Kept(pointers[name][1] + offset, run.kept.mask, run.kept.index)
        put(m, head.saved.base, run.kept.base)
        put(m, head.saved.mask, run.kept.mask)
        run.assumptions += [offset == run.kept.index - highest_bit(run.kept.mask),
                            SavedMatch.kept(run.kept.index, run.kept.mask, at, name)]
    m.pc = head.address
    return m


def prove_complete(program, name, only=None):
    """Proves every path of the routine for every input (from the entry,
    only the placements numbered in `only` where it is given)."""
    invariant = INVARIANTS[name]
    routine = ROUTINES[name]
    heads, stats, coverage = {}, Counter(), set()
    stats["loops"] = Counter()
    began = time.process_time()
    for number, offsets in enumerate(routine.offsets()):
        if only is not None and number not in only:
            continue
        proof = InductiveProof(program, entry_run(name, offsets, invariant), stats, coverage,
                               heads, invariant, name)
        proof.entry_pass = True
        proof.start()
    missing = cuts(program) - set(heads)
    if missing:
        raise Disproved("no path from the entry reaches the loop heads "
                        + " ".join(f"{h:#x}" for h in sorted(missing)))
    if invariant.saved:
        for head in heads.values():
            head.saved = head.saved[0]
            head.kinds[head.saved.base] = head.kinds[head.saved.mask] = ("saved", None)
    entry = counts(stats)
    todo = {(h, c) for h, head in heads.items() for c in head.classes}
    done = set()
    while todo:
        address, classes = todo.pop()
        done.add((address, classes))
        head = heads[address]
        head.classes.add(classes)
        before = counts(stats)
        proof = InductiveProof(program, step_run(name, head, classes, invariant), stats,
                               coverage, heads, invariant, name)
        proof.entry_pass = False
        proof.blasting = invariant.blasting
        try:
            proof.begin(step_machine(proof, head, classes))
        except Weaken as weak:
            # The weakened head's steps so far assumed more than its
            # invariant now says: they are proved again, and this one too.
            weakened = heads[weak.head]
            weak.apply(weakened)
            weakened.steps, weakened.step_stats = 0, Counter()
            again = {(weak.head, c) for c in weakened.classes} | {(address, classes)}
            done -= again
            todo |= again
            continue
        head.steps += 1
        head.step_stats.update(counts(stats) - before)
        todo |= proof.pending - done
    for head in heads.values():
        vacuous(head)
    return Complete(heads, entry, stats, coverage & program.reachable, program,
                    time.process_time() - began)


def cuts(program):
    """The loop heads that break every cycle, as few as a greedy pass finds
    (a loop entered in its middle has a second head on the same cycle);
    found once for each program."""
    if getattr(program, "cuts", None) is None:
        program.cuts = minimal_cuts(program)
    return program.cuts


def minimal_cuts(program):
    chosen = set(program.loops)
    for head in sorted(program.loops, reverse=True):
        if acyclic(program, chosen - {head}):
            chosen.discard(head)
    return frozenset(chosen)


def acyclic(program, cut):
    """True where every cycle of the routine passes an instruction in `cut`."""
    state = {}

    def visit(a):
        state[a] = "open"
        for t in program.successors[a]:
            if t in cut:
                continue
            if state.get(t) == "open" or (t not in state and not visit(t)):
                return False
        state[a] = "done"
        return True
    return all(state.get(a) or visit(a) for a in sorted(program.reachable))


def vacuous(head):
    """Fails unless the invariant is met by a real input and its step has a
    feasible path back to the head and one out of the loop: an invariant no
    state meets, or a step no path takes, would prove anything."""
    exits = head.step_stats["paths"] - head.step_stats["arrivals"]
    if not head.witness or not head.step_stats["arrivals"] or not exits:
        raise Disproved(f"the loop at {head.address:#x} is proved vacuously: "
                        f"{head.arrivals} arrivals, {head.step_stats['arrivals']} back to the head "
                        f"and {exits} out of the loop from a step")


def counts(stats):
    return Counter({k: v for k, v in stats.items() if isinstance(v, int)})


@dataclass
class Complete:
    """What the complete proof of an object did: the heads with their
    invariants, the counts of the paths from the entry and in all."""
    heads: dict
    entry: Counter
    stats: Counter
    coverage: set
    program: object
    seconds: float

    def lines(self, label):
        reached, reachable = len(self.coverage), len(self.program.reachable)
        out = [f"{label:<30} every size  paths {self.stats['paths']:>7}  queries "
               f"{self.stats['queries']:>8}  coverage {reached}/{reachable} "
               f"({100 * reached / reachable:.1f} %)  {self.seconds:7.1f} s"]
        out.append(f"  from the entry: {self.entry['paths']} paths, "
                   f"{self.entry['arrivals']} of them reaching a loop head")
        for head in sorted(self.heads.values(), key=lambda h: h.address):
            out.append("  " + head.describe())
        return out


def main():
    import argparse
    from decode import Program
    from obligations import read_routines
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("object")
    parser.add_argument("--routine", required=True, choices=sorted(INVARIANTS))
    parser.add_argument("--runs", help="from the entry, only these placements (a partial proof)")
    args = parser.parse_args()
    program = Program(args.object, read_routines()[args.routine][1])
    only = set(map(int, args.runs.split(","))) if args.runs else None
    try:
        complete = prove_complete(program, args.routine, only)
    except Disproved as fault:
        print(f"{os.path.basename(args.object)}: NOT PROVED for every size:\n  {fault}")
        return 1
    print("\n".join(complete.lines(os.path.basename(args.object))))
    return 0 if complete.coverage == program.reachable else 1


if __name__ == "__main__":
    sys.exit(main())
