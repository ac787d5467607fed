"""Evaluation stacks of the host and the operations on stacked expressions.
An operand is placed on a W stack and a result block reserved on an R stack;
only positions and sizes are computed here, the runs themselves are moved and
combined by the kernels, each operation one chain of kernel calls: sizes
first, then the passes that write the result."""
from __future__ import annotations

import numpy as np

from . import kernels as kn

I32, I64, F64 = np.int32, np.int64, np.float64


class Expr:
    """Blocks of one dense stacked expression (shape, row pointer, terms and,
    when some coefficient depends on parameters, its programs)."""

    __slots__ = ("shape", "ptr", "nidxs", "cof", "codeptr", "code", "cconst", "model", "f64", "cconst_at", "unit", "single", "clean", "distinct",
                 "rows_distinct")

    def __init__(self, model, shape, ptr, nidxs, cof, codeptr=None, code=None, cconst=None):
        self.model = model._ref     # the state a model shares with its parts (see expressions.ModelState)
        self.shape = tuple(map(int, shape))
        self.ptr, self.nidxs, self.cof = ptr, nidxs, cof
        self.codeptr, self.code, self.cconst = codeptr, code, cconst
        # the float run that holds cof at 0 and cconst at cconst_at, when
        # both lie in one array (a result block): an operand on its own is
        # then read where it lies instead of being copied
        self.f64, self.cconst_at = None, 0
        # every element exactly one term, no programs (single), with
        # coefficient 1 (unit: a variable as stated, or a part of one)
        self.unit = self.single = False
        # no constant terms, no programs, every variable index positive (a
        # variable, and constant-matrix products of one)
        self.clean = False
        # no variable twice in the whole expression (a variable that is not
        # semidefinite), and none twice within one element
        self.distinct = self.rows_distinct = False

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


def _integer_size(e):
    """Entries of an operand's integer blocks on a W stack."""
    return len(e.shape) + e.n + 1 + ((e.m + 1 + e.ncode) if e.prog else 0)


class WStack:
    """A W stack holding the given operands back to back."""

    def __init__(self, exprs):
        if len(exprs) == 1:
            self._single(exprs[0])
            return
        n64 = sum(e.m for e in exprs)
        nf = sum(e.m + e.ncode for e in exprs)
        self.i32 = np.zeros(max(sum(_integer_size(e) for e in exprs), 1), I32)
        self.i64 = np.zeros(max(n64, 1), I64)
        self.f64 = np.zeros(max(nf, 1), F64)
        self.ops = []
        p32 = p64 = pf = 0
        for e in exprs:
            p = Placed()
            p.e = e
            p32 = self._lay_integers(e, p, p32)
            p.nidxs, p.cof = p64, pf
            kn.copy_i64_run(0, e.m, self.i64, p64, e.nidxs)
            kn.copy_f64_run(0, e.m, pf, self.f64, e.cof)
            p64 += e.m
            pf += e.m
            p.cconst = 0
            if e.prog:
                p.cconst = pf
                kn.copy_f64_run(0, e.ncode, pf, self.f64, e.cconst)
                pf += e.ncode
            self.ops.append(p)

    def _lay_integers(self, e, p, p32):
        """The operand's integer blocks (shape, row pointer and, with
        programs, program pointer and words) from position p32 on; returns
        the position after them."""
        nd = len(e.shape)
        p.shape = p32
        if nd:
            kn.copy_shape(self.i32, np.asarray(e.shape, I32), p32)
        p32 += nd
        p.ptr = p32
        kn.copy_i32_run(e.n + 1, self.i32, p32, 0, e.ptr)
        p32 += e.n + 1
        p.codeptr = p.code = 0
        if e.prog:
            p.codeptr = p32
            kn.copy_i32_run(e.m + 1, self.i32, p32, 0, e.codeptr)
            p32 += e.m + 1
            p.code = p32
            kn.copy_i32_run(e.ncode, self.i32, p32, 0, e.code)
            p32 += e.ncode
        return p32

    def _single(self, e):
        """One operand: its terms are read where they lie (variable indices,
        and coefficients with program constants when they share an array);
        only the small integer blocks are laid out."""
        m = e.m
        self.i32 = np.empty(max(_integer_size(e), 1), I32)
        p = Placed()
        p.e = e
        self._lay_integers(e, p, 0)
        self.i64 = e.nidxs if m else np.zeros(1, I64)
        p.nidxs = p.cof = p.cconst = 0
        if not e.prog:
            self.f64 = e.cof if m else np.zeros(1, F64)
        elif e.f64 is not None:
            self.f64, p.cconst = e.f64, e.cconst_at
        else:
            self.f64 = np.empty(max(m + e.ncode, 1), F64)
            kn.copy_f64_run(0, m, 0, self.f64, e.cof)
            kn.copy_f64_run(0, e.ncode, m, self.f64, e.cconst)
            p.cconst = m
        self.ops = [p]

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
            e.f64, e.cconst_at = self.f64, self.cconst
        return e


