"""Semidefinite blocks: element tables against numpy.tril_indices taken column
by column, and stack rows split into a compressed-row scalar part and
lower-triangle symmetric-matrix terms, recombined with numpy into the
original row's linear map."""
import numpy as np
import pytest

from conftest import kernel
from stacks import Stack

I32, I64 = np.int32, np.int64
ORDERS = (3, 2, 1)                       # semidefinite variables 0, 1, 2


def tril_colwise(d):
    r, c = np.tril_indices(d)
    o = np.lexsort((r, c))
    return r[o], c[o]


def tables():
    """Element tables of ORDERS built with one call per variable (block u)."""
    n = sum(d * (d + 1) // 2 for d in ORDERS)
    barj, bi, bj = (np.full(n + 2, -1, I32) for _ in range(3))
    ptr = np.array(np.cumsum((0,) + tuple(d * (d + 1) // 2 for d in ORDERS)), I32)
    dim = np.full(4, -1, I32)
    for f, d in enumerate(ORDERS):
        nat = np.full(8, -1, I64)
        kernel(8)(barj, bi, bj, ptr, dim, f, d, f, nat, 1)
        tri = d * (d + 1) // 2
        np.testing.assert_array_equal(nat[:tri], ptr[f] + np.arange(tri))
    return barj, bi, bj, dim


def test_element_tables():
    barj, bi, bj, dim = tables()
    np.testing.assert_array_equal(dim, list(ORDERS) + [-1])
    rows = np.concatenate([tril_colwise(d)[0] for d in ORDERS])
    cols = np.concatenate([tril_colwise(d)[1] for d in ORDERS])
    np.testing.assert_array_equal(bi[:-2], rows)
    np.testing.assert_array_equal(bj[:-2], cols)
    np.testing.assert_array_equal(barj[:-2], np.repeat(np.arange(3), [d * (d + 1) // 2 for d in ORDERS]))
    # two variables of one block, order 2, from element 10
    t = [np.zeros(16, I32) for _ in range(3)]
    nat, dim = np.zeros(8, I64), np.zeros(8, I32)
    kernel(8)(*t, np.array([0, 10], I32), dim, 1, 2, 4, nat, 2)
    np.testing.assert_array_equal(t[0][10:16], [4, 4, 4, 5, 5, 5])
    np.testing.assert_array_equal(t[1][10:16], [0, 1, 1] * 2)
    np.testing.assert_array_equal(nat[:6], np.arange(10, 16))
    assert dim[4] == dim[5] == 2 and dim[6] == 0
    b = np.full(6, -1, I32)
    kernel(7)(b, 5, 4)
    np.testing.assert_array_equal(b, [5, 6, 7, 8, -1, -1])


def random_rows(rng, R, barj):
    """Rows ordered negative, then 0, then positive indices; the negative run
    holds runs of several variables (one variable may come back later)."""
    ptr, nidx = [0], []
    nelem = int((barj >= 0).sum())
    for _ in range(R):
        neg = [-(int(e) + 1) for e in rng.choice(nelem, rng.integers(0, 6), replace=False)]
        zero = [0] * int(rng.integers(0, 3))
        pos = sorted(rng.choice(np.arange(1, 9), rng.integers(0, 4), replace=False).tolist())
        nidx += neg + zero + pos
        ptr.append(len(nidx))
    cof = rng.integers(-5, 6, len(nidx)).astype(float)
    return np.array(ptr, I32), np.array(nidx, I64), cof


def row_values(ptr, nidx, cof, x, X, barj, bi, bj):
    """Each row's value for scalar values x (x[0] = 1) and matrices X[g]."""
    out = []
    for r in range(len(ptr) - 1):
        v = 0.0
        for k in range(ptr[r], ptr[r + 1]):
            j = nidx[k]
            v += cof[k] * (x[j] if j >= 0 else X[barj[~j]][bi[~j], bj[~j]])
        out.append(v)
    return np.array(out)


@pytest.mark.parametrize("with_fixed", [False, True])
def test_split_recombines_into_the_row(with_fixed, rng):
    barj, bi, bj, dim = tables()
    R = 6
    ptr, nidx, cof = random_rows(rng, R, barj)
    cof[rng.random(len(cof)) < 0.2] = 0.0              # dropped or kept zeros
    st = Stack(256, strided=True)
    p, v, c = st.put("i32", ptr), st.put("i64", nidx), st.put("f64", cof)
    if with_fixed:
        q, s, t = kernel(75)(1, barj, 2, R, v, p, st.i32, st.i64, 3)
    else:
        q, s, t = kernel(78)(1, barj, c, 2, R, v, p, st.f64, st.i32, st.i64, 3)
    q, s, t = q - 1, s - 2, t - 3
    barsubj, matdim, matsubi, matsubj = (np.full(q + 1, -1, I32) for _ in range(4))
    matnnz, matcof = np.full(q + 1, -1, I64), np.full(t + 1, np.nan)
    matsubi, matsubj = np.full(t + 1, -1, I32), np.full(t + 1, -1, I32)
    tptr = np.zeros(R + 1, I32 if with_fixed else I64)
    got = kernel(77 if with_fixed else 80)(0, 0, barsubj, barj, bi, bj, dim, c, matcof, matdim, matnnz,
                                            matsubi, matsubj, v, R, tptr, p, st.f64, st.i32, st.i64)
    assert got == (t, q)
    assert matnnz[:q].sum() == t and np.all(matdim[:q] == np.array(ORDERS)[barsubj[:q]])
    subj, scof = np.full(s + 1, -1, I32), np.full(s + 1, np.nan)
    sptr = np.zeros(R + 1, I32 if with_fixed else I64)
    bfix = np.zeros(R)
    if with_fixed:
        kernel(76)(bfix, scof, c, R, v, p, sptr, st.f64, st.i32, st.i64, subj)
    else:
        kernel(79)(scof, c, R, v, p, sptr, st.f64, st.i32, st.i64, subj)
    assert sptr[-1] == s and subj[s] == -1 and (with_fixed or np.all(scof[:s] != 0))
    assert st.sentinels_intact()
    # recombine: <C, X> with C symmetric from the lower-triangle triplets
    x = np.r_[1.0, rng.normal(size=9)]
    X = [(lambda a: a + a.T)(rng.normal(size=(d, d))) for d in ORDERS]
    tstart = np.r_[0, np.cumsum(matnnz[:q])]
    got = np.array(bfix)
    for r in range(R):
        for term in range(tptr[r], tptr[r + 1]):
            C = np.zeros((ORDERS[barsubj[term]],) * 2)
            sl = slice(tstart[term], tstart[term + 1])
            C[matsubi[sl], matsubj[sl]] = matcof[sl]
            C[matsubj[sl], matsubi[sl]] = matcof[sl]
            got[r] += np.sum(C * X[barsubj[term]])
        got[r] += scof[sptr[r]:sptr[r + 1]] @ x[subj[sptr[r]:sptr[r + 1]]]
    np.testing.assert_allclose(got, row_values(ptr, nidx, cof, x, X, barj, bi, bj))


def test_zero_tests_plain_lists_and_product(rng):
    st = Stack(64)
    ptr = st.put("i32", [0, 3])
    v = st.put("i64", [3, 4, 5, 0, 0])
    c = st.put("f64", [-0.0, np.nan, 0.0, 2.5, 1.0])
    subj, cof, sptr = np.full(4, -1, I32), np.zeros(4), np.zeros(2, I64)
    kernel(79)(cof, c, 1, v, ptr, sptr, st.f64, st.i32, st.i64, subj)
    assert sptr[1] == 1 and subj[0] == 4 and np.isnan(cof[0]) and subj[1] == -1
    assert kernel(78)(0, np.zeros(1, I32), c, 0, 1, v, ptr, st.f64, st.i32, st.i64, 0) == (0, 1, 0)
    # (0: 2.5), (0: 1.0), (7: 0.0): bfix gains 3.5 and variable 7 is kept
    st.i32[ptr + 1], st.i64[v:v + 3], st.f64[c:c + 3] = 3, [0, 0, 7], [2.5, 1.0, 0.0]
    bfix, sptr32 = np.full(1, 0.5), np.zeros(2, I32)
    kernel(76)(bfix, cof, c, 1, v, ptr, sptr32, st.f64, st.i32, st.i64, subj)
    assert bfix[0] == 4.0 and sptr32[1] == 1 and subj[0] == 7 and cof[0] == 0.0
    assert kernel(75)(0, np.zeros(1, I32), 0, 1, v, ptr, st.i32, st.i64, 0) == (0, 1, 0)

    barj, bi, bj, _ = tables()
    nidx = np.array([-1, -2, -4, 3, -6, 0], I64)
    vals = rng.normal(size=6)
    el = -nidx[[0, 1, 2, 4]] - 1
    out = [np.full(5, -1, I32) for _ in range(3)] + [np.full(5, np.nan)]
    kernel(48)(barj, bi, bj, 0, 0, 3, vals, nidx, *out)
    np.testing.assert_array_equal(out[0][:3], barj[el[:3]])
    np.testing.assert_array_equal(out[3][:3], vals[:3] * np.where(bi[el[:3]] != bj[el[:3]], 0.5, 1.0))
    subj, cof = np.full(4, -1, I32), np.zeros(4)
    kernel(47)(cof, 0, 0, 6, vals, nidx, subj)
    np.testing.assert_array_equal(subj, [3, 0, -1, -1])
    np.testing.assert_array_equal(cof[:2], vals[[3, 5]])
    r = np.array([9, 3, -4, 70000, 80000], I32)
    assert kernel(81)(2, 2, r, 1) == -24 and kernel(81)(0, 5, r, 1) == 5
    assert kernel(81)(2, 1, r, 3) == (70000 * 80000 + 2**31) % 2**32 - 2**31


@pytest.mark.parametrize("view", ["step", "reversed", "sink"])  # the counting pass sends coefficients to a sink
def test_split_coefficients_through_any_view(rng, view):
    """Kept coefficients written through a view are the contiguous ones, in order."""
    ptr = np.concatenate([[0], np.cumsum(rng.permutation(11))]).astype(I32)  # rows of 0 .. 10 entries
    nidx = rng.choice([-2, 0, 3, 5, 8], ptr[-1]).astype(I64)
    st, n = Stack(256), int(ptr[-1])
    p, v, c = st.put("i32", ptr), st.put("i64", nidx), st.put("f64", rng.normal(size=n))
    outs = {}
    for kind in ("unit", view):
        base, subj, ptrb, bfix = np.full(2 * n + 1, 9.0), np.zeros(n, I32), np.zeros(12, I32), np.zeros(11)
        cof = {"unit": base[:n], "step": base[:2 * n:2], "reversed": base[:n][::-1],
               "sink": np.lib.stride_tricks.as_strided(base, (n,), (0,), writeable=True)}[kind]
        kernel(76)(bfix, cof, c, 11, v, p, ptrb, st.f64, st.i32, st.i64, subj)
        outs[kind] = (cof.copy(), subj, ptrb, bfix)
    kept = int(outs["unit"][2][-1])
    assert kept == np.sum(nidx > 0) and all(np.array_equal(a, b) for a, b in zip(outs["unit"][1:], outs[view][1:]))
    want = outs["unit"][0][:kept]
    assert np.array_equal(outs[view][0][:kept], want) if view != "sink" else outs[view][0][0] == want[-1]
