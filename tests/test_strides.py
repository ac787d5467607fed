import numpy as np
import pytest

from conftest import kernel

SHAPES = [(4, 5, 6), (3,), (2, 1, 7, 3), (1, 1), (5, 4), (3, 2, 2, 2, 3)]
I32 = lambda v: np.array(v, np.int32)  # noqa: E731


def layouts(a):
    """One int32 table C-ordered, Fortran-ordered, as a column slice of a wider
    table and as every second row of a transposed one."""
    a = np.asarray(a, np.int32)
    r, c = a.shape
    wide, tall = np.full((r, c + 3), -9, np.int32), np.full((c, 2 * r), -9, np.int32)
    wide[:, 2:2 + c], tall[:, ::2] = a, a.T
    return [a.copy(), np.asfortranarray(a), wide[:, 2:2 + c], tall.T[::2]]


def gapped(n, dtype, fill=-7):
    base = np.full(2 * n + 1, fill, dtype)
    return base, base[1::2]


@pytest.mark.parametrize("shape", SHAPES)
def test_strides_offsets_and_bounds_against_numpy(rng, shape):
    nd, shp = len(shape), I32(shape)
    c_strides = lambda s: np.array(np.empty(s, np.int8).strides, np.int64)  # noqa: E731
    expect = c_strides(shape)
    for number, last in [(n, last) for n in (275, 259, 180, 175, 43, 242, 220) for last in (1, 2)] + [(62, 1), (49, 1)]:
        base, st = gapped(nd, np.int32 if number in (62, 49) else np.int64)
        st[-1] = last
        kernel(number)(nd, shp, st)
        np.testing.assert_array_equal(st, expect * last if nd > 1 or number in (62, 49) else [last])
        assert np.all(base[::2] == -7)
    perm = rng.permutation(nd).astype(np.int32)
    pst = np.ones(nd, np.int64)
    kernel(207)(nd, perm, pst, shp)
    np.testing.assert_array_equal(pst, c_strides(tuple(np.array(shape)[perm])))

    midx = np.stack([rng.integers(0, e, 9) for e in shape], axis=1).astype(np.int32)
    lin = np.ravel_multi_index(tuple(midx.T), shape)
    for number in (178, 177):
        for table in layouts(midx):
            assert [kernel(number)(r, 5, table, nd, expect) for r in range(9)] == list(lin + 5)
    for r, row in enumerate(midx):
        assert kernel(182)(row, 3, expect) == lin[r] + 3
        assert kernel(181)(row, 0, np.zeros(nd - 1, np.int32), expect) == lin[r] - row[-1]
        assert kernel(260)(row, 2, nd, expect) == lin[r] + 2
        assert kernel(271)(row, int(row[0]), shp) == lin[r]
        k = np.full(nd, -5, np.int32)
        assert kernel(273)(k, nd, int(lin[r]), shp) == row[0]
        np.testing.assert_array_equal(k, [-5, *np.unravel_index(lin[r], shape)[1:]])
    assert [kernel(n)(shp, 3) for n in (270, 251, 167)] == [3 * np.prod(shape)] * 3
    assert [kernel(n)(shp, -2) for n in (264, 263, 193)] == [-2 * np.prod(shape)] * 3

    for bad, value, flag in [(None, 0, True), (4, -1, False), (4, shape[-1], False)]:
        table = midx.copy()
        if bad is not None:
            table[bad, nd - 1] = value
        assert all(kernel(174)(f, t, shp) is (f and flag) for t in layouts(table) for f in (True, False))
        idxs = np.append(midx[:, 0], (-1 if value < 0 else shape[0]) if bad else 0).astype(np.int32)
        assert kernel(179)(idxs, True, shp) is flag and kernel(179)(idxs, False, shp) is False
    assert kernel(179)(I32([]), True, shp) is True


def test_thirty_two_bit_wrap():
    assert kernel(264)(I32([65536, 65536, 3]), 1) == 0 and kernel(270)(I32([65536, 65536, 3]), 1) == 3 * 2**32
    # Only the low 32 bits of each stride count: 2**32 + 3 acts as 3.
    assert kernel(260)(I32([2, 1]), 1, 2, np.array([2**32 + 3, 2**31], np.int64)) == -(2**31) + 7


def test_tables_written_through_both_strides(rng):
    cols = [rng.integers(-50, 50, 7).astype(np.int32) for _ in range(3)]
    for number, k in ((173, 2), (172, 3)):
        for table in layouts(np.full((9, k), -3)):
            kernel(number)(*cols[:k], table)
            np.testing.assert_array_equal(table, np.vstack([np.stack(cols[:k], axis=1), np.full((2, k), -3)]))
    for table in layouts(np.full((2, 4), -3)):
        kernel(171)(I32([4, 5, 6]), table)
        np.testing.assert_array_equal(table, [[4, 5, 6, -3], [-3] * 4])


def test_small_list_fills():
    for number in (66, 53, 239, 221, 152):
        perm = np.full(6, -1, np.int64 if number == 152 else np.int32)
        kernel(number)(*((4, perm) if number == 152 else (perm, 4)))
        np.testing.assert_array_equal(perm, [0, 1, 2, 3, -1, -1])
    for number in (232, 215):
        r = np.full(5, 7, np.int32)
        kernel(number)(1, 3, r), kernel(number)(4, 4, r)
        np.testing.assert_array_equal(r, [7, 1, 1, 7, 7])
    v = I32([5, -2, 9, 2**31 - 1])
    assert kernel(235)(1, 3, v) == 13 and kernel(235)(1, -1, v) == 1
    assert kernel(253)(4, v, 1) == kernel(229)(4, v, 1) == -(2**31) + 12
    for number in (214, 153, 149, 211, 210):
        dst = np.full(4, -1, np.int32)
        kernel(number)(3, dst, v)
        np.testing.assert_array_equal(dst, [5, -2, 9, -1])
