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


# ----------------------------------------------------------------- sums along axes and of two operands

NV = 6
PARAMS = rng.normal(size=4)


def rows(x):
    """Coefficient rows (stored element, variable) of an expression."""
    from stacks import Expr
    return Expr((x.n,), x.ptr, x.nidxs, x.cof).dense(NV)


def result_blocks(r, nel, nterms, ncode, sparse=False):
    """Fresh result blocks on R with entry 0 of both pointers set to 0."""
    b = dict(ptr=r.reserve("i32", nel + 1), nidxs=r.reserve("i64", nterms), cof=r.reserve("f64", nterms),
             sp=r.reserve("i64", nel) if sparse else None, codeptr=r.reserve("i32", nterms + 1),
             code=r.reserve("i32", ncode), cconst=r.reserve("f64", ncode))
    r.i32[b["ptr"]] = 0
    r.i32[b["codeptr"]] = 0
    return b


def read(r, b, nel, nterms, programs, shape):
    res = r.read(0, nel, nterms, shape=0, ptr=b["ptr"], nidxs=b["nidxs"], cof=b["cof"], sp=b["sp"],
                 **({k: b[k] for k in ("codeptr", "code", "cconst")} if programs else {}))
    res.shape = shape
    return res


def source_programs(x, elems, own):
    return [x.program(t) if own else ([2], [0.0]) for s in elems for t in range(x.ptr[s], x.ptr[s + 1])]