def size_of(shape):
    n = 1
    for s in shape:
        n *= s
    return n


def constant(model, value):
    """Constant expression: one constant term (variable 0) per non-zero value."""
    value = np.asarray(value, F64)
    flat = np.ascontiguousarray(value.reshape(-1))
    m = kn.count_nonzeros(flat, 0)
    R = RStack(value.ndim, flat.size, m)
    if value.ndim:
        kn.copy_shape_n(value.ndim, R.i32, R.shape, np.asarray(value.shape, I32))
    kn.constant_rows(flat, flat.size, 0, R.cof, R.f64, R.i32, R.i64, R.nidxs, R.ptr)
    e = R.expr(model, value.shape)
    e.single = e.rows_distinct = m == flat.size     # no zero: one constant term per element
    return e


# the row pointer 0, 1, .., n and the coefficients 1.0 of an expression of
# one term per element, shared read-only by every such expression of up to
# UNIT_SHARED elements (larger ones get their own)
UNIT_SHARED = 1 << 22
_UNIT = [np.zeros(1, I32), np.zeros(0, F64)]


def unit_runs(n):
    """(row pointer, coefficients) of n elements of one term each with
    coefficient 1."""
    ptr, ones = _UNIT
    if n + 1 > len(ptr):
        if n > UNIT_SHARED:
            ptr, ones = np.zeros(n + 1, I32), np.zeros(n, F64)
            kn.identity_rows(0, n, n, 0, ones, ptr)
            return ptr, ones
        size = min(max(n + 1, 2 * len(ptr)), UNIT_SHARED + 1)
        ptr, ones = np.zeros(size, I32), np.zeros(size, F64)
        kn.identity_rows(0, size - 1, size - 1, 0, ones, ptr)
        ptr.flags.writeable = ones.flags.writeable = False
        _UNIT[:] = ptr, ones
    return ptr[:n + 1], ones[:n]


def _unit(model, shape, nidxs, clean, distinct):
    """The expression whose element k is the one term nidxs[k] with
    coefficient 1 (nidxs its own array)."""
    ptr, ones = unit_runs(len(nidxs))
    e = Expr(model, shape, ptr, nidxs, ones)
    e.unit = e.single = e.rows_distinct = True
    e.clean, e.distinct = clean, distinct
    return e


def _single(model, shape, nidxs, cof, clean):
    """The expression whose element k is the one term (nidxs[k], cof[k])."""
    e = Expr(model, shape, unit_runs(len(nidxs))[0], nidxs, cof)
    e.single = e.rows_distinct = True
    e.clean = clean
    return e


def weighted(values, ws, out=None):
    """The values times each weight of ws in turn, the order a chain of
    sums and scalings applies them (into `out` when given)."""
    out = np.multiply(values, ws[0], out=out)
    for w in ws[1:]:
        out *= w
    return out


def _weight(ws):
    """The product of a chain's weights, in the order the elementwise
    products take them (1 times the first, times the next, ...)."""
    w = 1.0
    for x in ws:
        w *= x
    return w


def single_sum(exprs, weights, places=None):
    """sum_i (w_i,0 w_i,1 ..) E_i of expressions of one shape and one term
    per element each: every element's terms are the operands' terms in
    operand order (as a chain of sums gives them), the coefficients
    multiplied by each operand's weights in the order given (a weight
    applied by a sum inside a sum comes first). None when the result's
    terms do not fit a 32-bit row pointer.

    An operand may instead be a constant array of the shape (C, its
    entries): its non-zero entries are constant terms, its zeros none (as
    a constant expression has them).

    `places` (see deferred._place) tells where operands lie in variables:
    operands of one place have the same terms and are one term of summed
    coefficients (the later added to the earlier, as the solver's matrix
    sums repeated positions); when every operand has a place and the boxes
    of each variable have one shape, no element holds a variable twice."""
    if places is not None and any(p is not None for p in places):
        exprs, weights, merged, distinct = _merge_places(exprs, weights, places)
    else:
        merged, distinct = {}, False
    shape = exprs[0].shape
    model = None
    for e in exprs:
        if e.shape != shape:
            return None
        if model is None and type(e) is Expr:
            model = e.model
    k, n = len(exprs), size_of(shape)
    if k * n >= 1 << 31:
        return None
    if all(type(e) is Expr and e.unit for e in exprs) and all(
            e2.unit for folded in merged.values() for e2, _ in folded):
        return _unit_sum(model, shape, exprs, weights, merged, distinct, n, k)
    return _laid_sum(model, shape, exprs, weights, merged, distinct, n, k)


