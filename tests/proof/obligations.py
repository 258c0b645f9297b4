# SPDX-License-Identifier: MIT
"""What is proved of each routine, stated once for all of them from the
routines' list (routines.def) and the plain-loop models (models.py).

A run is one routine at one placement of its buffers in their lines, with
every content symbolic, the character symbolic and the size or bound
symbolic up to the run's bound.  On every path:

- a load of a buffer touches only lines that hold a byte the routine must
  read (a run of bytes from the start: up to the first match, the
  terminator, the deciding pair or the count), and reads no other memory
  but its own stack above the stack pointer and the outside variables it
  may read;
- a store goes only to the bytes of the result;
- the return value is the model's, and at the return the result's bytes
  hold the model's and every one of them was written;
- (explore.py) the callee-saved registers, the stack pointer and the
  direction flag are as at entry, and the hook is called with the frame it
  expects.
"""
import os
import re
from dataclasses import dataclass, field

import z3
from z3 import And, Extract, ULE

import models
from memory import BUFFER_REACH, LINE, buffer_at, place
from semantics import bool_not, equal, known, simple, unsigned_less

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
SIZE = "n"
CHARACTER = "c"
CACHE_SIZE = "__x86_data_cache_size"
WORD = 4


def read_routines(path=os.path.join(ROOT, "routines.def")):
    """name -> (module, symbol) for each line of the list."""
    pattern = re.compile(r"^SSE2STR_ROUTINE\((\w+),\s*(\w+),\s*(\w+),")
    with open(path) as f:
        return {m[1]: (m[2], m[3]) for m in map(pattern.match, f) if m}


def size(bound):
    """The size or bound argument: any value up to `bound`, as a variable of
    the fewest bits that hold it (the solver then works on fewer bits)."""
    bits = max(bound.bit_length(), 1)
    return z3.ZeroExt(32 - bits, z3.BitVec(SIZE, bits))


def word(v):
    return z3.BitVecVal(v, 32) if isinstance(v, int) else v


