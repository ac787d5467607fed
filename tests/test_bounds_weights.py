import numpy as np
import pytest

from conftest import kernel

I32 = lambda *v: np.array(v, np.int32)  # noqa: E731
INF = np.inf


def wrap(v, bits):
    v %= 2**bits
    return v - 2**bits if v >= 2 ** (bits - 1) else v


def strided(a):
    """The same values as every second element of a larger array."""
    a = np.asarray(a)
    base = np.full(2 * len(a), -99, a.dtype)
    base[::2] = a
    return base[::2]


@pytest.mark.parametrize("number", [298, 279])
@pytest.mark.parametrize("values, s", [([1, 2, 3], 4), ([2**31 - 1, 1], 0), ([], -5)])
def test_sums_wrap(number, values, s):
    assert kernel(number)(strided(I32(*values)), s) == wrap(s + sum(values), 32)


@pytest.mark.parametrize("number, array_first", [(290, True), (283, True), (282, False),
                                                (281, False), (280, False), (278, False)])
@pytest.mark.parametrize("values, p", [([3, -4, 5], 7), ([65536] * 4, 1), ([], 9)])
def test_products_64(number, array_first, values, p):
    a = strided(I32(*values))
    got = kernel(number)(a, p) if array_first else kernel(number)(p, a)
    assert got == wrap(p * int(np.prod(values, dtype=object)), 64)
    assert (kernel(number)(None, p) if array_first else kernel(number)(p, None)) == p


@pytest.mark.parametrize("number", [294, 292])
def test_weight_pairs(number):
    a = np.full(8, -1.0)
    kernel(number)(a, np.array([0.25, 0.1, 0.7]), 2)
    np.testing.assert_array_equal(a, [0.25, 0.75, 0.1, 1.0 - 0.1, -1, -1, -1, -1])


@pytest.mark.parametrize("number", [293, 291])
def test_weight_block_through_both_strides(number, rng):
    alphas = rng.random((4, 3)).T  # 3 x 4, column-major in memory
    a = np.full(20, -1.0)
    assert kernel(number)(a, alphas, 5, 2, 3) == 11
    np.testing.assert_array_equal(a[5:11], alphas[:2, :3].ravel())
    assert np.all(a[:5] == -1) and np.all(a[11:] == -1)
    assert kernel(number)(a, alphas, 5, 0, 3) == 5
    # Negative extents write nothing but the result is still p + m * n.
    before = a.copy()
    assert kernel(number)(a, alphas, 5, -2, -3) == 11
    np.testing.assert_array_equal(a, before)


def test_shape_copy_and_compare():
    rshape = np.zeros(4, np.int32)
    kernel(295)(3, rshape, I32(4, 5, 6, 7))
    np.testing.assert_array_equal(rshape, [4, 5, 6, 0])
    assert kernel(296)(4, True, rshape, I32(4, 5, 6)) is True  # only shapei's three
    assert kernel(296)(4, True, rshape, I32(4, 5, 7)) is False
    assert kernel(296)(4, False, rshape, I32(4, 5, 6)) is False
    assert kernel(296)(0, True, rshape, I32(9)) is True


def concat_model(shapes, axis, nd):
    """Extents along the axis, their running total and whether every operand
    matches the first on the other axes (short shapes padded with ones)."""
    padded = [list(s) + [1] * (nd - len(s)) for s in shapes]
    sizes = [p[axis] for p in padded]
    ok = all(p[:axis] + p[axis + 1:] == padded[0][:axis] + padded[0][axis + 1:] for p in padded)
    return sizes, sum(sizes), ok


def concatenation_steps(shapes, axis):
    """The host's 297 loop: result shape from operand 0 padded to the most
    axes, one step per operand. Returns (nd, rshape, dimsizes, total, flag)."""
    nd = max(map(len, shapes))
    rshape = I32(*(list(shapes[0]) + [1] * (nd - len(shapes[0]))))
    dimsizes = np.full(len(shapes), -1, np.int32)
    total, ok = 0, True
    for i, s in enumerate(shapes):
        total, ok = kernel(297)(total, ok, axis, dimsizes, i, nd, rshape, I32(*s))
    return nd, rshape, dimsizes, total, ok


@pytest.mark.parametrize("shapes, axis", [([(2, 3, 4), (2, 5, 4), (2, 1, 4)], 1),
                                          ([(2, 3), (3, 3)], 0),
                                          ([(2, 3), (2, 4)], 0),
                                          ([(4, 2, 1), (4, 2)], 2),
                                          ([(4, 2, 3), (4, 2)], 1)])
def test_concatenation_step(shapes, axis):
    nd, rshape, dimsizes, total, ok = concatenation_steps(shapes, axis)
    sizes, expect_total, expect_ok = concat_model(shapes, axis, nd)
    assert (total, ok) == (expect_total, expect_ok)
    np.testing.assert_array_equal(dimsizes, sizes)


