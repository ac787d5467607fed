"""Products of stacked expressions and variables with a constant matrix.

One oracle for the family: read a result back as a dense coefficient tensor
(element x variable) and compare it with numpy's product of the matrix with
the operand's tensor; evaluate every result program with the plain program
model and compare the tensor of program values the same way. The sizes
kernels must predict exactly what their fills write."""
import numpy as np
import pytest

import programs_model as pm
from conftest import kernel
from stacks import Expr, Stack, random_expr

PARAMS = [0.5, -2.0, 3.0, 7.25]
NV = 6


def random_matrix(rng, m, n, density=0.5, zeros=False):
    """Strictly ascending triplets of an m x n matrix and its dense form."""
    keep = rng.random((m, n)) < density
    if keep.sum() == 0:
        keep[0, 0] = True
    i, j = np.nonzero(keep)
    v = rng.integers(-4, 5, size=len(i)).astype(np.float64)
    if not zeros:
        v[v == 0] = 3.0
    dense = np.zeros((m, n))
    dense[i, j] = v
    return i.astype(np.int32), j.astype(np.int32), v, dense


def tensor(e, programs=False):
    """Element x variable tensor of coefficients, or of program values."""
    out = np.zeros((e.size, NV))
    ids = e.element_ids()
    for el in range(e.n):
        for t in range(e.ptr[el], e.ptr[el + 1]):
            c = pm.value(*e.program(t), PARAMS) if programs else e.cof[t]
            out[ids[el], e.nidxs[t]] += c
    return out.reshape(e.shape + (NV,))


def left_expected(M, e, programs=False):
    T = tensor(e, programs)
    return np.tensordot(M, T.reshape(M.shape[1], -1, NV), axes=(1, 0)).reshape((M.shape[0],) + e.shape[1:] + (NV,))


def right_expected(M, e, programs=False):
    T = tensor(e, programs).reshape(-1, M.shape[0], NV)
    return np.einsum("qiv,ij->qjv", T, M).reshape(e.shape[:-1] + (M.shape[1], NV))


def stored(e):
    mask = np.zeros(e.size, bool)
    mask[e.element_ids()] = True
    return mask


def check(res, want, programs, want_prog=None, keys=None):
    assert np.allclose(tensor(res), want)
    if programs:
        assert np.allclose(tensor(res, True), want_prog)
    if keys is not None:
        assert res.sp.tolist() == keys


class Result:
    """Room for a result on the R stack; entry 0 of the pointers is 0."""

    def __init__(self, R, n, terms, positions=0, nd=2, sparse=False):
        self.R, self.nd, self.sparse = R, nd, sparse
        self.shape = R.reserve("i32", nd)
        self.ptr = R.reserve("i32", n + 1)
        self.nidxs, self.cof = R.reserve("i64", terms), R.reserve("f64", terms)
        self.sp = R.reserve("i64", n)
        self.codeptr = R.reserve("i32", terms + 1)
        self.code, self.cconst = R.reserve("i32", positions), R.reserve("f64", positions)
        R.i32[self.ptr] = 0
        R.i32[self.codeptr] = 0

    def read(self, n, terms, positions=None, shape=None):
        e = self.R.read(self.nd, n, terms, shape=self.shape, ptr=self.ptr, nidxs=self.nidxs, cof=self.cof,
                        sp=self.sp if self.sparse else None,
                        codeptr=self.codeptr if positions is not None else None,
                        code=self.code, cconst=self.cconst, ncode=positions)
        if shape is not None:
            e.shape = shape
        return e


def op_args(p):
    """Operand block positions: cconst, code, codeptr, cof, nidxs, ptr, shape, sp."""
    return dict(cconst=p.cconst, code=p.code, codeptr=p.codeptr, cof=p.cof, nidxs=p.nidxs, ptr=p.ptr,
                shape=p.shape, sp=p.sp)


# --------------------------------------------------------------- left products

LEFT = [  # kernel, operand sparse, result sparse, programs
    (479, False, False, False), (479, False, True, False),
    (478, False, False, True), (478, True, False, True),
    (471, True, False, False), (471, True, True, False),
    (462, False, False, True),
]


