"""Bucket sort, merge step, bisection, range min/max, fills, parameter
scatter/gather and odometer steps, against numpy and plain models."""
import itertools

import numpy as np
import pytest

from conftest import kernel


def test_bucket_sort_example():
    perm, ptrb = np.arange(4, dtype=np.int64), np.full(5, 9, np.int64)
    kernel(103)(2, 3, 2, perm, ptrb, np.array([7, 0, 6, 1], np.int64))
    assert list(perm) == [1, 3, 2, 0] and list(ptrb) == [1, 2, 3, 4, 4]


@pytest.mark.parametrize("A,B,C", [(1, 1, 1), (3, 4, 5), (7, 1, 2)])
def test_bucket_sort_is_stable_argsort_on_outer_coordinates(A, B, C, rng):
    n = 300
    val = rng.integers(0, A * B * C, n).astype(np.int64)
    perm = np.concatenate([rng.permutation(n), [-7, -8]]).astype(np.int64)  # tail stays
    bucket = (val // (B * C)) * C + val % C
    expect = perm[:n][np.argsort(bucket[perm[:n]], kind="stable")]
    ptrb = np.zeros(A * C + 1, np.int64)
    kernel(103)(A, B, C, perm, ptrb, val)
    np.testing.assert_array_equal(perm[:n], expect)
    assert list(perm[n:]) == [-7, -8]
    np.testing.assert_array_equal(ptrb, np.append(np.cumsum(np.bincount(bucket, minlength=A * C)), n))


def test_bucket_sort_refuses_zero_extent():
    with pytest.raises(ValueError):
        kernel(103)(2, 0, 2, np.arange(2), np.zeros(5, np.int64), np.array([0, 1], np.int64))


def merge_model(src, lo, mid, hi, vals):
    """Strict comparison: on equal keys the second run's element goes first."""
    a, b, out = list(src[lo:mid]), list(src[mid:hi]), []
    while a and b:
        out.append(a.pop(0) if vals[a[0]] < vals[b[0]] else b.pop(0))
    return out + a + b


@pytest.mark.parametrize("lo,mid,hi", [(0, 2, 4), (3, 10, 25), (5, 5, 12), (4, 9, 9), (6, 3, 3)])
def test_merge_step(lo, mid, hi, rng):
    vals = rng.integers(0, 6, 40).astype(np.int32)
    src = rng.permutation(40).astype(np.int32)
    src[lo:mid] = sorted(src[lo:mid], key=lambda e: vals[e])
    src[mid:hi] = sorted(src[mid:hi], key=lambda e: vals[e])
    tgt = np.full(40, -1, np.int32)
    kernel(129)(lo, mid, hi, src, tgt, vals)
    expect = merge_model(src, lo, mid, hi, vals)
    assert list(tgt[lo:lo + len(expect)]) == expect
    assert np.all(np.delete(tgt, np.arange(lo, lo + len(expect))) == -1)


def test_merge_puts_second_run_first_on_ties():
    tgt = np.zeros(4, np.int32)
    kernel(129)(0, 2, 4, np.array([0, 1, 2, 3], np.int32), tgt, np.array([1, 3, 1, 2], np.int32))
    assert list(tgt) == [2, 0, 3, 1]


def test_bisection_example():
    values = np.array([10, 20, 20, 30], np.int64)
    assert kernel(111)(0, 3, 20, values) == (0, 1)
    assert kernel(110)(0, 3, 20, values) == (2, 3)
    assert kernel(111)(2, 3, 0, values) == (2, 3)  # already adjacent


def test_bisection_matches_searchsorted(rng):
    values = np.sort(rng.integers(0, 50, 101)).astype(np.int64)
    for x in range(-2, 53):
        # Bounds one past each end are never read.
        for k, side in ((111, "left"), (110, "right")):
            hi = int(np.searchsorted(values, x, side))
            assert kernel(k)(-1, len(values), x, values) == (hi - 1, hi)


@pytest.mark.parametrize("k,dtype", [(105, np.int32), (104, np.int64)])
def test_range_min_max(k, dtype, rng):
    vals1, vals2 = (rng.integers(-1000, 1000, 50).astype(dtype) for _ in range(2))
    idx = rng.integers(0, 50, 30).astype(np.int64)
    for lo, hi in ((0, 30), (4, 5), (10, 21)):
        sel = idx[lo:hi]
        res = np.full(4, 7, dtype)
        kernel(k)(lo, idx, hi, res, vals1, None)
        assert list(res) == [vals1[sel].min(), vals1[sel].max(), 7, 7]
        kernel(k)(lo, idx, hi, res, vals1, vals2)
        assert list(res[2:]) == [vals2[sel].min(), vals2[sel].max()]


@pytest.mark.parametrize("k,dtype", [(105, np.int32), (104, np.int64)])
@pytest.mark.parametrize("lo,hi", [(3, 3), (5, 2), (0, 0)])
def test_range_min_max_of_an_empty_range_writes_nothing(k, dtype, lo, hi):
    vals = np.array([4, -2, 9, 6, 1, 8], dtype)
    res = np.full(4, 7, dtype)
    kernel(k)(lo, np.arange(6, dtype=np.int64), hi, res, vals, vals[::-1].copy())
    assert list(res) == [7, 7, 7, 7]
    kernel(k)(lo, None, hi, res, None, None)  # nothing is read either
    assert list(res) == [7, 7, 7, 7]


def test_fill_scatter_gather(rng):
    for k in (109, 107, 106):
        base = np.zeros(20, np.int64)
        kernel(k)(6, base[::2], -(2**40))
        assert list(base) == [-(2**40), 0] * 6 + [0] * 8
    idxs = rng.permutation(12)[:7].astype(np.int32)
    params, vals = np.zeros(12), rng.standard_normal(7)
    kernel(102)(idxs, params, vals)
    expect = np.zeros(12)
    expect[idxs] = vals
    np.testing.assert_array_equal(params, expect)
    res = np.zeros(14)
    kernel(101)(idxs, params, res[::2])
    np.testing.assert_array_equal(res[::2], vals)
    assert not res[1::2].any()


def test_one_carry_odometer_walks_a_two_digit_box():
    first, last = np.array([2, -1], np.int32), np.array([5, 2], np.int32)
    box = list(itertools.product(range(2, 5), range(-1, 2)))
    ndidx = np.array(box[0], np.int32)
    for expect in box[1:]:
        kernel(112)(first, last, ndidx)
        assert tuple(ndidx) == expect


@pytest.mark.parametrize("first,last,start,expect", [
    ([0, 0, 0], [2, 2, 3], [0, 1, 2], [0, 2, 0]),   # no carry past digit d - 2
    ([0], [2], [1], [2]),                           # one digit: never wraps
    ([0, 4], [3, 4], [0, 4], [1, 4]),                # empty last range wraps once
])
def test_one_carry_odometer_cases(first, last, start, expect):
    ndidx = np.array(start, np.int32)
    kernel(112)(np.array(first, np.int32), np.array(last, np.int32), ndidx)
    assert list(ndidx) == expect


@pytest.mark.parametrize("dims", [(4,), (2, 3), (3, 1, 2, 2)])
def test_reversed_odometer_tracks_offsets(dims):
    d = len(dims)
    strides = np.array([7, -3, 11, 5][:d], np.int64)
    ii, st = np.zeros(d, np.int32), np.zeros(d, np.int64)
    for idx in list(np.ndindex(*dims))[1:]:
        kernel(108)(np.array(dims, np.int32), ii, d, st, strides)
        assert tuple(ii[::-1]) == idx
        for l in range(d):  # st[l]: offset of the digits of levels l and above
            assert st[l] == np.dot(idx[:d - l], strides[:d - l])
    kernel(108)(np.array(dims, np.int32), ii, d, st, strides)
    assert ii[d - 1] == dims[0]  # the top digit runs past its bound


def test_reversed_odometer_without_dimensions_does_nothing():
    """d = 0: no digit to advance, no offset to add (the stride before the
    array is never read)."""
    back = np.array([13, 7], np.int64)
    ii, st = np.array([5, 5], np.int32), np.array([9, 9], np.int64)
    kernel(108)(np.array([2, 2], np.int32), ii, 0, st, back[1:])
    assert list(ii) == [5, 5] and list(st) == [9, 9]
