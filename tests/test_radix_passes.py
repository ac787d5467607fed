import numpy as np
import pytest

from conftest import kernel
from test_strides import I32, layouts

CASES = [((2, 3), (1, 0)), ((3, 4, 5), (2, 0, 1)), ((2, 3, 4, 2), (3, 1, 0, 2)), ((6,), (0,)),
         ((4, 1, 3), (0, 2, 1)), ((3, 5, 2), (0, 1, 2))]


def transposed_pattern(rng, shape, perm):
    """A random pattern of `shape`: its positions, and its multi-indices and
    positions in the permuted shape."""
    sp = np.sort(rng.choice(np.prod(shape), max(1, np.prod(shape) // 2), replace=False))
    midx = np.array(np.unravel_index(sp, shape))[list(perm)].T.astype(np.int32)
    rshape = tuple(np.array(shape)[list(perm)])
    return sp, midx, rshape, np.ravel_multi_index(tuple(midx.T), rshape)


@pytest.mark.parametrize("steps", [(243, 244, 245, 246), (222, 223, 224, 225)])
@pytest.mark.parametrize("shape, perm", CASES)
def test_chained_passes_transpose_like_numpy(rng, steps, shape, perm):
    clear, count, starts, deal = map(kernel, steps)
    sp, _, rshape, rsp = transposed_pattern(rng, shape, perm)
    nd, n, rsh, s = len(shape), sp.size, I32(rshape), np.ones(len(shape), np.int64)
    kernel(242)(nd, rsh, s)
    cur, tgt = np.full(n, -1, np.int32), np.full(n, -1, np.int32)
    kernel(66)(cur, n)
    for a in range(nd - 1, -1, -1):  # the host's order: last key axis first
        ptr = np.full(rshape[a] + 2, -5, np.int32)
        clear(a, ptr, rsh), count(a, ptr, n, rsh, rsp, s), starts(a, ptr, rsh), deal(cur, a, ptr, n, rsh, rsp, s, tgt)
        assert ptr[-1] == -5
        cur, tgt = tgt, cur
    np.testing.assert_array_equal(cur, np.argsort(rsp, kind="stable"))
    dense = np.zeros(shape)
    dense.flat[sp] = np.arange(1, n + 1)
    flat = np.transpose(dense, perm).ravel()
    np.testing.assert_array_equal(cur + 1, flat[flat != 0])
    # An empty pass touches neither the permutation nor the cleared counters.
    before = tgt.copy()
    clear(0, ptr, rsh), count(0, ptr, 0, None, None, None), deal(None, 0, ptr, 0, None, None, None, tgt)
    assert np.all(ptr[:-1] == 0) and ptr[-1] == -5
    np.testing.assert_array_equal(tgt, before)


@pytest.mark.parametrize("number", [67, 54])
@pytest.mark.parametrize("shape, perm", CASES)
def test_table_passes_sort_rows_like_numpy(rng, number, shape, perm):
    _, midx, rshape, _ = transposed_pattern(rng, shape, perm)
    # Repeated rows, in shuffled order: equal keys must keep their order.
    midx = np.concatenate([midx, midx[::2]])[rng.permutation(len(midx) + len(midx[::2]))]
    nd, n = len(shape), len(midx)
    expect = np.argsort(np.ravel_multi_index(tuple(midx.T), rshape), kind="stable")
    for table in layouts(midx):
        cur, tgt, ptr = np.arange(n, dtype=np.int32), np.full(n, -1, np.int32), np.zeros(max(rshape) + 1, np.int32)
        for j in range(nd):
            kernel(number)(cur, j, table, n, nd, ptr, I32(rshape), tgt)
            cur, tgt = tgt, cur
        np.testing.assert_array_equal(cur, expect)


@pytest.mark.parametrize("number", [67, 54])
@pytest.mark.parametrize("j,nd", [(0, 0), (2, 2), (-1, 2)])
def test_table_pass_without_a_column_does_nothing(number, j, nd):
    """A pass number outside 0 .. nd-1 names no column of the table: the
    counters and the target stay as they were (the extent before `shape` and
    the column before the table are never read)."""
    back = np.array([3, 1, 1], np.int32)
    table = np.zeros((4, 3), np.int32)[:, 1:]
    cur, tgt, ptr = np.arange(4, dtype=np.int32), np.full(4, -1, np.int32), np.full(5, -5, np.int32)
    kernel(number)(cur, j, table, 4, nd, ptr, back[1:], tgt)
    assert list(ptr) == [-5] * 5 and list(tgt) == [-1] * 4