@pytest.mark.parametrize("p,density", [(3, 0.5), (11, 0.1)])
@pytest.mark.parametrize("strided", [False, True])
@pytest.mark.parametrize("kid,osp,rsp,prog", LEFT)
def test_left_products(rng, kid, osp, rsp, prog, strided, p, density):
    m, n = 4, 5
    si, sj, sv, M = random_matrix(rng, m, n, 0.4)
    if kid == 471:   # entries from k0 on: a matrix stored after another one
        si, sj, sv = (np.concatenate([[9, 9], a]).astype(a.dtype) for a in (si, sj, sv))
    k0 = 2 if kid == 471 else 0
    K = len(si) - k0
    e = random_expr(rng, (n, p), nvars=NV, sparse=osp, programs=prog, density=density)
    W, R = Stack(4096, strided), Stack(4096, strided)
    o = op_args(W.push(e))
    E, P, T = kernel(473)(0, K, int(not rsp), osp, k0, m, si, sj, o["codeptr"], e.n, o["ptr"], o["sp"], 0, p,
                          int(prog), 0, W.i32, W.i64)
    if prog:  # the fills with programs write every element: asked for a sparse result, 473 counts them all
        assert kernel(473)(0, K, 0, osp, k0, m, si, sj, o["codeptr"], e.n, o["ptr"], o["sp"], 0, p, 1, 0, W.i32,
                           W.i64) == (E, P, T)
    r = Result(R, E, T, P, sparse=rsp)
    if kid == 479:
        got = kernel(479)(K, 0, m, 2, o["cof"], si, sj, sv, o["nidxs"], o["ptr"], o["shape"], r.cof, r.nidxs,
                          R.f64, rsp, R.i32, R.i64, r.ptr, r.shape, r.sp, 0, W.f64, W.i32, W.i64)
        assert got == (E, T)
    elif kid == 478:
        got = kernel(478)(K, 0, m, o["cconst"], o["code"], o["codeptr"], o["cof"], e.n, o["nidxs"], si, sj, sv,
                          o["ptr"], o["sp"], 0, p, r.cconst, r.code, r.codeptr, R.f64, osp, R.i32, R.i64, r.cof,
                          r.nidxs, r.ptr, 0, W.f64, W.i32, W.i64)
        assert got == (E, P, T)
    elif kid == 471:
        got = kernel(471)(K, 0, int(not rsp), k0, m, 2, o["cof"], si, sj, sv, e.n, o["nidxs"], o["ptr"],
                          o["shape"], o["sp"], r.cof, r.nidxs, r.ptr, R.f64, R.i32, R.i64, r.shape, r.sp, 0,
                          W.f64, W.i32, W.i64)
        assert got == (E, T)
    else:
        R.i32[r.ptr] = R.i32[r.codeptr] = -1
        assert kernel(462)(K, m, 2, o["cconst"], o["code"], o["codeptr"], si, sj, sv, o["cof"], o["nidxs"],
                           o["ptr"], o["shape"], r.cconst, r.code, r.codeptr, R.f64, R.i32, R.i64, r.cof,
                           r.nidxs, r.ptr, r.shape, k0, W.f64, W.i32, W.i64) is None
    res = r.read(E, T, P if prog else None, shape=(m, p))
    if kid != 478:
        assert R.i32[r.shape:r.shape + 2].tolist() == [m, p]
    want_keys = np.flatnonzero(((M != 0).astype(int) @ stored(e).reshape(n, p)) > 0).tolist() if rsp else None
    assert res.n == (len(want_keys) if rsp else m * p)
    check(res, left_expected(M, e), prog, left_expected(M, e, True) if prog else None, want_keys)
    assert W.sentinels_intact() and R.sentinels_intact()


def test_left_dense_sizes_and_vector_terms(rng):
    m, n, p = 5, 4, 3
    si, sj, sv, M = random_matrix(rng, m, n, 0.35)
    e = random_expr(rng, (n, p), nvars=NV)
    W = Stack()
    o = op_args(W.push(e))
    counts = np.array([[sum(e.ptr[j * p + c + 1] - e.ptr[j * p + c] for j in np.flatnonzero(M[i]))
                        for c in range(p)] for i in range(m)])
    rows = int((np.abs(M).sum(1) > 0).sum())
    assert kernel(461)(10, len(si), 1, si, sj, m, o["ptr"], p, 100, 7, W.i32) == \
        (10 + rows * p, max(1, int(counts.max())), 100 + rows, 7 + int(counts.sum()))
    v = random_expr(rng, (n,), nvars=NV)
    o = op_args(W.push(v))
    assert kernel(485)(sj, len(sj), o["ptr"], 3, W.i32) == 3 + int(sum(v.ptr[j + 1] - v.ptr[j] for j in sj))


# -------------------------------------------------------------- right products

def column_order(si, sj, n, X, k0=0):
    pos = X.reserve("i32", n + 1 + len(si))
    kernel(457)(len(si) - k0, k0, sj, X.i32, n, pos)
    return pos


def test_column_order(rng):
    si, sj, sv, M = random_matrix(rng, 6, 5, 0.5)
    X = Stack()
    pos = column_order(si, sj, 5, X)
    colptr = X.i32[pos:pos + 6].tolist()
    perm = X.i32[pos + 6:pos + 6 + len(si)]
    assert colptr == [0] + np.cumsum(np.bincount(sj, minlength=5)).tolist()
    assert perm.tolist() == np.argsort(sj, kind="stable").tolist()


@pytest.mark.parametrize("strided", [False, True])
@pytest.mark.parametrize("osp,rsp,prog,split,q,density", [
    (True, True, True, False, 3, 0.5), (False, False, False, False, 3, 0.5), (False, True, True, False, 3, 0.5),
    (False, False, True, True, 3, 0.5), (True, True, False, False, 3, 0.5), (True, True, True, False, 9, 0.12),
    (True, True, False, False, 9, 0.12), (False, True, False, False, 3, 0.5)])
