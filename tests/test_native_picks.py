import numpy as np
import pytest

from conftest import kernel
from test_strides import I32, gapped, layouts

SLICES = [(slice(1, 4, 1), slice(0, 5, 2)), (slice(4, 0, -1), slice(5, None, -2)), (slice(0, 5, 3), slice(2, 3, 1)),
          (slice(2, 2, 1), slice(0, 6, 1)), (slice(5, 1, -3), slice(1, 6, 4)), (slice(0, 5, 0), slice(0, 6, 1))]


def bounds(s, extent):
    first, last, step = s.indices(extent) if s.step else (s.start, s.stop, 0)
    return first, last, step


@pytest.mark.parametrize("rows, cols", SLICES)
def test_dense_picks_against_numpy_indexing(rng, rows, cols):
    native = rng.integers(-10**12, 10**12, 3 * 5 * 6)
    cube = native.reshape(3, 5, 6)
    (f0, l0, s0), (f1, l1, s1) = bounds(rows, 5), bounds(cols, 6)
    expect = cube[2][rows, cols].ravel() if s0 else []
    base, out = gapped(31, np.int64)
    kernel(201)(f0, l0, s0, f1, l1, native, out, s1, 2 * 30, 6, 1)  # plane 2 of the cube
    np.testing.assert_array_equal(out[:len(expect)], expect)
    assert np.all(out[len(expect):] == -7) and np.all(base[::2] == -7)
    for axis, j in ((0, 1), (1, 4), (2, 5)):
        d0, d2 = int(np.prod(cube.shape[:axis])), int(np.prod(cube.shape[axis + 1:]))
        out = np.full(d0 * d2 + 3, -7, np.int64)
        assert kernel(151)(native, d0, cube.shape[axis], d2, j, out, 3) == 3 + d0 * d2
        np.testing.assert_array_equal(out, [-7] * 3 + list(np.take(cube, j, axis).ravel()))
    midx = rng.integers(0, [3, 5, 6], (7, 3))
    for view in layouts(midx):
        out = np.full(7, -7, np.int64)
        kernel(176)(native, out, view, 3, np.array([30, 6, 1], np.int64))
        np.testing.assert_array_equal(out, cube[tuple(midx.T)])


SPARSE = [((4, 5, 6), 40), ((7,), 3), ((3, 1, 4, 2), 24), ((2, 3), 0), ((5, 5), 25)]


@pytest.mark.parametrize("shape, nnz", SPARSE)
def test_sparse_lookups_and_box_slices_against_numpy(rng, shape, nnz):
    size, nd = int(np.prod(shape)), len(shape)
    sparsity = np.sort(rng.choice(size, nnz, replace=False)).astype(np.int64)
    native = rng.integers(1, 10**12, nnz)
    full = np.zeros(size, np.int64)
    full[sparsity] = native
    ask = rng.integers(0, size, 9)
    out = np.full(10, -7, np.int64)
    kernel(170)(native, out, I32(shape), ask, sparsity)
    np.testing.assert_array_equal(out, [*full[ask], -7])
    kernel(170)(native, out, I32(shape), np.array([-1, size, 2**40], np.int64), sparsity)  # outside: not stored
    assert out[:3].tolist() == [0, 0, 0] and kernel(163)(0, 1, 0, 9, 4, sparsity) == 4
    this = np.array([*ask, 99], np.int64)
    kernel(188)(native, nnz, sparsity, 9, this)
    np.testing.assert_array_equal(this, [*full[ask], 99])
    first = rng.integers(0, shape)
    last = first + 1 + rng.integers(0, np.array(shape) - first)
    box = tuple(map(slice, first, last))
    inside = np.zeros(size, bool)
    inside.reshape(shape)[box] = True
    key = np.full(nd + 1, -7, np.int32)
    count = kernel(185)(I32(first), key, I32(last), nd, 5, I32(shape), sparsity)
    assert count == 5 + inside[sparsity].sum()
    idxs, sp = np.full(count + 1, -7, np.int64), np.full(count + 1, -7, np.int64)
    assert kernel(186)(native, I32(first), nd, idxs, key, I32(last), 5, I32(shape), I32(last - first), sp,
                       sparsity) == count
    dense_slice = full.reshape(shape)[box].ravel()
    np.testing.assert_array_equal(sp[5:-1], np.flatnonzero(dense_slice))
    np.testing.assert_array_equal(idxs[5:-1], dense_slice[dense_slice != 0])
    assert idxs[-1] == sp[-1] == key[-1] == -7 and np.all(idxs[:5] == -7)


