"""Affine conic constraint rows: list copies and element tables against numpy
assignment, packed-triangle matrix blocks against numpy.tril_indices taken
column by column, and the small counting and maximum members."""
import itertools

import numpy as np
import pytest

from conftest import kernel

I32 = np.int32


def packed(n):
    """P[i, j]: packed position of (i, j) in a lower triangle of order n stored
    column by column, filled in for both (i, j) and (j, i)."""
    r, c = np.tril_indices(n)
    order = np.lexsort((r, c))            # column first, then row
    P = np.full((n, n), -1, np.int64)
    P[r[order], c[order]] = np.arange(len(order))
    P[c[order], r[order]] = np.arange(len(order))
    return P


def upper_packed(n):
    """U[a, j], a <= j: upper triangle numbered column by column."""
    r, c = np.triu_indices(n)
    order = np.lexsort((r, c))
    U = np.full((n, n), -1, np.int64)
    U[r[order], c[order]] = np.arange(len(order))
    return U


def test_row_copies_and_two_sided_rows(rng):
    afe = rng.integers(0, 99, 20).astype(I32)
    b, lb, ub = rng.random(6), rng.random(6), rng.random(6)
    for n in (0, 4):
        acc, accb = np.full(30, -1, I32), np.full(30, -1.0)
        kernel(2)(acc, accb, afe, 3, 5, b, n)
        e_acc, e_b = np.full(30, -1, I32), np.full(30, -1.0)
        e_acc[5:5 + n], e_b[5:5 + n] = afe[3:3 + n], b[:n]
        np.testing.assert_array_equal(acc, e_acc)
        np.testing.assert_array_equal(accb, e_b)
        acc, accb = np.full(30, -1, I32), np.full(30, -1.0)
        kernel(1)(acc, accb, afe, 3, 5, lb, n, ub)
        e_acc[5 + n:5 + 2 * n], e_b[5:5 + 2 * n] = afe[3:3 + n], np.r_[lb[:n], ub[:n]]
        np.testing.assert_array_equal(acc, e_acc)
        np.testing.assert_array_equal(accb, e_b)


@pytest.mark.parametrize("d,m", [(3, 4), (1, 2), (0, 3), (2, 0)])
def test_element_tables(d, m, rng):
    N = 40
    acon = rng.permutation(N).astype(I32)[:max(d * m, 0)]
    accidxs = rng.integers(0, 50, max(m, 1)).astype(I32)
    afe = rng.integers(0, 99, max(d * m, 1)).astype(I32)
    tabs = [np.full(N, -1, I32) for _ in range(3)] + [np.full(N, -1.0)]
    kernel(4)(accidxs, *tabs[:2], tabs[2], tabs[3], acon, afe, d, m)
    exp = [np.full(N, -1, I32) for _ in range(3)] + [np.full(N, -1.0)]
    if d > 0 and m > 0:
        exp[0][acon] = np.repeat(accidxs[:m], d)          # constraint of each element
        exp[1][acon] = afe[:d * m]                        # afe
        exp[2][acon] = np.tile(np.arange(d), m)           # offset
        exp[3][acon] = 1.0
    # argument order: accid, afe, ofs, scale
    for got, want in zip([tabs[0], tabs[1], tabs[2], tabs[3]], [exp[0], exp[1], exp[2], exp[3]]):
        np.testing.assert_array_equal(got, want)


# (d0, n, d2, d4, T distance between packed rows)
BLOCKS = [(1, 2, 1, 1, 3), (1, 3, 1, 1, 6), (2, 3, 2, 1, 7), (1, 4, 3, 2, 10), (2, 1, 1, 3, 1)]


def rows_of(d0, d2, d4):
    """Packed-row number of every (i0, b, e)."""
    return np.arange(d0 * d2 * d4).reshape(d0, d2, d4)


@pytest.mark.parametrize("d0,n,d2,d4,T", BLOCKS)
def test_full_expansion(d0, n, d2, d4, T, rng):
    src = rng.permutation(1000)[:T * d0 * d2 * d4 + n * n].astype(I32)
    out = np.full(d0 * n * d2 * n * d4 + 5, -1, I32)
    assert kernel(89)(src, T, d0, n, d2, n, d4, out, True) is None
    P = packed(n)
    R = rows_of(d0, d2, d4)
    # want[i0, a, b, u, e] = src[T * R[i0, b, e] + P[a, u]]
    want = src[T * R[:, None, :, None, :] + P[None, :, None, :, None]]
    np.testing.assert_array_equal(out[:want.size], want.ravel())
    assert np.all(out[want.size:] == -1)


