"""Operations on stacked expressions, each one chain of kernel calls: sizes
first, then the passes that write the result on an R stack."""
from __future__ import annotations

import numpy as np

from ._stacks import F64, I32, I64, K, Expr, RStack, WStack


def _size(shape):
    return int(np.prod(shape, dtype=np.int64)) if len(shape) else 1


def constant(model, value):
    """Constant expression: one constant term (variable 0) per non-zero value."""
    value = np.asarray(value, F64)
    flat = np.ascontiguousarray(value.reshape(-1))
    m = K(407)(flat, 0)
    R = RStack(value.ndim, flat.size, m)
    if value.ndim:
        K(408)(value.ndim, R.i32, R.shape, np.asarray(value.shape, I32))
    K(410)(flat, flat.size, 0, R.cof, R.f64, R.i32, R.i64, R.nidxs, R.ptr)
    return R.expr(model, value.shape)


def identity(model, shape, nidxs):
    """Expression whose element k is variable nidxs[k] with coefficient 1."""
    n = len(nidxs)
    R = RStack(len(shape), n, n)
    K(579)(R.cof, n, n, R.ptr, R.f64, R.i32)
    K(389)(0, n, R.i64, R.nidxs, nidxs)
    return R.expr(model, shape)


def reshape(e, shape):
    """Same elements in row-major order under a new shape (a new shape block)."""
    sh = np.zeros(max(len(shape), 1), I32)
    if len(shape):
        K(145)(len(shape), sh, np.asarray(shape, I32), 0)
    return Expr(e.model, tuple(sh[:len(shape)]), e.ptr, e.nidxs, e.cof, e.codeptr, e.code, e.cconst)


def wsum(exprs, weights):
    """w[0] E0 + w[1] E1 + ... of expressions of one shape."""
    W = WStack(exprs)
    D = W.descriptors(weights)
    k = len(exprs)
    flag = K(517)(False, k, D["ncodeatom"])
    if not K(516)(k, D["nd"], True, D["shape_base"], W.i32):
        raise ValueError("shapes differ: " + ", ".join(str(e.shape) for e in exprs))
    nd, n = len(exprs[0].shape), exprs[0].n
    positions, terms = K(518)(flag, k, D["ncodeatom"], D["nnz"], 0, 0)
    R = RStack(nd, n, terms, positions, flag)
    cnt = np.zeros(n + 1, I32)
    K(520)(D["nd"], R.i32, R.shape, D["shape_base"], W.i32)
    K(521)(R.i32, n, R.ptr)
    K(522)(int(flag), n, 0, cnt)
    for i in range(k):
        K(524)(flag, D["codeptr"], i, D["ncodeatom"], D["nelem"], D["ptr_base"], R.i32, R.ptr, W.i32, 0, cnt)
    K(525)(R.i32, n, R.ptr)
    K(526)(int(flag), n, 0, cnt)
    for i in range(k):
        K(528)(flag, D["cconst"], D["code"], D["codeptr"], D["cof_base"], i, D["ncodeatom"], D["nelem"],
               D["nidxs_base"], D["ptr_base"], R.cconst, R.code, R.codeptr, R.cof, R.f64, R.i32, R.i64,
               R.nidxs, R.ptr, D["w"], W.f64, W.i32, W.i64, 0, cnt)
    K(529)(R.i32, n, R.ptr)
    R.i32[R.ptr] = 0
    return R.expr(exprs[0].model, exprs[0].shape)


def scale(e, d):
    """d * E in one call."""
    W = WStack([e])
    p = W.ops[0]
    a = e.ncode + 2 * e.m if e.prog else 0
    R = RStack(len(e.shape), e.n, e.m, a, e.prog)
    K(470)(float(d), p.cconst, p.code, p.codeptr, p.cof, False, int(e.prog), len(e.shape), e.n, p.nidxs, e.m,
           p.ptr, R.cconst, R.code, R.codeptr, R.cof, R.f64, R.i32, R.i64, R.nidxs, R.ptr, R.shape, 0,
           p.shape, 0, W.f64, W.i32, W.i64)
    return R.expr(e.model, e.shape)