def test_right_products(rng, osp, rsp, prog, split, strided, q, density):
    m, n = 5, 4
    si, sj, sv, M = random_matrix(rng, m, n, 0.4)
    e = random_expr(rng, (q, m), nvars=NV, sparse=osp, programs=prog, density=density)
    W, R, X = Stack(4096, strided), Stack(4096, strided), Stack(4096, strided)
    o = op_args(W.push(e))
    order = column_order(si, sj, n, X)
    E, P, T = kernel(458)(0, int(not rsp), prog, m, n, si, sj, o["codeptr"], e.n if osp else q * m, o["ptr"],
                          o["sp"] if osp else W.put("i64", np.arange(q * m)), order, 0, q, W.i32, W.i64, X.i32, 0)
    if not osp:
        assert kernel(489)(len(si), int(prog), si, m, o["codeptr"], o["ptr"], q, W.i32, 0, 0) == (P if prog else 0, T)
    r = Result(R, E, T, P, sparse=rsp)
    L = None
    if osp:
        E3, L3, T3 = kernel(463)(0, 0, si, sj, m, n, e.n, o["ptr"], o["sp"], order, q, W.i32, W.i64, 0, 0, X.i32)
        # without programs the operand's program pointer position is negative
        got = kernel(464)(0, 0, m, n, o["cconst"], o["code"], o["codeptr"] if prog else -1, o["cof"], e.n, si, sj,
                          sv, o["nidxs"], o["ptr"], o["sp"], order, 0, r.cconst, r.code, r.codeptr, r.cof, R.f64,
                          R.i32, R.i64, r.nidxs, r.ptr, r.sp, 0, W.f64, W.i32, W.i64, 0, X.i32)
        pairs = int(((stored(e).reshape(q, m).astype(int)) @ (M != 0).astype(int)).sum())
        E4, L, P4, T4, V = got
        assert (E4, P4, T4, V) == (E, P, T, pairs) and (E3, L3, T3) == (E, L, T)
        if not prog:
            assert R.i32[r.codeptr + 1] == Stack.SENT32 and R.i32[r.code] == Stack.SENT32
    else:
        # the count pass of 463 on a dense operand (sparsity the identity) agrees with 459's fill
        ident = W.put("i64", np.arange(q * m))
        assert kernel(463)(0, 0, si, sj, m, n, q * m, o["ptr"], ident, order, q, W.i32, W.i64, int(not rsp), 0,
                           X.i32)[::2] == (E, T)
        call = lambda E0, c0, P0, T0: kernel(459)(  # noqa: E731
            E0, c0, n, 2, o["cconst"], o["code"], o["codeptr"], prog, o["cof"], o["nidxs"], si, sj, sv, o["ptr"],
            o["shape"], P0, r.cconst, r.code, r.codeptr, r.cof, r.nidxs, r.ptr, R.f64, R.i32, R.i64, r.shape, r.sp,
            int(rsp), T0, W.f64, W.i32, W.i64, X.i32, order)
        if split:   # row 0 first, then the rest from the running cursors
            one = Stack(4096)
            o1 = op_args(one.push(Expr((1, m), e.ptr[:m + 1], e.nidxs, e.cof, codeptr=e.codeptr, code=e.code,
                                       cconst=e.cconst)))
            E1, P1, T1 = kernel(459)(0, 0, n, 2, o1["cconst"], o1["code"], o1["codeptr"], prog, o1["cof"],
                                     o1["nidxs"], si, sj, sv, o1["ptr"], o1["shape"], 0, r.cconst, r.code,
                                     r.codeptr, r.cof, r.nidxs, r.ptr, R.f64, R.i32, R.i64, r.shape, r.sp, 0, 0,
                                     one.f64, one.i32, one.i64, X.i32, order)
            got = call(E1, 1, P1, T1)
        else:
            got = call(0, 0, 0, 0)
        assert got == (E, P, T)
        assert R.i32[r.shape:r.shape + 2].tolist() == [q, n]
    res = r.read(E, T, P if prog else None, shape=(q, n))
    if L is not None:  # longest element, counted on what the fill wrote
        assert L == max(np.diff(res.ptr), default=0)
    keys = np.flatnonzero((stored(e).reshape(q, m).astype(int) @ (M != 0).astype(int)) > 0).tolist() if rsp else None
    check(res, right_expected(M, e), prog, right_expected(M, e, True) if prog else None, keys)
    assert W.sentinels_intact() and R.sentinels_intact() and X.sentinels_intact()


# --------------------------------------------------- dense matrices and folds

def constant_heavy(rng, shape):
    e = random_expr(rng, shape, nvars=NV)
    e.nidxs[rng.random(e.m) < 0.4] = 0
    return e


def nonconstant(e):
    keep = e.nidxs != 0
    ptr = np.concatenate([[0], np.cumsum([keep[e.ptr[k]:e.ptr[k + 1]].sum() for k in range(e.n)])])
    return Expr(e.shape, ptr, e.nidxs[keep], e.cof[keep])


