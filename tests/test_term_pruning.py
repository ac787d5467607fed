"""Term tests, dropping zero terms and evaluating programs, against a numpy /
plain-Python model of each element's terms."""
import numpy as np
import pytest

import fragments as F
from programs_model import effective_dense, is_constant, value
from stacks import Expr, Stack, random_expr

rng = np.random.default_rng(5)
PARAMS = np.array([0.5, -2.0, 3.0, 1.25])
NV = 6


def with_zeros(e):
    e.cof[rng.random(e.m) < 0.4] = 0.0
    if e.m:
        e.cof[0] = -0.0
    return e


EXPRS = [random_expr(rng, s, nvars=NV, programs=True) for s in [(0,), (1,), (5,), (4, 3), (6, 2)]]


@pytest.mark.parametrize("e", EXPRS)
def test_checks(e):
    w = Stack(strided=True)
    p = w.push(e)
    allconst = all(is_constant(e.program(t)[0]) for t in range(e.m))
    for ok in (True, False):
        assert F._c_closure_393(e.m, ok, p.codeptr, p.code, w.i32) == (ok and allconst)
    unordered = any(np.any(np.diff(e.nidxs[e.ptr[i]:e.ptr[i + 1]]) <= 0) for i in range(e.n))
    for flag in (True, False):
        assert F._c_closure_400(flag, e.n, p.ptr, p.nidxs, w.i32, w.i64) == (flag or unordered)
    used = [int(c) for wd, c in zip(e.code, e.cconst) if wd == 1]
    for nparam in (0, 2, 4):
        want = any(q >= nparam for q in used)
        assert F._c_closure_401(p.cconst, p.code, p.codeptr, e.n, False, nparam, p.ptr, w.f64, w.i32) == want
        assert F._c_closure_401(p.cconst, p.code, p.codeptr, e.n, True, nparam, p.ptr, w.f64, w.i32)


@pytest.mark.parametrize("lo", [0, 1])
@pytest.mark.parametrize("shape", [(0,), (7,), (3, 4)])
def test_count_and_drop_agree(shape, lo):
    w, x = Stack(strided=True), Stack()
    e = with_zeros(random_expr(rng, shape, nvars=NV))
    p = w.push(e)
    before = e.dense(NV)
    keep = (e.cof != 0) & (e.nidxs >= lo)
    kept = np.array([keep[e.ptr[i]:e.ptr[i + 1]].sum() for i in range(e.n)], int)
    # count pass over two windows chained through its running values
    cpos = x.reserve("i32", e.n + 1)
    F._c_closure_370(e.n, cpos, x.i32)
    h = e.n // 2
    E, M, T = F._c_closure_392(0, 0, 0, p.cof, 0, h, w.f64, w.i32, p.ptr, cpos, x.i32)
    E, M, T = F._c_closure_392(E, M, T, p.cof, h, e.n - h, w.f64, w.i32, p.ptr, cpos, x.i32)
    nz = np.array([(e.cof[e.ptr[i]:e.ptr[i + 1]] != 0).sum() for i in range(e.n)], int)
    assert (E, M, T) == (e.n, max(nz, default=0), nz.sum())
    F._c_closure_372(e.n, cpos, x.i32)
    mpos = x.reserve("i32", e.m)
    T, Z = F._c_closure_403(p.cof, lo, e.n, p.nidxs, p.ptr, 0, mpos, 0, w.f64, w.i32, w.i64, x.i32)
    assert (T, Z) == (keep.sum(), e.m - keep.sum())
    got = w.read(0, e.n, T, shape=p.shape, ptr=p.ptr, nidxs=p.nidxs, cof=p.cof)
    got.shape = shape
    assert np.array_equal(np.diff(got.ptr), kept)
    if lo == 0:
        assert x.i32[cpos:cpos + e.n + 1].tolist() == got.ptr.tolist()
    want = before.copy()
    if lo:
        want[..., 0] = 0
    assert np.array_equal(got.dense(NV), want)
    newpos = np.where(keep, np.cumsum(keep) - 1, -1)
    assert x.i32[mpos:mpos + e.m].tolist() == newpos.tolist() and w.sentinels_intact()


@pytest.mark.parametrize("own,drop", [(True, False), (True, True), (False, True)])
@pytest.mark.parametrize("e", EXPRS[1:])
def test_evaluate_programs(e, own, drop):
    w, x, r = Stack(), Stack(strided=True), Stack()
    p = w.push(e)
    xparam, xstack = x.put("f64", PARAMS), x.reserve("f64", 16)
    x.f64[xstack] = 99.0  # a value below the stack's depth stays
    mpos = x.reserve("i32", e.m)
    R = dict(ptr=r.reserve("i32", e.n + 1), nidxs=r.reserve("i64", e.m), cof=r.reserve("f64", e.m))
    r.i32[R["ptr"]] = 0
    h = e.n // 2
    args = (own, p.cconst, p.code, p.codeptr, p.cof, 1)
    E, T, Z = F._c_closure_396(0, 0, 0, *args, 0, h, p.nidxs, r.f64, drop, r.i32, r.i64, R["cof"], R["nidxs"],
                               R["ptr"], p.ptr, w.f64, w.i32, w.i64, mpos, xparam, xstack, x.f64, x.i32)
    E, T, Z = F._c_closure_396(E, T, Z, *args, h, e.n - h, p.nidxs, r.f64, drop, r.i32, r.i64, R["cof"],
                               R["nidxs"], R["ptr"], p.ptr, w.f64, w.i32, w.i64, mpos, xparam, xstack, x.f64,
                               x.i32)
    vals = e.cof + (np.array([value(*e.program(t), PARAMS) for t in range(e.m)]) if own else 0)
    keep = (vals != 0) if drop else np.ones(e.m, bool)
    assert (E, T, Z) == (e.n, keep.sum(), e.m - keep.sum())
    got = r.read(0, e.n, T, shape=0, **R)
    got.shape = e.shape
    plain = Expr(e.shape, e.ptr, e.nidxs, e.cof)
    assert np.array_equal(got.dense(NV), effective_dense(e if own else plain, PARAMS, NV))
    assert np.allclose(got.cof, vals[keep])
    assert x.i32[mpos:mpos + e.m].tolist() == np.where(keep, np.cumsum(keep) - 1, -1).tolist()
    assert x.f64[xstack] == 99.0 and x.sentinels_intact()