def pick(e, idxs, shape):
    """Elements idxs (linear, row-major) of E as an expression of the given shape."""
    idxs = np.ascontiguousarray(idxs, I64)
    W = WStack([e])
    p = W.ops[0]
    P, T = K(415)(p.codeptr, idxs, int(e.prog), p.ptr, 0, 0, W.i32)
    R = RStack(0, len(idxs), T, P, e.prog)
    K(416)(p.cconst, p.code, 0, p.codeptr, p.cof, idxs, 0, p.nidxs, p.ptr, R.cconst, R.code, R.codeptr, R.cof,
           R.f64, R.i32, R.i64, int(e.prog), R.nidxs, R.ptr, W.f64, W.i32, W.i64)
    return reshape(R.expr(e.model, (len(idxs),)), shape)


def permute(e, perm):
    """Axes reordered: result axis k is operand axis perm[k]."""
    nd = len(e.shape)
    perm = np.asarray(perm, I32)
    W = WStack([e])
    p = W.ops[0]
    R = RStack(nd, e.n, e.m, e.ncode, e.prog)
    K(424)(perm, nd, R.i32, R.shape, p.shape, W.i32)
    rshape = np.asarray(R.i32[:nd], I32)
    st = np.zeros(nd, I64)
    dst = np.zeros(nd, I64)
    st[-1] = dst[-1] = 1
    K(419)(nd, p.shape, st, W.i32)
    K(422)(nd, rshape, dst)
    K(427)(p.cconst, p.code, p.codeptr, perm, dst, p.cof, p.nidxs, p.ptr, int(e.prog), nd, e.n, R.cconst,
           R.code, R.codeptr, R.cof, R.f64, R.i32, R.i64, R.nidxs, R.ptr, st, W.f64, W.i32, W.i64)
    return R.expr(e.model)


def box(e, first, last):
    """The box first[k] <= coordinate k < last[k] of E."""
    nd = len(e.shape)
    first = np.asarray(first, I32)
    last = np.asarray(last, I32)
    rshape = (last - first).astype(I32)
    W = WStack([e])
    p = W.ops[0]
    st = np.zeros(nd, I64)
    rst = np.zeros(nd, I64)
    st[-1] = rst[-1] = 1
    K(419)(nd, p.shape, st, W.i32)
    K(422)(nd, rshape, rst)
    P, _, T = K(420)(p.codeptr, first, False, last, int(e.prog), nd, e.n, p.ptr, 0, 0, 0, p.shape, 0, st,
                     W.i32, W.i64)
    R = RStack(nd, _size(rshape), T, P, e.prog)
    K(421)(nd, R.i32, rshape, R.shape)
    K(423)(p.cconst, p.code, 0, p.codeptr, p.cof, first, False, 0, 0, last, nd, e.n, p.nidxs, p.ptr, R.cconst,
           R.code, R.codeptr, R.cof, R.f64, R.i32, R.i64, int(e.prog), R.nidxs, R.ptr, 0, rst, p.shape, 0, st,
           W.f64, W.i32, W.i64)
    return R.expr(e.model)


def concat(exprs, axis):
    """Expressions joined along an existing axis (equal extents elsewhere)."""
    W = WStack(exprs)
    D = W.descriptors()
    nd = len(exprs[0].shape)
    k = len(exprs)
    hassp = np.zeros(k, I32)
    ok, _ = K(434)(True, axis, hassp, False, 0, k, D["nd"], 0, D["shape_base"], W.i32)
    if not ok:
        raise ValueError(f"cannot stack shapes {[e.shape for e in exprs]} along axis {axis}")
    d1s = np.asarray([e.shape[axis] for e in exprs], I32)
    extent = K(439)(0, d1s, k)
    shape0 = exprs[0].shape
    outer = K(443)(axis, 1, D["shape_base"][0], W.i32)
    inner = K(444)(axis, nd, 1, D["shape_base"][0], W.i32)
    flag = any(e.prog for e in exprs)
    P = sum(e.ncode if e.prog else e.m for e in exprs) if flag else 0
    T = sum(e.m for e in exprs)
    shape = shape0[:axis] + (extent,) + shape0[axis + 1:]
    R = RStack(nd, _size(shape), T, P, flag)
    K(442)(D["cconst"], D["code"], D["codeptr"], D["cof_base"], outer, d1s, inner, k, D["ncodeatom"],
           D["nidxs_base"], flag, D["ptr_base"], R.cconst, R.code, R.codeptr, R.cof, R.f64, R.i32, R.i64,
           R.nidxs, R.ptr, W.f64, W.i32, W.i64)
    return R.expr(exprs[0].model, shape)