@dataclass
class Run:
    """The inputs of one run and what the routine must do with them."""
    bound: int
    offsets: tuple
    buffers: list
    arguments: list = field(default_factory=list)
    precondition: object = True
    reads: dict = field(default_factory=dict)       # buffer -> bytes from the start it must read
    writes: dict = field(default_factory=dict)      # buffer -> (bytes of the result, their values)
    result: object = None                           # the return value, or None for none
    externals: dict = field(default_factory=dict)   # outside variable -> its value
    shown: list = field(default_factory=list)       # values a counterexample names
    # Set where the proof starts at the entry with every size, or at a loop
    # head (induction.py): each buffer's Frame, and the bytes of the range
    # left from its anchor (the count, or what is left of it).
    frames: dict = field(default_factory=dict)
    left: object = None
    assumptions: list = field(default_factory=list)  # what the invariant gives the step
    prefix_values: dict = field(default_factory=dict)  # buffer -> index in front -> its byte
    front_match: object = None  # (condition, index) of the last match in front of index 0

    def buffer(self, name):
        return next(b for b in self.buffers if b.name == name)

    # ---- bounded or open-ended ----
    @property
    def open_ended(self):
        """True where the sizes are unbounded: the bytes past the window
        are then beyond what the models see."""
        return bool(self.frames)

    def count(self):
        """The size or bound argument, or in an open-ended run what is left of it."""
        return self.left if self.open_ended else size(self.bound)

    def within_bound(self, condition):
        """A limit the bound puts on the inputs: none in an open-ended run."""
        return True if self.open_ended else condition

    def base(self, name):
        """Where the models' index 0 of buffer `name` lies: its start, or at
        a loop head the scan pointer."""
        b = self.buffer(name)
        return b.start + self.frames[name].shift if self.open_ended else b.start

    def front(self, name):
        """Bytes of buffer `name` in front of the models' index 0."""
        return self.frames[name].distance if self.open_ended else 0

    def past_window(self, first, limit=None, unit=1, when=True):
        """`first` (a First of indices) where its case may lie past the
        window: a last case, taken when none in the window is (and `limit`,
        where given, lies past it), whose index is any number past the window
        and below `limit`, so that no path may settle it without reading on.
        A Last takes it `when` the window does not settle it."""
        if not self.open_ended:
            return first
        window = self.bound * self.unit // unit
        beyond = z3.BitVec(f"beyond.{len(self.assumptions)}", 32)
        if limit is None:
            # No string reaches past the top of the address space.
            self.assumptions.append(z3.And(z3.UGE(beyond, window),
                                           z3.ULT(beyond, (1 << 32) // unit - 1)))
            first.case(z3.BoolVal(True) if when is True else when, beyond)
        else:
            past = z3.ULT(window, limit)
            self.assumptions.append(z3.Implies(past, z3.And(z3.UGE(beyond, window),
                                                            z3.ULT(beyond, limit))))
            first.case(past, beyond)
        return first

    def contents(self, name, size):
        b = self.buffer(name)
        return [b.variable(i) for i in range(size)]

    # ---- memory the routine did not write ----
    def initial(self, address):
        b = buffer_at(self.buffers, address)
        if b is None:
            return z3.BitVec(f"memory[{address:#x}]", 8)
        return b.variable(b.index(address))

    def external(self, name, offset):
        if name not in self.externals:
            raise KeyError(name)
        return Extract(8 * offset + 7, 8 * offset, self.externals[name])

    # ---- obligations ----
    def check_load(self, proof, m, ins, address, size):
        b = buffer_at(self.buffers, address)
        if b is None:
            return proof.disprove(m, ins, f"reads {size} bytes at {address:#x}, "
                                          "outside the buffers")
        where = f"reads {size} bytes at {b.index(address):+d} of {b.name}"
        if b.name not in self.reads:
            return proof.disprove(m, ins, f"{where}, which it must not read")
        must, front = self.reads[b.name], self.front(b.name)
        for first, last in b.line_spans(address, size):
            if last < 0:
                # Wholly in front of index 0: it must reach into the buffer,
                # whose bytes there are all read before any that decides.
                proof.always(m, ins, reaches(front, -last),
                             f"{where}: a line in front of the start")
                continue
            proof.always(m, ins, z3.Or(reaches(front, 1) if first < 0 else False,
                                       holds(must, lambda v: less(max(first, 0), v))),
                         lambda model, first=first: f"{where}: the line from {first:+d} holds no "
                         f"byte it must read (those end at {show(model, must)})")

    def check_store(self, proof, m, ins, address, size):
        b = buffer_at(self.buffers, address)
        if b is None or b.name not in self.writes:
            return proof.disprove(m, ins, f"writes {size} bytes at {address:#x}, "
                                          "outside the result")
        index = b.index(address)
        length, _ = self.writes[b.name]
        where = f"writes {size} bytes at {index:+d} of {b.name}"
        if index < 0:
            proof.always(m, ins, reaches(self.front(b.name), -index),
                         f"{where}: in front of the start")
        if index + size > 0:
            proof.always(m, ins, holds(length, lambda v: not_more(index + size, v)),
                         lambda model: f"{where}, past the result's {show(model, length)} bytes")

    def check_return(self, proof, m, ins):
        if self.result is not None:
            eax = m.regs["eax"]
            proof.always(m, ins, returns(self.result, eax),
                         lambda model: f"returns {show(model, eax)}, the model "
                         f"{show(model, self.result)}")
        for name, (length, values) in self.writes.items():
            b = self.buffer(name)
            written = {a - b.start for a in m.mem.stored(b.start, b.start + len(values))}
            gap = next(i for i in range(len(values) + 1) if i not in written)
            proof.always(m, ins, holds(length, lambda v: not_more(v, gap)),
                         lambda model: f"leaves byte {gap} of {name} unwritten, in the result's "
                         f"{show(model, length)}")
            got = {i: word8(m.mem.bytes[b.start + i]) for i in sorted(written)}
            # Bytes in front of index 0 stored again must keep the model's values.
            model = dict(enumerate(values))
            for a in m.mem.stored(b.start - BUFFER_REACH // 2, b.start):
                got[a - b.start] = word8(m.mem.bytes[a])
                model[a - b.start] = self.prefix_values[name](a - b.start)
            proof.always(m, ins, And([got[i] == model[i] for i in got]),
                         lambda model_: "leaves " + wrong_bytes(model_, name, got, model))

    def describe(self, model):
        parts = [f"offsets in line {'/'.join(map(str, self.offsets))}"]
        for value in self.shown:
            name = value.arg(0) if value.decl().kind() == z3.Z3_OP_ZERO_EXT else value
            parts.append(f"{name}={show(model, value)}")
        for b in self.buffers:
            if b.name in self.reads or b.name in self.writes:
                parts.append(f"{b.name}=" + contents_text(model, b, self.bound_bytes))
        return ", ".join(parts)

    @property
    def bound_bytes(self):
        return self.bound * self.unit

    unit: int = 1


def reaches(front, k):
    """Index -k lies inside the buffer, `front` bytes of it lying in front of index 0."""
    return k <= front if known(front) else z3.ULE(k, front)


def holds(value, prop):
    """prop of a model's value (a First) or of a plain value."""
    return value.holds(prop) if isinstance(value, models.First) else prop(value)


@dataclass(frozen=True)
class Offsets:
    """A result that is an index from a base (an address or a count): base +
    i for each index i of the model's, 0 where it finds none."""
    indices: object
    base: object

    def value(self):
        return self.indices.map(lambda i: 0 if i is models.NOT_FOUND else self.base + i).value()


def returns(result, eax):
    """That the routine returns the model's result in `eax`.  An index result
    is compared as eax less the base with the model's index, a term made
    once for all the returns of a run, or as null where it finds none."""
    if not isinstance(result, Offsets):
        return holds(result, lambda v: equal(v, eax, 32))
    offset = simple(eax - result.base) if not (known(eax) and known(result.base)) else \
        (eax - result.base) & 0xffffffff
    found = result.indices.equals(offset)
    if known(eax):
        return z3.Or(result.indices.none(), found) if eax == 0 else found
    return z3.Or(z3.And(result.indices.none(), eax == 0), found)


def less(a, b):
    return unsigned_less(a, b, 32)


def not_more(a, b):
    return bool_not(unsigned_less(b, a, 32))


def wrong_bytes(model, name, got, values):
    for i in got:
        if show(model, got[i]) != show(model, values[i]):
            return (f"{show(model, got[i])} in byte {i} of {name}, the model "
                    f"{show(model, values[i])}")
    return "?"


def word8(v):
    return z3.BitVecVal(v, 8) if isinstance(v, int) else v


def show(model, value):
    if model is None:
        return "?"
    if isinstance(value, (models.First, Offsets)):
        value = value.value()
    if isinstance(value, int):
        return f"{value:#x}" if value > 9 else str(value)
    v = model.eval(value, model_completion=True)
    n = v.as_long() if z3.is_bv_value(v) else None
    return "?" if n is None else (f"{n:#x}" if n > 9 else str(n))


def contents_text(model, b, size):
    """The buffer's bytes that the input fixes, '..' for any value."""
    if model is None:
        return "?"
    out = []
    for i in range(size):
        v = model.eval(b.variable(i), model_completion=False)
        out.append(f"{v.as_long():02x}" if z3.is_bv_value(v) else "..")
    text = " ".join(out).rstrip(". ")
    return f"[{text}]"


# ---- the routines ------------------------------------------------------------

def byte_of(c):
    return Extract(7, 0, c)


def through(i):
    """Bytes to read up to and including index i."""
    return i + 1


def memchr(run):
    b = run.buffer("s")
    s = run.contents("s", run.bound)
    c, n = z3.BitVec(CHARACTER, 32), run.count()
    found = run.past_window(models.memchr(s, byte_of(c), n), n)
    run.arguments = [b.start, c, n]
    run.precondition = run.within_bound(ULE(n, run.bound))
    run.reads = {"s": found.map(lambda i: n if i is models.NOT_FOUND else i + 1)}
    run.result = Offsets(found, run.base("s"))
    run.shown = [n, c]


def strnlen(run):
    s = run.contents("s", run.bound)
    n = run.count()
    length = run.past_window(models.strnlen(s, n), n)
    run.arguments = [run.buffer("s").start, n]
    run.precondition = run.within_bound(ULE(n, run.bound))
    run.reads = {"s": length.map(lambda i: i if i is n else i + 1)}
    run.result = Offsets(length, run.front("s"))
    run.shown = [n]


def strrchr(run):
    b = run.buffer("s")
    s = run.contents("s", run.bound)
    c = z3.BitVec(CHARACTER, 32)
    run.arguments = [b.start, c]
    run.precondition = run.within_bound(models.terminated(s))
    run.reads = {"s": run.past_window(models.strlen(s)).map(through)}
    found = models.strrchr(s, byte_of(c), run.front_match)
    unsettled = z3.Not(models.terminated(s))
    run.result = Offsets(run.past_window(found, when=unsettled), run.base("s"))
    run.shown = [c]


def stpcpy(run):
    src = run.contents("src", run.bound)
    length = run.past_window(models.strlen(src))
    dst = run.base("dst")
    run.arguments = [run.buffer("dst").start, run.buffer("src").start]
    run.precondition = run.within_bound(models.terminated(src))
    run.reads = {"src": length.map(through)}
    run.writes = {"dst": (length.map(through), src)}
    run.prefix_values = {"dst": run.buffer("src").variable}
    run.result = Offsets(length, dst)


def wcscmp(run):
    run.unit = models.CHAR
    size = run.bound * models.CHAR
    s1, s2 = run.contents("s1", size), run.contents("s2", size)
    at, result = models.wcscmp(s1, s2)
    at = run.past_window(at, unit=models.CHAR)
    if run.open_ended:
        # Decided past the window: a result no path may name without reading on.
        result.case(z3.BoolVal(True), z3.BitVec("beyond.result", 32))
    run.arguments = [run.buffer("s1").start, run.buffer("s2").start]
    run.precondition = run.within_bound(models.compared(s1, s2))
    reads = at.map(lambda k: (k + 1) * models.CHAR)
    run.reads = {"s1": reads, "s2": reads}
    run.result = result


def fill(value_argument):
    def setup(run):
        dst = run.buffer("dst").start
        n, cache = run.count(), z3.BitVec(CACHE_SIZE, 32)
        c = z3.BitVec(CHARACTER, 32)
        run.arguments = [dst, c, n] if value_argument else [dst, n]
        run.precondition = run.within_bound(ULE(n, run.bound))
        byte = byte_of(c) if value_argument else z3.BitVecVal(0, 8)
        run.writes = {"dst": (n, models.memset(byte, run.bound))}
        run.prefix_values = {"dst": lambda j: byte}
        run.result = run.base("dst") - run.front("dst") if value_argument else None
        run.externals = {CACHE_SIZE: cache}
        run.shown = [n, cache] + ([c] if value_argument else [])
    return setup


def every_offset(buffers):
    return lambda: [(o,) * buffers for o in range(LINE)]


def copy_offsets():
    """Every offset of the source; the destination's alignment is never
    tested, so it takes each offset in turn beside a different source one."""
    return [((5 * s + 3) % LINE, s) for s in range(LINE)]


# The classes of a string's position that wcscmp tells apart: its
# character 4 aligned to 16, or crossing a line in block 3, 2, 1 or 0 of a
# pass.  Each class is represented by its lowest and its highest offset,
# and every pair of classes is run.
WCSCMP_CLASSES = ((0, 32), (1, 15), (17, 31), (33, 47), (49, 63))
WCSCMP_LEAD = 16


def compare_offsets():
    starts = [(a - WCSCMP_LEAD) % LINE for cls in WCSCMP_CLASSES for a in cls]
    return [(x, y) for x in starts for y in starts]


@dataclass(frozen=True)
class Routine:
    setup: object
    buffers: tuple
    offsets: object
    full: int        # the bound that reaches every instruction and runs every loop twice
    ci: int          # the bound the test suite runs
    unit: str = "bytes"


ROUTINES = {
    "memchr": Routine(memchr, ("s",), every_offset(1), full=300, ci=32),
    "strnlen": Routine(strnlen, ("s",), every_offset(1), full=380, ci=32),
    "strrchr": Routine(strrchr, ("s",), every_offset(1), full=96, ci=20),
    "stpcpy": Routine(stpcpy, ("dst", "src"), copy_offsets, full=200, ci=32),
    "wcscmp": Routine(wcscmp, ("s1", "s2"), compare_offsets, full=52, ci=8, unit="characters"),
    # The fills' block loop stores 256 bytes a pass: it comes round a second
    # time only from a count of 512.
    "memset": Routine(fill(True), ("dst",), every_offset(1), full=512, ci=48),
    "bzero": Routine(fill(False), ("dst",), every_offset(1), full=512, ci=48),
}


def runs(name, bound):
    """Every run of routine `name` at `bound`."""
    routine = ROUTINES[name]
    for offsets in routine.offsets():
        run = Run(bound, offsets, place(routine.buffers, offsets))
        routine.setup(run)
        yield run