def test_pairs_to_rows_strided_table():
    inst = np.full((3, 5), -1, np.int32).T  # 5 x 3 view with transposed strides
    kernel(289)(inst, I32(1, 2, 3), I32(4, 5, 6))
    np.testing.assert_array_equal(inst[:3, :2], [[1, 4], [2, 5], [3, 6]])
    assert np.all(inst[3:] == -1) and np.all(inst[:, 2] == -1)


def test_dense_bounds(rng):
    lb, ub = rng.random((3, 4)), rng.random((4, 3)).T
    lval, uval = np.full(15, -1.0), np.full(15, -1.0)
    assert kernel(288)(2, 3, 4, lb, lval, ub, uval) == 10
    np.testing.assert_array_equal(lval[4:10], lb[:2, :3].ravel())
    np.testing.assert_array_equal(uval[4:10], ub[:2, :3].ravel())
    assert np.all(lval[:4] == -1) and np.all(lval[10:] == -1)
    assert kernel(288)(0, 3, 4, lb, lval, ub, uval) == 4
    assert kernel(288)(-1, -3, 4, lb, lval, ub, uval) == 7


@pytest.mark.parametrize("number", [287, 286])
def test_densify_later_entry_wins(number):
    v = np.full(12, 0.5)
    subi, subj, val = I32(0, 2, 1, 2), I32(1, 3, 0, 3), np.array([1.0, 2.0, 3.0, 4.0])
    args = (4, subi, subj, val, v) if number == 287 else (4, val, subi, subj, v)
    kernel(number)(*args)
    expect = np.full(12, 0.5)
    expect[[1, 11, 4]] = [1.0, 4.0, 3.0]
    np.testing.assert_array_equal(v, expect)


def random_bounds(rng, n, rows=6, cols=5):
    keys = sorted({(int(rng.integers(rows)), int(rng.integers(cols))) for _ in range(n)})
    return {k: float(rng.standard_normal()) for k in keys}


def as_lists(bounds):
    keys = list(bounds)
    return (I32(*[k[0] for k in keys]), I32(*[k[1] for k in keys]),
            np.array(list(bounds.values()), np.float64))


def test_union_count_examples():
    lo = (I32(0, 1), I32(0, 2))
    up = (I32(0, 0, 2), I32(0, 5, 1))
    assert kernel(284)(*lo, 0, *up) == 4
    assert kernel(284)(I32(), I32(), 7, *up) == 10
    assert kernel(284)(None, None, 7, None, None) == 7


@pytest.mark.parametrize("nl, nu", [(0, 6), (6, 0), (10, 10), (25, 4), (30, 30)])
def test_union_fill_against_model(rng, nl, nu):
    lower, upper = random_bounds(rng, nl), random_bounds(rng, nu)
    lsubi, lsubj, lval = as_lists(lower)
    usubi, usubj, uval = as_lists(upper)
    keys = sorted(set(lower) | set(upper))
    assert kernel(284)(lsubi, lsubj, 3, usubi, usubj) == 3 + len(keys)
    rows = len(keys)
    inst = np.full((rows + 2, 2), -1, np.int32)
    lbv, ubv = np.full(rows + 2, 9.0), np.full(rows + 2, 9.0)
    kernel(285)(inst, lbv, lsubi, lsubj, lval, ubv, usubi, usubj, uval)
    np.testing.assert_array_equal(inst[:rows], np.array(keys, np.int32).reshape(-1, 2))
    np.testing.assert_array_equal(lbv[:rows], [lower.get(k, -INF) for k in keys])
    np.testing.assert_array_equal(ubv[:rows], [upper.get(k, INF) for k in keys])
    assert np.all(inst[rows:] == -1) and np.all(lbv[rows:] == 9.0) and np.all(ubv[rows:] == 9.0)


def test_union_fill_stops_when_table_is_full():
    inst = np.full((2, 2), -1, np.int32)
    lbv, ubv = np.full(4, 9.0), np.full(4, 9.0)
    kernel(285)(inst, lbv, I32(0, 1, 2), I32(0, 0, 0), np.ones(3), ubv, I32(3), I32(3), np.ones(1))
    np.testing.assert_array_equal(inst, [[0, 0], [1, 0]])
    np.testing.assert_array_equal(lbv, [1, 1, 9, 9])


