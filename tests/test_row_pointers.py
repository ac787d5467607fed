import numpy as np
import pytest

from conftest import kernel

I32 = lambda *v: np.array(v, np.int32)  # noqa: E731


SHAPE_CASES = [
    # (kernel, arguments given the target `shape`, shape before, shape after)
    (612, lambda t: (3, 1, t), [7, 7, 7, 7], [7, 1, 1, 7]),
    (610, lambda t: (1, 3, t), [7, 7, 7, 7], [7, 7, 7, 7]),  # start >= end
    (611, lambda t: (3, I32(4, 5, 6, 8), t), [0, 0, 0, 0], [4, 5, 6, 0]),
    (609, lambda t: (1, I32(4, 5), t), [0, 0, 0, 0], [4, 0, 0, 0]),
    (600, lambda t: (I32(2, 3, 4), t), [0, 0, 0, 9], [2, 3, 4, 9]),
    (601, lambda t: (4, I32(4, 5), t), [4, 5, 9, 9], [4, 5, 1, 1]),
    (601, lambda t: (2, I32(2, 3, 4), t), [2, 3, 4, 9], [2, 3, 4, 9]),  # m >= d
]


@pytest.mark.parametrize("number, make, before, after", SHAPE_CASES)
def test_shape_copy_and_fill(number, make, before, after):
    shape = I32(*before)
    assert kernel(number)(*make(shape)) is None
    np.testing.assert_array_equal(shape, after)


def test_pad_shape_row():
    # A transposed table: one shape per row, rows strided in memory.
    shapes = np.full((4, 3), 9, np.int32).T
    kernel(602)(1, shapes, I32(6, 7))
    kernel(603)(1, 4, shapes, I32(6, 7))
    np.testing.assert_array_equal(shapes[1], [6, 7, 1, 1])
    np.testing.assert_array_equal(shapes[[0, 2]], 9)
    kernel(603)(2, 3, shapes, I32(0, 0, 0))  # shp already has d elements
    np.testing.assert_array_equal(shapes[2], 9)


def wrap32(v):
    v %= 2**32
    return v - 2**32 if v >= 2**31 else v


@pytest.mark.parametrize("number", [604, 206])
@pytest.mark.parametrize("shape, n, p", [([65536, 65536], 2, 1), ([3, 5, 7], 2, -2), ([46341, 46341, 3], 3, 5), ([4], 0, 11)])
def test_size32_wraps(number, shape, n, p):
    expect = wrap32(p * int(np.prod(shape[:n], dtype=object)))
    assert kernel(number)(n, I32(*shape), p) == expect


def test_dim_count_extremes(rng):
    nds = rng.integers(-10, 10, 12).astype(np.int32)
    assert kernel(599)(int(nds[0]), int(nds[0]), 9, nds) == (max(nds[:9]), min(nds[:9]))
    nds[0] = 100  # element 0 is not read
    assert kernel(599)(0, 0, 1, nds) == (0, 0)
    assert kernel(599)(0, 0, 12, nds) == (max(0, nds[1:].max()), min(0, nds[1:].min()))


def run_passes(ii, idxs, nrows, ptrb, subj):
    n = len(ii)
    kernel(605)(ii, n, ptrb)
    after_count = ptrb.copy()
    kernel(606)(ptrb, nrows)
    after_prefix = ptrb.copy()
    kernel(607)(idxs, ii, n, ptrb, subj)
    after_scatter = ptrb.copy()
    kernel(608)(ptrb, nrows)
    after_shift = ptrb.copy()
    ptrb[0] = 0
    return after_count, after_prefix, after_scatter, after_shift


def test_row_key_worked_example():
    ptrb, subj = np.zeros(3, np.int64), np.zeros(3, np.int64)
    steps = run_passes(np.array([1, 0, 1], np.int64), np.array([7, 8, 9], np.int64), 2, ptrb, subj)
    for got, expect in zip(steps, ([0, 1, 2], [0, 1, 3], [1, 3, 3], [1, 1, 3])):
        np.testing.assert_array_equal(got, expect)
    np.testing.assert_array_equal(subj, [8, 7, 9])
    np.testing.assert_array_equal(ptrb, [0, 1, 3])


@pytest.mark.parametrize("strided", [False, True])
def test_row_key_passes_match_stable_sort(rng, strided):
    nrows, n = 8, 60
    ii = rng.integers(0, nrows, n)
    ii[ii == 3] = 4  # an empty row
    idxs = rng.integers(-(2**40), 2**40, n)
    if strided:
        base_p, base_s = np.full(2 * (nrows + 1), -9, np.int64), np.full(2 * n, -9, np.int64)
        ptrb, subj = base_p[::2], base_s[::2]
        ptrb[:] = 0
    else:
        ptrb, subj = np.zeros(nrows + 1, np.int64), np.zeros(n, np.int64)
    run_passes(ii, idxs, nrows, ptrb, subj)
    np.testing.assert_array_equal(ptrb, np.concatenate([[0], np.cumsum(np.bincount(ii, minlength=nrows))]))
    np.testing.assert_array_equal(subj, idxs[np.argsort(ii, kind="stable")])
    if strided:
        assert np.all(base_p[1::2] == -9) and np.all(base_s[1::2] == -9)


def test_row_passes_do_nothing_for_empty_counts():
    ptrb = np.array([5, 6, 7], np.int64)
    kernel(605)(None, 0, ptrb)
    kernel(606)(ptrb, 0)
    kernel(607)(None, None, 0, ptrb, None)
    kernel(608)(ptrb, 0)
    np.testing.assert_array_equal(ptrb, [5, 6, 7])