def _laid_sum(model, shape, exprs, weights, merged, distinct, n, k):
    """single_sum of any operands: the terms laid out element by element,
    each operand's coefficients scaled in a column of their own."""
    nidxs, cof = np.zeros((n, k), I64), np.empty((n, k), F64)
    present = None
    for i, (e, ws) in enumerate(zip(exprs, weights)):
        col = cof[:, i]
        if type(e) is not Expr:
            # a constant with zeros: variable 0 (kept zero), its entries
            c = e.reshape(-1)
            if present is None:
                present = np.ones((n, k), bool)
            np.not_equal(c, 0.0, out=present[:, i])
            weighted(c, ws, col)
        else:
            nidxs[:, i] = e.nidxs
            if e.unit:
                # coefficients 1: each the product of the weights, taken in
                # the order the elementwise products take them
                col[:] = _weight(ws)
            else:
                weighted(e.cof, ws, col)
        for e2, ws2 in merged.get(i, ()):
            # a later operand of the same place: its coefficients added
            col += weighted(e2.cof, ws2)
    ptr = np.zeros(n + 1, I32)
    if present is None:
        kn.step_row_pointer(k, ptr, n, 0)
        nidxs, cof = nidxs.reshape(-1), cof.reshape(-1)
    else:
        # the zeros of the constants dropped, each row's terms in order
        np.cumsum(present.sum(axis=1, dtype=I32), out=ptr[1:])
        nidxs, cof = nidxs[present], cof[present]
    r = Expr(model, shape, ptr, nidxs, cof)
    r.clean = present is None and all(e.clean for e in exprs)
    r.rows_distinct = distinct
    return r


def with_one_term_each(e, nidxs, c):
    """E with the term (nidxs[k], c) appended to element k, after its own
    terms (the terms of E + c V for V the expression of one term nidxs[k]
    per element), or None when E carries programs. The new term's
    coefficient is c, as the sum's weight times 1 gives it."""
    n, m = e.n, e.m
    if e.prog or n + m >= 1 << 31:
        return None
    ptr = e.ptr + np.arange(n + 1, dtype=I32)
    own = np.ones(n + m, bool)
    own[ptr[1:] - 1] = False
    out_n, out_c = np.empty(n + m, I64), np.empty(n + m, F64)
    out_n[own], out_c[own] = e.nidxs, e.cof
    out_n[~own], out_c[~own] = nidxs, c
    r = Expr(e.model, e.shape, ptr, out_n, out_c)
    r.clean = e.clean and bool(len(nidxs) == 0 or nidxs.min() > 0)
    return r


def _unit_sum(model, shape, exprs, weights, merged, distinct, n, k):
    """single_sum of operands of coefficient 1 each (parts of variables):
    operand i's coefficient is the same in every element, the product of
    its weights (plus those of the operands folded into it, each added in
    turn), so the coefficients are one row of k repeated n times."""
    nidxs = np.empty((n, k), I64)
    wrow = np.empty(k, F64)
    for i, (e, ws) in enumerate(zip(exprs, weights)):
        nidxs[:, i] = e.nidxs
        w = _weight(ws)
        for _, ws2 in merged.get(i, ()):
            w += _weight(ws2)
        wrow[i] = w
    ptr = np.zeros(n + 1, I32)
    kn.step_row_pointer(k, ptr, n, 0)
    r = Expr(model, shape, ptr, nidxs.reshape(-1), wrow[None].repeat(n, 0).reshape(-1))
    r.clean = all(e.clean for e in exprs)
    r.rows_distinct = distinct
    return r


