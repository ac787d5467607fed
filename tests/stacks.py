"""Host-side helper: lays stacked expressions out on numpy stack arrays and
reads them back, so that tests state expressions instead of offsets.

A stacked expression is a shape, a row pointer, variable indices and
coefficients per term, optionally sparsity indices (sparse expressions) and
optionally coefficient programs (program pointer, words and constants).
"""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Optional

import numpy as np


@dataclass
class Expr:
    shape: tuple
    ptr: np.ndarray                      # int32, n + 1
    nidxs: np.ndarray                    # int64, m
    cof: np.ndarray                      # float64, m
    sp: Optional[np.ndarray] = None      # int64, n (sparse only)
    codeptr: Optional[np.ndarray] = None  # int32, m + 1
    code: Optional[np.ndarray] = None    # int32
    cconst: Optional[np.ndarray] = None  # float64

    def __post_init__(self):
        self.shape = tuple(int(x) for x in self.shape)
        self.ptr = np.asarray(self.ptr, np.int32)
        self.nidxs = np.asarray(self.nidxs, np.int64)
        self.cof = np.asarray(self.cof, np.float64)
        if self.sp is not None:
            self.sp = np.asarray(self.sp, np.int64)
        if self.codeptr is not None:
            self.codeptr = np.asarray(self.codeptr, np.int32)
            self.code = np.asarray(self.code, np.int32)
            self.cconst = np.asarray(self.cconst, np.float64)

    @property
    def nd(self):
        return len(self.shape)

    @property
    def n(self):
        return len(self.ptr) - 1

    @property
    def m(self):
        return len(self.nidxs)

    @property
    def size(self):
        return int(np.prod(self.shape, dtype=np.int64))

    @property
    def sparse(self):
        return self.sp is not None

    @property
    def programs(self):
        return self.codeptr is not None

    @property
    def ncode(self):
        return 0 if self.code is None else len(self.code)

    def element_ids(self):
        """Row-major linear index of each stored element."""
        return self.sp if self.sparse else np.arange(self.n, dtype=np.int64)

    def terms(self, e):
        """(variable, coefficient) pairs of stored element e, in order."""
        a, b = self.ptr[e], self.ptr[e + 1]
        return list(zip(self.nidxs[a:b].tolist(), self.cof[a:b].tolist()))

    def program(self, t):
        """(words, constants) of term t."""
        a, b = self.codeptr[t], self.codeptr[t + 1]
        return self.code[a:b].tolist(), self.cconst[a:b].tolist()

    def dense(self, nvars=None):
        """Coefficient array of shape shape + (nvars,): entry [..., v] is the sum
        of the coefficients of variable v in that element."""
        if nvars is None:
            nvars = int(self.nidxs.max()) + 1 if self.m else 1
        out = np.zeros((self.size, nvars))
        ids = self.element_ids()
        for e in range(self.n):
            a, b = self.ptr[e], self.ptr[e + 1]
            np.add.at(out[ids[e]], self.nidxs[a:b], self.cof[a:b])
        return out.reshape(self.shape + (nvars,))


def random_expr(rng, shape, nvars=6, max_terms=3, sparse=False, density=0.5,
                programs=False, nparams=4):
    """A random expression; zero-term elements and repeated variables occur."""
    shape = tuple(shape)
    size = int(np.prod(shape, dtype=np.int64))
    if sparse:
        keep = rng.random(size) < density
        sp = np.flatnonzero(keep).astype(np.int64)
        n = len(sp)
    else:
        sp = None
        n = size
    counts = rng.integers(0, max_terms + 1, size=n)
    ptr = np.concatenate([[0], np.cumsum(counts)]).astype(np.int32)
    m = int(ptr[-1])
    nidxs = rng.integers(0, nvars, size=m)
    cof = rng.integers(-9, 10, size=m).astype(np.float64)
    expr = Expr(shape, ptr, nidxs, cof, sp)
    if programs:
        words, consts, cptr = [], [], [0]
        for _ in range(m):
            w, c = random_program(rng, nparams)
            words += w
            consts += c
            cptr.append(len(words))
        expr.codeptr = np.asarray(cptr, np.int32)
        expr.code = np.asarray(words, np.int32)
        expr.cconst = np.asarray(consts, np.float64)
    return expr


