import numpy as np
import pytest

from conftest import kernel
from stacks import Stack

I32 = lambda *v: np.array(v, np.int32)  # noqa: E731
I64 = lambda *v: np.array(v, np.int64)  # noqa: E731


def strided(a, fill=-99):
    a = np.asarray(a)
    base = np.full(2 * max(len(a), 1), fill, a.dtype)
    base[::2][:len(a)] = a
    return base[::2][:len(a)]


def row_major_strides(shape):
    return np.array([int(np.prod(shape[t + 1:], dtype=np.int64)) for t in range(len(shape))], np.int64)


def random_pattern(rng, shape, density=0.4):
    size = int(np.prod(shape))
    return np.flatnonzero(rng.random(size) < density).astype(np.int64)


# ---------------------------------------------------------------- fills, copies

def test_fills_copies_and_identity():
    vals = np.zeros(5)
    kernel(336)(3, vals, 2.5)
    np.testing.assert_array_equal(vals, [2.5, 2.5, 2.5, 0, 0])
    dst = np.full(6, -1, np.int32)
    kernel(332)(dst, strided(I32(7, 8, 9)), 2)
    np.testing.assert_array_equal(dst, [-1, -1, 7, 8, 9, -1])
    perm = strided(np.full(5, -1, np.int32))
    kernel(304)(perm, 4)
    np.testing.assert_array_equal(perm, [0, 1, 2, 3, -1])
    ptr = np.full(3, 5, np.int32)
    kernel(305)(0, ptr)
    np.testing.assert_array_equal(ptr, [0, 5, 5])
    kernel(305)(-1, ptr)
    np.testing.assert_array_equal(ptr, [0, 5, 5])


@pytest.mark.parametrize("number", [328, 307])
def test_prefix(number):
    ptr = I32(0, 2, 1, 3, 7)
    kernel(number)(3, ptr)
    np.testing.assert_array_equal(ptr, [0, 2, 3, 6, 7])


@pytest.mark.parametrize("number", [338, 337])
def test_indexes_to_column(number):
    idxs = np.full((2, 4), -1, np.int32).T  # 4 x 2, transposed strides
    kernel(number)(idxs, I32(5, 6, 7, 8))
    np.testing.assert_array_equal(idxs, [[5, -1], [6, -1], [7, -1], [8, -1]])


def test_spread_and_element_values():
    dest = np.full(8, -1, np.int32)
    kernel(320)(dest, I32(10, 11), 3, I64(1, 4))
    np.testing.assert_array_equal(dest, [-1, -1, -1, -1, 10, -1, -1, 11])
    values = np.arange(10.0) * 10
    cvals = np.full(6, -1.0)
    kernel(335)(cvals, I32(3, 7), I64(1, 4), values)
    np.testing.assert_array_equal(cvals, [-1, 30, -1, -1, 70, -1])
    kernel(335)(cvals, I32(9, 2, 5), None, values)  # dense: in element order
    np.testing.assert_array_equal(cvals, [90, 20, 50, -1, 70, -1])
    # Negative entries (affine conic constraint elements) are not read from
    # values, whose element -1 here would be the readable 55.0.
    padded = np.concatenate([[55.0, 55.0], values])[2:]
    cvals = np.full(6, -1.0)
    kernel(335)(cvals, I32(-1, 4, -2**31), I64(0, 2, 5), padded)
    np.testing.assert_array_equal(cvals, [-1, -1, 40, -1, -1, -1])
    kernel(335)(cvals, I32(-3, 1), None, padded)
    np.testing.assert_array_equal(cvals, [-1, 10, 40, -1, -1, -1])
    # Spreading and picking copy negative native indices as they are.
    dest = np.zeros(4, np.int32)
    kernel(320)(dest, I32(-1, -2**31), 0, I64(3, 0))
    np.testing.assert_array_equal(dest, [-2**31, 0, 0, -1])


