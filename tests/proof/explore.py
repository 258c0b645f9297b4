# SPDX-License-Identifier: MIT
"""The symbolic executor: runs the routine from its entry on symbolic
inputs along every feasible path, asking z3 which way each branch that
depends on the inputs may go and following both where both may, and at
every load, store and return asks the run's obligations (obligations.py)
whether they hold for every input that reaches that point.

A value the machine needs as a number (an address, a jump table's index)
but that still depends on the inputs is enumerated: each
value the path allows becomes a path of its own, and a size that the value
fixes is replaced by its number from there on.  A repeated string store
runs a round at a time, a branch back to itself while its count is not
zero: a loop like any other, whatever its count.

Where a path reaches code from which every way runs straight to a return
(decode.Program.tails: a routine's exits, such as a cascade that finds a
match's position bit by bit), all those ways are checked together: each is
followed without asking whether its branches can be taken, what each must
meet is gathered under the branches it took, and one query asks whether
any input takes a way that fails.  Where one might (or a way stops on an
obligation that needs no solver), the ways are followed again one by one,
as everywhere else, and that answer stands.
"""
import sys
from collections import Counter

import z3
from z3.z3util import get_vars

from decode import EXTERNAL_BASE, EXTERNAL_END, RODATA_BASE, Unmodelled
from memory import RETURN_ADDRESS, STACK_TOP, Memory, in_stack
from semantics import (CALLEE_SAVED, GENERAL, LANES, PARTS, XMM, Branch, Next, Table,
                       bv, concat, extract, known, read_register, simple, step, write_register)

# How many values a value needed as a number may take on one path, and how
# many instructions one path may run, before the proof gives up.
MAX_VALUES = 1024
MAX_STEPS = 200000
# The most ways to a return one query checks together: past some, one large
# query costs more than the forks that split it into smaller ones.
MERGED_WAYS = 64
# The profiling hook: what it may change (the scratch registers, the SIMD
# registers and the flags) and the only function a routine may call.
HOOK = "_mcount"
SOLVER = z3.Solver
# A solver that simplifies a query whole, solves its equations away and
# bit-blasts the rest: slower than the incremental one on the small queries
# of most paths, far faster where the state is held by many disjunctions.
BLASTING = z3.Then("simplify", "propagate-values", "solve-eqs", "bit-blast", "sat")


class Disproved(Exception):
    """An obligation that fails for some input: the message names it, the
    instruction, the input and the path."""


class Unmerged(Exception):
    """A way through merged code that must be followed on its own."""


class NeedNumber(Exception):
    def __init__(self, value, what):
        super().__init__(what)
        self.value, self.what = value, what