@pytest.mark.parametrize("upper", [False, True])
@pytest.mark.parametrize("d0,n,d2,d4,T", BLOCKS)
def test_packed_scatter(d0, n, d2, d4, T, upper, rng):
    size = T * d0 * d2 * d4 + n * n
    src = rng.permutation(1000).astype(I32)
    out = np.full(size, -1, I32)
    start = 7
    end = kernel(88)(src, out, T, d0, n, d2, n, d4, start, upper)
    tri = n * (n + 1) // 2
    assert end == start + d0 * d2 * d4 * tri
    want = np.full(size, -1, I32)
    P, U, R = packed(n), upper_packed(n), rows_of(d0, d2, d4)
    k = start
    for i0, a, b in itertools.product(range(d0), range(n), range(d2)):
        cols = range(a, n) if upper else range(a + 1)
        for u in cols:
            t = U[a, u] if upper else P[a, u]
            for e in range(d4):
                want[T * R[i0, b, e] + t] = src[k]
                k += 1
    np.testing.assert_array_equal(out, want)
    if not upper:       # the scatter and the expansion are inverse on the packed rows
        full = np.full(d0 * n * d2 * n * d4, -1, I32)
        kernel(89)(out, T, d0, n, d2, n, d4, full, False)
        assert set(full.tolist()) == set(src[start:end].tolist())


@pytest.mark.parametrize("d0,n,d2,d4", [(1, 3, 1, 1), (2, 4, 1, 3), (1, 1, 2, 1), (0, 3, 1, 1), (-1, 2, -1, 1)])
def test_off_diagonal_scale(d0, n, d2, d4, rng):
    blocks = d0 * d2 * d4
    tri = n * (n + 1) // 2
    N = max(blocks, 0) * tri + 4
    acon = rng.permutation(N).astype(I32)
    scale = np.ones(N)
    end = kernel(87)(scale, acon, d0, n, d2, n, d4, 2, 0.5)
    r, c = np.tril_indices(n)
    off = (r != c)[np.lexsort((r, c))]          # packed column-by-column order
    want = np.ones(N)
    if blocks > 0:
        want[acon[2:2 + blocks * tri][np.tile(off, blocks)]] = 0.5
    assert end == 2 + max(blocks, 0) * tri
    np.testing.assert_array_equal(scale, want)


def test_cone_variables_and_small_members(rng):
    nat = rng.permutation(20).astype(I32)[:7]
    acc = np.array([11, 12, 13], I32)
    idx, ofs = np.full(20, 5, I32), np.full(20, 5, I32)
    kernel(9)(acc, 3, 7, nat, idx, ofs)
    want_i, want_o = np.full(20, 5, I32), np.full(20, 5, I32)
    want_i[nat], want_o[nat] = acc[np.arange(7) // 3], np.arange(7) % 3
    np.testing.assert_array_equal(idx, want_i)
    np.testing.assert_array_equal(ofs, want_o)
    kernel(9)(acc, 0, 7, nat, idx, ofs)            # cone size 0: nothing written
    np.testing.assert_array_equal(idx, want_i)
    kernel(10)(4, nat, idx)
    want_i[nat[:4]] = -1
    np.testing.assert_array_equal(idx, want_i)

    idxs = np.array([0, 5, -1, 7, 3, -8], np.int64)
    for k in (14, 12):
        out = np.full(8, -1, I32)
        assert kernel(k)(idxs, 2, out) == 5
        np.testing.assert_array_equal(out, [-1, -1, 5, 7, 3, -1, -1, -1])
        assert kernel(k)(None, 2, out) == 2
    for k in (13, 11):
        assert kernel(k)(10, idxs) == 13 and kernel(k)(10, None) == 10
    v = rng.integers(-50, 50, 9).astype(I32)
    for k in (6, 5):
        assert kernel(k)(-100, v) == v.max() and kernel(k)(99, v) == 99 and kernel(k)(4, None) == 4
    assert kernel(3)(v[::2], -100) == v[::2].max()
