import numpy as np
import pytest

from conftest import kernel
from test_strides import gapped

PATTERNS = [(10, 4), (6, 6), (1, 1), (25, 9), (8, 0)]


def pattern(rng, size, nnz):
    return np.sort(rng.choice(size, nnz, replace=False)).astype(np.int64)


@pytest.mark.parametrize("size, nnz", PATTERNS)
def test_spreading_against_numpy_scatter(rng, size, nnz):
    sp = pattern(rng, size, nnz)
    native = rng.integers(-99, 99, nnz + 2)
    res = rng.standard_normal(nnz)
    # The count comes from the native list (169, 168, 194) or from the pattern
    # (196, 195, 192): the other array is longer, or one shorter, than needed.
    for number in (169, 168):
        out = np.full(size, -7.0)
        kernel(number)(native[:max(nnz - 1, 0)], res, sp, out)
        expect = np.full(size, -7.0)
        expect[sp[:max(nnz - 1, 0)]] = res[:max(nnz - 1, 0)]
        np.testing.assert_array_equal(out, expect)
    for number, nat, pat in ((196, native, sp), (195, native, sp), (194, native[:nnz], np.append(sp, 0))):
        out = np.full(size, -7, np.int64)
        kernel(number)(nat, out, pat)
        expect = np.full(size, -7, np.int64)
        expect[sp] = native[:nnz]
        np.testing.assert_array_equal(out, expect)
    base, nindex = gapped(size + 10, np.int64)
    kernel(192)(native, nindex, 10, sp)
    expect = np.full(size + 10, -7, np.int64)
    expect[sp + 10] = native[:nnz]
    np.testing.assert_array_equal(nindex, expect)
    kernel(189)(native, nindex, 3)
    expect[3:5 + nnz] = native
    np.testing.assert_array_equal(nindex, expect)
    kernel(191)(nnz, nindex, 4)
    kernel(191)(0, nindex, 0)
    expect[4:4 + nnz] = 0
    np.testing.assert_array_equal(nindex, expect)
    assert np.all(base[::2] == -7)


def test_repeated_pattern_position_keeps_the_last_entry():
    out = np.zeros(3)
    kernel(169)(np.zeros(3, np.int64), np.array([1.0, 2.0, 3.0]), np.array([1, 1, 0], np.int64), out)
    np.testing.assert_array_equal(out, [3.0, 2.0, 0.0])


@pytest.mark.parametrize("size, nnz", PATTERNS)
@pytest.mark.parametrize("m", [1, 3, 0])
def test_pattern_repetition_against_repeat_and_tile(rng, size, nnz, m):
    tsp = pattern(rng, size, nnz)
    tnat = rng.integers(-99, 99, nnz)
    mask = np.zeros(size, bool)
    mask[tsp] = True
    p, total = 2, nnz * m
    for number, args, rsp_expect, nat_expect in (
        (217, (), np.flatnonzero(np.repeat(mask[:, None], m, axis=1)), np.repeat(tnat, m)),
        (216, (size,), np.flatnonzero(np.tile(mask, m)), np.tile(tnat, m)),
    ):
        rsp, rnat = np.full(total + 4, -7, np.int64), np.full(total + 4, -7, np.int64)
        got = kernel(number)(*args, p, m, nnz, rnat, rsp, tnat, tsp)
        assert got == (p + total if total else p)
        np.testing.assert_array_equal(rsp[p:p + total], rsp_expect)
        np.testing.assert_array_equal(rnat[p:p + total], nat_expect)
        assert np.all(rsp[:p] == -7) and np.all(rsp[p + total:] == -7) and np.all(rnat[p + total:] == -7)
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
    np.testing.assert_array_equal(out[:-1], v64[:-1].astype(np.int32))
    assert out[-1] == -7 and np.all(base[::2] == -7)


@pytest.mark.parametrize("values", [[], [4], [1, 2, 9], [2, 2], [3, 1, 5], [-2**40, 0, 2**40], [1, 5, 4]])
def test_increase_checks_against_numpy(values):
    a = np.array(values, np.int64)
    expect = bool(np.all(np.diff(a) > 0))
    assert kernel(42)(True, a) is expect and kernel(42)(False, a) is False
    for n in range(len(a) + 1):
        sub = bool(np.all(np.diff(a[:n]) > 0))
        assert kernel(247)(True, n, a) is sub and kernel(247)(False, n, a) is False
    assert kernel(247)(True, -1, a) is True