def test_matrix_pattern_gather_and_nonzeros(rng):
    values2 = rng.standard_normal((4, 3)).T  # 3 x 4, transposed strides
    values2[values2 < 0.3] = 0.0
    values2[0, 1], values2[2, 2] = np.nan, -0.0
    shape = I32(3, 4)
    sp, vals = np.full(14, -1, np.int64), np.full(14, -1.0)
    c = kernel(334)(2, shape, sp, vals, values2)
    flat = values2.ravel()
    keep = np.flatnonzero(flat != 0)  # NaN is a value, as in constant expressions; -0.0 is zero
    assert 1 in keep and 10 not in keep
    assert c == 2 + len(keep)
    np.testing.assert_array_equal(sp[2:c], keep)
    np.testing.assert_array_equal(vals[2:c], flat[keep])
    pick = I64(11, 0, 5, 5)
    out = np.zeros(4)
    kernel(333)(shape, pick, out, values2)
    np.testing.assert_array_equal(out, flat[pick])


@pytest.mark.parametrize("shape", [(3, 5), (1, 6), (6, 1), (4, 4)])
def test_matrix_nonzeros_round_trip(rng, shape):
    """334 then 333 on its pattern gives back its values; the column count
    comes from the matrix, so a one-entry shape argument is never read past."""
    values2 = np.where(rng.random(shape) < 0.5, 0.0, rng.standard_normal(shape))
    values2.flat[0] = np.nan
    values2 = np.asfortranarray(values2)
    size = values2.size
    sp, vals = np.full(size + 1, -1, np.int64), np.full(size + 1, -1.0)
    one_entry = I32(size)  # the shape of the flattened constant
    c = kernel(334)(0, one_entry, sp, vals, values2)
    flat = values2.ravel()
    np.testing.assert_array_equal(sp[:c], np.flatnonzero(flat != 0))
    assert sp[c] == -1
    back = np.full(c, 7.0)
    kernel(333)(one_entry, sp[:c], back, values2)
    np.testing.assert_array_equal(back, vals[:c])


def test_variable_as_stacked_expression():
    st = Stack(strided=True)
    nidxs, shape, sp = I32(4, -2, 9), I32(2, 5), I64(1, 6, 8)
    pos = {k: st.reserve(kind, n) for k, kind, n in
           [("shape", "i32", 2), ("ptr", "i32", 4), ("nidxs", "i64", 3), ("cof", "f64", 3), ("sp", "i64", 3)]}
    kernel(319)(nidxs, 3, pos["cof"], st.f64, pos["shape"], pos["ptr"], st.i32,
                pos["nidxs"], pos["sp"], st.i64, shape, sp)
    e = st.read(2, 3, 3, **pos)
    assert e.shape == (2, 5)
    np.testing.assert_array_equal(e.ptr, [0, 1, 2, 3])
    np.testing.assert_array_equal(e.nidxs, [4, -2, 9])
    np.testing.assert_array_equal(e.cof, [1.0, 1.0, 1.0])
    np.testing.assert_array_equal(e.sp, sp)
    assert st.sentinels_intact()
    before = st.i64.copy()
    st.i32[pos["ptr"]] = 7  # the empty row pointer must still be written
    kernel(319)(None, 0, pos["cof"], st.f64, pos["shape"], pos["ptr"], st.i32,
                pos["nidxs"], pos["sp"], st.i64, None, None)  # dense, no elements
    np.testing.assert_array_equal(st.i64, before)
    assert st.i32[pos["ptr"]] == 0


# ----------------------------------------------------------- counts and scans

@pytest.mark.parametrize("lo, hi", [(3, 17), (5, 5), (-10, 4), (20, 2)])
def test_range_count_and_slice(rng, lo, hi):
    sp = np.sort(rng.choice(np.arange(-5, 40), 25, replace=False)).astype(np.int64)
    nidxs = rng.integers(0, 1000, 25).astype(np.int32)
    inside = (sp >= lo) & (sp < hi)
    assert kernel(330)(4, sp, lo, hi) == 4 + inside.sum()
    rsp, rnidxs = np.full(30, -1, np.int64), np.full(30, -1, np.int32)
    c = kernel(331)(2, nidxs, rnidxs, rsp, sp, lo, hi)
    assert c == 2 + inside.sum()
    np.testing.assert_array_equal(rsp[2:c], sp[inside] - lo)
    np.testing.assert_array_equal(rnidxs[2:c], nidxs[inside])
    assert rsp[c] == -1


