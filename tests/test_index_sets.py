import numpy as np
import pytest

from conftest import kernel
from test_strides import I32


@pytest.mark.parametrize("n, k1, k2", [(20, 8, 6), (10, 0, 4), (15, 9, 0), (6, 6, 6), (30, 25, 12)])
def test_marked_unions_and_differences_against_numpy(rng, n, k1, k2):
    set0, set1, set2 = (rng.integers(0, n, k) for k in (5, k1, k2))
    r = np.zeros(n + 1, np.int32)
    r[n] = 7  # outside every set: kept
    kernel(276)(r, I32(set0))
    kernel(276)(r, I32(set1))
    np.testing.assert_array_equal(np.flatnonzero(r[:n]), np.union1d(set0, set1))
    assert r[n] == 7
    d = np.zeros(n, np.int32)
    kernel(277)(d, I32(set1), I32(set2))
    np.testing.assert_array_equal(np.flatnonzero(d), np.setdiff1d(set1, set2))
    kernel(277)(r, I32(set2), I32(set1))  # r = (set0 | set1 | set2) minus set1
    np.testing.assert_array_equal(np.flatnonzero(r[:n]), np.setdiff1d(np.union1d(set0, set2), set1))


@pytest.mark.parametrize("shape", [(2, 3, 1, 3, 2), (1, 4, 2, 4, 1), (3, 2, 2, 2, 1), (1, 1, 1, 1, 1), (0, 3, 1, 3, 1),
                                   (2, 4, 1, 2, 2), (1, 2, 2, 5, 1)])  # the last two: unequal extents
def test_triangle_native_indices_against_numpy(rng, shape):
    size = int(np.prod(shape))
    native = rng.permutation(3 * size + 1)[:size].astype(np.int32)
    strides = np.array(np.empty(shape, np.int8).strides, np.int32)
    x = native.reshape(shape)
    for upper, tri in ((True, np.triu), (False, np.tril)):
        mask = tri(np.ones((shape[1], shape[3]), bool))[None, :, None, :, None]
        expect = x[np.broadcast_to(mask, shape)]  # C order: x0, a, m, b, p
        out = np.full(expect.size + 3, -7, np.int32)
        assert kernel(269)(I32(shape), 2, native, out, strides, upper) == 2 + expect.size
        np.testing.assert_array_equal(out, [-7, -7, *expect, -7])


@pytest.mark.parametrize("values", [[5, 3, 5, 9, 3, 3, 1], [7], [], [2**40 + 3, -4, 2**40 + 3, 0], [1, 2, 3, 4]])
def test_distinct_variables_through_a_sorting_permutation_against_numpy(values):
    varidxs = np.array(values, np.int64)
    perm = np.argsort(varidxs, kind="stable").astype(np.int64)
    expect = np.unique(varidxs)
    n = len(values)
    assert kernel(249)(n, 4, perm, varidxs) == 4 + expect.size
    out = np.full(expect.size + 5, -7, np.int32)
    assert kernel(250)(n, 4, perm, varidxs, out) == 4 + expect.size
    np.testing.assert_array_equal(out, [-7] * 4 + list(expect.astype(np.int32)) + [-7])