def _merge_places(exprs, weights, places):
    """The operands with those of a corner already taken folded into the
    first of it: (operands, weights, {position: [(operand, weights)]},
    whether no element can hold a variable twice: every operand of a
    variable, the only one of it, or the boxes of one shape at different
    corners of it)."""
    first, keep_e, keep_w, merged, of_root = {}, [], [], {}, {}
    distinct = True
    for e, ws, p in zip(exprs, weights, places):
        if p is None:
            distinct = False
        elif p[1] is not None and p in first:
            merged.setdefault(first[p], []).append((e, ws))
            continue
        else:
            first[p] = len(keep_e)
            of_root.setdefault(p[0], []).append(p)
        keep_e.append(e)
        keep_w.append(ws)
    for ps in of_root.values():
        if len(ps) > 1 and (any(p[1] is None for p in ps) or len({p[2] for p in ps}) > 1):
            distinct = False
    return keep_e, keep_w, merged, distinct


def joined_terms(exprs, weights):
    """One element holding the terms of every operand in operand order,
    each coefficient multiplied by its operand's weights in the order given
    (as a chain of sums of totals gives them); no programs."""
    nidxs = np.concatenate([e.nidxs[int(e.ptr[0]):int(e.ptr[-1])] for e in exprs])
    cof = np.empty(len(nidxs), F64)
    at = 0
    for e, ws in zip(exprs, weights):
        k = int(e.ptr[-1]) - int(e.ptr[0])
        weighted(e.cof[int(e.ptr[0]):int(e.ptr[-1])], ws, cof[at:at + k])
        at += k
    ptr = np.zeros(2, I32)
    ptr[1] = len(nidxs)
    r = Expr(exprs[0].model, (), ptr, nidxs, cof)
    r.clean = all(e.clean for e in exprs)
    return r


def identity(model, shape, nidxs, distinct=False, fresh=False):
    """Expression whose element k is variable nidxs[k] with coefficient 1
    (`distinct`: no index repeats; `fresh`: nidxs is the caller's fresh
    array, held as it is, which nothing writes to)."""
    if fresh:
        return _unit(model, shape, nidxs, True, distinct)
    n = len(nidxs)
    own = np.zeros(max(n, 1), I64)
    kn.copy_i64_run(0, n, own, 0, nidxs)
    # nidxs: the columns of variables, all positive
    return _unit(model, shape, own[:n], True, distinct)


def reshape(e, shape):
    """Same elements in row-major order under a new shape (a new shape block)."""
    r = Expr(e.model, shape, e.ptr, e.nidxs, e.cof, e.codeptr, e.code, e.cconst)
    r.f64, r.cconst_at, r.unit, r.single, r.clean = e.f64, e.cconst_at, e.unit, e.single, e.clean
    r.distinct, r.rows_distinct = e.distinct, e.rows_distinct
    return r


def wsum(exprs, weights):
    """w[0] E0 + w[1] E1 + ... of expressions of one shape."""
    W = WStack(exprs)
    D = W.descriptors(weights)
    k = len(exprs)
    flag = kn.sum_has_programs(False, k, D["ncodeatom"])
    if not kn.sum_shapes_agree(k, D["nd"], True, D["shape_base"], W.i32):
        raise ValueError("shapes differ: " + ", ".join(str(e.shape) for e in exprs))
    nd, n = len(exprs[0].shape), exprs[0].n
    positions, terms = kn.sum_totals(flag, k, D["ncodeatom"], D["nnz"], 0, 0)
    R = RStack(nd, n, terms, positions, flag)
    cnt = np.zeros(n + 1, I32)
    kn.sum_copy_shape(D["nd"], R.i32, R.shape, D["shape_base"], W.i32)
    kn.zero_row_pointer(R.i32, n, R.ptr)
    kn.zero_counters(int(flag), n, 0, cnt)
    for i in range(k):
        kn.sum_count_pass(flag, D["codeptr"], i, D["ncodeatom"], D["nelem"], D["ptr_base"], R.i32, R.ptr, W.i32, 0, cnt)
    kn.prefix_row_pointer(R.i32, n, R.ptr)
    kn.prefix_counters(int(flag), n, 0, cnt)
    for i in range(k):
        kn.sum_fill_pass(flag, D["cconst"], D["code"], D["codeptr"], D["cof_base"], i, D["ncodeatom"], D["nelem"],
               D["nidxs_base"], D["ptr_base"], R.cconst, R.code, R.codeptr, R.cof, R.f64, R.i32, R.i64,
               R.nidxs, R.ptr, D["w"], W.f64, W.i32, W.i64, 0, cnt)
    kn.shift_row_pointer(R.i32, n, R.ptr)
    R.i32[R.ptr] = 0
    return R.expr(exprs[0].model, exprs[0].shape)