def union_walk_model(lower, upper):
    """The union walk over two (row, column) lists taken as they come: one
    step per emitted row, (position, lower entry or None, upper entry or None)."""
    i = j = 0
    out = []
    while i < len(lower) and j < len(upper):
        if lower[i] < upper[j]:
            out.append((lower[i], i, None)); i += 1
        elif upper[j] < lower[i]:
            out.append((upper[j], None, j)); j += 1
        else:
            out.append((lower[i], i, j)); i += 1; j += 1
    out += [(lower[a], a, None) for a in range(i, len(lower))]
    out += [(upper[b], None, b) for b in range(j, len(upper))]
    return out


@pytest.mark.parametrize("lower, upper", [
    ([(0, 0), (0, 0), (1, 2)], [(0, 0), (1, 2), (1, 2)]),        # repeated positions
    ([(2, 1), (0, 3), (1, 1)], [(1, 1), (0, 0), (2, 1)]),        # unsorted positions
    ([(3, 0), (3, 0), (0, 1)], [(0, 1), (0, 1), (5, 5), (0, 0)]),
    ([], [(1, 0), (1, 0)]),
])
def test_union_count_and_fill_walk_alike(lower, upper):
    """284 counts exactly the rows 285 fills, on lists the host may not have
    sorted or deduplicated as well."""
    steps = union_walk_model(lower, upper)
    lval = np.arange(1.0, len(lower) + 1)
    uval = -np.arange(1.0, len(upper) + 1)
    lsubi, lsubj = (I32(*[p[t] for p in lower]) for t in (0, 1))
    usubi, usubj = (I32(*[p[t] for p in upper]) for t in (0, 1))
    count = kernel(284)(lsubi, lsubj, 5, usubi, usubj)
    assert count == 5 + len(steps)
    rows = count - 5
    inst = np.full((rows, 2), -1, np.int32)
    lbv, ubv = np.full(rows + 1, 9.0), np.full(rows + 1, 9.0)
    kernel(285)(inst, lbv, lsubi, lsubj, lval, ubv, usubi, usubj, uval)
    assert [tuple(r) for r in inst.tolist()] == [s[0] for s in steps]
    assert lbv[:rows].tolist() == [-INF if a is None else lval[a] for _, a, _ in steps]
    assert ubv[:rows].tolist() == [INF if b is None else uval[b] for _, _, b in steps]
    assert lbv[rows] == 9.0 and ubv[rows] == 9.0


@pytest.mark.parametrize("shapes, axis", [
    ([(2, 3, 4), (2, 1, 4), (2, 5, 4)], 1),
    ([(3, 2), (1, 2), (2, 2)], 0),
    ([(4, 2, 1), (4, 2), (4, 2, 3)], 2),    # shorter shapes padded with ones
    ([(3, 2), (3, 2), (3, 2)], 2),          # a new axis after the last one
    ([(2, 3), (2, 3)], 4),                  # further out: still a new last axis
    ([(5,), (5,)], 1),
])
def test_stacking_chain_as_the_host_runs_it(rng, shapes, axis):
    """297 per operand (extents along the axis, result extent, shape check),
    300 for the inner size, 301 to renumber the patterns; checked against
    numpy's concatenation of the operands padded to the result's axes."""
    nd, rshape, dimsizes, total, ok = concatenation_steps(shapes, axis)
    assert ok
    full = max(nd, axis + 1)
    padded = [tuple(s) + (1,) * (full - len(s)) for s in shapes]
    np.testing.assert_array_equal(dimsizes, [p[axis] for p in padded])
    assert total == sum(p[axis] for p in padded)
    if axis < nd:
        rshape[axis] = total
    inner = kernel(300)(axis, 1, nd, rshape)
    assert inner == int(np.prod(padded[0][axis + 1:]))
    # Every stored element carries its own id through numpy's concatenation.
    pats = [np.flatnonzero(rng.random(int(np.prod(s))) < 0.6) for s in shapes]
    ids = np.cumsum([0] + [len(p) for p in pats])
    dense = []
    for j, (p, s) in enumerate(zip(pats, padded)):
        d = np.zeros(int(np.prod(s)), np.int64)
        d[p] = ids[j] + np.arange(len(p)) + 1
        dense.append(d.reshape(s))
    stacked = np.concatenate(dense, axis=axis).ravel()
    sp = np.concatenate(pats).astype(np.int64)
    kernel(301)(dimsizes, inner, I32(*map(len, pats)), sp)
    np.testing.assert_array_equal(stacked[sp], np.arange(1, len(sp) + 1))


def test_concatenation_step_with_a_negative_axis_only_compares():
    dimsizes = np.full(2, -1, np.int32)
    rshape = I32(2, 3)
    assert kernel(297)(4, True, -1, dimsizes, 0, 2, rshape, I32(2, 3)) == (4, True)
    assert kernel(297)(4, True, -1, dimsizes, 1, 2, rshape, I32(2, 4)) == (4, False)
    np.testing.assert_array_equal(dimsizes, [-1, -1])
