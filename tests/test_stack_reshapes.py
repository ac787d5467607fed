"""Reshaping kernels against numpy: new and stacked axes, strides and linear
indices, and the copies (flat runs, tile, strided gather, broadcast sum),
whose coefficients and program values must equal the numpy operation."""
import numpy as np
import pytest

import fragments as F
from programs_model import effective_dense
from stacks import Stack, random_expr

rng = np.random.default_rng(11)
PARAMS = np.array([0.5, -2.0, 3.0, 1.25])
NV = 6


@pytest.mark.parametrize("shape,d", [((), 0), ((3,), 0), ((3,), 1), ((2, 5, 4), 1), ((2, 5, 4), 3)])
def test_new_axis_shapes(shape, d):
    a = np.empty(shape)
    res = np.full(len(shape) + 2, -5, np.int32)
    F._c_closure_450(d, res, np.asarray(shape, np.int32))
    assert tuple(res[:-1]) == np.expand_dims(a, d).shape and res[-1] == -5
    for k in (1, 2, 4):
        ops = [None] + [np.asarray(shape, np.int32), None] * k
        res[:] = -5
        F._c_closure_451(d, res, np.array(ops, dtype=object))
        assert tuple(res[:-1]) == np.stack([a] * k, axis=d).shape and res[-1] == -5


@pytest.mark.parametrize("shape", [(7,), (3, 4), (2, 3, 5)])
def test_strides_and_linear_indices(shape):
    s = np.full(len(shape) + 1, -1, np.int64)
    F._c_closure_455(len(shape), s, np.asarray(shape, np.int32))
    assert tuple(s[:-1] * 8) == np.empty(shape).strides and s[-1] == -1
    sub = np.stack([rng.integers(0, x, 9) for x in shape], axis=1).astype(np.int32)
    res = np.zeros(9, np.int64)
    F._c_closure_456(len(shape), res, s, sub)
    assert res.tolist() == np.ravel_multi_index(sub.T, shape).tolist()


def result_blocks(r, n, m, a):
    return dict(ptr=r.reserve("i32", n + 1), nidxs=r.reserve("i64", m), cof=r.reserve("f64", m),
                codeptr=r.reserve("i32", m + 1), code=r.reserve("i32", a), cconst=r.reserve("f64", a))


def read(r, R, shape, programs):
    n = int(np.prod(shape, dtype=np.int64))
    m = int(r.i32[R["ptr"] + n])
    if not programs:
        R = dict(R, codeptr=None, code=None, cconst=None)
    out = r.read(0, n, m, shape=0, **R)
    out.shape = tuple(shape)
    return out


def test_flat_runs_make_regular_expression():
    w, r = Stack(strided=True), Stack()
    n, step = 4, 3
    v, c = rng.integers(0, NV, n * step), rng.integers(-5, 6, n * step).astype(float)
    pv, pc = w.put("i64", v), w.put("f64", c)
    R = result_blocks(r, n, n * step, n * step)
    F._c_closure_395(n, True, R["cconst"], R["code"], R["codeptr"], R["cof"], step, r.f64, r.i32, r.i64,
                     R["nidxs"], R["ptr"], pc, pv, w.f64, w.i64)
    got = read(r, R, (n,), True)
    want = np.zeros((n, NV))
    np.add.at(want, (np.repeat(np.arange(n), step), v), c)
    assert np.array_equal(effective_dense(got, PARAMS, NV), want)
    assert got.ptr.tolist() == list(range(0, n * step + 1, step)) and w.sentinels_intact()


def programs_untouched(r, R, flag):
    """Without the result flag, the result's program runs keep their sentinels."""
    if flag:
        return True
    top_i32 = r.top["i32"]
    ints = r.i32[R["codeptr"]:top_i32]
    floats = r.f64[R["cconst"]:r.top["f64"]]
    return bool(np.all(ints == Stack.SENT32) and np.all(floats == Stack.SENTF))


def push(w, shape, programs, sparse=False):
    e = random_expr(rng, shape, nvars=NV, programs=programs)
    return e, w.push(e)