def scale(e, d):
    """d * E in one call."""
    W = WStack([e])
    p = W.ops[0]
    a = e.ncode + 2 * e.m if e.prog else 0
    R = RStack(len(e.shape), e.n, e.m, a, e.prog)
    kn.scale_terms(float(d), p.cconst, p.code, p.codeptr, p.cof, False, int(e.prog), len(e.shape), e.n, p.nidxs, e.m,
           p.ptr, R.cconst, R.code, R.codeptr, R.cof, R.f64, R.i32, R.i64, R.nidxs, R.ptr, R.shape, 0,
           p.shape, 0, W.f64, W.i32, W.i64)
    return R.expr(e.model, e.shape)


def pick(e, idxs, shape):
    """Elements idxs (linear, row-major) of E as an expression of the given shape."""
    idxs = np.ascontiguousarray(idxs, I64)
    if e.single and len(idxs):
        # one term per element: the picked elements' terms are the terms at
        # the picked places
        if idxs.min() < 0 or idxs.max() >= e.n:
            raise IndexError(f"element indices outside 0 .. {e.n - 1}")
        if e.unit:
            return _unit(e.model, tuple(shape), e.nidxs[idxs], e.clean, False)
        return _single(e.model, tuple(shape), e.nidxs[idxs], e.cof[idxs], e.clean)
    W = WStack([e])
    p = W.ops[0]
    P, T = kn.pick_count(p.codeptr, idxs, int(e.prog), p.ptr, 0, 0, W.i32)
    R = RStack(0, len(idxs), T, P, e.prog)
    kn.pick_fill(p.cconst, p.code, 0, p.codeptr, p.cof, idxs, 0, p.nidxs, p.ptr, R.cconst, R.code, R.codeptr, R.cof,
           R.f64, R.i32, R.i64, int(e.prog), R.nidxs, R.ptr, W.f64, W.i32, W.i64)
    return reshape(R.expr(e.model, (len(idxs),)), shape)


def permute(e, perm):
    """Axes reordered: result axis k is operand axis perm[k]."""
    nd = len(e.shape)
    perm = np.asarray(perm, I32)
    W = WStack([e])
    p = W.ops[0]
    R = RStack(nd, e.n, e.m, e.ncode, e.prog)
    kn.permute_shape(perm, nd, R.i32, R.shape, p.shape, W.i32)
    rshape = np.asarray(R.i32[:nd], I32)
    st = np.zeros(nd, I64)
    dst = np.zeros(nd, I64)
    st[-1] = dst[-1] = 1
    kn.operand_strides(nd, p.shape, st, W.i32)
    kn.result_strides(nd, rshape, dst)
    kn.permute_fill(p.cconst, p.code, p.codeptr, perm, dst, p.cof, p.nidxs, p.ptr, int(e.prog), nd, e.n, R.cconst,
           R.code, R.codeptr, R.cof, R.f64, R.i32, R.i64, R.nidxs, R.ptr, st, W.f64, W.i32, W.i64)
    return R.expr(e.model)


def box(e, first, last):
    """The box first[k] <= coordinate k < last[k] of E."""
    nd = len(e.shape)
    if e.unit and nd:
        # one term of coefficient 1 per element: the box's terms are the
        # variable indices of its elements, laid out row-major
        grid = e.nidxs.reshape(e.shape)[tuple(slice(a, b) for a, b in zip(first, last))]
        return _unit(e.model, grid.shape, np.ascontiguousarray(grid).reshape(-1), e.clean, e.distinct)
    first = np.asarray(first, I32)
    last = np.asarray(last, I32)
    rshape = (last - first).astype(I32)
    W = WStack([e])
    p = W.ops[0]
    st = np.zeros(nd, I64)
    rst = np.zeros(nd, I64)
    st[-1] = rst[-1] = 1
    kn.operand_strides(nd, p.shape, st, W.i32)
    kn.result_strides(nd, rshape, rst)
    P, _, T = kn.box_count(p.codeptr, first, False, last, int(e.prog), nd, e.n, p.ptr, 0, 0, 0, p.shape, 0, st,
                     W.i32, W.i64)
    R = RStack(nd, size_of(rshape), T, P, e.prog)
    kn.box_copy_shape(nd, R.i32, rshape, R.shape)
    kn.box_fill(p.cconst, p.code, 0, p.codeptr, p.cof, first, False, 0, 0, last, nd, e.n, p.nidxs, p.ptr, R.cconst,
           R.code, R.codeptr, R.cof, R.f64, R.i32, R.i64, int(e.prog), R.nidxs, R.ptr, 0, rst, p.shape, 0, st,
           W.f64, W.i32, W.i64)
    return R.expr(e.model)


