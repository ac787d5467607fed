"""Plain Python model of coefficient programs, for the tests.

A program is a list of words (opcodes) and a parallel list of constants
(operands). The value stack is a list of slots with a depth: slots at and
above the depth keep whatever they held, as the X stack does.

  1 push parameter  push params[trunc(operand)]
  2 push constant   push operand
  3 add             second := top + second, pop
  4 negate          top := -top
  5 multiply        second := top * second, pop
  6 reciprocal      top := 1 / top
  7 no-op
  8 sum             replace the top trunc(operand) values by their sum
                    (added from the top downward; 0.0 pushed for <= 0)
Every other word is skipped.

A sum or a product is formed in second (in the running sum for word 8): when
both operands are NaN the value is that operand's NaN, quieted, as the
processor keeps the NaN of the register an operation is formed in.
"""
from __future__ import annotations

import math
import struct

INT32_MIN = -2**31


def trunc32(x):
    """Operand truncated toward zero to a 32-bit integer."""
    if math.isnan(x) or not (-2**31 - 1 < x < 2**31):
        return INT32_MIN
    return int(x)


def low32(v):
    """Low 32 bits of an integer, as a signed 32-bit value."""
    v &= 0xFFFFFFFF
    return v - 2**32 if v >= 2**31 else v


def _quieted(x):
    """x with its quiet bit set (a NaN keeps its sign and payload)."""
    bits = struct.unpack("<Q", struct.pack("<d", x))[0] | 0x0008000000000000
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def add_into(into, x):
    """into + x formed in into: into's NaN when both are NaN. Python's own
    float operations leave which one to how the interpreter was compiled."""
    return _quieted(into) if math.isnan(into) and math.isnan(x) else into + x


def multiply_into(into, x):
    """into * x formed in into, like add_into."""
    return _quieted(into) if math.isnan(into) and math.isnan(x) else into * x


def is_constant(words):
    """One instruction whose word is 2 or 10."""
    return len(words) == 1 and int(words[0]) in (2, 10)


class ValueStack:
    def __init__(self, slots=(), depth=0):
        self.slots = [float(v) for v in slots]
        self.depth = depth

    def _set(self, k, v):
        while len(self.slots) <= k:
            self.slots.append(0.0)
        self.slots[k] = v

    def push(self, v):
        self._set(self.depth, float(v))
        self.depth += 1

    def pop(self):
        self.depth -= 1
        return self.slots[self.depth]

    @property
    def bottom(self):
        return self.slots[0]

    def run(self, words, consts, params):
        for w, c in zip(words, consts):
            w = int(w)
            if w == 1:
                self.push(params[trunc32(c)])
            elif w == 2:
                self.push(c)
            elif w == 3:
                top = self.pop()
                second = self.pop()
                self.push(add_into(second, top))
            elif w == 4:
                self.push(-self.pop())
            elif w == 5:
                top = self.pop()
                second = self.pop()
                self.push(multiply_into(second, top))
            elif w == 6:
                top = self.pop()
                self.push(1.0 / top if top != 0.0 else math.copysign(math.inf, top))
            elif w == 8:
                n = trunc32(c)
                total = 0.0
                for _ in range(max(n, 0)):
                    total = add_into(total, self.pop())
                self.push(total)
        return self


def value(words, consts, params):
    """Bottom value of the stack after running the program on an empty stack."""
    return ValueStack().run(words, consts, params).bottom


def evaluate_table(code, cconst, sizes, params, varidx, row_code_ptr, ptrb, ptre,
                   out=0, stack=None):
    """Triplets (row, low 32 bits of variable, value) of every stored entry,
    in row and entry order, the next output position and the final depth.
    `stack` is the ValueStack the evaluation starts from (its depth carries
    into the first entry)."""
    vs = stack if stack is not None else ValueStack()
    triplets = []
    for r in range(len(ptrb)):
        pos = int(row_code_ptr[r]) if ptrb[r] < ptre[r] else 0
        for j in range(int(ptrb[r]), int(ptre[r])):
            n = int(sizes[j])
            if n > 0:
                vs.run(code[pos:pos + n], cconst[pos:pos + n], params)
                pos += n
            triplets.append((r, low32(int(varidx[j])), vs.bottom))
            out += 1
            vs.depth = 0
    return triplets, out, vs.depth