@pytest.mark.parametrize("skip_zeros", [0, 1])
def test_dense_left_and_fold(rng, skip_zeros):
    m, n, p = 3, 4, 2
    _, _, _, M = random_matrix(rng, m, n, 0.7, zeros=True)
    e = constant_heavy(rng, (n, p))
    W, R = Stack(), Stack()
    o = op_args(W.push(e))
    r = Result(R, m * p, 200)
    E, T = kernel(476)(0, m, 2, o["cof"], o["nidxs"], o["ptr"], M.ravel(), o["shape"], r.cof, r.nidxs, r.ptr, R.f64,
                       True, R.i32, R.i64, r.shape, skip_zeros, 0, W.f64, W.i32, W.i64)
    res = r.read(E, T, shape=(m, p))
    assert E == m * p and 0 not in res.nidxs.tolist()
    assert np.allclose(tensor(res), left_expected(M, nonconstant(e)))
    if skip_zeros:
        assert T == sum(np.count_nonzero(M[i]) * 0 + sum(
            nonconstant(e).terms(j * p + c).__len__() for j in np.flatnonzero(M[i])) for i in range(m) for c in range(p))
    # Without skip_constants the constant terms stay among the terms.
    r_all = Result(R, m * p, 300)
    E2, T2 = kernel(476)(0, m, 2, o["cof"], o["nidxs"], o["ptr"], M.ravel(), o["shape"], r_all.cof, r_all.nidxs,
                         r_all.ptr, R.f64, False, R.i32, R.i64, r_all.shape, skip_zeros, 0, W.f64, W.i32, W.i64)
    assert E2 == m * p and np.allclose(tensor(r_all.read(E2, T2, shape=(m, p))), left_expected(M, e))
    # The fold pass counts what the fill wrote and adds the constants up.
    cnt, val = R.put("i32", np.zeros(m * p + 3, np.int32)), R.put("f64", np.full(m * p + 2, 1.0))
    kernel(477)(m, n, 2, o["cof"], o["nidxs"], o["ptr"], M.ravel(), o["shape"], 2, cnt, r.shape, val, R.f64, R.i32,
                0, skip_zeros, W.f64, W.i32, W.i64)
    if skip_zeros:
        assert np.cumsum(R.i32[cnt + 3:cnt + 3 + m * p]).tolist() == res.ptr[1:].tolist()
    assert np.allclose(R.f64[val + 2:val + 2 + m * p] - 1.0, left_expected(M, e)[..., 0].ravel())
    # triplets: the same fold, running counts
    si, sj, sv, Mt = random_matrix(rng, m, n, 0.5)
    cnt2, val2 = R.put("i32", np.zeros(m * p + 1, np.int32)), R.put("f64", np.zeros(m * p))
    C, N = kernel(480)(len(si), 0, m, 2, 0, 5, si, sj, sv, 7, o["cof"], o["nidxs"], o["ptr"], o["shape"], cnt2,
                       R.f64, R.i32, val2, W.f64, W.i32, W.i64)
    pairs = [(j * p + c) for i in range(m) for c in range(p) for j in np.flatnonzero(Mt[i])]
    consts = sum(int((e.nidxs[e.ptr[x]:e.ptr[x + 1]] == 0).sum()) for x in pairs)
    assert (C, N) == (5 + consts, 7 + sum(e.ptr[x + 1] - e.ptr[x] for x in pairs) - consts)
    assert np.allclose(R.f64[val2:val2 + m * p], left_expected(Mt, e)[..., 0].ravel())
    assert R.i32[cnt2 + 1:cnt2 + 1 + m * p].sum() == N - 7
    # Right mode, E.M2 with E's last axis (extent p) as M2's rows: constants
    # into values, the other terms counted per result element (c, j).
    M2 = random_matrix(rng, p, 3, 0.7, zeros=True)[3]
    cnt3, val3 = R.put("i32", np.zeros(n * 3 + 1, np.int32)), R.put("f64", np.zeros(n * 3))
    kernel(477)(p, 3, 2, o["cof"], o["nidxs"], o["ptr"], M2.ravel(), o["shape"], 0, cnt3, r.shape, val3, R.f64,
                R.i32, 1, skip_zeros, W.f64, W.i32, W.i64)
    assert R.i32[r.shape:r.shape + 2].tolist() == [n, 3]
    assert np.allclose(R.f64[val3:val3 + n * 3], right_expected(M2, e)[..., 0].ravel())
    ne = nonconstant(e)
    want = [sum(len(ne.terms(c * p + i)) for i in range(p) if not skip_zeros or M2[i, j] != 0)
            for c in range(n) for j in range(3)]
    assert R.i32[cnt3 + 1:cnt3 + 1 + n * 3].tolist() == want


@pytest.mark.parametrize("right,acc", [(0, 0), (1, 0), (0, 1), (1, 1)])
def test_dense_values_of_constants(rng, right, acc):
    m, n = 3, 4
    _, _, _, M = random_matrix(rng, m, n, 0.8, zeros=True)
    shape = (2, m) if right else (n, 2)
    e = random_expr(rng, shape, nvars=1)       # every term is a constant term
    W, R = Stack(), Stack()
    o = op_args(W.push(e))
    want = (right_expected(M, e) if right else left_expected(M, e))[..., 0].ravel()
    rs, val = R.reserve("i32", 2), R.put("f64", np.full(len(want) + 1, 2.0))
    kernel(475)(acc, 1, m, n, 2, o["cof"], M.ravel(), o["ptr"], o["shape"], rs, val, R.f64, R.i32, right,
                W.f64, W.i32)
    assert np.allclose(R.f64[val + 1:val + 1 + len(want)], want + (2.0 if acc else 0.0))
    assert R.f64[val] == 2.0
    assert R.i32[rs:rs + 2].tolist() == ([2, n] if right else [m, 2])
    if not right:
        idx, v = R.reserve("i32", len(want)), R.reserve("f64", len(want))
        E, V, Z = kernel(474)(0, m, 2, o["cof"], o["ptr"], o["shape"], M.ravel(), idx, v, 10, R.f64, R.i32, 20,
                              W.f64, W.i32)
        nz = np.flatnonzero(want)
        assert (E, V, Z) == (len(nz), 10 + len(want), 20 + len(want) - len(nz))
        assert R.i32[idx:idx + E].tolist() == nz.tolist() and np.allclose(R.f64[v:v + E], want[nz])


