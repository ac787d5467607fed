"""Term order by variable index (both order kernels) and the duplicate merge
that reads it: every element keeps its linear map, each variable once."""
import numpy as np
import pytest

import programs_model as pm
from conftest import kernel
from stacks import Expr, Stack, random_expr

PARAMS = np.array([0.5, -2.0, 3.0, 7.25])


def orders(E):
    """Stable ascending order of each element's positions, by both kernels."""
    W, X = Stack(4096), Stack(4096)
    p = W.push(E)
    xo, xs = X.reserve("i32", E.m), X.reserve("i32", 2 * E.m + 200)
    kernel(398)(E.n, p.nidxs, xo, p.ptr, W.i32, W.i64, xs, X.i32)
    wo, ws = W.reserve("i32", E.m), W.reserve("i32", E.m)
    kernel(399)(E.n, p.nidxs, E.m, wo, ws, p.ptr, W.i32, W.i64)
    return X.i32[xo:xo + E.m].tolist(), W.i32[wo:wo + E.m].tolist()


@pytest.mark.parametrize("nvars", [4, 200])      # small key ranges count, large ones merge
def test_both_orders_are_the_stable_sort(rng, nvars):
    E = random_expr(rng, (40,), nvars=nvars, max_terms=9)
    want = []
    for e in range(E.n):
        a, b = E.ptr[e], E.ptr[e + 1]
        want += sorted(range(a, b), key=lambda p: (E.nidxs[p], p))
    x, w = orders(E)
    assert x == want and w == want


def test_order_example():
    E = Expr((1,), [0, 4], [7, 3, 7, 1], [1.0] * 4)
    assert orders(E) == ([3, 1, 0, 2],) * 2


def merge(E, programs):
    W, R, X = Stack(8192), Stack(8192), Stack(8192)
    p = W.push(E)
    xo, xs = X.reserve("i32", E.m), X.reserve("i32", 2 * E.m + 20)
    kernel(398)(E.n, p.nidxs, xo, p.ptr, W.i32, W.i64, xs, X.i32)
    pos = dict(ptr=R.reserve("i32", E.n + 1), nidxs=R.reserve("i64", E.m), cof=R.reserve("f64", E.m),
               codeptr=R.reserve("i32", E.m + 1), code=R.reserve("i32", 2 * E.ncode + E.m),
               cconst=R.reserve("f64", 2 * E.ncode + E.m), shape=0)
    f = int(programs)
    P, T = kernel(406)(p.cconst, p.code, 0, p.codeptr, p.cof, f, E.n, p.nidxs, 0, xo, p.ptr, pos["cconst"],
                       pos["code"], pos["codeptr"], pos["cof"], R.f64, R.i32, R.i64, f, pos["nidxs"], pos["ptr"],
                       W.f64, W.i32, W.i64, X.i32)
    res = R.read(0, E.n, T, **(pos if programs else dict(pos, codeptr=None)))
    res.shape = E.shape
    return res, P


@pytest.mark.parametrize("programs", [False, True])
def test_merge_keeps_the_linear_map_with_each_variable_once(rng, programs):
    E = random_expr(rng, (30,), nvars=5, max_terms=6, programs=programs)
    E.cof[rng.random(E.m) < 0.3] = 0.0
    res, P = merge(E, programs)
    for e in range(res.n):
        v = res.nidxs[res.ptr[e]:res.ptr[e + 1]]
        assert np.all(np.diff(v) > 0)
    if programs:
        assert P == res.codeptr[-1]
        for params in (PARAMS, rng.normal(size=4)):
            np.testing.assert_allclose(pm.effective_dense(res, params, 5), pm.effective_dense(E, params, 5))
    else:
        np.testing.assert_array_equal(res.dense(5), E.dense(5))
        kept = {(e, v) for e in range(E.n) for v, c in E.terms(e) if c != 0.0}
        assert {(e, v) for e in range(res.n) for v, _ in res.terms(e)} == kept


def test_merge_examples():
    E = Expr((1,), [0, 3], [3, 1, 3], [1.0, 2.0, -1.0])
    assert merge(E, False)[0].terms(0) == [(1, 2.0), (3, 0.0)]
    E = Expr((1,), [0, 3], [3, 1, 3], [0.0, 2.0, 0.0])
    assert merge(E, False)[0].terms(0) == [(1, 2.0)]
    E = Expr((1,), [0, 3], [2, 2, 2], [1.0, 1.0, 1.0], codeptr=[0, 1, 2, 3], code=[1, 2, 1], cconst=[0.0, 5.0, 1.0])
    res, _ = merge(E, True)
    assert res.program(0) == ([1, 2, 1, 8], [0.0, 5.0, 1.0, 3.0])