def test_range_count_sign_extends_bounds():
    assert kernel(330)(0, I64(-(2**31), 2**31, -1), -(2**31), 0) == 2


@pytest.mark.parametrize("number", [318, 317])
def test_cursor_scan(rng, number):
    sp = np.sort(rng.integers(-50, 50, 30)).astype(np.int64)
    scan = (lambda k, x: kernel(318)(k, x, sp)) if number == 318 else (lambda k, x: kernel(317)(x, k, sp))
    k = 0
    for x in sorted(rng.integers(-60, 60, 12).tolist()):
        k = scan(k, x)
        assert k == np.searchsorted(sp, x, side="left")
    assert scan(5, -1000) == 5  # never moves back
    assert scan(30, 1000) == 30 and scan(34, 1000) == 34  # at or past the end: unchanged
    if number == 317:
        assert scan(0, 2**40) == 30


# --------------------------------------------------- buckets and transposition

def test_bucket_count_example():
    ptr = np.zeros(4, np.int32)
    kernel(327)(3, ptr, I64(0, 4, 5, 9))
    np.testing.assert_array_equal(ptr, [0, 2, 1, 1])
    kernel(327)(0, ptr, I64(0, 4))  # no divisor: nothing counted
    np.testing.assert_array_equal(ptr, [0, 2, 1, 1])


@pytest.mark.parametrize("rows, cols", [(4, 5), (1, 7), (6, 1)])
def test_transpose_pattern(rng, rows, cols):
    sp = random_pattern(rng, (rows, cols), 0.5)
    nidxs = rng.integers(0, 500, len(sp)).astype(np.int32)
    ptr = np.zeros(cols + 1, np.int32)
    kernel(327)(cols, ptr, sp)
    kernel(328)(cols, ptr)
    tsp, tnidxs = strided(np.full(len(sp), -1, np.int64)), strided(np.full(len(sp), -1, np.int32))
    kernel(329)(cols, rows, nidxs, ptr, sp, tnidxs, tsp)
    dense = np.zeros((rows, cols), np.int64)
    dense.ravel()[sp] = nidxs + 1
    t = dense.T.ravel()
    np.testing.assert_array_equal(tsp, np.flatnonzero(t))
    np.testing.assert_array_equal(tnidxs, t[t != 0] - 1)
    np.testing.assert_array_equal(ptr[:cols], np.cumsum(np.bincount(sp % cols, minlength=cols)))