def concat(exprs, axis):
    """Expressions joined along an existing axis (equal extents elsewhere)."""
    if len(exprs) > 1 and all(e.single for e in exprs) and len({len(e.shape) for e in exprs}) == 1:
        # one term per element: the terms joined as numpy joins the arrays
        try:
            nidxs = np.concatenate([e.nidxs.reshape(e.shape) for e in exprs], axis)
        except ValueError:
            raise ValueError(f"cannot stack shapes {[e.shape for e in exprs]} along axis {axis}") from None
        model, shape = exprs[0].model, nidxs.shape
        nidxs = nidxs.reshape(-1)
        if all(e.unit for e in exprs):
            return _unit(model, shape, nidxs, all(e.clean for e in exprs), False)
        cof = np.concatenate([e.cof.reshape(e.shape) for e in exprs], axis).reshape(-1)
        return _single(model, shape, nidxs, cof, all(e.clean for e in exprs))
    W = WStack(exprs)
    D = W.descriptors()
    nd = len(exprs[0].shape)
    k = len(exprs)
    hassp = np.zeros(k, I32)
    ok, _ = kn.stack_shapes_agree(True, axis, hassp, False, 0, k, D["nd"], 0, D["shape_base"], W.i32)
    if not ok:
        raise ValueError(f"cannot stack shapes {[e.shape for e in exprs]} along axis {axis}")
    d1s = np.asarray([e.shape[axis] for e in exprs], I32)
    extent = kn.sum_of_extents(0, d1s, k)
    shape0 = exprs[0].shape
    outer = kn.outer_size(axis, 1, D["shape_base"][0], W.i32)
    inner = kn.inner_size(axis, nd, 1, D["shape_base"][0], W.i32)
    flag = any(e.prog for e in exprs)
    P = sum(e.ncode if e.prog else e.m for e in exprs) if flag else 0
    T = sum(e.m for e in exprs)
    shape = shape0[:axis] + (extent,) + shape0[axis + 1:]
    R = RStack(nd, size_of(shape), T, P, flag)
    kn.stack_fill(D["cconst"], D["code"], D["codeptr"], D["cof_base"], outer, d1s, inner, k, D["ncodeatom"],
           D["nidxs_base"], flag, D["ptr_base"], R.cconst, R.code, R.codeptr, R.cof, R.f64, R.i32, R.i64,
           R.nidxs, R.ptr, W.f64, W.i32, W.i64)
    return R.expr(exprs[0].model, shape)


def sum_axis(e, axis):
    """Sum of E along one axis (the axis removed)."""
    if e.unit and e.m < 1 << 31:
        # one term of coefficient 1 per element: element (o, i) of the sum
        # holds the terms of elements (o, 0, i), (o, 1, i), ... in order
        extent = e.shape[axis]
        outer = size_of(e.shape[:axis])
        inner = size_of(e.shape[axis + 1:])
        n = outer * inner
        nidxs = np.ascontiguousarray(e.nidxs.reshape(outer, extent, inner).transpose(0, 2, 1)).reshape(-1)
        ptr = np.zeros(n + 1, I32)
        kn.step_row_pointer(extent, ptr, n, 0)
        r = Expr(e.model, e.shape[:axis] + e.shape[axis + 1:], ptr, nidxs, unit_runs(e.m)[1])
        r.clean, r.rows_distinct = e.clean, e.distinct
        return r
    W = WStack([e])
    p = W.ops[0]
    extent = e.shape[axis]
    outer = size_of(e.shape[:axis])
    inner = size_of(e.shape[axis + 1:])
    shape = e.shape[:axis] + e.shape[axis + 1:]
    R = RStack(0, outer * inner, e.m, e.ncode, e.prog)
    kn.sum_along_axis(p.cconst, p.code, 0, p.codeptr, p.cof, 0, outer, extent, inner, 0, extent, p.nidxs, p.ptr,
           int(e.prog), R.cconst, R.code, R.f64, R.i32, R.i64, R.codeptr, R.cof, 0, R.nidxs, R.ptr,
           W.f64, W.i32, W.i64)
    r = reshape(R.expr(e.model, (outer * inner,)), shape)
    # the operand's terms, added up: no variable twice in an element when
    # none is twice in the operand
    r.clean, r.rows_distinct = e.clean, e.distinct
    return r


