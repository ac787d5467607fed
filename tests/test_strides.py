import numpy as np
import pytest

from conftest import kernel

SHAPES = [(4, 5, 6), (3,), (2, 1, 7, 3), (1, 1), (5, 4), (3, 2, 2, 2, 3)]
I32 = lambda v: np.array(v, np.int32)  # noqa: E731


def layouts(a):
    """The same int32 table C-ordered, Fortran-ordered, as a column slice of a
    wider table and as every second row of a transposed one."""
    a = np.asarray(a, np.int32)
    r, c = a.shape
    wide = np.full((r, c + 3), -9, np.int32)
    wide[:, 2:2 + c] = a
    tall = np.full((c, 2 * r), -9, np.int32)
    tall[:, ::2] = a.T
    return [a.copy(), np.asfortranarray(a), wide[:, 2:2 + c], tall.T[::2]]


def c_strides(shape):
    return np.array(np.empty(shape, np.int8).strides, np.int64)


def gapped(n, dtype, fill=-7):
    base = np.full(2 * n + 1, fill, dtype)
    return base, base[1::2]


@pytest.mark.parametrize("shape", SHAPES)
def test_strides_and_offsets_against_numpy(rng, shape):
    nd, shp = len(shape), I32(shape)
    expect = c_strides(shape)
    for number in (275, 259, 180, 175, 43, 242, 220):
        for last in (1, 2):
            base, st = gapped(nd, np.int64)
            st[-1] = last
            kernel(number)(nd, shp, st)
            np.testing.assert_array_equal(st, expect * last if nd > 1 else [last])
            assert np.all(base[::2] == -7)
    for number in (62, 49):
        base, st = gapped(nd, np.int32)
        kernel(number)(nd, shp, st)
        np.testing.assert_array_equal(st, expect)
        assert np.all(base[::2] == -7)
    perm = rng.permutation(nd).astype(np.int32)
    pst = np.ones(nd, np.int64)
    kernel(207)(nd, perm, pst, shp)
    np.testing.assert_array_equal(pst, c_strides(tuple(np.array(shape)[perm])))

    midx = np.stack([rng.integers(0, e, 9) for e in shape], axis=1).astype(np.int32)
    lin = np.ravel_multi_index(tuple(midx.T), shape)
    for table in layouts(midx):
        for number in (178, 177):
            assert [kernel(number)(r, 5, table, nd, expect) for r in range(9)] == list(lin + 5)
        assert kernel(174)(True, table, shp) is True
        assert kernel(174)(False, table, shp) is False
    for r in range(9):
        row = midx[r].copy()
        assert kernel(182)(row, 3, expect) == lin[r] + 3
        assert kernel(181)(row, -1, np.zeros(nd, np.int32), expect) == lin[r] - 1
        assert kernel(181)(row, 0, np.zeros(nd - 1, np.int32), expect) == lin[r] - row[-1]
        assert kernel(260)(row, 2, nd, expect) == lin[r] + 2
        assert kernel(271)(row, int(row[0]), shp) == lin[r]
        k = np.full(nd, -5, np.int32)
        assert kernel(273)(k, nd, int(lin[r]), shp) == row[0]
        np.testing.assert_array_equal(k[1:], np.unravel_index(lin[r], shape)[1:])
        assert k[0] == -5
    size = int(np.prod(shape))
    for number in (270, 251, 167):
        assert kernel(number)(shp, 3) == 3 * size
    for number in (264, 263, 193):
        assert kernel(number)(shp, -2) == -2 * size


@pytest.mark.parametrize("shape", SHAPES[:4])
def test_bounds_checks_fire_on_each_side(rng, shape):
    nd, shp = len(shape), I32(shape)
    midx = np.stack([rng.integers(0, e, 6) for e in shape], axis=1).astype(np.int32)
    for value in (-1, shape[-1]):
        bad = midx.copy()
        bad[4, nd - 1] = value
        assert all(kernel(174)(True, t, shp) is False for t in layouts(bad))
    idxs = rng.integers(0, shape[0], 5).astype(np.int32)
    assert kernel(179)(idxs, True, shp) is True and kernel(179)(idxs, False, shp) is False
    for value in (-1, shape[0]):
        assert kernel(179)(np.append(idxs, value).astype(np.int32), True, shp) is False
    assert kernel(179)(I32([]), True, shp) is True


def test_thirty_two_bit_wrap():
    assert kernel(264)(I32([65536, 65536, 3]), 1) == 0
    assert kernel(270)(I32([65536, 65536, 3]), 1) == 3 * 2**32
    # Only the low 32 bits of each stride count: 2**32 + 3 acts as 3.
    assert kernel(260)(I32([2, 1]), 1, 2, np.array([2**32 + 3, 2**31], np.int64)) == -(2**31) + 7


def test_tables_written_through_both_strides(rng):
    cols = [rng.integers(-50, 50, 7).astype(np.int32) for _ in range(3)]
    for number, k in ((173, 2), (172, 3)):
        for table in layouts(np.full((9, k), -3)):
            kernel(number)(*cols[:k], table)
            np.testing.assert_array_equal(table[:7], np.stack(cols[:k], axis=1))
            assert np.all(table[7:] == -3)
    for table in layouts(np.full((2, 4), -3)):
        kernel(171)(I32([4, 5, 6]), table)
        np.testing.assert_array_equal(table, [[4, 5, 6, -3], [-3] * 4])


def test_small_list_fills():
    for number, dtype in ((66, np.int32), (53, np.int32), (239, np.int32), (221, np.int32), (152, np.int64)):
        perm = np.full(6, -1, dtype)
        kernel(number)(*((perm, 4) if number != 152 else (4, perm)))
        np.testing.assert_array_equal(perm, [0, 1, 2, 3, -1, -1])
    for number in (232, 215):
        r = np.full(5, 7, np.int32)
        kernel(number)(1, 3, r)
        kernel(number)(4, 4, r)
        np.testing.assert_array_equal(r, [7, 1, 1, 7, 7])
    v = I32([5, -2, 9, 2**31 - 1])
    assert kernel(235)(1, 3, v) == 13 and kernel(235)(1, -1, v) == 1
    assert kernel(253)(4, v, 1) == kernel(229)(4, v, 1) == -(2**31) + 12
    for number in (214, 153, 149, 211, 210):
        dst = np.full(4, -1, np.int32)
        kernel(number)(3, dst, v)
        np.testing.assert_array_equal(dst, [5, -2, 9, -1])