class Machine:
    """The state of one path: registers, flags, memory, and what the path
    has done (branches taken, loops run)."""

    def __init__(self, proof):
        self.proof = proof
        self.program = proof.program
        self.regs = {}
        self.xmm = []
        self.flags = None
        self.df = 0
        self.mem = None
        self.pinned = []        # (variable, number) the path has fixed
        self.numbers = {}       # id of a z3 value -> the number the path fixed for it
        self.pc = None
        self.model = None       # an input that takes the path
        self.trace = []         # (address, target) of each branch the inputs decided
        self.back = Counter()   # loop head -> times the path reached it
        self.steps = 0
        self.guard = []         # in merged code: the conditions of the branches taken there
        self.seen = []          # in merged code: the instructions run there

    def copy(self):
        other = Machine.__new__(Machine)
        other.__dict__.update(self.__dict__)
        other.regs, other.xmm = dict(self.regs), list(self.xmm)
        other.mem, other.numbers = self.mem.copy(), dict(self.numbers)
        other.trace, other.back = list(self.trace), Counter(self.back)
        other.guard, other.seen = list(self.guard), list(self.seen)
        return other

    # ---- registers ----
    def reg(self, name):
        if name not in PARTS:
            raise Unmodelled(self.program.at(self.pc), f"register {name}")
        return read_register(self.regs, name)

    def set_reg(self, name, value):
        write_register(self.regs, name, value)

    def flags_for(self, ins):
        if self.flags is None:
            raise Unmodelled(ins, "reads flags no modelled instruction set")
        return self.flags

    # ---- numbers ----
    def number(self, value, what):
        if known(value):
            return value
        value = simple(value)
        if known(value):
            return value
        if value.get_id() in self.numbers:
            return self.numbers[value.get_id()]
        raise NeedNumber(value, what)

    def concrete(self, ins, value, what):
        """What the instruction semantics ask for: the number `value` is."""
        return self.number(value, what)

    # ---- memory ----
    def load(self, ins, address, size):
        address = self.proof.locate(self, address, "a load's address")
        self.proof.check_load(self, ins, address, size)
        return self.mem.load(address, size)

    def store(self, ins, address, values):
        address = self.proof.locate(self, address, "a store's address")
        self.proof.check_store(self, ins, address, len(values))
        self.mem.store(address, values)

    def require_aligned(self, ins, address, size):
        address = self.proof.locate(self, address, "an aligned operand's address")
        if address % size:
            self.proof.disprove(self, ins, f"an operand at {address:#x}, not aligned to {size} "
                                           "(it faults)")

    def call(self, ins, name, after):
        self.proof.check_call(self, ins, name, after)
        for r in ("eax", "ecx", "edx"):
            self.regs[r] = self.proof.fresh(f"{HOOK}.{r}", 32)
        self.xmm = [tuple(self.proof.fresh(f"{HOOK}.xmm{i}.{j}", 8) for j in range(LANES))
                    for i in range(XMM)]
        self.flags = None

    def substitute(self, pairs):
        """Replaces variables by numbers everywhere in the state."""
        def sub(v):
            return v if known(v) else simple(z3.substitute(v, *pairs))
        self.regs = {r: sub(v) for r, v in self.regs.items()}
        self.xmm = [tuple(map(sub, x)) for x in self.xmm]
        self.mem.bytes = {a: sub(v) for a, v in self.mem.bytes.items()}
        self.flags = None if self.flags is None else type(self.flags)(
            self.flags.kind, sub(self.flags.a), self.flags.b if known(self.flags.b) else
            sub(self.flags.b), sub(self.flags.result), self.flags.width)