# ---------------------------------------------------------------------------
# Host-side pipeline: store the programs of an expression in a parameter
# table with the module's kernels and evaluate them there.

class TableRun:
    """Result of storing and evaluating an expression's programs."""

    def __init__(self, **kw):
        self.__dict__.update(kw)


def run_through_table(kernel, stack, n, *, ptr, nidxs, codeptr, code, cconst, params,
                      nativeidxs=None, nrows=None):
    """Store the non-constant programs of the expression on `stack` (used as
    the R stack; blocks at the given positions, n elements) in a fresh
    parameter table, one row per element (row nativeidxs[e]), then evaluate
    the table. `term_values` maps each term with a stored program to the
    value the evaluator gave it."""
    import numpy as np

    if nativeidxs is None:
        nativeidxs = np.arange(n, dtype=np.int32)
    nativeidxs = np.asarray(nativeidxs, np.int32)
    if nrows is None:
        nrows = int(nativeidxs.max()) + 1 if n else 0
    count, total = kernel(135)(code, codeptr, n, 0, 0, ptr, stack.i32)
    ptrb = np.zeros(nrows, np.int32)
    ptre = np.zeros(nrows, np.int32)
    row_code_ptr = np.zeros(nrows, np.int32)
    reserved = kernel(136)(code, codeptr, 0, 0, nativeidxs, n, ptr, stack.i32, row_code_ptr, ptrb, ptre)
    tcode = np.zeros(max(total, 1), np.int32)
    tconst = np.zeros(max(total, 1), np.float64)
    sizes = np.full(max(count, 1), -1, np.int32)
    varidx = np.zeros(max(count, 1), np.int64)
    stored = kernel(137)(tconst, cconst, tcode, code, codeptr, nativeidxs, n, nidxs, True, sizes, varidx,
                         ptr, stack.f64, stack.i32, stack.i64, row_code_ptr, ptrb)
    subi = np.full(max(count, 1), -1, np.int32)
    subj = np.full(max(count, 1), -1, np.int32)
    val = np.full(max(count, 1), np.nan)
    xf64 = np.zeros(64)
    evaluated = kernel(134)(tconst, tcode, 0, sizes, np.asarray(params, np.float64), varidx, row_code_ptr,
                            ptrb, ptre, 0, 0, subi, subj, val, xf64)
    # Triplets come row by row, entries in term order: map them back to terms.
    term_values = {}
    row_terms = {}
    i32, i64 = stack.i32, stack.i64
    for e in range(n):
        terms = []
        for t in range(int(i32[ptr + e]), int(i32[ptr + e + 1])):
            s, f = int(i32[codeptr + t]), int(i32[codeptr + t + 1])
            if not is_constant(i32[code + s:code + f]):
                terms.append(t)
        if terms:
            row_terms[int(nativeidxs[e])] = terms
    k = 0
    for r in sorted(row_terms):
        for t in row_terms[r]:
            assert (subi[k], subj[k]) == (r, low32(int(i64[nidxs + t])))
            term_values[t] = float(val[k])
            k += 1
    return TableRun(count=count, total=total, reserved=reserved, stored=stored, evaluated=evaluated,
                    term_values=term_values, subi=subi[:k], subj=subj[:k], val=val[:k],
                    ptrb=ptrb, ptre=ptre, row_code_ptr=row_code_ptr, sizes=sizes[:count],
                    varidx=varidx[:count], code=tcode[:total], cconst=tconst[:total])


# ---------------------------------------------------------------------------
# Effective coefficients: a term's coefficient plus the value of its program.

def effective_dense(expr, params, nvars):
    """Array of shape expr.shape + (nvars,): per element and variable, the sum
    of the terms' effective coefficients (coefficient + program value)."""
    import numpy as np

    cof = expr.cof.astype(float).copy()
    if expr.programs:
        for t in range(expr.m):
            cof[t] += value(*expr.program(t), params)
    out = np.zeros((expr.size, nvars))
    ids = expr.element_ids()
    for e in range(expr.n):
        a, b = expr.ptr[e], expr.ptr[e + 1]
        np.add.at(out[ids[e]], expr.nidxs[a:b], cof[a:b])
    return out.reshape(expr.shape + (nvars,))