# ------------------------------------------------------- elementwise products

@pytest.mark.parametrize("osp,prog", [(False, False), (True, False), (False, True), (True, True)])
def test_elementwise(rng, osp, prog):
    shape = (3, 4)
    e = random_expr(rng, shape, nvars=NV, sparse=osp, programs=prog)
    msp = np.flatnonzero(rng.random(12) < 0.5).astype(np.int64)
    mcof = rng.integers(1, 5, size=len(msp)).astype(np.float64)
    C = np.zeros(12)
    C[msp] = mcof
    W, R = Stack(), Stack()
    o = op_args(W.push(e))
    E, P, T = kernel(467)(len(msp), prog, msp, 0, o["codeptr"], e.n if osp else -1, o["ptr"], o["sp"], 0, 0,
                          W.i32, W.i64)
    r = Result(R, E, T, P, sparse=True)
    R.i32[r.ptr] = -5
    kernel(469)(len(msp), 2, o["cconst"], o["code"], osp, mcof, msp, o["codeptr"], o["cof"], e.n, o["nidxs"], o["ptr"],
                o["shape"], o["sp"], int(prog), R.f64, R.i32, R.i64, r.cconst, r.code, r.codeptr, r.cof, r.nidxs,
                r.ptr, r.shape, r.sp, W.f64, W.i32, W.i64)
    res = r.read(E, T, P if prog else None, shape=shape)
    keys = msp[stored(e)[msp]].tolist()
    w = C.reshape(shape + (1,))
    check(res, w * tensor(e), prog, w * tensor(e, True) if prog else None, keys)


@pytest.mark.parametrize("prog", [False, True])
def test_elementwise_sizes_of_an_empty_sparse_operand(rng, prog):
    # 0 stored elements is a sparse operand that stores nothing, not a dense one
    e = Expr((3, 4), [0], [], [], sp=[], codeptr=[0], code=[], cconst=[])
    W = Stack()
    o = op_args(W.push(e))
    msp = np.array([0, 5, 11], np.int64)
    assert kernel(467)(3, prog, msp, 2, o["codeptr"], 0, o["ptr"], o["sp"], 7, 4, W.i32, W.i64) == (2, 7, 4)


# ---------------------------------------------------- products with variables

def var_tensor(x, shape):
    out = np.zeros((x.size, int(x.max()) + 1))
    out[np.arange(x.size), x] = 1.0
    return out.reshape(shape + (-1,))


def read_var(stack, ptr, nidxs, cof, n, sp=None, shape=None):
    t = int(stack.i32[ptr + n])
    e = Expr((n,), stack.i32[ptr:ptr + n + 1].copy(), stack.i64[nidxs:nidxs + t].copy(),
             stack.f64[cof:cof + t].copy(), None if sp is None else stack.i64[sp:sp + n].copy())
    e.shape = shape
    return e


def dense_of(e, shape, nv):
    out = np.zeros((int(np.prod(shape)), nv))
    for el, x in enumerate(e.element_ids()):
        a, b = e.ptr[el], e.ptr[el + 1]
        np.add.at(out[x], e.nidxs[a:b], e.cof[a:b])
    return out.reshape(shape + (nv,))


@pytest.mark.parametrize("kid,sparse", [(498, False), (498, True), (494, False), (486, False), (486, True)])
def test_triplet_variable_products(rng, kid, sparse):
    m, n, p = 5, 4, 2
    si, sj, sv, M = random_matrix(rng, m, n, 0.3)
    M[1] = 0
    keep = si != 1
    si, sj, sv = si[keep], sj[keep], sv[keep]
    first = 3
    x = rng.permutation(n * p).astype(np.int64) + 1 if kid != 498 else np.arange(n * p) + first
    R, W = Stack(), Stack()
    pos = {k: R.reserve(t, 64) for k, t in (("ptr", "i32"), ("nidxs", "i64"), ("cof", "f64"), ("sp", "i64"))}
    if kid == 498:
        kernel(498)(m, R.f64, sparse, R.i32, R.i64, sv, len(si), si, sj, p, pos["cof"], pos["nidxs"], pos["ptr"],
                    pos["sp"], first)
    elif kid == 494:
        xp = R.put("i64", x)
        kernel(494)(sv, len(si), si, sj, m, p, R.f64, R.i32, R.i64, pos["cof"], pos["nidxs"], pos["ptr"], xp, R.i64)
    else:
        sh, xp = W.put("i32", np.array([n, p], np.int32)), W.put("i64", x)
        R.i32[pos["ptr"]] = 0
        E, T = kernel(486)(len(si), 0, sv, m, si, sj, 2, pos["cof"], pos["nidxs"], pos["ptr"], R.f64, R.i32, R.i64,
                           pos["sp"], sh, int(sparse), W.i32, W.i64, 0, xp)
        assert T == len(si) * p
    rows = np.flatnonzero(np.abs(M).sum(1))
    n_el = len(rows) * p if sparse else m * p
    res = read_var(R, pos["ptr"], pos["nidxs"], pos["cof"], n_el, pos["sp"] if sparse else None, (m, p))
    if kid == 486:
        assert E == n_el
    if sparse:
        assert res.sp.tolist() == [i * p + c for i in rows for c in range(p)]
    X = var_tensor(x, (n, p))
    assert np.allclose(dense_of(res, (m, p), X.shape[-1]), np.tensordot(M, X, axes=(1, 0)))