def random_program(rng, nparams=4):
    """A small valid program: constant, parameter, or a short combination."""
    kind = rng.integers(0, 4)
    if kind == 0:
        return [2], [float(rng.integers(-5, 6))]
    if kind == 1:
        return [1], [float(rng.integers(0, nparams))]
    if kind == 2:
        return [1, 2, 5], [float(rng.integers(0, nparams)), float(rng.integers(1, 4)), 0.0]
    return [1, 1, 3, 4], [float(rng.integers(0, nparams)), float(rng.integers(0, nparams)), 0.0, 0.0]


@dataclass
class Placed:
    """Positions of an expression's blocks on a stack."""
    expr: Expr
    shape: int = 0
    ptr: int = 0
    nidxs: int = 0
    cof: int = 0
    sp: int = 0
    codeptr: int = 0
    code: int = 0
    cconst: int = 0


class Stack:
    """One evaluation stack (int32, int64, float64 arrays). With strided=True
    the arrays handed to kernels are every second element of larger arrays,
    and the elements in between hold sentinels that must never change."""

    SENT32, SENT64, SENTF = -77, -7777, -7.5

    def __init__(self, size=2048, strided=False, gap=3):
        self.strided = strided
        self.gap = gap
        step = 2 if strided else 1
        self._i32 = np.full(size * step, self.SENT32, np.int32)
        self._i64 = np.full(size * step, self.SENT64, np.int64)
        self._f64 = np.full(size * step, self.SENTF, np.float64)
        self.i32 = self._i32[::step]
        self.i64 = self._i64[::step]
        self.f64 = self._f64[::step]
        self.top = {"i32": gap, "i64": gap, "f64": gap}

    def reserve(self, kind, n):
        """Position of a fresh run of n elements (a gap separates runs)."""
        pos = self.top[kind]
        self.top[kind] += max(int(n), 0) + self.gap
        return pos

    def put(self, kind, values):
        values = np.asarray(values)
        pos = self.reserve(kind, len(values))
        getattr(self, kind)[pos:pos + len(values)] = values
        return pos

    def push(self, expr: Expr) -> Placed:
        p = Placed(expr)
        p.shape = self.put("i32", np.asarray(expr.shape, np.int32))
        p.ptr = self.put("i32", expr.ptr)
        p.nidxs = self.put("i64", expr.nidxs)
        p.cof = self.put("f64", expr.cof)
        if expr.sparse:
            p.sp = self.put("i64", expr.sp)
        if expr.programs:
            p.codeptr = self.put("i32", expr.codeptr)
            p.code = self.put("i32", expr.code)
            p.cconst = self.put("f64", expr.cconst)
        return p

    def read(self, nd, n, m, *, shape, ptr, nidxs, cof, sp=None, codeptr=None,
             code=None, cconst=None, ncode=None):
        """Read an expression back from block positions."""
        e = Expr(self.i32[shape:shape + nd].copy(), self.i32[ptr:ptr + n + 1].copy(),
                 self.i64[nidxs:nidxs + m].copy(), self.f64[cof:cof + m].copy())
        if sp is not None:
            e.sp = self.i64[sp:sp + n].copy()
        if codeptr is not None:
            cp = self.i32[codeptr:codeptr + m + 1].copy()
            a = int(cp[-1]) if ncode is None else ncode
            e.codeptr = cp
            e.code = self.i32[code:code + a].copy()
            e.cconst = self.f64[cconst:cconst + a].copy()
        return e

    def sentinels_intact(self):
        """True when nothing was written between the strided elements."""
        if not self.strided:
            return True
        return (np.all(self._i32[1::2] == self.SENT32) and np.all(self._i64[1::2] == self.SENT64)
                and np.all(self._f64[1::2] == self.SENTF))


def descriptors(placed, ws=None):
    """Operand descriptor arrays (int32) and weights for operands on one stack."""
    d = {
        "nd": [p.expr.nd for p in placed],
        "shape_base": [p.shape for p in placed],
        "nelem": [p.expr.n for p in placed],
        "ptr_base": [p.ptr for p in placed],
        "nnz": [p.expr.m for p in placed],
        "nidxs_base": [p.nidxs for p in placed],
        "cof_base": [p.cof for p in placed],
        "sp_base": [p.sp for p in placed],
        "ncodeatom": [p.expr.ncode if p.expr.programs else 0 for p in placed],
        "codeptr": [p.codeptr for p in placed],
        "code": [p.code for p in placed],
        "cconst": [p.cconst for p in placed],
    }
    out = {k: np.asarray(v, np.int32) for k, v in d.items()}
    out["w"] = np.asarray(ws if ws is not None else [1.0] * len(placed), np.float64)
    return out
