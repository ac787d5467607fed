import numpy as np
import pytest

from conftest import kernel

I32 = lambda *v: np.array(v, np.int32)  # noqa: E731


def strided(n, dtype, fill):
    base = np.full(2 * n, fill, dtype)
    return base, base[::2]


@pytest.mark.parametrize("number", [592, 591, 589])
@pytest.mark.parametrize("n", [3, 2])
def test_dense_to_triplets(rng, number, n):
    mx = rng.standard_normal((3, 4)).T  # 4 x 3, transposed strides
    mx[1, 1] = 0.0  # zeros are emitted too
    bi, msubi = strided(20, np.int32, -1)
    _, msubj = strided(20, np.int32, -1)
    _, mval = strided(20, np.float64, np.nan)
    kernel(number)(2, n, msubi, msubj, mval, mx)
    ii, jj = np.meshgrid(np.arange(4), np.arange(n), indexing="ij")
    k = 4 * n
    np.testing.assert_array_equal(msubi[2:2 + k], ii.ravel())
    np.testing.assert_array_equal(msubj[2:2 + k], jj.ravel())
    np.testing.assert_array_equal(mval[2:2 + k], mx[:, :n].ravel())
    assert np.all(msubi[:2] == -1) and np.all(msubi[2 + k:] == -1) and np.all(bi[1::2] == -1)
    kernel(number)(0, 0, msubi, msubj, mval, mx)  # no columns: nothing
    assert msubi[0] == -1


def test_dense_to_values():
    mx = np.arange(6.0).reshape(2, 3)
    mval = np.full(18, -1.0)
    kernel(590)(10, 3, mval, mx)
    np.testing.assert_array_equal(mval[10:16], [0, 1, 2, 3, 4, 5])
    assert np.all(mval[:10] == -1) and np.all(mval[16:] == -1)


def test_index_runs():
    perm = np.full(8, -1, np.int32)
    assert kernel(588)(I32(7, 8), 3, perm) == 5
    np.testing.assert_array_equal(perm[3:5], [7, 8])
    assert kernel(587)(3, 1, 3, perm) == (3, 1)
    assert kernel(587)(4, 1, 6, perm) == (6, 3)
    np.testing.assert_array_equal(perm[1:3], [4, 5])
    perm[:] = -1
    assert kernel(586)(I32(2, 2, 5), 0, 0, perm) == (5, 5)
    np.testing.assert_array_equal(perm, [0, 1, 2, 3, 4, -1, -1, -1])


def test_index_runs_against_model(rng):
    bounds = rng.integers(-3, 12, 7).astype(np.int32)
    a, k = 2, 4
    expect = []
    value = a
    for b in bounds:
        while value < b:
            expect.append(value)
            value += 1
    perm = np.full(40, -9, np.int32)
    assert kernel(586)(bounds, a, k, perm) == (value, k + len(expect))
    np.testing.assert_array_equal(perm[k:k + len(expect)], expect)
    assert np.all(perm[:k] == -9) and np.all(perm[k + len(expect):] == -9)


@pytest.mark.parametrize("number", [584, 582])
def test_strides(number):
    s = np.array([0, 0, 1], np.int64)
    kernel(number)(3, s, I32(2, 3, 4))
    np.testing.assert_array_equal(s, [12, 4, 1])
    s = np.array([0, 0, 2], np.int64)
    kernel(number)(3, s, I32(9, 100000, 100000))
    np.testing.assert_array_equal(s, [2 * 10**10, 200000, 2])  # 64-bit products
    for n in (1, 0, -1, -2**31):  # fewer than two axes: nothing written
        s = np.array([5, 6], np.int64)
        kernel(number)(n, s, I32(7, 8))
        np.testing.assert_array_equal(s, [5, 6])


@pytest.mark.parametrize("vals, p, expect", [([2, 3], 5, 30), ([65536, 65536], 1, 0),
                                             ([-1, 2**31 - 1], 1, -(2**31 - 1)), ([], 7, 7)])
def test_product32(vals, p, expect):
    assert kernel(581)(p, I32(*vals)) == expect
    assert kernel(581)(p, None) == p


@pytest.mark.parametrize("number", [585, 583])
def test_pattern_positions(rng, number):
    shape = (3, 4, 5)
    st = np.array([20, 5, 1], np.int64)
    midx = np.stack([rng.integers(0, e, 9) for e in shape], axis=1).astype(np.int32)
    sparsity = np.asfortranarray(midx)  # column-major table
    sp = np.full(12, -1, np.int32)
    kernel(number)(2, 3, st, sp, sparsity)
    np.testing.assert_array_equal(sp[2:11], np.ravel_multi_index(midx.T, shape))
    assert sp[0] == sp[1] == sp[11] == -1
    # Only the first nd columns count.
    kernel(number)(0, 1, st, sp, sparsity)
    np.testing.assert_array_equal(sp[:9], midx[:, 0] * 20)
