"""Evaluation stacks of the host: places operands on a W stack and reserves
result blocks on an R stack. Only positions and sizes are computed here; the
runs themselves are moved by the module's copy kernels."""
from __future__ import annotations

import numpy as np

import fragments as _F

I32, I64, F64 = np.int32, np.int64, np.float64


def K(n):
    """Kernel number n of the module."""
    return getattr(_F, f"_c_closure_{n}")


class Expr:
    """Blocks of one dense stacked expression (shape, row pointer, terms and,
    when some coefficient depends on parameters, its programs)."""

    __slots__ = ("shape", "ptr", "nidxs", "cof", "codeptr", "code", "cconst", "model")

    def __init__(self, model, shape, ptr, nidxs, cof, codeptr=None, code=None, cconst=None):
        self.model = model
        self.shape = tuple(int(s) for s in shape)
        self.ptr, self.nidxs, self.cof = ptr, nidxs, cof
        self.codeptr, self.code, self.cconst = codeptr, code, cconst

    @property
    def n(self):
        return len(self.ptr) - 1

    @property
    def m(self):
        return len(self.nidxs)

    @property
    def prog(self):
        return self.codeptr is not None

    @property
    def ncode(self):
        return len(self.code) if self.prog else 0


class Placed:
    """Positions of one operand's blocks on a W stack."""

    __slots__ = ("e", "shape", "ptr", "nidxs", "cof", "codeptr", "code", "cconst")


class WStack:
    """A W stack holding the given operands back to back."""

    def __init__(self, exprs):
        n32 = sum(len(e.shape) + e.n + 1 + ((e.m + 1 + e.ncode) if e.prog else 0) for e in exprs)
        n64 = sum(e.m for e in exprs)
        nf = sum(e.m + e.ncode for e in exprs)
        self.i32 = np.zeros(max(n32, 1), I32)
        self.i64 = np.zeros(max(n64, 1), I64)
        self.f64 = np.zeros(max(nf, 1), F64)
        self.ops = []
        p32 = p64 = pf = 0
        for e in exprs:
            p = Placed()
            p.e = e
            nd = len(e.shape)
            p.shape = p32
            if nd:
                K(578)(self.i32, np.asarray(e.shape, I32), p32)
            p32 += nd
            p.ptr = p32
            K(576)(e.n + 1, self.i32, p32, 0, e.ptr)
            p32 += e.n + 1
            p.nidxs, p.cof = p64, pf
            K(389)(0, e.m, self.i64, p64, e.nidxs)
            K(390)(0, e.m, pf, self.f64, e.cof)
            p64 += e.m
            pf += e.m
            p.codeptr = p.code = p.cconst = 0
            if e.prog:
                p.codeptr = p32
                K(576)(e.m + 1, self.i32, p32, 0, e.codeptr)
                p32 += e.m + 1
                p.code = p32
                K(576)(e.ncode, self.i32, p32, 0, e.code)
                p32 += e.ncode
                p.cconst = pf
                K(390)(0, e.ncode, pf, self.f64, e.cconst)
                pf += e.ncode
            self.ops.append(p)

    def descriptors(self, weights=None):
        """Operand descriptor arrays (int32) and weights."""
        ops = self.ops
        d = {
            "nd": [len(p.e.shape) for p in ops], "shape_base": [p.shape for p in ops],
            "nelem": [p.e.n for p in ops], "ptr_base": [p.ptr for p in ops], "nnz": [p.e.m for p in ops],
            "nidxs_base": [p.nidxs for p in ops], "cof_base": [p.cof for p in ops],
            "sp_base": [0 for p in ops], "ncodeatom": [p.e.ncode for p in ops],
            "codeptr": [p.codeptr for p in ops], "code": [p.code for p in ops], "cconst": [p.cconst for p in ops],
        }
        out = {k: np.asarray(v, I32) for k, v in d.items()}
        out["w"] = np.asarray(weights if weights is not None else [1.0] * len(ops), F64)
        return out


class RStack:
    """Result blocks of one expression: nd shape entries, n elements, m terms
    and, with programs, a program positions."""

    def __init__(self, nd, n, m, a=0, prog=False):
        self.nd, self.n, self.m, self.a, self.prog = nd, n, m, a, prog
        n32 = nd + n + 1 + ((m + 1 + a) if prog else 0)
        self.i32 = np.zeros(max(n32, 1), I32)
        self.i64 = np.zeros(max(m, 1), I64)
        self.f64 = np.zeros(max(m + (a if prog else 0), 1), F64)
        self.shape = 0
        self.ptr = nd
        self.nidxs = 0
        self.cof = 0
        self.codeptr = nd + n + 1
        self.code = self.codeptr + m + 1
        self.cconst = m

    def expr(self, model, shape=None, m=None, a=None):
        """The result as an expression (views of the R stack's blocks)."""
        m = self.m if m is None else m
        a = self.a if a is None else a
        shape = tuple(self.i32[:self.nd]) if shape is None else shape
        e = Expr(model, shape, self.i32[self.ptr:self.ptr + self.n + 1], self.i64[:m], self.f64[:m])
        if self.prog:
            e.codeptr = self.i32[self.codeptr:self.codeptr + m + 1]
            e.code = self.i32[self.code:self.code + a]
            e.cconst = self.f64[self.cconst:self.cconst + a]
        return e