@pytest.mark.parametrize("density", [0.45, 1.0])  # 1.0: the block's first and last columns are full
@pytest.mark.parametrize("sparse", [0, 1])
def test_block_variable_product(rng, sparse, density):
    m, n, p = 6, 7, 2
    si, sj, sv, M = random_matrix(rng, m, n, density)
    r0, rows, j0, cols = 1, 4, 2, 3
    X = Stack()
    mptr, sp = X.reserve("i32", 2 * rows), X.reserve("i64", 64)
    E, T = kernel(491)(0, len(si), si, sj, j0, 0, rows, mptr, cols, p, r0, sparse, X.i32, X.i64, sp, 0)
    B = M[r0:r0 + rows, j0:j0 + cols]
    assert T == np.count_nonzero(B) * p
    nonempty = np.flatnonzero(np.abs(B).sum(1))
    keys = [(r0 + i) * p + c for i in nonempty for c in range(p)]
    assert E == (len(keys) if sparse else rows * p)
    if sparse:
        assert X.i64[sp:sp + E].tolist() == keys
    x = rng.permutation(cols * p).astype(np.int64) + 1
    xp = X.put("i64", x)
    R = Stack()
    pos = {k: R.reserve(t, 64) for k, t in (("ptr", "i32"), ("nidxs", "i64"), ("cof", "f64"), ("sp", "i64"))}
    kernel(493)(sv, rows, mptr, sj, p, pos["cof"], pos["nidxs"], pos["ptr"], R.f64, R.i32, R.i64, pos["sp"],
                sparse, r0, xp, X.i32, X.i64, j0)
    res = read_var(R, pos["ptr"], pos["nidxs"], pos["cof"], E, pos["sp"] if sparse else None, (rows, p))
    assert int(res.ptr[-1]) == T
    if sparse:
        assert res.sp.tolist() == keys
        res.sp = res.sp - r0 * p
    V = var_tensor(x, (cols, p))
    assert np.allclose(dense_of(res, (rows, p), V.shape[-1]), np.tensordot(B, V, axes=(1, 0)))


@pytest.mark.parametrize("offset,sparse", [(0, False), (1, True), (-2, False)])
def test_diagonal_product(rng, offset, sparse):
    n, p = 5, 3
    rows = np.array([0, 2, 3, 4], np.int32)
    d = np.array([2.0, -1.0, 3.0, 4.0])
    D = np.zeros((n, n))
    for i, v in zip(rows, d):
        if 0 <= i + offset < n:
            D[i, i + offset] = v
    W, R = Stack(), Stack()
    sh = W.put("i32", np.array([n, p], np.int32))
    x = rng.permutation(n * p).astype(np.int64) + 1
    xp = W.put("i64", x)
    pos = {k: R.reserve(t, 64) for k, t in (("ptr", "i32"), ("nidxs", "i64"), ("cof", "f64"), ("sp", "i64"),
                                            ("shape", "i32"))}
    kernel(490)(d, len(rows), 0, rows, 2, pos["cof"], pos["nidxs"], pos["ptr"], R.f64, sparse, R.i32, R.i64,
                pos["shape"], pos["sp"], sh, W.i32, W.i64, xp, offset)
    kept = rows[(rows + offset >= 0) & (rows + offset < n)]
    n_el = len(kept) * p if sparse else n * p
    res = read_var(R, pos["ptr"], pos["nidxs"], pos["cof"], n_el, pos["sp"] if sparse else None, (n, p))
    if sparse:
        assert res.sp.tolist() == [i * p + c for i in kept for c in range(p)]
    assert R.i32[pos["shape"]:pos["shape"] + 2].tolist() == [n, p]
    V = var_tensor(x, (n, p))
    assert np.allclose(dense_of(res, (n, p), V.shape[-1]), np.tensordot(D, V, axes=(1, 0)))


@pytest.mark.parametrize("right,skip", [(0, 0), (1, 0), (0, 1), (1, 1)])
def test_dense_variable_product(rng, right, skip):
    m, n, p = 3, 4, 2
    _, _, _, M = random_matrix(rng, m, n, 0.6, zeros=True)
    shape = (p, m) if right else (n, p)
    x = rng.permutation(int(np.prod(shape))).astype(np.int64) + 1
    W, R = Stack(), Stack()
    xp = W.put("i64", x)
    pos = {k: R.reserve(t, 64) for k, t in (("ptr", "i32"), ("nidxs", "i64"), ("cof", "f64"))}
    kernel(483)(M.ravel(), m, n, p, right, R.f64, R.i32, R.i64, pos["cof"], pos["nidxs"], pos["ptr"], skip, W.i64, xp)
    rshape = (p, n) if right else (m, p)
    res = read_var(R, pos["ptr"], pos["nidxs"], pos["cof"], m * p if not right else p * n, None, rshape)
    assert res.m == (np.count_nonzero(M) if skip else M.size) * p
    V = var_tensor(x, shape)
    want = np.einsum("qiv,ij->qjv", V, M) if right else np.tensordot(M, V, axes=(1, 0))
    assert np.allclose(dense_of(res, rshape, V.shape[-1]), want)


