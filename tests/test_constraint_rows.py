"""Constraint rows routed into linear and conic parts (together every term
exactly once), dense rows over a sorted variable list and parameterized rows
evaluated, against numpy and the program model."""
import numpy as np
import pytest

from conftest import kernel
from programs_model import ValueStack, low32
from stacks import Stack, random_program

I32, I64 = np.int32, np.int64


def constraint(rng, n, nvars=12):
    """n rows of distinct ascending variables, and their element kinds."""
    ptr, nidx = [0], []
    for _ in range(n):
        nidx += sorted(rng.choice(nvars, rng.integers(0, 5), replace=False).tolist())
        ptr.append(len(nidx))
    cof = rng.integers(-9, 10, len(nidx)).astype(float)
    con = rng.permutation(n).astype(I32)
    con[rng.random(n) < 0.5] *= -1
    con[con <= 0] -= 1                                      # conic element ~c
    return np.array(ptr, I32), np.array(nidx, I64), cof, con


def dense(ptr, nidx, cof, nvars=12):
    A = np.zeros((len(ptr) - 1, nvars))
    for r in range(len(ptr) - 1):
        A[r, nidx[ptr[r]:ptr[r + 1]]] = cof[ptr[r]:ptr[r + 1]]
    return A


@pytest.mark.parametrize("n", [0, 1, 9])
def test_routing_keeps_every_row_once(n, rng):
    ptr, nidx, cof, con = constraint(rng, n)
    st, x = Stack(128, strided=True), Stack(128, strided=True)
    p = st.put("i32", ptr)
    xc, xl = x.put("i32", np.zeros(n + 1)), x.put("i32", np.zeros(n + 1))
    crow, lrow = np.full(n + 1, -1, I32), np.full(n + 1, -1, I32)
    cr, ct, lr, lt = kernel(35)(1, 5, con, xc, crow, 0, 2, xl, lrow, n, p, st.i32, x.i32)
    conic = con < 0
    lens = np.diff(ptr)
    assert (cr - 1, lr) == (conic.sum(), (~conic).sum()) and ct - 5 + lt - 2 == len(nidx)
    np.testing.assert_array_equal(crow[1:cr], ~con[conic])
    np.testing.assert_array_equal(lrow[:lr], con[~conic])
    np.testing.assert_array_equal(x.i32[xc + 2:xc + cr + 1], 5 + np.cumsum(lens[conic]))
    np.testing.assert_array_equal(x.i32[xl + 1:xl + lr + 1], 2 + np.cumsum(lens[~conic]))
    assert x.sentinels_intact()
    c2, l2 = np.full(n + 1, -1, I32), np.full(n + 1, -1, I32)
    assert kernel(39)(0, con, c2, 0, l2, n) == (cr - 1, lr)
    np.testing.assert_array_equal(c2[:cr - 1], crow[1:cr])
    for k in (34, 27):
        assert kernel(k)(1, con, 2, n, p, st.i32) == (1 + lens[conic].sum(), 2 + lens[~conic].sum())
    # items of two rows each, through a second row-pointer level at p
    items = st.put("i32", np.arange(0, n + 1) // 2 * 2)
    il = np.diff(ptr[np.arange(0, n + 1) // 2 * 2])
    for k in (36, 28):
        assert kernel(k)(1, p, con, 2, n, items, st.i32) == (1 + il[conic].sum(), 2 + il[~conic].sum())
    for k in (31, 26):
        assert kernel(k)(con, n, 3) == 3 + lr
    # rows 2 .. n-1 appended as running totals
    for k, order in [(38, lambda T, x_, c, w, f, l: (T, x_, c, w, f, l)),
                     (30, lambda T, x_, c, w, f, l: (T, x_, c, w, f, l)),
                     (37, lambda T, x_, c, w, f, l: (w, T, x_, c, f, l)),
                     (29, lambda T, x_, c, w, f, l: (w, T, x_, c, f, l))]:
        out = Stack(64)
        pos = out.put("i32", np.zeros(n + 2))
        T, c = kernel(k)(*order(4, pos, 1, p, 2, n), st.i32, out.i32)
        rows = lens[2:n]
        assert (T, c) == (4 + rows.sum(), 1 + len(rows))
        np.testing.assert_array_equal(out.i32[pos + 2:pos + 2 + len(rows)], 4 + np.cumsum(rows))


@pytest.mark.parametrize("varidxs", [[2, 5, 9], [0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11], [11], [3, 4, 7, 8, 10]])
def test_dense_rows_over_a_variable_list(varidxs, rng):
    n = 8
    ptr, nidx, cof, con = constraint(rng, n)
    varidxs = np.array(varidxs, I32)
    m = len(varidxs)
    st = Stack(256, strided=True)
    p, v, c = st.put("i32", ptr), st.put("i64", nidx), st.put("f64", cof)
    A = dense(ptr, nidx, cof)[:, varidxs]
    for k, order in [(41, lambda q: (c, q, n, v)), (32, lambda q: (c, n, v, q))]:
        out = np.full(n * m + 6, -1.0)
        out[3:3 + n * m] = 0.0
        assert kernel(k)(out, *order(3), p, varidxs, st.f64, st.i32, st.i64) == 3 + n * m
        np.testing.assert_array_equal(out[3:3 + n * m], A.ravel())
        assert np.all(out[:3] == -1) and np.all(out[3 + n * m:] == -1)
    # split by element kind: each part's triplets rebuild its own rows
    ccof, lcof = np.zeros(n * m + 2), np.zeros(n * m + 2)
    csubi, lsubi = np.full(n * m + 2, -1, I32), np.full(n * m + 2, -1, I32)
    qc, ql = kernel(33)(ccof, 2, c, con, csubi, lcof, 0, lsubi, n, v, p, varidxs, st.f64, st.i32, st.i64)
    conic = con < 0
    assert (qc - 2, ql) == (conic.sum() * m, (~conic).sum() * m)
    C = np.zeros((n, m))
    np.add.at(C, (csubi[2:qc], np.tile(np.arange(m), conic.sum())), ccof[2:qc])
    L = np.zeros((n, m))
    np.add.at(L, (lsubi[:ql], np.tile(np.arange(m), (~conic).sum())), lcof[:ql])
    np.testing.assert_array_equal(C[~con[conic]], A[conic])
    np.testing.assert_array_equal(L[con[~conic]], A[~conic])
    assert st.sentinels_intact()


def test_signs_products_and_order(rng):
    v = np.array([4, -1, 0, -7, 3, 5], I64)
    assert kernel(46)(1, 1, 4, 2, v) == (1 + 2, 2 + 2)
    r = np.array([1, 3, 4, 70000, 70000], I32)
    assert kernel(45)(2, r, 1) == 24 and kernel(45)(0, r, 1) == 0 and kernel(45)(-3, r, 1) == -3
    assert kernel(45)(2, r, 3) == low32(2 * 70000 * 70000)
    for vals, n, want in [([9, 5, 2, 2], 3, True), ([9, 5, 2, 2], 4, False), ([1, 2], 2, False),
                          ([3], 1, True), ([], 0, True)]:
        assert kernel(40)(n, np.array(vals, I64), True) is want
        assert kernel(40)(n, np.array(vals, I64), False) is False


def test_parameterized_rows_against_the_program_model(rng):
    params = rng.normal(size=4)
    R = 5
    sizes, code, cconst, codeptr, rowb, rowe = [], [], [], [], [], []
    for r in range(R):
        rowb.append(len(sizes))
        codeptr.append(len(code))
        for _ in range(rng.integers(0, 4)):
            w, c = random_program(rng) if rng.random() < 0.8 else ([], [])
            sizes.append(len(w))
            code += w
            cconst += c
        rowe.append(len(sizes))
    rowb[3], rowe[3] = 0, 0                               # an empty row
    nidx = rng.integers(1, 2**40, len(sizes))
    xf64 = np.full(20, 0.25)
    subj, val = np.full(len(sizes) + 3, -1, I32), np.full(len(sizes) + 3, np.nan)
    o, t = kernel(25)(np.array(cconst + [0.0]), np.array(code + [0], I32), nidx.astype(I64),
                      np.array(codeptr, I32), np.array(sizes + [0], I32), 2, R, params, np.array(rowb, I32),
                      np.array(rowe, I32), 4, 1, subj, val, xf64)
    vs = ValueStack([0.25] * 16, depth=1)
    want = []
    for r in range(R):
        pos = codeptr[r]
        for i in range(rowb[r], rowe[r]):
            vs.run(code[pos:pos + sizes[i]], cconst[pos:pos + sizes[i]], params)
            pos += sizes[i]
            want.append((low32(int(nidx[i])), vs.bottom))
            vs.depth = 0
    assert (o, t) == (2 + len(want), vs.depth if want else 1)
    assert [(int(a), float(b)) for a, b in zip(subj[2:o], val[2:o])] == want
    # push 2, push 3, multiply emits 6.0 and leaves the depth 0
    subj, val = np.zeros(1, I32), np.zeros(1)
    assert kernel(25)(np.array([2.0, 3.0, 0.0]), np.array([2, 2, 5], I32), np.array([7], I64),
                      np.array([0], I32), np.array([3], I32), 0, 1, None, np.array([0], I32),
                      np.array([1], I32), 0, 0, subj, val, np.zeros(4)) == (1, 0)
    assert val[0] == 6.0 and subj[0] == 7


def test_demo_routes_a_constraint_and_maps_a_solution_back():
    import pathlib
    import subprocess
    import sys
    demo = pathlib.Path(__file__).resolve().parents[1] / "examples" / "demo.py"
    out = subprocess.run([sys.executable, str(demo)], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert "linear rows [0, 1] with 4 terms (row pointer [0, 2, 4]), conic elements [0] with 1 terms" in out.stdout
    assert "constraint values = [-0.5, 3.0, -2.5]" in out.stdout