class Proof:
    """Every path of one routine on one run's inputs (obligations.Run)."""

    # Where paths stop short of a return (induction.py: the loop heads).
    cuts = frozenset()

    def __init__(self, program, run, stats, coverage):
        self.program, self.run = program, run
        self.solver = SOLVER()
        self.stats, self.coverage = stats, coverage
        self.fresh_count = Counter()
        self.merging = None     # the Merge under way, if any
        self.merges = True      # False while merged ways are followed one by one
        # Each query by a fresh bit-blasting solver (BLASTING) rather than
        # the incremental one that holds the path's conditions.
        self.blasting = False

    # ---- the solver ----
    def query(self, *assumptions):
        """True where some input meets the run's and the path's conditions
        and `assumptions`; the input is then model()."""
        self.stats["queries"] += 1
        solver = self.solver
        if self.blasting:
            solver = BLASTING.solver()
            solver.add(self.solver.assertions())
            solver.add(*assumptions)
            assumptions = ()
        result = solver.check(*assumptions)
        if result == z3.unknown:
            raise Disproved(f"the solver could not decide a query: {solver.reason_unknown()}")
        self.answered = solver
        return result == z3.sat

    def model(self):
        """An input that meets the last query answered yes."""
        return self.answered.model()

    def always(self, m, ins, claim, message):
        """Fails with `message` (or message(model) for the input found)
        unless `claim` holds on every input of the path."""
        if m.pinned and not isinstance(claim, bool):
            claim = z3.substitute(claim, *m.pinned)
        if self.merging is not None:
            # Gathered as it is: the one query takes them all.
            if claim is not True:
                self.merging.claims.append(z3.Implies(guard(m), z3.BoolVal(claim)
                                                      if isinstance(claim, bool) else claim))
            return
        claim = decided(claim)
        if claim is True:
            return
        if claim is False or self.query(z3.Not(claim)):
            self.disprove(m, ins, message, self.model() if claim is not False else None)

    def disprove(self, m, ins, message, model=None):
        if self.merging is not None:
            raise Unmerged(message)
        if model is None and self.query():
            model = self.model()
        if callable(message):
            message = message(model)
        raise Disproved(f"{ins.address:#x} `{ins.mnemonic} {ins.op_str}`: {message}\n"
                        f"    input: {self.run.describe(model)}\n"
                        f"    path: {describe_path(m)}")

    def fresh(self, name, width):
        self.fresh_count[name] += 1
        return z3.BitVec(f"{name}#{self.fresh_count[name]}", width)

    def locate(self, m, address, what):
        """The number an address is, for the memory model."""
        return m.number(address, what)

    def arrive(self, m):
        """A path reaching a cut (none here)."""
        raise NotImplementedError

    # ---- obligations, forwarded to the run with the machine ----
    def check_load(self, m, ins, address, size):
        if EXTERNAL_BASE <= address < EXTERNAL_END:
            name = self.program.external_at(address)
            if name not in self.run.externals:
                self.disprove(m, ins, f"reads {name}")
            return
        if RODATA_BASE <= address < EXTERNAL_BASE:
            self.disprove(m, ins, "reads its read-only data other than through a jump")
        if in_stack(address):
            if address < m.regs["esp"]:
                self.disprove(m, ins, f"reads the stack {m.regs['esp'] - address} bytes below "
                                      "the stack pointer")
            return
        self.run.check_load(self, m, ins, address, size)

    def check_store(self, m, ins, address, size):
        if in_stack(address):
            if address + size > STACK_TOP:
                self.disprove(m, ins, "writes the return address or the argument area")
            if address < m.regs["esp"]:
                self.disprove(m, ins, "writes the stack below the stack pointer")
            return
        self.run.check_store(self, m, ins, address, size)

    def check_call(self, m, ins, name, after):
        if name != HOOK:
            self.disprove(m, ins, f"calls {name}")
        # The hook finds the routine's caller through the frame pointer.
        ebp = m.regs["ebp"]
        frame = m.regs["esp"]
        if ebp != frame or concat(m.mem.load(ebp + 4, 4)) != RETURN_ADDRESS:
            self.disprove(m, ins, "calls the hook without the frame pointer on the saved "
                                  "frame pointer below the return address")
        self.always(m, ins, bv(concat(m.mem.load(ebp, 4)), 32) == self.entry["ebp"],
                    "calls the hook without the caller's frame pointer saved")

    def check_return(self, m, ins):
        if m.regs["esp"] != STACK_TOP or concat(m.mem.load(STACK_TOP, 4)) != RETURN_ADDRESS:
            self.disprove(m, ins, "returns with the stack pointer not at the return address")
        for r in CALLEE_SAVED:
            v = m.regs[r]
            if not (not known(v) and v.eq(self.entry[r])):
                self.always(m, ins, bv(v, 32) == self.entry[r], f"returns with %{r} changed")
        if m.df:
            self.disprove(m, ins, "returns with the direction flag set")
        self.run.check_return(self, m, ins)

    # ---- the paths ----
    def start(self):
        self.begin(self.entry_machine())

    def entry_machine(self):
        """The machine at the routine's entry, called with the run's arguments."""
        m = Machine(self)
        self.entry = {r: z3.BitVec(f"entry.{r}", 32) for r in GENERAL}
        m.regs = dict(self.entry)
        m.regs["esp"] = STACK_TOP
        m.xmm = [tuple(z3.BitVec(f"entry.xmm{i}.{j}", 8) for j in range(LANES)) for i in range(XMM)]
        m.mem = Memory(self.initial)
        m.mem.store(STACK_TOP, [extract(RETURN_ADDRESS, 8 * i, 8) for i in range(4)])
        for i, arg in enumerate(self.run.arguments):
            m.mem.store(STACK_TOP + 4 * (i + 1), [extract(arg, 8 * j, 8) for j in range(4)])
        m.pc = self.program.entry
        return m

    def begin(self, m):
        """Every path from `m` on the inputs the run allows."""
        self.solver.add(decided(self.run.precondition))
        if not self.query():
            raise Disproved(f"no input meets the run's limits ({self.run.describe(None)})")
        m.model = self.model()
        sys.setrecursionlimit(100000)
        self.explore(m)

    def initial(self, address):
        if EXTERNAL_BASE <= address < EXTERNAL_END:
            name = self.program.external_at(address)
            return self.run.external(name, address - self.program.externals[name])
        return self.run.initial(address)

    def explore(self, m):
        program = self.program
        while True:
            if m.steps and m.pc in self.cuts:
                return self.arrive(m)
            if self.merges and self.merging is None and m.pc in program.tails and \
                    program.ways(m.pc) <= MERGED_WAYS:
                return self.merge(m)
            ins = program.at(m.pc)
            if self.merging is None:
                self.coverage.add(m.pc)
            else:
                m.seen.append(m.pc)
            m.steps += 1
            if m.steps > MAX_STEPS:
                self.disprove(m, ins, f"a path longer than {MAX_STEPS} instructions")
            try:
                outcome = step(m, ins)
            except NeedNumber as need:
                return self.split(m, need.value, need.what, ins)
            except Unmodelled:
                if self.merging is not None:
                    raise Unmerged("an instruction outside the model")
                raise
            if isinstance(outcome, Next):
                self.go(m, ins, outcome.address)
            elif isinstance(outcome, Branch):
                cond = decided(outcome.condition)
                if isinstance(cond, bool):
                    self.take(m, ins, *outcome.way(cond))
                    continue
                if self.merging is not None:
                    # Both ways, unasked: a way no input takes meets its
                    # obligations under a guard that never holds.
                    self.follow(m.copy(), ins, z3.Not(cond), *outcome.way(False))
                    self.follow(m, ins, cond, *outcome.way(True))
                    return
                # The path's model, an input that takes the path, shows one
                # side feasible at no cost; the solver is asked of the other.
                holds = z3.is_true(m.model.eval(cond, model_completion=True))
                side, other_side = (cond, z3.Not(cond)) if holds else (z3.Not(cond), cond)
                if self.query(other_side):
                    self.stats["forks"] += 1
                    other = m.copy()
                    other.model = self.model()
                    self.follow(other, ins, other_side, *outcome.way(not holds))
                    self.follow(m, ins, side, *outcome.way(holds))
                    return
                where, then = outcome.way(holds)
                m.trace.append((ins.address, where))
                self.take(m, ins, where, then)
            elif isinstance(outcome, Table):
                return self.dispatch(m, ins, outcome)
            else:
                self.check_return(m, ins)
                if self.merging is not None:
                    self.merging.ways.append(m)
                    return
                self.stats["paths"] += 1
                self.count_loops(m)
                return

    def merge(self, m):
        """Every way from `m`, which reaches code that runs straight to a
        return, checked with one query where all of them meet their
        obligations; else followed one by one."""
        replay = m.copy()
        self.merging = Merge()
        self.solver.push()
        try:
            self.explore(m)
            merged = self.merging
        except Unmerged:
            merged = None
        finally:
            self.solver.pop()
            self.merging = None
        if merged is not None and not self.query(z3.Not(z3.And(merged.claims))):
            self.stats["merged"] += 1
            self.stats["paths"] += len(merged.ways)
            for way in merged.ways:
                # What a way runs counts as reached once an input takes it.
                if not set(way.seen) <= self.coverage and self.query(guard(way)):
                    self.coverage.update(way.seen)
                self.count_loops(way)
            return
        self.merges = False
        try:
            self.explore(replay)
        finally:
            self.merges = True

    def count_loops(self, m):
        """The most times a path has come back to each loop head."""
        for head, n in m.back.items():
            self.stats["loops"][head] = max(self.stats["loops"][head], n)

    def go(self, m, ins, address):
        if address in self.program.loop_heads:
            m.back[address] += 1
        m.pc = address

    def take(self, m, ins, address, then):
        """Goes to `address` after what the branch does on the way there."""
        if then:
            then(m)
        self.go(m, ins, address)

    def follow(self, m, ins, condition, address, then):
        """Goes on at `address`, as `take`, where `condition` holds."""
        m.trace.append((ins.address, address))
        if self.merging is not None:
            m.guard.append(condition)
        self.solver.push()
        self.solver.add(condition)
        try:
            self.take(m, ins, address, then)
            self.explore(m)
        finally:
            self.solver.pop()

    def values(self, m, ins, value, what):
        """Every value `value` may take on this path, with an input for each."""
        found = []
        self.solver.push()
        try:
            while self.query():
                model = self.model()
                v = model.eval(value, model_completion=True).as_long()
                found.append((v, model))
                if len(found) > MAX_VALUES:
                    self.solver.pop()
                    self.solver.push()
                    self.disprove(m, ins, f"{what} takes more than {MAX_VALUES} values")
                self.solver.add(value != v)
        finally:
            self.solver.pop()
        return sorted(found, key=lambda f: f[0])

    def split(self, m, value, what, ins):
        """One path for each number `value` may be."""
        for v, model in self.values(m, ins, value, what):
            other = m.copy()
            other.model = model
            other.numbers[value.get_id()] = v
            if self.merging is not None:
                other.guard.append(value == v)
            self.solver.push()
            try:
                self.solver.add(value == v)
                self.settle(other, value)
                self.explore(other)
            finally:
                self.solver.pop()

    def settle(self, m, value):
        """Where the path now fixes a variable of `value`, use its number."""
        names = get_vars(value)
        if len(names) != 1 or not self.query():
            return
        x = names[0]
        v = self.model().eval(x, model_completion=True)
        if not self.query(x != v):
            m.pinned = m.pinned + [(x, v)]
            m.substitute(m.pinned)

    def dispatch(self, m, ins, table):
        index = table.index
        targets = table.targets
        choices = [(index, m.model)] if known(index) else \
            self.values(m, ins, index, "a jump table's index")
        for i, model in choices:
            if not 0 <= i < len(targets):
                if not known(index):
                    self.solver.push()
                    self.solver.add(index == i)
                self.disprove(m, ins, f"jumps through entry {i} of a table of {len(targets)}")
            other = m.copy() if len(choices) > 1 else m
            other.model = model
            if known(index):
                self.go(other, ins, targets[i])
                return self.explore(other)
            other.trace.append((ins.address, targets[i]))
            if self.merging is not None:
                other.guard.append(index == i)
            self.solver.push()
            try:
                self.solver.add(index == i)
                self.settle(other, index)
                self.go(other, ins, targets[i])
                self.explore(other)
            finally:
                self.solver.pop()


class Merge:
    """What the ways through merged code must meet, each under its guard,
    and the machines at their returns."""

    def __init__(self):
        self.claims, self.ways = [], []


def guard(m):
    """The conditions of the branches a way took in merged code."""
    return z3.And(m.guard) if m.guard else z3.BoolVal(True)


def decided(condition):
    """The condition simplified (the solver then sees plain comparisons of
    bytes, not masks built from them), or True or False where it is known."""
    if isinstance(condition, bool):
        return condition
    condition = z3.simplify(condition)
    return True if z3.is_true(condition) else False if z3.is_false(condition) else condition


def describe_path(m):
    """The branches that depended on the inputs, and the loops' runs."""
    steps = " ".join(f"{a:#x}>{t:#x}" for a, t in m.trace[-24:])
    if len(m.trace) > 24:
        steps = f"... ({len(m.trace) - 24} earlier) " + steps
    return steps or "(no branch depended on the inputs)"