# --------------------------------------------------------- structure passes

def test_structure_passes(rng):
    si, sj, sv, M = random_matrix(rng, 6, 6, 0.4)
    full = bool((np.abs(M).sum(1) > 0).all())
    assert kernel(481)(True, True, 6, 6, len(si), si, sj) == (bool((si == sj).all()), full)
    eye = np.arange(4, dtype=np.int32)
    assert kernel(481)(True, True, 4, 4, 4, eye, eye) == (True, True)
    assert kernel(481)(True, True, 4, 5, 3, eye, eye) == (False, False)
    # not square: rows with entries counted against the row count
    five = np.arange(5, dtype=np.int32)
    assert kernel(481)(True, True, 6, 4, 5, five, five % 4) == (False, False)  # row 5 empty
    three = np.arange(3, dtype=np.int32)
    assert kernel(481)(True, True, 3, 5, 3, three, three + 1) == (False, True)
    rows = np.bincount(si[2:])
    assert kernel(492)(len(si) - 2, si, 2, 0, 10) == (int(rows.max()), 10 + int((rows > 0).sum()))
    W = Stack()
    cnt = W.put("i32", np.zeros(5, np.int32))
    kernel(484)(len(sj) - 1, 1, 1, sj, 4, cnt, W.i32)
    sel = sj[1:][(sj[1:] >= 1) & (sj[1:] < 5)] - 1
    assert W.i32[cnt + 1:cnt + 5].tolist() == np.bincount(sel, minlength=4).tolist()
    sp = np.array([0, 1, 7, 8, 9, 20, 23], np.int64)
    spp = W.put("i64", sp)
    assert kernel(482)(1, 4, W.i64, len(sp), 100, spp) == 100 + len(set((sp[1:] // 4).tolist()))
    shp = W.put("i32", np.array([3, 2, 4], np.int32))
    loc = W.reserve("i32", 4)
    xshape = np.zeros(2, np.int32)
    kernel(488)(loc, 3, len(sp), 1, W.i32, W.i64, spp, xshape, shp, 1)
    assert xshape.tolist() == [3, 8]
    assert W.i32[loc:loc + 4].tolist() == np.searchsorted(sp, [0, 8, 16, 24]).tolist()


# ------------------------------------- right products: every count has its fill

def offset_expr(e, off):
    """The same expression with its row pointer (and program pointer) starting
    at `off`: `off` unrelated terms (and program positions) come first."""
    x = Expr(e.shape, e.ptr + off, np.r_[np.full(off, 5), e.nidxs], np.r_[np.full(off, 9.0), e.cof], e.sp)
    if e.programs:
        x.codeptr = np.r_[np.arange(off), e.codeptr + off].astype(np.int32)
        x.code, x.cconst = np.r_[np.full(off, 2), e.code], np.r_[np.full(off, 4.0), e.cconst]
    return x


RIGHT_PAIRS = [  # size kernel, programs, result sparse, operand stored in full
    (458, True, True, False), (458, False, True, False), (463, False, True, False),    # fill: 464
    (458, True, False, True), (458, False, False, True), (463, False, False, True),    # fill: 459, dense result
    (458, True, True, True), (463, False, True, True),                                 # fill: 459, sparse result
]


@pytest.mark.parametrize("q,m,n,K,density", [(3, 4, 3, 5, 0.5), (0, 2, 3, 2, 0.5), (2, 1, 1, 1, 1.0),
                                             (4, 3, 2, 0, 0.5), (3, 4, 3, 4, 0.0), (5, 2, 4, 6, 0.3)])
@pytest.mark.parametrize("kid,prog,rsp,full", RIGHT_PAIRS)
def test_right_product_counts_equal_fills(rng, kid, prog, rsp, full, q, m, n, K, density):
    # The size pass with cursors (E0, T0, P0) returns exactly what its fill
    # writes from the same cursors: row pointer entries E0+1 .. E, terms T0 ..
    # T-1, program positions P0 .. P-1, sparsity E0 .. E-1; nothing past them
    # (the runs are reserved at the counted sizes, sentinels follow) and
    # nothing before the cursors. Cursors 0 give numpy's product.
    if K:
        si, sj, sv, M = random_matrix(rng, m, n, 1.0)
        pick = np.sort(rng.choice(len(si), min(K, len(si)), replace=False))
        si, sj, sv = si[pick], sj[pick], sv[pick]
        M = np.zeros((m, n))
        M[si, sj] = sv
    else:
        si, sj, sv, M = np.zeros(0, np.int32), np.zeros(0, np.int32), np.zeros(0), np.zeros((m, n))
    e = random_expr(rng, (q, m), nvars=NV, sparse=not full, programs=prog, density=density)
    if full:  # stored in full: the sparsity is the identity
        e.sp = None
    off = int(rng.integers(1, 4))
    W, X = Stack(4096), Stack(4096)
    o = op_args(W.push(offset_expr(e, off)))
    sp = W.put("i64", np.arange(q * m)) if full else o["sp"]
    nelem = q * m if full else e.n
    order = column_order(si, sj, n, X)
    cp = o["codeptr"] if prog else -1
    prev = None
    for E0, T0, P0 in [(0, 0, 0), (2, 5, 7)]:
        if kid == 458:
            E, P, T = kernel(458)(E0, int(not rsp), prog, m, n, si, sj, cp, nelem, o["ptr"], sp, order, P0, q,
                                  W.i32, W.i64, X.i32, T0)
        else:
            E, L, T = kernel(463)(E0, 0, si, sj, m, n, nelem, o["ptr"], sp, order, q, W.i32, W.i64, int(not rsp),
                                  T0, X.i32)
            P = P0
        R = Stack(4096)
        r = dict(shape=R.reserve("i32", 2), ptr=R.reserve("i32", E + 1), nidxs=R.reserve("i64", T),
                 cof=R.reserve("f64", T), sp=R.reserve("i64", E), codeptr=R.reserve("i32", T + 1),
                 code=R.reserve("i32", P), cconst=R.reserve("f64", P))
        R.i32[r["ptr"] + E0] = T0
        R.i32[r["codeptr"] + T0] = P0
        before = (R.i32.copy(), R.i64.copy(), R.f64.copy())
        if full:
            got = kernel(459)(E0, 0, n, 2, o["cconst"], o["code"], o["codeptr"], prog, o["cof"], o["nidxs"], si, sj,
                              sv, o["ptr"], o["shape"], P0, r["cconst"], r["code"], r["codeptr"], r["cof"], r["nidxs"],
                              r["ptr"], R.f64, R.i32, R.i64, r["shape"], r["sp"], int(rsp), T0, W.f64, W.i32, W.i64,
                              X.i32, order)
            assert got == (E, P, T)
        else:
            got = kernel(464)(E0, 0, m, n, o["cconst"], o["code"], cp, o["cof"], e.n, si, sj, sv, o["nidxs"],
                              o["ptr"], o["sp"], order, P0, r["cconst"], r["code"], r["codeptr"], r["cof"], R.f64,
                              R.i32, R.i64, r["nidxs"], r["ptr"], r["sp"], T0, W.f64, W.i32, W.i64, 0, X.i32)
            assert (got[0], got[2], got[3]) == (E, P, T)
            if kid == 463:
                assert got[1] == L
        # What the fill may write: the blocks between the cursors and the counts.
        written = {"i32": [(r["ptr"] + E0 + 1, r["ptr"] + E + 1)], "i64": [(r["nidxs"] + T0, r["nidxs"] + T)],
                   "f64": [(r["cof"] + T0, r["cof"] + T)]}
        if full:
            written["i32"].append((r["shape"], r["shape"] + 2))
        if rsp:
            written["i64"].append((r["sp"] + E0, r["sp"] + E))
        if prog:
            written["i32"] += [(r["codeptr"] + T0 + 1, r["codeptr"] + T + 1), (r["code"] + P0, r["code"] + P)]
            written["f64"].append((r["cconst"] + P0, r["cconst"] + P))
        for kind, old in zip(("i32", "i64", "f64"), before):
            now = getattr(R, kind).copy()
            for a, b in written[kind]:
                now[a:b] = old[a:b]
            assert now.tobytes() == old.tobytes(), kind
        assert R.i32[r["ptr"] + E] == T and (not prog or R.i32[r["codeptr"] + T] == P)
        ptr = R.i32[r["ptr"] + E0:r["ptr"] + E + 1] - T0
        blocks = (ptr.tolist(), R.i64[r["nidxs"] + T0:r["nidxs"] + T].tolist(),
                  R.i64[r["sp"] + E0:r["sp"] + E].tolist() if rsp else None,
                  (R.i32[r["codeptr"] + T0:r["codeptr"] + T + 1] - P0).tolist() if prog else None)
        if prev is None:
            res = R.read(2, E, T, shape=r["shape"], ptr=r["ptr"], nidxs=r["nidxs"], cof=r["cof"],
                         sp=r["sp"] if rsp else None, codeptr=r["codeptr"] if prog else None, code=r["code"],
                         cconst=r["cconst"], ncode=P if prog else None)
            res.shape = (q, n)
            check(res, right_expected(M, e), prog, right_expected(M, e, True) if prog else None)
            if not rsp:
                assert E == q * n
            prev = blocks
        else:
            assert blocks == prev


@pytest.mark.parametrize("terms", [1, 2])  # a variable's single term, and a term loop
def test_left_product_of_two_nans_keeps_the_coefficients(terms):
    # M (1 x 2) of NaN values times an operand whose coefficients are other NaNs
    value, coefficient = (np.array([b], np.uint64).view(np.float64) for b in (0x7FF0000000000AAA, 0xFFF0000000000BBB))
    wi32 = np.array([2, 0, terms, 2 * terms], np.int32)  # operand shape (2,), then its row pointer
    rf64 = np.zeros(2 * terms)
    kernel(479)(2, 0, 1, 1, 0, np.zeros(2, np.int32), np.arange(2, dtype=np.int32), np.repeat(value, 2), 0, 1, 0, 0, 0,
                rf64, False, np.zeros(4, np.int32), np.zeros(2 * terms, np.int64), 1, 0, 0, 0,
                np.repeat(coefficient, 2 * terms), wi32, np.ones(2 * terms, np.int64))
    assert set(rf64.view(np.uint64)) == {0xFFF8000000000BBB}