@pytest.mark.parametrize("record, f1, s1, c1, f3, s3, c3",
                         [((2, 5, 3, 4, 2), 1, 2, 2, 3, -1, 3), ((1, 4, 2, 1, 1), 1, 1, 2, 0, 1, 1),
                          ((3, 6, 1, 5, 2), 5, -2, 3, 0, 4, 2), ((2, 3, 2, 2, 3), 0, 1, 3, 1, 1, 1)])
def test_sparse_record_slices_against_numpy(rng, record, f1, s1, c1, f3, s3, c3):
    size = int(np.prod(record))
    sparsity = np.sort(rng.choice(size, size // 2, replace=False)).astype(np.int64)
    native = rng.integers(1, 10**12, len(sparsity))
    full = np.zeros(size, np.int64)
    full[sparsity] = native
    k0, n = 1, len(sparsity) - 2  # the first and last stored elements are left out
    full[sparsity[[0, -1]]] = 0
    picked = full.reshape(record)[:, f1 + s1 * np.arange(c1)][:, :, :, f3 + s3 * np.arange(c3)].ravel()
    perm, rn, rsp = (np.full(n + 3, -7, np.int64) for _ in range(3))
    end = kernel(164)(native, *record, f1, perm, rn, s1, c1, f3, s3, rsp, c3, k0, n, 100, 2, sparsity)
    assert end == 2 + np.count_nonzero(picked)
    order = np.argsort(rsp[2:end], kind="stable")
    np.testing.assert_array_equal(rsp[2:end][order] - 100, np.flatnonzero(picked))
    np.testing.assert_array_equal(rn[2:end][order], picked[picked != 0])
    np.testing.assert_array_equal(native[perm[2:end]], rn[2:end])
    assert np.all(rsp[end:] == -7) and np.all(rsp[:2] == -7)
    if s1 == 1 and record[3] == c3 == record[4] == 1:  # the one-axis count pass agrees with the fill
        assert kernel(163)(record[1], record[2], f1, f1 + c1, 3, sparsity[k0:k0 + n]) == 3 + end - 2


@pytest.mark.parametrize("sparse", [False, True])
def test_variable_laid_out_as_an_expression(rng, sparse):
    native, sparsity = rng.integers(1, 2**31, 6), np.sort(rng.choice(100, 6, replace=False)).astype(np.int64)
    rf, ri, r64 = np.full(9, -7.0), np.full(10, -7, np.int32), np.full(16, -7, np.int32)
    kernel(146)(native, 6, sparse, 2, 3, 1, rf, ri, r64, 8, sparsity)
    np.testing.assert_array_equal(ri, [-7] * 3 + list(range(7)))
    np.testing.assert_array_equal(rf, [-7, -7, *[1.0] * 6, -7])
    np.testing.assert_array_equal(r64, [-7, *native, -7, *(sparsity if sparse else [-7] * 6), -7, -7])


# Every position of two outer blocks is stored, so every axis value occurs,
# the ones at the window's ends included.
@pytest.mark.parametrize("d1,d2,first,last", [(5, 3, 1, 4), (5, 3, 0, 5), (4, 1, 2, 3), (6, 2, 3, 3), (3, 4, 0, 1),
                                              (4, 2, -1, 2), (3, 2, 0, 0)])
def test_axis_slice_count_against_numpy(d1, d2, first, last):
    sparsity = np.arange(2 * d1 * d2, dtype=np.int64)
    axis = (sparsity // d2) % d1
    assert kernel(163)(d1, d2, first, last, 7, sparsity) == 7 + np.count_nonzero((axis >= first) & (axis < last))