# index runs (rows, columns) of full dense matrices, kept per shape, the
# oldest dropped first once they hold more than FULL_BYTES
_FULL = {}
FULL_BYTES = 64 << 20


def matrix_triplets(M):
    """The triplets of a constant matrix in the order the product kernels
    walk them: row-major, columns ascending, one entry per position, zeros
    left out. A dense matrix without zeros takes index runs kept per shape."""
    if hasattr(M, "tocsr"):
        Mc = M.tocsr()
        if not Mc.has_canonical_format:
            Mc = Mc.copy()          # the user's matrix stays as it was given
            Mc.sum_duplicates()
        m = Mc.shape[0]
        si = np.repeat(np.arange(m, dtype=I32), np.diff(Mc.indptr))
        return m, si, np.ascontiguousarray(Mc.indices, I32), np.ascontiguousarray(Mc.data, F64)
    M = np.asarray(M, F64)
    m, n = M.shape
    flat = np.ascontiguousarray(M).reshape(-1)
    if np.count_nonzero(flat) == flat.size:
        key = (m, n)
        runs = _FULL.get(key)
        if runs is None:
            runs = (np.repeat(np.arange(m, dtype=I32), n), np.tile(np.arange(n, dtype=I32), m))
            if 8 * m * n <= FULL_BYTES:
                _FULL[key] = runs
                while sum(r.nbytes + c.nbytes for r, c in _FULL.values()) > FULL_BYTES:
                    _FULL.pop(next(iter(_FULL)))
        return m, runs[0], runs[1], flat
    idx = np.flatnonzero(flat)
    return m, (idx // n).astype(I32), (idx % n).astype(I32), flat[idx]


def diagonal_triplets(values):
    """Triplets of the diagonal matrix of `values` (zeros left out)."""
    v = np.ascontiguousarray(values, F64).reshape(-1)
    idx = np.flatnonzero(v).astype(I32)
    return len(v), idx, idx, v[idx]


def left_product_sizes(W, o, e, m, si, sj, p):
    """(elements, program positions, terms) of M . E counted by the product's
    size pass (E placed as operand o of W)."""
    return kn.left_product_sizes(0, len(si), 1, False, 0, m, si, sj, o.codeptr, e.n, o.ptr, 0, 0, p, int(e.prog), 0,
                                 W.i32, W.i64)


def left_matmul(M, e, triplets=None):
    """M . E for a constant matrix M (dense or scipy sparse) and E with M's
    column axis as its first axis."""
    m, si, sj, sv = triplets if triplets is not None else matrix_triplets(M)
    Kn = len(si)
    one_each = e.single and Kn == m and (m == 0 or (si[0] == 0 and si[-1] == m - 1 and (np.diff(si) == 1).all()))
    if one_each and m and len(e.shape) == 1:
        # one entry per row of M and one term per operand element: row r
        # is the operand's term at column sj[r], times the entry
        cof = np.array(sv, F64) if e.unit else np.multiply(e.cof[sj], sv)
        return _single(e.model, (m,), e.nidxs[sj], cof, e.clean)
    W = WStack([e])
    o = W.ops[0]
    p = size_of(e.shape[1:])
    if e.unit and max(m, Kn) * p < 1 << 31:
        # every operand element one term: each entry of M meets p of them
        E, P, T = m * p, 0, Kn * p
    elif not e.prog and Kn == m * e.shape[0] and m * max(e.m, p) < 1 << 31:
        # every position of M stored (one entry each): each result element
        # takes the terms of a whole column of the operand, so the result
        # has all m rows of p elements and m times the operand's terms
        E, P, T = m * p, 0, m * e.m
    else:
        E, P, T = left_product_sizes(W, o, e, m, si, sj, p)
    shape = (m,) + e.shape[1:]
    R = RStack(len(shape), E, T, P, e.prog)
    if e.prog:
        kn.left_product_fill_programs(Kn, 0, m, o.cconst, o.code, o.codeptr, o.cof, e.n, o.nidxs, si, sj, sv, o.ptr, 0, 0, p,
               R.cconst, R.code, R.codeptr, R.f64, False, R.i32, R.i64, R.cof, R.nidxs, R.ptr, 0,
               W.f64, W.i32, W.i64)
    else:
        kn.left_product_fill(Kn, 0, m, len(e.shape), o.cof, si, sj, sv, o.nidxs, o.ptr, o.shape, R.cof, R.nidxs, R.f64, False,
               R.i32, R.i64, R.ptr, R.shape, 0, 0, W.f64, W.i32, W.i64)
    r = R.expr(e.model, shape)
    r.clean = e.clean                # the operand's terms, scaled
    # one entry of M per position: a row of M meets distinct operand
    # elements, each one variable of its own
    r.rows_distinct = e.unit and e.distinct
    # one term per operand element and one entry per row of M (a matrix
    # that spreads or selects): one term per result element
    r.single = one_each
    r.rows_distinct = r.rows_distinct or one_each
    return r


def param_times(e, pidx):
    """Elementwise product of E with parameter entries pidx (one per element)."""
    n = e.n
    W = WStack([e])
    p = W.ops[0]
    xi64 = np.arange(n, dtype=I64)
    xi32 = np.ascontiguousarray(pidx, I32)
    a = 3 * e.m + (e.ncode + e.m if e.prog else 0)
    R = RStack(len(e.shape), n, e.m, a, True)
    # the sparsity entries (all elements, in order) go after the variable indices
    R.i64 = np.zeros(max(e.m, 1) + max(n, 1), I64)
    P, T = kn.parameter_times_elements(p.cconst, p.code, 0, p.codeptr, p.cof, int(e.prog), p.nidxs, 0, 0, n, 0, p.ptr, R.cconst,
                  R.code, R.codeptr, R.cof, R.f64, R.i32, R.i64, R.nidxs, R.ptr, max(e.m, 1), W.f64, W.i32,
                  W.i64, xi32, xi64)
    if len(e.shape):
        kn.copy_shape(R.i32, np.asarray(e.shape, I32), R.shape)
    return R.expr(e.model, e.shape, T, P)


def param_matmul(pidx, e):
    """P . E for a parameter matrix P (entry (r, k) is parameter pidx[r, k]) and
    a vector expression E: element r is the sum over k of P[r, k] E[k]."""
    rows, cols = pidx.shape
    W = WStack([e])
    p = W.ops[0]
    total_terms = rows * e.m
    a = rows * (3 * e.m + (e.ncode + e.m if e.prog else 0))
    R = RStack(0, rows, total_terms, a, True)
    xi64 = np.arange(cols, dtype=I64)
    xi32 = np.ascontiguousarray(pidx.reshape(-1), I32)
    P = T = 0
    for r in range(rows):
        P, T = kn.parameter_inner_product(p.cconst, p.code, P, p.codeptr, p.cof, int(e.prog), p.nidxs, T, r * cols, cols, 0, p.ptr,
                      R.cconst, R.code, R.codeptr, R.cof, R.f64, R.i32, R.i64, R.nidxs, W.f64, W.i32, W.i64,
                      xi32, xi64)
        R.i32[R.ptr + r + 1] = T
    return R.expr(e.model, (rows,), T, P)


def merge(e):
    """E with every variable once per element: terms ordered by variable index
    (order block on an X stack), equal variables summed and, with programs,
    their programs joined by a sum."""
    W = WStack([e])
    p = W.ops[0]
    X = np.zeros(3 * e.m + 2, I32)
    kn.order_terms(e.n, p.nidxs, 0, p.ptr, W.i32, W.i64, e.m, X)
    R = RStack(len(e.shape), e.n, e.m, e.ncode + e.m, e.prog)
    if len(e.shape):
        kn.copy_shape(R.i32, np.asarray(e.shape, I32), R.shape)
    P, T = kn.merge_duplicates(p.cconst, p.code, 0, p.codeptr, p.cof, int(e.prog), e.n, p.nidxs, 0, 0, p.ptr, R.cconst, R.code,
                  R.codeptr, R.cof, R.f64, R.i32, R.i64, int(e.prog), R.nidxs, R.ptr, W.f64, W.i32, W.i64, X)
    return R.expr(e.model, e.shape, T, P)


def iota(target, start):
    """target[k] = start + k."""
    kn.ascending_fill(target, int(start), len(target))
    return target


def complements(target, start):
    """target[k] = ~(start + k): the ascending fill run backwards through a
    reversed view, from ~(start + n - 1) up to ~start."""
    n = len(target)
    kn.ascending_fill(target[::-1], -(int(start) + n), n)
    return target
