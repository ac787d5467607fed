"""Compressed-row passes chained the way the host chains them, checked against
scipy.sparse on random triplets with repeated positions."""
import numpy as np
import pytest
import scipy.sparse as sp

from conftest import kernel

# Kernels that run the same loop: (row+column count, row prefix, column prefix).
VARIANTS = [(117, 125, 122), (113, 118, 119), (None, 114, 115)]


def build(subi, subj, val, m, ncols, variant=VARIANTS[0]):
    """Runs count, prefix, column scatter, row scatter, distinct count and
    merge; returns the intermediate arrays and the merged triplets."""
    count, prefix_r, prefix_c = variant
    nnz = len(subi)
    rptrb, cptrb = np.zeros(m + 2, np.int64), np.zeros(ncols + 2, np.int64)
    if count is None:
        kernel(124)(nnz, rptrb, subi)
        kernel(121)(cptrb, nnz, subj)
    else:
        kernel(count)(cptrb, nnz, rptrb, subi, subj)
    counted = rptrb.copy(), cptrb.copy()
    kernel(prefix_r)(m, rptrb)
    kernel(prefix_c)(cptrb, ncols)
    started = rptrb.copy(), cptrb.copy()
    cols, rows = np.full(nnz, -1, np.int32), np.full(nnz, -1, np.int32)
    kernel(123)(cols, cptrb, nnz, subj)
    scattered = cols.copy(), cptrb.copy()
    kernel(126)(cols, cptrb, ncols, rows, rptrb, subi)
    distinct = kernel(127)(nnz, 1, rows, subi, subj)
    tsubi, tsubj, tval = (np.zeros(distinct, t) for t in (np.int32, np.int32, np.float64))
    first = rows[0]
    tsubi[0], tsubj[0], tval[0] = subi[first], subj[first], val[first]
    merged = kernel(128)(1, nnz, rows, subi, subj, tsubi, tsubj, tval, val)
    return dict(counted=counted, started=started, scattered=scattered, rows=rows, rptrb=rptrb,
                distinct=distinct, merged=merged, out=(tsubi, tsubj, tval))


def spread(a):
    """`a` as every second element of a zero-filled array twice as long."""
    base = np.zeros(2 * len(a), a.dtype)
    base[::2] = a
    return base[::2]


def test_small_example_through_every_pass():
    subi, subj = np.array([1, 0, 1, 0], np.int32), np.array([0, 2, 0, 1], np.int32)
    val = np.array([1.0, 2.0, 4.0, 8.0])
    r = build(subi, subj, val, 2, 3)
    tolist = lambda pair: [list(a) for a in pair]
    assert tolist(r["counted"]) == [[0, 0, 2, 2], [0, 0, 2, 1, 1]]
    assert tolist(r["started"]) == [[0, 0, 2, 2], [0, 0, 2, 3, 1]]
    assert tolist(r["scattered"]) == [[0, 2, 3, 1], [0, 2, 3, 4, 1]]
    assert list(r["rows"]) == [3, 1, 0, 2] and list(r["rptrb"]) == [0, 2, 4, 2]
    assert r["distinct"] == 3 and r["merged"] == 3
    assert [list(a) for a in r["out"]] == [[0, 0, 1], [1, 2, 0], [8.0, 2.0, 5.0]]


