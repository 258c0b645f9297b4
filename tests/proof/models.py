# SPDX-License-Identifier: MIT
"""The standard routines as plain loops over symbolic bytes: what each
routine must return, read and leave in memory, for every content at once.

A loop over symbolic bytes cannot stop at the first match, so each walks
the whole bound and records every place it would have stopped, with the
condition under which it stops there: a First (or, for the last match, a
Last).  The obligations ask of such a value only whether a property holds
of it (`holds`), which the solver answers on a chain of conditions whose
cases the property already decides for known numbers: asking whether a
search returned start + 5 leaves only "no match before 5, a match at 5".

Each model takes the buffers' bytes (lists of 8-bit z3 values, index 0 at
the start) and the arguments, as z3 values.
"""
from dataclasses import dataclass

import z3
from z3 import And, Concat, If, Not, Or, ULT

CHAR = 4


class First:
    """The value of the first case whose condition holds, else `default`."""

    def __init__(self, default):
        self.default, self.cases = default, []

    def case(self, condition, value):
        self.cases.append((condition, value))

    def map(self, f):
        out = type(self)(f(self.default))
        out.cases = [(c, f(v)) for c, v in self.cases]
        return out

    def ordered(self):
        return self.cases

    def holds(self, prop):
        """A z3 condition: prop (True, False or z3) holds of the value.  Most
        properties are decided, for known numbers, for every case but one or
        two: a run of cases decided alike is joined in one Or (it holds) or
        one And of their negations (it fails), not in a chain of them."""
        cases, negated = self.ordered(), self.negated()
        out, run, kind = prop(self.default), [], None
        for i in reversed(range(len(cases))):
            condition, value = cases[i]
            p = prop(value)
            decided = p if isinstance(p, bool) else None
            if run and decided is not kind:
                out, run = join(kind, run, out), []
            if decided is None:
                out = If(condition, p, out)
            else:
                run.append(condition if decided else negated[i])
                kind = decided
        return join(kind, run, out) if run else out

    def negated(self):
        """The negations of the conditions of ordered(), made once."""
        if len(getattr(self, "_negated", ())) != len(self.cases):
            self._negated = [Not(c) for c, _ in self.ordered()]
        return self._negated

    def any(self):
        return Or([c for c, _ in self.cases])

    def value(self, width=32):
        """The value itself, as a z3 term (for a counterexample's report)."""
        out = as_bv(self.default, width)
        for condition, value in reversed(self.ordered()):
            out = If(condition, as_bv(value, width), out)
        return out

    def equals(self, number):
        """A z3 condition: the value taken is `number` (an int or a 32-bit
        term; not NOT_FOUND).  For an int, each case of that value is the
        chain of the earlier cases not taken, made once, and its own
        condition, and no other case is visited.  For a term, a chain of
        If over the cases, made through z3's C interface."""
        chains = self.chains()
        cases = self.ordered()
        if not isinstance(number, int):
            out = z3.BoolVal(False) if self.default is NOT_FOUND else \
                equal_words(self.default, number)
            for condition, value in reversed(cases):
                out = if_then(condition, z3.BoolVal(False) if value is NOT_FOUND else
                              equal_words(value, number), out)
            return out
        terms = [both([chains.before[k], cases[k][0]], True)
                 for k in chains.by_value.get(number, ())]
        terms += [both([chains.before[k], cases[k][0], equal_words(cases[k][1], number)], True)
                  for k in chains.symbolic]
        if self.default is not NOT_FOUND:
            if isinstance(self.default, int):
                if self.default == number:
                    terms.append(chains.after_all)
            else:
                terms.append(both([chains.after_all, equal_words(self.default, number)], True))
        return either(terms, False) if terms else z3.BoolVal(False)

    def none(self):
        """A z3 condition: the value taken is NOT_FOUND."""
        if self.default is NOT_FOUND and all(v is not NOT_FOUND for _, v in self.cases):
            return self.chains().after_all
        return self.holds(lambda v: v is NOT_FOUND)

    def chains(self):
        """For each case, in the order they are tried, that none before it
        is taken (one chain, each link made once), the cases by their
        number, those whose value is a term, and that no case is taken."""
        made = getattr(self, "_chains", None)
        if made is None or made.count != len(self.cases):
            by_value, symbolic, before = {}, [], []
            prefix = z3.BoolVal(True)
            for k, (condition, value) in enumerate(self.ordered()):
                before.append(prefix)
                if isinstance(value, int):
                    by_value.setdefault(value, []).append(k)
                elif value is not NOT_FOUND:
                    symbolic.append(k)
                prefix = And(prefix, Not(condition))
            made = self._chains = Chains(len(self.cases), before, by_value, symbolic, prefix)
        return made


