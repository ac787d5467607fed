"""Symmetric part of a sparse two-axis expression, run as the host chains
it (order, sort, mirror, sizes, merge), against numpy's (E + E^T)/2."""
import numpy as np
import pytest

import programs_model as pm
from conftest import kernel
from stacks import Stack, random_expr

PARAMS = np.array([0.5, -2.0, 3.0, 7.25])


def symmetric_part(E, shape5, programs):
    """shape5 = (x0, a, m, b, p) extents with a == b."""
    dim = np.array(shape5, np.int32)
    stride = np.array([int(np.prod(shape5[i + 1:])) for i in range(5)], np.int64)
    W, R, X = Stack(8192), Stack(8192), Stack(8192)
    p = W.push(E)
    n = E.n
    o1, o2, cnt = X.reserve("i32", n), X.reserve("i32", n), X.reserve("i32", max(shape5) + 1)
    kernel(568)(o1, n, X.i32)
    srt, _ = kernel(569)(o1, dim, n, np.array([1, 2, 3, 0], np.int32), p.sp, stride, o2, W.i64, X.i32, cnt)
    mir = X.reserve("i64", n)
    kernel(571)(srt, n, p.sp, stride, W.i64, X.i32, X.i64, mir)
    assert np.all(np.diff(X.i64[mir:mir + n]) > 0)
    nres = kernel(572)(n, 0, p.sp, stride, W.i64, X.i64, mir)
    f = int(programs)
    P, T = kernel(570)(p.codeptr, f, n, p.ptr, 0, 0, p.sp, stride, W.i32, W.i64)
    pos = dict(ptr=R.reserve("i32", nres + 1), nidxs=R.reserve("i64", T), cof=R.reserve("f64", T),
               sp=R.reserve("i64", nres), codeptr=R.reserve("i32", T + 1), code=R.reserve("i32", P),
               cconst=R.reserve("f64", P), shape=0)
    out = kernel(574)(p.cconst, p.code, 0, p.codeptr, p.cof, srt, 0, 0, 0, n, p.nidxs, 0, p.ptr, pos["cconst"],
                      pos["code"], pos["codeptr"], pos["cof"], R.f64, R.i32, R.i64, f, pos["nidxs"], pos["ptr"],
                      pos["sp"], p.sp, stride, W.f64, W.i32, W.i64, X.i32, X.i64, mir)
    assert out[1:4] == (nres, n, n) and out[4] <= T and out[0] <= P
    R.i32[pos["ptr"]] = 0
    R.i32[pos["codeptr"]] = 0
    res = R.read(0, nres, out[4], **(pos if programs else dict(pos, codeptr=None)))
    res.shape = E.shape
    return res


@pytest.mark.parametrize("programs", [False, True])
@pytest.mark.parametrize("shape5", [(1, 3, 1, 3, 1), (2, 3, 2, 3, 2)])
def test_symmetric_part_is_the_mean_with_the_transpose(rng, programs, shape5):
    E = random_expr(rng, shape5, nvars=5, sparse=True, density=0.4, programs=programs)
    res = symmetric_part(E, shape5, programs)
    assert np.all(np.diff(res.sp) > 0)
    for params in (PARAMS, rng.normal(size=4)):
        d = pm.effective_dense(E, params, 5)
        want = (d + d.transpose(0, 3, 2, 1, 4, 5)) / 2
        np.testing.assert_allclose(pm.effective_dense(res, params, 5), want)
    stored = set(E.sp.tolist())
    s = np.array(shape5)
    mirrored = {int(np.ravel_multi_index(tuple(np.array(np.unravel_index(k, s))[[0, 3, 2, 1, 4]]), s))
                for k in stored}
    assert set(res.sp.tolist()) == stored | mirrored
