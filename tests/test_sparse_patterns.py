import numpy as np
import pytest

from conftest import kernel
from test_strides import gapped

PATTERNS = [(10, 4), (6, 6), (1, 1), (25, 9), (8, 0)]


def pattern(rng, size, nnz):
    return np.sort(rng.choice(size, nnz, replace=False)).astype(np.int64)


@pytest.mark.parametrize("size, nnz", PATTERNS)
def test_spreading_against_numpy_scatter(rng, size, nnz):
    sp, native, res = pattern(rng, size, nnz), rng.integers(-99, 99, nnz + 2), rng.standard_normal(nnz)
    short = max(nnz - 1, 0)  # 169, 168 and 194 count the native list, 196, 195 and 192 the pattern
    for number in (169, 168):
        out, expect = np.full(size, -7.0), np.full(size, -7.0)
        kernel(number)(native[:short], res, sp, out)
        expect[sp[:short]] = res[:short]
        np.testing.assert_array_equal(out, expect)
    expect = np.full(size, -7, np.int64)
    expect[sp] = native[:nnz]
    for number, nat, pat in ((196, native, sp), (195, native, sp), (194, native[:nnz], np.append(sp, 0))):
        out = np.full(size, -7, np.int64)
        kernel(number)(nat, out, pat)
        np.testing.assert_array_equal(out, expect)
    base, nindex = gapped(size + 10, np.int64)
    kernel(192)(native, nindex, 10, sp)
    expect = np.concatenate([np.full(10, -7), expect])
    np.testing.assert_array_equal(nindex, expect)
    kernel(189)(native, nindex, 3), kernel(191)(nnz, nindex, 4), kernel(191)(0, nindex, 0)
    expect[3:5 + nnz], expect[4:4 + nnz] = native, 0
    np.testing.assert_array_equal(nindex, expect)
    assert np.all(base[::2] == -7)
    out = np.zeros(3)  # a repeated position keeps the last entry
    kernel(169)(np.zeros(3, np.int64), np.array([1.0, 2.0, 3.0]), np.array([1, 1, 0], np.int64), out)
    np.testing.assert_array_equal(out, [3.0, 2.0, 0.0])


@pytest.mark.parametrize("size, nnz", PATTERNS)
@pytest.mark.parametrize("m", [1, 3, 0])
def test_pattern_repetition_against_repeat_and_tile(rng, size, nnz, m):
    tsp, tnat, mask, p, total = pattern(rng, size, nnz), rng.integers(-99, 99, nnz), np.zeros(size, bool), 2, nnz * m
    mask[tsp] = True
    for number, args, rsp_expect, nat_expect in (
            (217, (), np.flatnonzero(np.repeat(mask[:, None], m, axis=1)), np.repeat(tnat, m)),
            (216, (size,), np.flatnonzero(np.tile(mask, m)), np.tile(tnat, m))):
        rsp, rnat = np.full(total + 4, -7, np.int64), np.full(total + 4, -7, np.int64)
        assert kernel(number)(*args, p, m, nnz, rnat, rsp, tnat, tsp) == p + total
        np.testing.assert_array_equal(rsp, [-7] * p + list(rsp_expect) + [-7] * (4 - p))
        np.testing.assert_array_equal(rnat, [-7] * p + list(nat_expect) + [-7] * (4 - p))
        assert kernel(42)(True, rsp[p:p + total]) is True


def test_widening_and_narrowing(rng):
    v32 = np.concatenate([[-1, 2**31 - 1, -(2**31)], rng.integers(-2**31, 2**31, 20)]).astype(np.int32)
    for number in (203, 202, 197):
        base, r = gapped(len(v32), np.int64)
        kernel(number)(v32, r)
        np.testing.assert_array_equal(r, v32.astype(np.int64))
        assert np.all(base[::2] == -7)
    v64 = np.concatenate([[2**32 + 5, -1, 2**31], rng.integers(-2**62, 2**62, 20)])
    base, out = gapped(len(v64), np.int32)
    kernel(248)(len(v64) - 1, v64, out)
    np.testing.assert_array_equal(out, [*v64[:-1].astype(np.int32), -7])
    assert np.all(base[::2] == -7)


@pytest.mark.parametrize("values", [[], [4], [1, 2, 9], [2, 2], [3, 1, 5], [-2**40, 0, 2**40], [1, 5, 4]])
def test_increase_checks_against_numpy(values):
    a = np.array(values, np.int64)
    assert kernel(42)(True, a) is bool(np.all(np.diff(a) > 0)) and kernel(42)(False, a) is False
    for n in range(-1, len(a) + 1):
        assert kernel(247)(True, n, a) is bool(np.all(np.diff(a[:max(n, 0)]) > 0))
        assert kernel(247)(False, n, a) is False
