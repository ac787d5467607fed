"""Axis records, diagonals, triangle census, symmetric weights, negation and
block histograms, against numpy and the program model."""
import numpy as np
import pytest

import fragments as F
from stacks import Stack, random_expr
from programs_model import value

rng = np.random.default_rng(11)


def record(shape, a, b):
    st = Stack()
    pos = st.put("i32", np.asarray(shape, np.int32))
    dim, stride = np.full(5, -1, np.int32), np.full(5, -1, np.int64)
    got = F._c_closure_575(len(shape), dim, a, b, pos, 2, stride, st.i32)
    return dim, stride, got


@pytest.mark.parametrize("shape,a,b", [((2, 3, 4, 3, 2), 1, 3), ((3, 3), 0, 1), ((4, 2, 4), 0, 2)])
def test_axis_record(shape, a, b):
    dim, stride, got = record(shape, a, b)
    s = np.asarray(shape)
    want = [s[:a].prod(), s[a], s[a + 1:b].prod(), s[b], s[b + 1:].prod()]
    np.testing.assert_array_equal(dim, want)
    np.testing.assert_array_equal(stride, [np.prod(want[t + 1:]) for t in range(5)])
    assert got == (2 * s.prod(), 2 * s.prod() // s[b])


@pytest.mark.parametrize("shape,a,b,offset,programs", [
    ((2, 3, 2, 3, 2), 1, 3, 0, False), ((4, 4), 0, 1, 1, True), ((3, 2, 4), 0, 2, -1, True),
])
def test_diagonal(shape, a, b, offset, programs):
    dim, stride, _ = record(shape, a, b)
    w, r = Stack(strided=True), Stack(strided=True)
    x = random_expr(rng, shape, programs=programs)
    p = w.push(x)
    rp, rn, rc, rpp, rw, rcn = (r.reserve("i32", 200), r.reserve("i64", 400), r.reserve("f64", 400),
                                r.reserve("i32", 400), r.reserve("i32", 800), r.reserve("f64", 800))
    r.i32[rp] = 0
    r.i32[rpp] = 0
    P, E, T, M = F._c_closure_577(p.cconst, p.code, 0, p.codeptr, p.cof, 0, dim, p.nidxs, p.ptr, int(programs),
                                  rcn, rw, rpp, rc, 0, 0, r.f64, r.i32, r.i64, rn, rp, offset,
                                  stride, w.f64, w.i32, w.i64)
    x5 = x.dense(6).reshape(tuple(dim) + (6,))
    want = np.moveaxis(np.diagonal(x5, offset, 1, 3), -1, 1)  # (x0, diag, m, p, var)
    res = r.read(0, E, T, shape=0, ptr=rp, nidxs=rn, cof=rc,
                 **({"codeptr": rpp, "code": rw, "cconst": rcn} if programs else {}))
    res.shape = (E,)
    np.testing.assert_allclose(res.dense(6), want.reshape(-1, 6))
    assert M == max(np.diff(res.ptr), default=0) and P == (res.ncode if programs else 0)
    assert r.i32[rp + E + 1] == Stack.SENT32 and w.sentinels_intact() and r.sentinels_intact()
    if programs:  # each result element carries its source element's programs, in order
        ids = np.moveaxis(np.diagonal(np.arange(x.n).reshape(tuple(dim)), offset, 1, 3), -1, 1).ravel()
        for e, s in enumerate(ids):
            got = [res.program(t) for t in range(res.ptr[e], res.ptr[e + 1])]
            assert got == [x.program(t) for t in range(x.ptr[s], x.ptr[s + 1])]


@pytest.mark.parametrize("sparse,terms,offset", [(False, False, 0), (True, True, 0), (True, False, 1)])
def test_triangle_census(sparse, terms, offset):
    shape = (2, 4, 3, 4)
    x = random_expr(rng, shape, sparse=sparse)
    w = Stack()
    p = w.push(x)
    st = Stack()
    pos = st.put("i32", np.asarray(shape, np.int32))
    dim, stride = np.zeros(5, np.int32), np.zeros(5, np.int64)
    F._c_closure_575(4, dim, 1, 3, pos, 1, stride, st.i32)
    got = F._c_closure_556(x.n, dim, sparse, p.ptr, p.sp, offset, 5, 7, 4, stride.astype(np.int32), terms,
                           w.i32, w.i64)
    coords = np.unravel_index(x.element_ids(), shape)
    wt = np.diff(x.ptr) if terms else np.ones(x.n, int)
    above = coords[3] > coords[1] + offset
    below = coords[3] < coords[1] + offset
    assert got == (5 + wt[above].sum(), 7 + wt[below].sum())


@pytest.mark.parametrize("lower", [False, True])
def test_symmetric_weights(lower):
    shape = (2, 3, 2, 3, 2)
    s = [int(np.prod(shape[t + 1:])) for t in range(5)]
    v = np.sort(rng.choice(np.prod(shape), 15, replace=False)).astype(np.int64)
    w, r = Stack(), Stack(strided=True)
    wpos = w.put("i64", v)
    fpos, ipos = r.reserve("f64", 15), r.reserve("i32", 15)
    F._c_closure_550(*s, lower, 15, fpos, r.f64, r.i32, ipos, 2.5, wpos, w.i64)
    c = np.unravel_index(v, shape)
    want = np.where(c[1] == c[3], 1.0, np.where(lower & (c[3] > c[1]), 0.0, 2.5))
    np.testing.assert_array_equal(r.f64[fpos:fpos + 15], want)
    mirror = np.ravel_multi_index((c[0], c[3], c[2], c[1], c[4]), shape)
    np.testing.assert_array_equal(r.i32[ipos:ipos + 15], mirror)
    assert r.f64[fpos + 15] == Stack.SENTF and r.sentinels_intact()


@pytest.mark.parametrize("sparse,programs", [(False, False), (True, True), (False, True)])
def test_negate(sparse, programs):
    x = random_expr(rng, (3, 4), sparse=sparse, programs=programs)
    w, r = Stack(strided=True), Stack(strided=True)
    p = w.push(x)
    q = r.push(x)  # same sizes; programs grow by one position per term
    rw, rcn = r.reserve("i32", x.ncode + x.m + 1), r.reserve("f64", x.ncode + x.m + 1)
    F._c_closure_562(p.cconst, p.code, p.codeptr, p.cof, sparse, int(programs), 2, x.n, p.nidxs, x.m, p.ptr,
                     rcn, rw, q.codeptr, q.cof, r.f64, r.i32, r.i64, q.nidxs, q.ptr, q.shape, q.sp, p.shape,
                     p.sp, w.f64, w.i32, w.i64)
    res = r.read(2, x.n, x.m, shape=q.shape, ptr=q.ptr, nidxs=q.nidxs, cof=q.cof,
                 sp=q.sp if sparse else None, **({"codeptr": q.codeptr, "code": rw, "cconst": rcn}
                                                 if programs else {}))
    assert res.shape == x.shape
    np.testing.assert_array_equal(res.dense(6), -x.dense(6))
    if programs:
        params = rng.normal(size=4)
        for t in range(x.m):
            assert value(*res.program(t), params) == -value(*x.program(t), params)
    assert w.sentinels_intact() and r.sentinels_intact()


def test_block_histogram():
    v = np.sort(rng.integers(-5, 60, size=40)).astype(np.int64)
    w, x = Stack(), Stack()
    wpos = w.put("i64", v)
    xpos = x.put("i32", np.zeros(6, np.int32))
    x.i32[xpos + 2] = 3  # counters continue from earlier calls
    got = F._c_closure_536(40, wpos, xpos, 6, 7, 3, 1, 3, 10, w.i64, x.i32)
    blk = (v - 3) // 7
    blk = np.where(v - 3 < 0, -((3 - v) // 7), blk)  # truncating division
    keep = blk[(blk >= 0) & (blk < 6)]
    counts = np.bincount(keep, minlength=6)
    counts[2] += 3
    np.testing.assert_array_equal(x.i32[xpos:xpos + 6], counts)
    fresh = np.count_nonzero(np.bincount(keep, minlength=6)[[0, 1, 3, 4, 5]])
    assert got == (1 + fresh, max(3, counts.max()), 10 + len(keep))
    assert x.i32[xpos + 6] == Stack.SENT32
