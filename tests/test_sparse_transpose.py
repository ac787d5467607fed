import numpy as np
import pytest

from conftest import kernel
from test_strides import I32, layouts

SHAPES = [(4, 5, 6), (7,), (2, 1, 3, 4), (5, 5), (3, 2, 2, 3)]


@pytest.mark.parametrize("shape", SHAPES)
def test_transposed_table_patterns_against_numpy(rng, shape):
    nd, size = len(shape), int(np.prod(shape))
    rows = rng.choice(size, max(size // 3, 1), replace=False)
    midxs = np.array(np.unravel_index(rows, shape), np.int32).T  # unsorted stored elements
    perm = rng.permutation(nd)
    pshape = tuple(np.array(shape)[perm])
    per_old_axis = np.empty(nd, np.int32)  # stride of each old axis in the transposed layout
    per_old_axis[perm] = np.array(np.empty(pshape, np.int8).strides)
    marks = np.zeros(size, bool)
    marks[rows] = True
    expect = np.flatnonzero(marks.reshape(shape).transpose(perm))
    new = np.ravel_multi_index(tuple(midxs[:, perm].T), pshape)
    curperm = np.argsort(new, kind="stable").astype(np.int32)
    n = len(rows)
    for view in layouts(midxs):
        for number in (68, 55):
            sparsity = np.full(n + 1, -7, np.int64)
            kernel(number)(curperm, view, n, nd, sparsity, per_old_axis)
            np.testing.assert_array_equal(sparsity, [*expect, -7])
        sp = np.full(n + 1, -7, np.int64)
        kernel(44)(n - 1, nd, sp, view, per_old_axis.astype(np.int64))
        np.testing.assert_array_equal(sp, [*new[:-1], -7, -7])
        c_strides = I32(np.empty(shape, np.int8).strides)
        for number in (64, 51):
            sparsity = np.full(n + 1, -7, np.int64)
            assert kernel(number)(True, nd, I32(shape), view, sparsity, c_strides) is True
            np.testing.assert_array_equal(sparsity, [*rows, -7])
            assert kernel(number)(False, nd, I32(shape), view, sparsity, c_strides) is False
    for bad in (-1, shape[-1]):
        wrong = midxs.copy()
        wrong[-1, -1] = bad
        sparsity = np.full(n, -7, np.int64)
        assert kernel(64)(True, nd, I32(shape), wrong, sparsity, I32(np.empty(shape, np.int8).strides)) is False
        assert sparsity[-1] == np.dot(wrong[-1], np.empty(shape, np.int8).strides)