@pytest.mark.parametrize("programs", [False, True])
@pytest.mark.parametrize("n,reps", [(5, 3), (4, 1), (3, 0)])
def test_tile(n, reps, programs):
    w, r = Stack(), Stack()
    e, p = push(w, (n,), programs)
    R = result_blocks(r, n * reps, e.m * reps, e.ncode * reps)
    F._c_closure_429(p.cconst, p.code, p.codeptr, p.cof, int(programs), n, p.nidxs, p.ptr, R["cconst"],
                     R["code"], R["codeptr"], R["cof"], reps, r.f64, r.i32, r.i64, R["nidxs"], R["ptr"],
                     w.f64, w.i32, w.i64)
    got = read(r, R, (n * reps,), programs)
    want = np.tile(effective_dense(e, PARAMS, NV), (reps, 1))
    assert np.array_equal(effective_dense(got, PARAMS, NV), want)


GATHERS = [  # operand shape, result extents, strides, offset, numpy view of the operand
    ((3, 4), (1, 4, 3), (0, 1, 4), 0, lambda a: a.transpose(1, 0, 2)[None]),            # transpose
    ((2, 3), (2, 2, 3), (0, 3, 1), 0, lambda a: np.broadcast_to(a, (2, 2, 3, NV))),
    ((6,), (1, 3, 2), (0, -2, 1), 4, lambda a: a[::-1].reshape(3, 2, NV)[:, ::-1][None]),
    ((4, 5), (2, 2, 1), (10, 2, 0), 1, lambda a: a.reshape(20, NV)[[1, 3, 11, 13]]),
]


@pytest.mark.parametrize("own,flag", [(0, False), (1, True), (0, True), (1, False)])
@pytest.mark.parametrize("shape,ext,st,off,view", GATHERS)
def test_strided_gather(shape, ext, st, off, view, own, flag):
    w, r = Stack(), Stack()
    e, p = push(w, shape, own > 0)
    N = int(np.prod(ext))
    m = N * 3
    R = result_blocks(r, N, m, m * 4)
    F._c_closure_402(p.cconst, p.code, p.codeptr, p.cof, flag, *ext, p.nidxs, off, own, p.ptr, R["cconst"],
                     R["code"], R["codeptr"], r.f64, r.i32, r.i64, R["cof"], R["nidxs"], R["ptr"], *st,
                     w.f64, w.i32, w.i64)
    got = read(r, R, ext, flag)
    want = view(effective_dense(e, PARAMS, NV) if flag or not own else e.dense(NV)).reshape(ext + (NV,))
    assert np.array_equal(effective_dense(got, PARAMS, NV), want) and programs_untouched(r, R, flag)


@pytest.mark.parametrize("yshape", [(2, 3, 4), (1, 3, 1), (2, 1, 4), (1, 1, 1)])
@pytest.mark.parametrize("xown,yown,flag", [(0, 0, False), (1, 0, True), (0, 1, True), (1, 1, True), (1, 1, False)])
def test_broadcast_sum(yshape, xown, yown, flag):
    w, r = Stack(strided=True), Stack()
    x, px = push(w, (2, 3, 4), xown > 0)
    y, py = push(w, yshape, yown > 0)
    R = result_blocks(r, 24, x.m + 24 * 3, x.ncode + y.ncode * 24 + 24 * 3)
    F._c_closure_432(4, 3, 2, px.cconst, px.code, px.codeptr, px.cof, px.nidxs, flag, xown, px.ptr, py.cconst,
                     py.code, py.codeptr, py.cof, py.nidxs, yown, py.ptr, R["cconst"], R["code"], r.f64, r.i32,
                     r.i64, R["codeptr"], R["cof"], R["nidxs"], R["ptr"], yshape[2], yshape[1], yshape[0],
                     w.f64, w.i32, w.i64)
    got = read(r, R, (2, 3, 4), flag)
    if flag:
        want = effective_dense(x, PARAMS, NV) + effective_dense(y, PARAMS, NV)
    else:  # programs dropped: the coefficients alone
        want = x.dense(NV) + np.broadcast_to(y.dense(NV), x.shape + (NV,))
    assert np.array_equal(effective_dense(got, PARAMS, NV), want) and w.sentinels_intact()
    assert programs_untouched(r, R, flag)
