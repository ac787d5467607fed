"""Counting sorts on the X stack, chained as the host chains them, against
numpy's stable argsort; the transposed gather against numpy's transpose."""
import numpy as np
import pytest

import fragments as F
from stacks import Stack, random_expr

rng = np.random.default_rng(7)


def forward(x, n, div, kpos, cpos, opos, on_w, w):
    if on_w:
        F._c_closure_345(div, cpos, x.i32)
        F._c_closure_346(n, div, kpos, cpos, w.i64, x.i32)
        F._c_closure_347(div, cpos, x.i32)
        F._c_closure_348(n, div, kpos, cpos, opos, w.i64, x.i32)
    else:
        F._c_closure_370(div, cpos, x.i32)
        F._c_closure_371(n, div, kpos, cpos, x.i32, x.i64)
        F._c_closure_372(div, cpos, x.i32)
        F._c_closure_373(n, div, kpos, cpos, opos, x.i32, x.i64)


def backward(x, n, div, kpos, cpos, opos, on_w, w):
    F._c_closure_353(div, cpos, x.i32)
    F._c_closure_354(n, div, kpos, cpos, x.i32, x.i64)
    F._c_closure_355(div, cpos, x.i32)
    F._c_closure_356(n, div, kpos, cpos, opos, x.i32, x.i64)


@pytest.mark.parametrize("chain,on_w", [(forward, False), (forward, True), (backward, False)])
@pytest.mark.parametrize("n,div", [(0, 3), (1, 1), (9, 4), (40, 7), (25, 30)])
@pytest.mark.parametrize("strided", [False, True])
def test_sort_chain_is_stable_argsort(chain, on_w, n, div, strided):
    x, w = Stack(strided=strided), Stack(strided=strided)
    keys = rng.integers(0, 100, size=n)
    kpos = (w if on_w else x).put("i64", keys)
    cpos = x.reserve("i32", div + 1)
    opos = x.reserve("i32", n)
    chain(x, n, div, kpos, cpos, opos, on_w, w)
    want = np.argsort(keys % div, kind="stable")
    assert x.i32[opos:opos + n].tolist() == want.tolist()
    counts = np.bincount(keys % div, minlength=div)
    # forward: entry c ends at the end of bucket c; backward: at its start
    ends = np.cumsum(counts) if chain is forward else np.cumsum(counts) - counts
    assert x.i32[cpos:cpos + div].tolist() == ends.tolist()
    assert x.i32[opos + n] == Stack.SENT32 and x.sentinels_intact() and w.sentinels_intact()


def test_terms_per_bucket_and_shifted_copy():
    w, x, r = Stack(), Stack(), Stack()
    e = random_expr(rng, (5, 4), sparse=True, density=0.6)
    p = w.push(e)
    cpos = x.reserve("i32", 5)
    F._c_closure_370(4, cpos, x.i32)
    F._c_closure_381(e.n, 4, p.ptr, w.i32, w.i64, x.i32, p.sp, cpos)
    terms = np.diff(e.ptr)
    want = np.bincount(e.sp % 4, weights=terms, minlength=4)
    assert x.i32[cpos + 1:cpos + 5].tolist() == want.astype(int).tolist() and x.i32[cpos] == 0
    rpos = r.reserve("i64", e.n)
    F._c_closure_342(e.n, -3, r.i64, rpos, p.sp, w.i64)
    assert r.i64[rpos:rpos + e.n].tolist() == (e.sp - 3).tolist() and r.i64[rpos + e.n] == Stack.SENT64


@pytest.mark.parametrize("shape,sparse,programs", [((3, 4), False, False), ((4, 5), True, True),
                                                   ((1, 6), True, False), ((5, 2), False, True)])
def test_sort_then_gather_transposes(shape, sparse, programs):
    w, x, r = Stack(strided=True), Stack(), Stack()
    e = random_expr(rng, shape, sparse=sparse, programs=programs)
    p = w.push(e)
    rows, cols = shape
    ids = e.element_ids()
    kpos = x.put("i64", ids)
    cpos, opos = x.reserve("i32", cols + 1), x.reserve("i32", e.n)
    forward(x, e.n, cols, kpos, cpos, opos, False, None)
    m, a = e.m, e.ncode
    R = dict(ptr=r.reserve("i32", e.n + 1), nidxs=r.reserve("i64", m), cof=r.reserve("f64", m),
             sp=r.reserve("i64", e.n), codeptr=r.reserve("i32", m + 1), code=r.reserve("i32", a),
             cconst=r.reserve("f64", a))
    F._c_closure_428(p.cconst, p.code, p.codeptr, p.cof, cols, int(programs), e.n, p.nidxs, opos, p.ptr,
                     R["cconst"], R["code"], R["codeptr"], R["cof"], rows, int(sparse), p.sp,
                     r.f64, r.i32, r.i64, R["nidxs"], R["ptr"], R["sp"], w.f64, w.i32, w.i64, x.i32)
    if not programs:
        R.update(codeptr=None, code=None, cconst=None)
    got = r.read(2, e.n, m, shape=0, **R)
    got.shape = (cols, rows)
    assert np.all(np.diff(got.sp) > 0)
    assert np.array_equal(got.dense(6), np.swapaxes(e.dense(6), 0, 1))
    if programs:
        order = x.i32[opos:opos + e.n]
        want = [e.program(t) for q in order for t in range(e.ptr[q], e.ptr[q + 1])]
        assert [got.program(t) for t in range(m)] == want
    assert w.sentinels_intact()