@pytest.mark.parametrize("sparse,own,prog,first,step,count", [
    (False, False, 0, 0, 1, 12), (True, True, 1, 1, 2, 3), (False, False, 1, 2, 4, 3), (True, False, 0, 0, 1, 0),
])
def test_sum_run(sparse, own, prog, first, step, count):
    x = random_expr(rng, (3, 4), sparse=sparse, programs=own, density=0.9)
    count = min(count, (x.n - first + step - 1) // step)
    w, r = Stack(strided=True), Stack(strided=True)
    p = w.push(x)
    b = result_blocks(r, 3, 40, 200)
    r.i32[b["ptr"] + 1] = 5  # the element to build is element 1; element 0 has 5 terms (not written here)
    r.i32[b["codeptr"] + 5] = 7  # ... and 7 program positions
    P, T = F._c_closure_560(p.cconst, p.code, 7, p.codeptr, p.cof, count, own, first, p.nidxs, p.ptr, prog,
                            b["cconst"], b["code"], b["codeptr"], b["cof"], r.f64, r.i32, r.i64, b["nidxs"],
                            b["ptr"], 1, step, 5, w.f64, w.i32, w.i64)
    elems = list(range(first, first + step * count, step))
    res = read(r, b, 2, T, False, (2,))
    from stacks import Expr
    built = Expr((1,), [0, T - 5], res.nidxs[5:], res.cof[5:])  # element 1 alone
    np.testing.assert_allclose(rows(built)[0], rows(x)[elems].sum(0) if elems else 0)
    assert T == 5 + sum(np.diff(x.ptr)[elems]) and r.i32[b["ptr"] + 2] == T
    assert res.terms(1) == [tv for s in elems for tv in x.terms(s)]
    if prog:
        got = [(r.i32[b["code"] + r.i32[b["codeptr"] + t]:b["code"] + r.i32[b["codeptr"] + t + 1]].tolist())
               for t in range(5, T)]
        want = source_programs(x, elems, own)
        assert got == [wd for wd, _ in want] and P == 7 + sum(len(wd) for wd, _ in want)
    else:
        assert P == 7
    assert r.i32[b["ptr"] + 3] == Stack.SENT32 and w.sentinels_intact() and r.sentinels_intact()


@pytest.mark.parametrize("shape,axis,first,last,programs", [
    ((2, 4, 3), 1, 0, 4, False), ((3, 5), 1, 1, 4, True), ((4, 2, 2), 0, 1, 3, True), ((2, 3), 0, 1, 1, False),
])
def test_sum_axis_dense(shape, axis, first, last, programs):
    x = random_expr(rng, shape, programs=programs)
    outer, extent, inner = int(np.prod(shape[:axis])), shape[axis], int(np.prod(shape[axis + 1:]))
    w, r = Stack(strided=True), Stack(strided=True)
    p = w.push(x)
    nres = outer * inner
    b = result_blocks(r, nres, x.m, x.ncode + 1)
    P, E, T = F._c_closure_544(p.cconst, p.code, 0, p.codeptr, p.cof, 0, outer, extent, inner, first, last,
                               p.nidxs, p.ptr, int(programs), b["cconst"], b["code"], r.f64, r.i32, r.i64,
                               b["codeptr"], b["cof"], 0, b["nidxs"], b["ptr"], w.f64, w.i32, w.i64)
    assert E == nres
    res = read(r, b, E, T, programs, (E,))
    want = x.dense(NV).reshape(outer, extent, inner, NV)[:, first:last].sum(1).reshape(-1, NV)
    np.testing.assert_allclose(res.dense(NV), want)
    ids = np.arange(x.n).reshape(outer, extent, inner)[:, first:last]
    for e, (xo, pi) in enumerate(np.ndindex(outer, inner)):
        srcs = ids[xo, :, pi]
        assert res.terms(e) == [tv for s in srcs for tv in x.terms(s)]
        if programs:
            assert [res.program(t) for t in range(res.ptr[e], res.ptr[e + 1])] == source_programs(x, srcs, True)
    assert P == (res.ncode if programs else 0)
    assert r.i32[b["ptr"] + E + 1] == Stack.SENT32 and w.sentinels_intact() and r.sentinels_intact()


def subset(x, keep):
    """The sparse expression x restricted to the stored elements in keep."""
    from stacks import Expr
    els = np.flatnonzero(keep)
    terms = [t for e in els for t in range(x.ptr[e], x.ptr[e + 1])]
    y = Expr(x.shape, np.concatenate([[0], np.cumsum(np.diff(x.ptr)[els])]), x.nidxs[terms], x.cof[terms],
             x.sp[els])
    if x.programs:
        progs = [x.program(t) for t in terms]
        y.codeptr = np.concatenate([[0], np.cumsum([len(wd) for wd, _ in progs])]).astype(np.int32)
        y.code = np.array([c for wd, _ in progs for c in wd], np.int32)
        y.cconst = np.array([c for _, cs in progs for c in cs], np.float64)
    return y


def offset_terms(x, k):
    """x with k leading terms that belong to no element, so that its row
    pointer starts at k (and its program pointer has k empty programs)."""
    from stacks import Expr
    y = Expr(x.shape, x.ptr + k, np.concatenate([np.full(k, 5), x.nidxs]),
             np.concatenate([np.full(k, 99.0), x.cof]), x.sp)
    if x.programs:
        y.codeptr, y.code, y.cconst = np.concatenate([np.zeros(k, np.int32), x.codeptr]), x.code, x.cconst
    return y


# base: where the operand's row pointer starts; nokey0: no stored element
# sums into result key 0, so the first result key is not the initial one.
@pytest.mark.parametrize("shape,axis,own,prog,base,nokey0", [
    ((3, 4, 5), 1, False, 0, 0, False), ((2, 3, 2, 4), 1, True, 1, 0, False), ((4, 6), 0, False, 1, 0, False),
    ((5, 3), 1, True, 1, 0, False), ((3, 4, 5), 1, True, 1, 4, False), ((4, 6), 0, False, 0, 7, True),
    ((2, 3, 2, 4), 1, True, 1, 3, True), ((2, 30, 7), 1, False, 0, 0, False), ((40, 40), 0, False, 0, 0, False),
])
def test_sum_axis_sparse(shape, axis, own, prog, base, nokey0):
    x = random_expr(rng, shape, sparse=True, programs=own, density=0.4)
    extent, inner = shape[axis], int(np.prod(shape[axis + 1:]))
    if nokey0:
        x = subset(x, (x.sp // (extent * inner)) * inner + x.sp % inner != 0)
    x = offset_terms(x, base)
    nterms = int(x.ptr[-1] - x.ptr[0])
    w, xs, r = Stack(strided=True), Stack(strided=True), Stack(strided=True)
    p = w.push(x)
    opos = xs.reserve("i32", x.n)
    E, T = F._c_closure_533(2, extent, inner, x.n, p.ptr, p.sp, 3, opos, w.i32, w.i64, xs.i32)
    keys = (x.sp // (extent * inner)) * inner + x.sp % inner
    ukeys = np.unique(keys)
    assert (E, T) == (2 + len(ukeys), 3 + nterms)
    order = xs.i32[opos:opos + x.n]
    # each key's elements together, keys ascending, ascending sparsity index within a key
    np.testing.assert_array_equal(order, np.lexsort((x.sp, keys)))
    b = result_blocks(r, len(ukeys), x.m, 2 * x.ncode + x.m, sparse=True)
    P, E, T, M = F._c_closure_539(p.cconst, p.code, 0, p.codeptr, p.cof, 0, extent, inner, 0, x.n, p.nidxs,
                                  int(own), p.ptr, prog, b["cconst"], b["code"], b["codeptr"], b["cof"],
                                  r.f64, r.i32, r.i64, 0, b["nidxs"], b["ptr"], b["sp"], p.sp, opos,
                                  w.f64, w.i32, w.i64, xs.i32)
    assert (E, T) == (len(ukeys), nterms)
    rshape = shape[:axis] + shape[axis + 1:]
    res = read(r, b, E, T, prog > 0, rshape)
    np.testing.assert_array_equal(res.sp, ukeys)
    np.testing.assert_allclose(res.dense(NV), x.dense(NV).sum(axis))
    assert M == max(np.diff(res.ptr))
    for e, u in enumerate(ukeys):
        srcs = np.flatnonzero(keys == u)
        assert res.terms(e) == [tv for s in srcs for tv in x.terms(s)]
        if prog:
            assert [res.program(t) for t in range(res.ptr[e], res.ptr[e + 1])] == source_programs(x, srcs, own)
    assert P == (res.ncode if prog else 0)
    assert r.i32[b["ptr"] + E + 1] == Stack.SENT32 and w.sentinels_intact() and r.sentinels_intact()
    assert xs.i32[opos + x.n] == Stack.SENT32 and xs.sentinels_intact()


@pytest.mark.parametrize("shape,trailing,sparse,T0", [((3, 2, 4), 2, True, 0), ((4, 5), 1, True, 9),
                                                     ((3, 4), 1, False, 0), ((2, 3), 2, True, 0)])
def test_sum_trailing(shape, trailing, sparse, T0):
    x = random_expr(rng, shape, sparse=sparse, density=0.4)
    B = int(np.prod(shape[len(shape) - trailing:]))
    w, r = Stack(strided=True), Stack(strided=True)
    p = w.push(x)
    rp, rs = r.reserve("i32", x.n + 1), r.reserve("i64", x.n)
    r.i32[rp] = T0
    E = F._c_closure_504(B, 0, x.n, sparse, r.i32, r.i64, rp, rs, T0, p.ptr, p.sp, w.i32, w.i64)
    keys = np.unique(x.element_ids() // B)
    assert E == len(keys)
    from stacks import Expr
    res = Expr(shape[:len(shape) - trailing], r.i32[rp:rp + E + 1] - T0, x.nidxs, x.cof,
               r.i64[rs:rs + E].copy() if sparse else None)
    if sparse:
        np.testing.assert_array_equal(res.sp, keys)
    else:
        assert r.i64[rs] == Stack.SENT64
    np.testing.assert_allclose(res.dense(NV), x.dense(NV).reshape(-1, B, NV).sum(1).reshape(res.shape + (NV,)))
    assert r.i32[rp + E + 1] == Stack.SENT32 and r.sentinels_intact()


def same_pattern(x):
    """A second random expression storing exactly the elements of x."""
    y = random_expr(rng, (x.n,), programs=x.programs)
    y.shape, y.sp = x.shape, None if x.sp is None else x.sp.copy()
    return y


def check_weighted(res, e, parts):
    """Result element e holds, in order, the terms of each (expr, element, weight) part, weighted,
    each program followed by push weight, multiply."""
    want = [(v, wt * c) for x, s, wt in parts if s is not None for v, c in x.terms(s)]
    assert res.terms(e) == want
    if res.programs:
        srcs = [(x, t, wt) for x, s, wt in parts if s is not None for t in range(x.ptr[s], x.ptr[s + 1])]
        for t, (x, ts, wt) in zip(range(res.ptr[e], res.ptr[e + 1]), srcs):
            words, consts = res.program(t)
            assert words[-2:] == [2, 5] and consts[-2] == wt
            assert value(words, consts, PARAMS) == wt * value(*x.program(ts), PARAMS)


@pytest.mark.parametrize("sparse,programs", [(False, False), (True, True), (False, True)])
def test_pair_sum(sparse, programs):
    x = random_expr(rng, (3, 4), sparse=sparse, programs=programs)
    y = same_pattern(x)
    a, bw = 1.5, -2.0
    w, r = Stack(strided=True), Stack(strided=True)
    px, py = w.push(x), w.push(y)
    m, nc = x.m + y.m, x.ncode + y.ncode + 2 * (x.m + y.m)
    b = result_blocks(r, x.n, m, nc, sparse=sparse)
    rshape = r.reserve("i32", 2)
    r.i32[b["ptr"]] = r.i32[b["codeptr"]] = 99  # written by the kernel
    F._c_closure_515(px.cconst, px.code, px.codeptr, px.cof, py.cconst, py.code, py.codeptr, py.cof, a, bw,
                     px.nidxs, py.nidxs, px.ptr, py.ptr, int(sparse), int(programs), 2, x.n, b["cconst"],
                     b["code"], b["codeptr"], b["cof"], r.f64, r.i32, r.i64, b["nidxs"], b["ptr"], rshape,
                     b["sp"] if sparse else 0, px.shape, px.sp, w.f64, w.i32, w.i64)
    res = r.read(2, x.n, m, shape=rshape, ptr=b["ptr"], nidxs=b["nidxs"], cof=b["cof"], sp=b["sp"],
                 **({k: b[k] for k in ("codeptr", "code", "cconst")} if programs else {}))
    assert res.shape == x.shape and res.ptr[0] == 0
    np.testing.assert_allclose(res.dense(NV), a * x.dense(NV) + bw * y.dense(NV))
    for e in range(x.n):
        check_weighted(res, e, [(x, e, a), (y, e, bw)])
    if programs:
        assert res.codeptr[0] == 0 and res.codeptr[-1] == nc
    assert r.i32[b["ptr"] + x.n + 1] == Stack.SENT32 and w.sentinels_intact() and r.sentinels_intact()


@pytest.mark.parametrize("programs", [False, True])
def test_pair_sum_sparse(programs):
    x = random_expr(rng, (4, 5), sparse=True, programs=programs, density=0.4)
    y = random_expr(rng, (4, 5), sparse=True, programs=programs, density=0.4)
    a, bw = 0.5, 3.0
    w, r = Stack(strided=True), Stack(strided=True)
    px, py = w.push(x), w.push(y)
    keys = np.union1d(x.sp, y.sp)
    m, nc = x.m + y.m, x.ncode + y.ncode + 2 * (x.m + y.m)
    b = result_blocks(r, len(keys), m, nc, sparse=True)
    P, E, T, M = F._c_closure_511(px.cconst, px.code, 0, px.codeptr, px.cof, 0, py.cconst, py.code, py.codeptr,
                                  py.cof, 0, a, bw, px.nidxs, py.nidxs, x.n, y.n, px.ptr, py.ptr, int(programs),
                                  b["cconst"], b["code"], b["codeptr"], b["cof"], 0, b["nidxs"], r.f64, r.i32,
                                  r.i64, b["ptr"], b["sp"], px.sp, py.sp, w.f64, w.i32, w.i64)
    assert (E, T, P) == (len(keys), m, nc if programs else 0)
    res = read(r, b, E, T, programs, x.shape)
    np.testing.assert_array_equal(res.sp, keys)
    np.testing.assert_allclose(res.dense(NV), a * x.dense(NV) + bw * y.dense(NV))
    assert M == max(np.diff(res.ptr))
    xi, yi = {k: i for i, k in enumerate(x.sp)}, {k: i for i, k in enumerate(y.sp)}
    for e, k in enumerate(keys):
        check_weighted(res, e, [(x, xi.get(k), a), (y, yi.get(k), bw)])
    assert r.i32[b["ptr"] + E + 1] == Stack.SENT32 and w.sentinels_intact() and r.sentinels_intact()


@pytest.mark.parametrize("programs", [False, True])
def test_pair_sum_mixed(programs):
    x = random_expr(rng, (3, 5), programs=programs)
    y = random_expr(rng, (3, 5), sparse=True, programs=programs, density=0.5)
    y = subset(y, y.sp < x.n - 1)  # the last index is not stored ...
    a, bw = -1.0, 0.25
    w, r = Stack(strided=True), Stack(strided=True)
    px, py = w.push(x), w.push(y)
    # ... but just past Y's blocks lie that index and a row pointer entry that
    # would give it a term: nothing past Y's ny stored indices may be read.
    w.i64[py.sp + y.n] = x.n - 1
    w.i32[py.ptr + y.n + 1] = y.ptr[-1] + 1
    m, nc = x.m + y.m, x.ncode + y.ncode + 2 * (x.m + y.m)
    b = result_blocks(r, x.n, m, nc)
    P, T = F._c_closure_509(px.cconst, px.code, 0, px.codeptr, px.cof, py.cconst, py.code, py.codeptr, py.cof,
                            y.n, a, bw, px.nidxs, py.nidxs, x.n, px.ptr, py.ptr, int(programs), b["cconst"],
                            b["code"], b["codeptr"], b["cof"], r.f64, r.i32, r.i64, 0, b["nidxs"], b["ptr"],
                            py.sp, w.f64, w.i32, w.i64)
    assert (T, P) == (m, nc if programs else 0)
    res = read(r, b, x.n, T, programs, x.shape)
    np.testing.assert_allclose(res.dense(NV), a * x.dense(NV) + bw * y.dense(NV))
    yi = {k: i for i, k in enumerate(y.sp)}
    for e in range(x.n):
        check_weighted(res, e, [(x, e, a), (y, yi.get(e), bw)])
    assert r.i32[b["ptr"] + x.n + 1] == Stack.SENT32 and w.sentinels_intact() and r.sentinels_intact()


@pytest.mark.parametrize("shape,a,b,lower,offset,sparse,run", [
    ((4, 4), 0, 1, True, 0, False, (0, 1)), ((2, 3, 2, 3, 2), 1, 3, False, 0, True, None),
    ((3, 2, 3), 0, 2, True, 1, True, None), ((4, 4), 0, 1, False, -1, False, (1, 4)),
])
def test_symmetric_scale(shape, a, b, lower, offset, sparse, run):
    dim, stride, _ = record(shape, a, b)
    x = random_expr(rng, shape, sparse=sparse, density=0.6)
    v0, step = run or (0, 1)
    sel = np.asarray(x.element_ids() if sparse else np.arange(v0, x.size, step), np.int64)
    if not sparse:  # a strided run of the dense expression: its own row pointer and terms
        from stacks import Expr
        x = Expr((len(sel),), np.concatenate([[0], np.cumsum(np.diff(x.ptr)[sel])]),
                 np.concatenate([x.nidxs[x.ptr[s]:x.ptr[s + 1]] for s in sel]),
                 np.concatenate([x.cof[x.ptr[s]:x.ptr[s + 1]] for s in sel]))
    w, r = Stack(strided=True), Stack(strided=True)
    p = w.push(x)
    rc, rp = r.reserve("f64", x.m), r.reserve("i32", x.n + 1)
    F._c_closure_551(x.n, p.cof, p.ptr, *stride.tolist(), lower, rc, rp, int(sparse), p.sp, v0, step,
                     r.f64, r.i32, 2.0, offset, w.f64, w.i32, w.i64)
    c = np.unravel_index(sel, shape)
    fa, fb = c[a], c[b]
    f = np.where(fb == fa + offset, 1.0, np.where(lower & (fb > fa + offset), 0.0, 2.0))
    np.testing.assert_array_equal(r.i32[rp:rp + x.n + 1], x.ptr)
    np.testing.assert_array_equal(r.f64[rc:rc + x.m], np.repeat(f, np.diff(x.ptr)) * x.cof)
    assert r.f64[rc + x.m] == Stack.SENTF and r.sentinels_intact()