def test_radix_passes_sort_by_position(rng):
    rshape = I32(3, 4, 5)
    rstrides = row_major_strides(rshape)
    sp = rng.choice(60, 25, replace=False).astype(np.int64)
    n = len(sp)
    perm, perm2 = np.zeros(n, np.int32), np.zeros(n, np.int32)
    kernel(304)(perm, n)
    ptr = np.zeros(6, np.int32)
    for a in (2, 1, 0):
        kernel(305)(int(rshape[a]), ptr)
        kernel(306)(a, ptr, n, rshape, rstrides, sp)
        digits = (sp // rstrides[a]) % rshape[a]
        np.testing.assert_array_equal(ptr[1:rshape[a] + 1], np.bincount(digits, minlength=rshape[a]))
        kernel(328)(int(rshape[a]), ptr)
        kernel(308)(perm, a, perm2, ptr, n, rshape, rstrides, sp)
        np.testing.assert_array_equal(perm2, perm[np.argsort(digits[perm], kind="stable")])
        perm, perm2 = perm2, perm
    np.testing.assert_array_equal(perm, np.argsort(sp))


# ------------------------------------------------------------- bounds checks

@pytest.mark.parametrize("values, flag, expect", [([0, 4, 2], False, False), ([0, 5], False, True),
                                                  ([-1, 1], False, True), ([], True, True),
                                                  ([1], True, True)])
def test_index_check_sets_flag(values, flag, expect):
    assert kernel(314)(I32(*values), flag, I32(5, 1)) is expect


@pytest.mark.parametrize("row, expect", [([1, 2], False), ([2, 0], True), ([0, 3], True), ([0, -1], True)])
def test_multi_index_check_sets_flag(row, expect):
    midxs = np.asfortranarray(np.array([[0, 0], [1, 2], row], np.int32))
    assert kernel(309)(False, midxs, I32(2, 3)) is expect
    assert kernel(309)(True, midxs, I32(2, 3)) is True


# -------------------------------------------------------- strides and sizes

@pytest.mark.parametrize("number", [325, 321, 310, 303])
def test_strides(number):
    st = np.array([0, 0, 1], np.int64)
    kernel(number)(3, I32(5, 2, 3), st)
    np.testing.assert_array_equal(st, [6, 3, 1])
    st = np.array([0, 0, 3], np.int64)
    kernel(number)(3, I32(1, 70000, 70000), st)
    np.testing.assert_array_equal(st, [3 * 70000**2, 3 * 70000, 3])
    for n in (1, 0, -1, -2**31):  # fewer than two axes: nothing written
        st = np.array([5, 6], np.int64)
        kernel(number)(n, I32(7, 8), st)
        np.testing.assert_array_equal(st, [5, 6])


def test_sizes():
    assert kernel(322)(2, 2, I32(65536, 32768, 5)) == 0
    assert kernel(322)(-3, 3, I32(2, 3, 4)) == -72
    assert kernel(302)(0, 3, I32(99, 4, 7, 100)) == 7  # rshape[0] is not read
    assert kernel(302)(8, 1, I32(99, 4)) == 8
    assert kernel(299)(2, 3, I32(70000, 70000, 9)) == 3 * 70000**2
    assert kernel(299)(0, 3, None) == 3
    assert kernel(300)(0, 1, 4, I32(9, 2, 3, 5)) == 30  # after axis 0
    assert kernel(300)(1, 2, 3, I32(9, 2, 3, 5)) == 6
    assert kernel(300)(2, 7, 2, I32(9, 2, 3, 5)) == 7
    assert kernel(300)(2**31 - 1, 7, 4, I32(9, 2, 3, 5)) == 7  # no axis after the last one


@pytest.mark.parametrize("number", [316, 315])
def test_linear_index(rng, number):
    shape = (4, 5, 6)
    for _ in range(5):
        idx = [int(rng.integers(e)) for e in shape]
        assert kernel(number)(I32(*idx), 0, 3, I32(*shape)) == np.ravel_multi_index(idx, shape)
    assert kernel(number)(I32(1, 2), 3, 2, I32(100000, 100000)) == 3 * 10**10 + 100000 + 2
    assert kernel(number)(None, 9, 0, None) == 9


@pytest.mark.parametrize("number", [313, 312])
def test_row_position(rng, number):
    midxs = np.asfortranarray(rng.integers(0, 4, (5, 3)).astype(np.int32))
    strides = I64(2**33, 7, 1)
    for r in range(5):
        assert kernel(number)(r, 11, midxs, 3, strides) == 11 + int(midxs[r].astype(object) @ strides.astype(object))
    assert kernel(number)(2, 11, midxs, 0, strides) == 11


def test_pick_elements(rng):
    shape = (3, 4, 5)
    nidxs = rng.integers(0, 10**6, 60).astype(np.int32)
    midx = np.stack([rng.integers(0, e, 7) for e in shape], axis=1).astype(np.int32)
    idxs = strided(np.full(7, -1, np.int32))
    kernel(311)(idxs, np.asfortranarray(midx), 3, nidxs, row_major_strides(shape))
    np.testing.assert_array_equal(idxs, nidxs.reshape(shape)[tuple(midx.T)])


# ---------------------------------------------------------------------- slices

BOXES = [((3, 4, 5), (1, 0, 2), (3, 3, 5)),
         ((3, 4), (1, 1), (3, 3)),
         ((6,), (2,), (5,)),
         ((2, 3, 2, 3), (0, 1, 1, 0), (2, 3, 2, 3)),
         ((3, 4), (1, 2), (2, 3))]


@pytest.mark.parametrize("shape, first, last", BOXES)
def test_dense_box_slice(rng, shape, first, last):
    nd = len(shape)
    nidxs = rng.integers(0, 10**6, int(np.prod(shape))).astype(np.int32)
    box = tuple(slice(a, b) for a, b in zip(first, last))
    expect = nidxs.reshape(shape)[box].ravel()
    rnidxs, index = strided(np.full(len(expect) + 4, -1, np.int32)), np.full(nd, -5, np.int32)
    k = kernel(323)(2, nd, I32(*first), I32(*last), index, nidxs, rnidxs, row_major_strides(shape))
    assert k == 2 + len(expect)
    np.testing.assert_array_equal(rnidxs[2:k], expect)
    assert rnidxs[1] == -1 and rnidxs[k] == -1
    np.testing.assert_array_equal(index, first)


def test_dense_box_slice_empty_box():
    rnidxs = np.full(3, -1, np.int32)
    index = np.full(2, -5, np.int32)
    assert kernel(323)(1, 2, I32(0, 2), I32(2, 2), index, np.arange(6, dtype=np.int32),
                       rnidxs, I64(3, 1)) == 1
    assert np.all(rnidxs == -1)
    np.testing.assert_array_equal(index, [0, 2])  # the odometer holds astart, box empty or not


@pytest.mark.parametrize("shape, first, last", BOXES)
def test_sparse_box_slice(rng, shape, first, last):
    nd = len(shape)
    sp = random_pattern(rng, shape, 0.5)
    nidxs = rng.integers(0, 10**6, len(sp)).astype(np.int32)
    # Model: the stored elements inside the box, numbered in the box shape.
    coords = np.array(np.unravel_index(sp, shape)).T.reshape(len(sp), nd)
    inside = np.all((coords >= first) & (coords < last), axis=1)
    rshape = tuple(b - a for a, b in zip(first, last))
    expect_sp = np.ravel_multi_index((coords[inside] - first).T, rshape) if inside.any() else []
    args = (I32(*first), I32(*last))
    st = row_major_strides(shape)
    assert kernel(324)(3, nd, *args, I32(*shape), sp, st) == 3 + inside.sum()
    rsp, rnidxs = np.full(len(sp) + 2, -1, np.int64), np.full(len(sp) + 2, -1, np.int32)
    c = kernel(326)(1, nd, *args, nidxs, rnidxs, rsp, row_major_strides(rshape), I32(*shape), sp, st)
    assert c == 1 + inside.sum()
    np.testing.assert_array_equal(rsp[1:c], expect_sp)
    np.testing.assert_array_equal(rnidxs[1:c], nidxs[inside])
    assert rsp[0] == -1 and rsp[c] == -1


# -------------------------------------------------------------------- stacking

@pytest.mark.parametrize("shapes, axis", [([(2, 3, 4), (2, 1, 4), (2, 5, 4)], 1),
                                          ([(3, 4), (2, 4)], 0),
                                          ([(3, 2), (3, 4), (3, 0), (3, 1)], 1),
                                          ([(2, 2, 3), (2, 2, 1)], 2)])
def test_stacked_patterns(rng, shapes, axis):
    rshape = list(shapes[0])
    rshape[axis] = sum(s[axis] for s in shapes)
    # Result positions, split into the operands' parts along the axis.
    parts = np.split(np.arange(int(np.prod(rshape))).reshape(rshape),
                     np.cumsum([s[axis] for s in shapes])[:-1], axis=axis)
    pats = [random_pattern(rng, s, 0.6) for s in shapes]
    sp = np.concatenate(pats).astype(np.int64)
    inner = int(np.prod(rshape[axis + 1:]))
    kernel(301)(I32(*[s[axis] for s in shapes]), inner, I32(*map(len, pats)), sp)
    expect = np.concatenate([part.ravel()[p] for part, p in zip(parts, pats)])
    np.testing.assert_array_equal(sp, expect)