@pytest.mark.parametrize("variant", VARIANTS)
@pytest.mark.parametrize("m,ncols,nnz", [(1, 1, 1), (5, 7, 60), (30, 4, 200)])
def test_chain_matches_scipy_csr(variant, m, ncols, nnz, rng):
    subi = rng.integers(0, m, nnz).astype(np.int32)
    subj = rng.integers(0, ncols, nnz).astype(np.int32)
    val = rng.standard_normal(nnz)
    subi, subj, val = spread(subi), spread(subj), spread(val)
    r = build(subi, subj, val, m, ncols, variant)
    assert list(r["rows"]) == list(np.lexsort((subj, subi)))  # stable on (row, column)
    csr = sp.coo_matrix((val, (subi, subj)), shape=(m, ncols)).tocsr()
    csr.sum_duplicates()
    csr.sort_indices()
    tsubi, tsubj, tval = r["out"]
    assert r["distinct"] == r["merged"] == csr.nnz
    per_row = np.bincount(subi, minlength=m)  # entries before merging
    np.testing.assert_array_equal(r["rptrb"][:m + 1], np.concatenate([[0], np.cumsum(per_row)]))
    np.testing.assert_array_equal(tsubi, np.repeat(np.arange(m), np.diff(csr.indptr)))
    np.testing.assert_array_equal(tsubj, csr.indices)
    np.testing.assert_allclose(tval, csr.data, rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize("k,itype", [(120, np.int32), (116, np.int64)])
def test_transposing_scatter_matches_scipy_csc(k, itype, rng):
    m, ncols = 9, 6
    dense = rng.standard_normal((m, ncols)) * (rng.random((m, ncols)) < 0.4)
    dense[3] = 0  # an empty row
    csr = sp.csr_matrix(dense)
    rptrb, subj = csr.indptr.astype(np.int64), csr.indices.astype(np.int32)
    # Column starts at slot c: count and prefix, then look one slot up.
    cptrb = np.zeros(ncols + 2, np.int64)
    kernel(121)(cptrb, len(subj), subj)
    kernel(122)(cptrb, ncols)
    tsubi, tsubj = np.full(csr.nnz, -1, itype), np.full(csr.nnz, -1, itype)
    tval = np.zeros(csr.nnz)
    kernel(k)(cptrb[1:], m, rptrb, subj, tsubi, tsubj, tval, csr.data.copy())
    csc = csr.tocsc()
    csc.sort_indices()
    np.testing.assert_array_equal(tsubi, csc.indices)
    np.testing.assert_array_equal(tsubj, np.repeat(np.arange(ncols), np.diff(csc.indptr)))
    np.testing.assert_array_equal(tval, csc.data)
    np.testing.assert_array_equal(cptrb[1:ncols + 1], csc.indptr[1:])


def sequential_scatter(cptrb, nrows, rptrb, subj, tsubi, tsubj, tval, val):
    """The transposing scatter entry by entry through the numpy views
    themselves, so that sinks and shared storage end as that loop leaves them."""
    for r in range(nrows):
        for p in range(rptrb[r], rptrb[r + 1]):
            q = cptrb[subj[p]]
            tsubi[q], tsubj[q], tval[q] = r, subj[p], val[p]
            cptrb[subj[p]] = q + 1


VIEWS = {"unit": lambda b, n: b[:n], "step": lambda b, n: b[:2 * n:2], "reversed": lambda b, n: b[:n][::-1],
         "sink": lambda b, n: np.lib.stride_tricks.as_strided(b, (n,), (0,), writeable=True)}


@pytest.mark.parametrize("k,itype", [(120, np.int32), (116, np.int64)])
@pytest.mark.parametrize("kinds,shared", [  # rows, columns, values; shared: rows and columns on one storage
    ("sink sink unit", True), ("unit sink sink", False), ("sink unit sink", False), ("unit unit unit", False),
    ("step sink reversed", False), ("reversed step sink", False)])
def test_transposing_scatter_through_any_views(k, itype, kinds, shared, rng):
    rptrb = np.concatenate([[0, 0, 0], np.cumsum(rng.integers(0, 9, 10))]).astype(np.int64)  # rows 0, 1 empty
    subj, n = rng.integers(0, 5, rptrb[-1]).astype(np.int32), int(rptrb[-1])  # columns repeat within rows
    val = rng.standard_normal(n)
    val[::5], val[2::7] = -0.0, np.nan
    starts = np.concatenate([[0], np.cumsum(np.bincount(subj, minlength=5))[:-1]]).astype(np.int64)

    def run(scatter):
        bases = [np.full(2 * n + 1, -1, itype), np.full(2 * n + 1, -1, itype), np.full(2 * n + 1, 7.5)]
        bases[1] = bases[0] if shared else bases[1]
        cptrb = starts.copy()
        scatter(cptrb, 12, rptrb, subj, *(VIEWS[kind](b, n) for kind, b in zip(kinds.split(), bases)), val)
        return [b.tobytes() for b in bases + [cptrb]]

    assert run(kernel(k)) == run(sequential_scatter)
