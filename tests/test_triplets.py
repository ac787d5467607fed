import numpy as np
import pytest
import scipy.sparse as sp

from conftest import kernel

SENTINEL = -777


def laid_out(values, dtype, strided):
    """values as a contiguous array, or as every second element of a larger
    array whose other elements hold SENTINEL."""
    values = np.asarray(values, dtype)
    if not strided:
        return values.copy(), lambda: True
    base = np.full(2 * len(values) + 1, SENTINEL, dtype)
    view = base[:-1:2]
    view[:] = values
    return view, lambda: bool(np.all(base[1::2] == SENTINEL))


@pytest.mark.parametrize("strided", [False, True])
def test_densify_matches_scipy(rng, strided):
    m, n = 5, 7
    flat = rng.choice(m * n, size=12, replace=False)
    subi, subj = (flat // n).astype(np.int32), (flat % n).astype(np.int32)
    val = rng.standard_normal(12)
    r, intact = laid_out(np.zeros(m * n), np.float64, strided)
    assert kernel(649)(n, r, subi, subj, val) is None
    expect = sp.coo_matrix((val, (subi, subj)), shape=(m, n)).toarray().ravel()
    np.testing.assert_array_equal(r, expect)
    assert intact()


def test_densify_later_entry_wins_and_none_is_empty():
    r = np.full(4, 9.0)
    kernel(649)(2, r, np.array([1, 0, 1], np.int32), np.array([0, 1, 0], np.int32), np.array([1.0, 2.0, 3.0]))
    np.testing.assert_array_equal(r, [9.0, 2.0, 3.0, 9.0])
    kernel(649)(2, r, None, None, None)
    np.testing.assert_array_equal(r, [9.0, 2.0, 3.0, 9.0])


@pytest.mark.parametrize(
    "rows, m, k, end, ptrb, result",
    [
        ([0, 0, 2], 3, 0, 3, [0, 2, 2], 3),          # empty row gets the next entry's position
        ([0, 1, 5], 3, 0, 3, [0, 1, 2], 2),          # an unexpected row stops the scan
        ([9, 1, 1, 2, 9], 4, 1, 4, [1, 1, 3, 4], 4),  # scan between k and end only
        ([0, 0], 0, 0, 2, [-1, -1, -1, -1], 0),       # no rows: nothing written
    ],
)
def test_row_starts_table(rows, m, k, end, ptrb, result):
    out = np.full(4, -1, np.int64)
    assert kernel(648)(m, end, k, out, np.array(rows, np.int32)) == result
    np.testing.assert_array_equal(out[: len(ptrb)], ptrb)
    assert np.all(out[max(m, 0):] == -1)  # slot m is the caller's


def test_row_starts_match_csr(rng):
    m = 9
    rows = np.sort(rng.integers(0, m, 40)).astype(np.int32)
    ptrb = np.zeros(m + 1, np.int64)
    assert kernel(648)(m, len(rows), 0, ptrb, rows) == len(rows)
    indptr = sp.csr_matrix((np.ones(40), (rows, np.arange(40))), shape=(m, 40)).indptr
    np.testing.assert_array_equal(ptrb[:m], indptr[:m])


ZERO_TESTS = np.array([0.0, -0.0, np.nan, 2.5, -1.0])


@pytest.mark.parametrize("strided", [False, True])
def test_nonzero_compaction_and_count(rng, strided):
    vals = np.concatenate([ZERO_TESTS, rng.choice([0.0, 1.5, -3.0, np.nan], 30)])
    si, sj = rng.integers(0, 50, len(vals)), rng.integers(0, 50, len(vals))
    src = [laid_out(x, t, strided)[0] for x, t in ((si, np.int32), (sj, np.int32), (vals, np.float64))]
    c0 = 3
    dst = [laid_out(np.full(len(vals) + c0, -1), t, strided) for t in (np.int32, np.int32, np.float64)]
    (di, ok_i), (dj, ok_j), (dv, ok_v) = dst
    c = kernel(647)(c0, di, src[0], dj, src[1], dv, src[2])
    keep = (vals < 0) | (vals > 0)
    assert c == c0 + keep.sum()
    assert kernel(646)(7, src[2]) == 7 + keep.sum()
    np.testing.assert_array_equal(di[c0:c], si[keep])
    np.testing.assert_array_equal(dj[c0:c], sj[keep])
    np.testing.assert_array_equal(dv[c0:c], vals[keep])
    assert np.all(di[:c0] == -1) and np.all(di[c:] == -1)
    assert ok_i() and ok_j() and ok_v()
    assert kernel(646)(0, ZERO_TESTS) == 2


@pytest.mark.parametrize(
    "subi, subj, nnz, flag, expect",
    [
        ([0, 2], [0, 3], 2, False, False),
        ([0, 3], [0, 0], 2, False, True),    # row index equal to the row count
        ([0, 1], [4, 0], 2, False, True),    # column index equal to the column count
        ([-1, 0], [0, 0], 2, False, True),
        ([0, 0], [0, -1], 2, False, True),
        ([0, 9], [0, 0], 1, False, False),   # entries from nnz on are not looked at
        ([9], [9], 0, True, True),           # nothing checked: flag as passed
        ([0], [0], 1, True, True),           # the flag is never cleared
    ],
)
def test_index_validation(subi, subj, nnz, flag, expect):
    got = kernel(645)(3, 4, nnz, flag, np.array(subi, np.int32), np.array(subj, np.int32))
    assert got is expect


@pytest.mark.parametrize("number", [642, 641])
def test_index_maxima(rng, number):
    subi, subj = (rng.integers(-5, 100, 20).astype(np.int32) for _ in range(2))
    assert kernel(number)(-1, 50, 12, subi, subj) == (max(-1, subi[:12].max()), max(50, subj[:12].max()))
    assert kernel(number)(3, -4, 0, subi, subj) == (3, -4)


@pytest.mark.parametrize("m, n", [(3, 4), (1, 1), (0, 5), (4, -1)])
def test_dense_pattern_and_dense_to_triplets(rng, m, n):
    k0 = 2
    size = k0 + max(m, 0) * max(n, 0) + 1
    subi, subj, val = np.full(size, -1, np.int32), np.full(size, -1, np.int32), np.full(size, -1.0)
    expect = k0 + m * n if m > 0 and n > 0 else k0
    assert kernel(644)(m, n, k0, subi, subj) == expect
    ii, jj = np.indices((max(m, 0), max(n, 0))).reshape(2, -1)
    np.testing.assert_array_equal(subi[k0:expect], ii)
    np.testing.assert_array_equal(subj[k0:expect], jj)
    assert subi[expect] == -1 and subi[k0 - 1] == -1

    # A transposed (column-major) matrix exercises both strides of data.
    data = rng.standard_normal((max(n, 1), max(m, 1))).T
    data[0, 0] = 0.0  # zeros are written too
    subi[:], subj[:] = -1, -1
    assert kernel(640)(data, m, n, k0, subi, subj, val) == expect
    np.testing.assert_array_equal(subi[k0:expect], ii)
    np.testing.assert_array_equal(subj[k0:expect], jj)
    np.testing.assert_array_equal(val[k0:expect], data[ii, jj])


@pytest.mark.parametrize("m, n, k, ld", [(3, 4, 5, 3), (2, 3, 0, 4), (0, 3, 5, 1)])
def test_transposed_block_copy(rng, m, n, k, ld):
    data = rng.standard_normal(k + m * n + 2)
    newdata = np.full(ld * n + 1, np.inf)
    assert kernel(643)(data, m, n, newdata, k, ld) == (k + m * n if m > 0 else k)
    block = data[k : k + m * n].reshape(m, n)
    dest = newdata[: ld * n].reshape(n, ld).T  # column-major with leading dimension ld
    np.testing.assert_array_equal(dest[:m, :], block)
    assert np.all(dest[m:, :] == np.inf) and newdata[-1] == np.inf


@pytest.mark.parametrize("number", [639, 638])
def test_dimension_sums(rng, number):
    dims = rng.integers(0, 9, 10).astype(np.int32)
    assert kernel(number)(4, dims, 6) == 4 + int(dims[:6].sum())
    assert kernel(number)(4, None, 0) == 4


def test_shifted_pairs():
    msubi = np.array([0, 5, 2], np.int32)
    subi, subj = np.full(6, -1, np.int32), np.full(6, -1, np.int32)
    assert kernel(637)(3, 2, msubi, 10, -1, subi, subj) is None
    np.testing.assert_array_equal(subi, [-1, -1, 10, 15, 12, -1])
    np.testing.assert_array_equal(subj, [-1, -1, -1, 4, 1, -1])
