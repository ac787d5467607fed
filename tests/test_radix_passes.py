import numpy as np
import pytest

from conftest import kernel
from test_strides import layouts

I32 = lambda v: np.array(v, np.int32)  # noqa: E731
CASES = [
    ((2, 3), (1, 0)),
    ((3, 4, 5), (2, 0, 1)),
    ((2, 3, 4, 2), (3, 1, 0, 2)),
    ((6,), (0,)),
    ((4, 1, 3), (0, 2, 1)),
    ((3, 5, 2), (0, 1, 2)),
]
STEPS = [(243, 244, 245, 246), (222, 223, 224, 225)]


def transposed_pattern(rng, shape, perm):
    """A random pattern of `shape`, and its positions in the permuted shape."""
    size = int(np.prod(shape))
    sp = np.sort(rng.choice(size, max(1, size // 2), replace=False))
    midx = np.array(np.unravel_index(sp, shape))[list(perm)].T
    rshape = tuple(np.array(shape)[list(perm)])
    return sp, midx.astype(np.int32), rshape, np.ravel_multi_index(tuple(midx.T), rshape)


@pytest.mark.parametrize("steps", STEPS)
@pytest.mark.parametrize("shape, perm", CASES)
def test_chained_passes_transpose_like_numpy(rng, steps, shape, perm):
    clear, count, starts, deal = map(kernel, steps)
    sp, _, rshape, rsp = transposed_pattern(rng, shape, perm)
    nd, n, rsh = len(shape), sp.size, I32(rshape)
    s = np.ones(nd, np.int64)
    kernel(242)(nd, rsh, s)
    cur, tgt = np.full(n, -1, np.int32), np.full(n, -1, np.int32)
    kernel(66)(cur, n)
    for a in range(nd - 1, -1, -1):
        ptr = np.full(rshape[a] + 2, -5, np.int32)
        clear(a, ptr, rsh)
        count(a, ptr, n, rsh, rsp, s)
        starts(a, ptr, rsh)
        deal(cur, a, ptr, n, rsh, rsp, s, tgt)
        assert ptr[rshape[a] + 1] == -5
        cur, tgt = tgt, cur
    np.testing.assert_array_equal(cur, np.argsort(rsp, kind="stable"))
    dense = np.zeros(shape)
    dense.flat[sp] = np.arange(1, n + 1)
    flat = np.transpose(dense, perm).ravel()
    np.testing.assert_array_equal(cur + 1, flat[flat != 0])
    np.testing.assert_array_equal(rsp[cur], np.flatnonzero(flat))


@pytest.mark.parametrize("number", [67, 54])
@pytest.mark.parametrize("shape, perm", CASES)
def test_table_passes_sort_rows_like_numpy(rng, number, shape, perm):
    _, midx, rshape, _ = transposed_pattern(rng, shape, perm)
    # Repeated rows, in shuffled order: equal keys must keep their order.
    midx = np.concatenate([midx, midx[::2]])[rng.permutation(len(midx) + len(midx[::2]))]
    nd, n = len(shape), len(midx)
    expect = np.argsort(np.ravel_multi_index(tuple(midx.T), rshape), kind="stable")
    for table in layouts(midx):
        cur, tgt = np.arange(n, dtype=np.int32), np.full(n, -1, np.int32)
        ptr = np.zeros(max(rshape) + 1, np.int32)
        for j in range(nd):
            kernel(number)(cur, j, table, n, nd, ptr, I32(rshape), tgt)
            cur, tgt = tgt, cur
        np.testing.assert_array_equal(cur, expect)


def test_single_pass_is_stable_and_empty_pass_writes_nothing():
    rsh, s, rsp = I32([2, 3]), np.array([3, 1], np.int64), np.array([5, 1, 4], np.int64)
    cur, tgt, ptr = np.array([0, 1, 2], np.int32), np.full(3, -1, np.int32), np.full(4, 9, np.int32)
    kernel(243)(1, ptr, rsh)
    kernel(244)(1, ptr, 3, rsh, rsp, s)
    np.testing.assert_array_equal(ptr, [0, 0, 2, 1])
    kernel(245)(1, ptr, rsh)
    kernel(246)(cur, 1, ptr, 3, rsh, rsp, s, tgt)
    np.testing.assert_array_equal(tgt, [1, 2, 0])
    tgt[:] = -1
    kernel(243)(0, ptr, rsh)
    kernel(244)(0, ptr, 0, None, None, None)
    kernel(245)(0, ptr, rsh)
    kernel(246)(None, 0, ptr, 0, None, None, None, tgt)
    np.testing.assert_array_equal(ptr[:3], 0)
    assert np.all(tgt == -1)