@dataclass
class Chains:
    count: int
    before: list
    by_value: dict
    symbolic: list
    after_all: object


_WORDS = {}


def equal_words(a, b):
    """a == b for 32-bit values, ints or terms, made by z3's C interface
    (the numbers made once)."""
    context = z3.main_ctx()
    x, y = (word_ast(v) for v in (a, b))
    return z3.BoolRef(z3.Z3_mk_eq(context.ref(), x, y), context)


def if_then(condition, then, otherwise):
    """If(condition, then, otherwise) for conditions, by z3's C interface."""
    context = z3.main_ctx()
    return z3.BoolRef(z3.Z3_mk_ite(context.ref(), condition.as_ast(), then.as_ast(),
                                   otherwise.as_ast()), context)


def word_ast(v):
    if isinstance(v, int):
        v &= 0xffffffff
        if v not in _WORDS:
            _WORDS[v] = z3.BitVecVal(v, 32)
        return _WORDS[v].as_ast()
    return v.as_ast()


def join(holds, conditions, out):
    """Or(conditions..., out) for a run of cases the property holds of, else
    And(negated conditions..., out)."""
    if holds:
        return True if out is True else either(conditions, out)
    return False if out is False else both(conditions, out)


def connective(make, identity):
    """An n-ary Or or And of z3 conditions and a last term that may be a
    plain bool, made by z3's C interface: its Python And and Or check every
    operand's sort one by one, which took a fifth of a full proof's time."""
    def apply(conditions, last):
        terms = list(conditions) + ([] if last is identity else [last])
        array = (z3.Ast * len(terms))(*(t.as_ast() for t in terms))
        context = z3.main_ctx()
        return z3.BoolRef(make(context.ref(), len(terms), array), context)
    return apply


either = connective(z3.Z3_mk_or, False)
both = connective(z3.Z3_mk_and, True)


class Last(First):
    """The value of the last case whose condition holds, else `default`."""

    def ordered(self):
        return list(reversed(self.cases))


def as_bv(v, width):
    return z3.BitVecVal(v, width) if isinstance(v, int) else v


NOT_FOUND = None


def memchr(s, c, n):
    """Index of the first of the first n bytes equal to c (NOT_FOUND if none)."""
    found = First(NOT_FOUND)
    for i in range(len(s)):
        found.case(And(ULT(i, n), s[i] == c), i)
    return found


def strnlen(s, n):
    """Index of the first zero byte among the first n, else n."""
    length = First(n)
    for i in range(len(s)):
        length.case(And(ULT(i, n), s[i] == 0), i)
    return length


def strlen(s):
    """Index of the first zero byte (the bound holds one: see `terminated`)."""
    length = First(len(s))
    for i in range(len(s)):
        length.case(s[i] == 0, i)
    return length


def terminated(s):
    return Or([b == 0 for b in s])


def strrchr(s, c, before=None):
    """Index of the last byte up to the terminator equal to c (NOT_FOUND if
    none).  `before`, where given, is (condition, index) of the last match
    in front of s[0], which a later one replaces."""
    found = Last(NOT_FOUND)
    if before is not None:
        found.case(*before)
    in_string = z3.BoolVal(True)
    for i in range(len(s)):
        found.case(And(in_string, s[i] == c), i)
        in_string = And(in_string, s[i] != 0)
    return found


def characters(s):
    return [Concat(*reversed(s[k:k + CHAR])) for k in range(0, len(s) - CHAR + 1, CHAR)]


def decides(a, b):
    """Characters a and b end the comparison: they differ or both end."""
    return Or(a != b, a == 0)


def wcscmp(s1, s2):
    """Index of the first deciding pair (the bound holds one: see `compared`)
    and the result: -1, 0 or 1 by that pair as signed characters."""
    a, b = characters(s1), characters(s2)
    at, result = First(len(a)), First(0)
    for k in range(len(a)):
        at.case(decides(a[k], b[k]), k)
        result.case(decides(a[k], b[k]), If(a[k] == b[k], z3.BitVecVal(0, 32),
                                            If(a[k] > b[k], z3.BitVecVal(1, 32),
                                               z3.BitVecVal(-1, 32))))
    return at, result


def compared(s1, s2):
    return Or([decides(x, y) for x, y in zip(characters(s1), characters(s2))])


def memset(c, size):
    """The byte each byte of the range holds after the fill."""
    return [c] * size