def sum_axis(e, axis):
    """Sum of E along one axis (the axis removed)."""
    W = WStack([e])
    p = W.ops[0]
    extent = e.shape[axis]
    outer = _size(e.shape[:axis])
    inner = _size(e.shape[axis + 1:])
    shape = e.shape[:axis] + e.shape[axis + 1:]
    R = RStack(0, outer * inner, e.m, e.ncode, e.prog)
    K(544)(p.cconst, p.code, 0, p.codeptr, p.cof, 0, outer, extent, inner, 0, extent, p.nidxs, p.ptr,
           int(e.prog), R.cconst, R.code, R.f64, R.i32, R.i64, R.codeptr, R.cof, 0, R.nidxs, R.ptr,
           W.f64, W.i32, W.i64)
    return reshape(R.expr(e.model, (outer * inner,)), shape)


def left_matmul(M, e):
    """M . E for a constant matrix M (dense or scipy sparse) and E with M's
    column axis as its first axis."""
    import scipy.sparse as sp

    Mc = sp.coo_matrix(M)
    si = np.ascontiguousarray(Mc.row, I32)
    sj = np.ascontiguousarray(Mc.col, I32)
    sv = np.ascontiguousarray(Mc.data, F64)
    m = Mc.shape[0]
    Kn = len(si)
    W = WStack([e])
    o = W.ops[0]
    p = _size(e.shape[1:])
    E, P, T = K(473)(0, Kn, 1, False, 0, m, si, sj, o.codeptr, e.n, o.ptr, 0, 0, p, int(e.prog), 0,
                     W.i32, W.i64)
    shape = (m,) + e.shape[1:]
    R = RStack(len(shape), E, T, P, e.prog)
    if e.prog:
        K(478)(Kn, 0, m, o.cconst, o.code, o.codeptr, o.cof, e.n, o.nidxs, si, sj, sv, o.ptr, 0, 0, p,
               R.cconst, R.code, R.codeptr, R.f64, False, R.i32, R.i64, R.cof, R.nidxs, R.ptr, 0,
               W.f64, W.i32, W.i64)
    else:
        K(479)(Kn, 0, m, len(e.shape), o.cof, si, sj, sv, o.nidxs, o.ptr, o.shape, R.cof, R.nidxs, R.f64, False,
               R.i32, R.i64, R.ptr, R.shape, 0, 0, W.f64, W.i32, W.i64)
    return R.expr(e.model, shape)


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
    P, T = K(369)(p.cconst, p.code, 0, p.codeptr, p.cof, int(e.prog), p.nidxs, 0, 0, n, 0, p.ptr, R.cconst,
                  R.code, R.codeptr, R.cof, R.f64, R.i32, R.i64, R.nidxs, R.ptr, max(e.m, 1), W.f64, W.i32,
                  W.i64, xi32, xi64)
    if len(e.shape):
        K(578)(R.i32, np.asarray(e.shape, I32), R.shape)
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
        P, T = K(364)(p.cconst, p.code, P, p.codeptr, p.cof, int(e.prog), p.nidxs, T, r * cols, cols, 0, p.ptr,
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
    K(398)(e.n, p.nidxs, 0, p.ptr, W.i32, W.i64, e.m, X)
    R = RStack(len(e.shape), e.n, e.m, e.ncode + e.m, e.prog)
    if len(e.shape):
        K(578)(R.i32, np.asarray(e.shape, I32), R.shape)
    P, T = K(406)(p.cconst, p.code, 0, p.codeptr, p.cof, int(e.prog), e.n, p.nidxs, 0, 0, p.ptr, R.cconst, R.code,
                  R.codeptr, R.cof, R.f64, R.i32, R.i64, int(e.prog), R.nidxs, R.ptr, W.f64, W.i32, W.i64, X)
    return R.expr(e.model, e.shape, T, P)


def iota(target, start):
    """target[k] = start + k."""
    K(7)(target, int(start), len(target))
    return target


def complements(target, start):
    """target[k] = ~(start + k): the ascending fill run backwards through a
    reversed view, from ~(start + n - 1) up to ~start."""
    n = len(target)
    K(7)(target[::-1], -(int(start) + n), n)
    return target
