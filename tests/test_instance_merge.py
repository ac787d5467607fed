import numpy as np
import pytest

from conftest import kernel

MERGE_PERM = [636, 629]
MERGE_DIRECT = [634, 627]


def merge_model(keys, cofs, order, c):
    """Terms visited in `order`; the caller has written the first one at c.
    A key not above the previous visited key is added into the current term,
    a larger key starts the next term. Returns c and the written terms."""
    out = {c: [keys[order[0]], cofs[order[0]]]}
    for prev, p in zip(order, order[1:]):
        if keys[p] <= keys[prev]:
            out[c][1] += cofs[p]
        else:
            c += 1
            out[c] = [keys[p], cofs[p]]
    return c, out


def run_merge(number, keys, cofs, perm, c, fill):
    keys, cofs = np.asarray(keys, np.int64), np.asarray(cofs, np.float64)
    order = list(range(len(keys))) if perm is None else list(perm)
    inst, cof = np.full(c + len(keys) + 1, fill, np.int64), np.full(c + len(keys) + 1, np.nan)
    inst[c], cof[c] = keys[order[0]], cofs[order[0]]  # the host writes the first term
    args = (cof, cofs, inst, keys, c) + (() if perm is None else (np.asarray(perm, np.int64),))
    return kernel(number)(*args), inst, cof


@pytest.mark.parametrize("number", MERGE_PERM + MERGE_DIRECT)
@pytest.mark.parametrize("sortedness", ["sorted", "unsorted"])
def test_merge_against_model(rng, number, sortedness):
    keys = rng.integers(0, 12, 40)
    cofs = rng.standard_normal(40)
    if number in MERGE_DIRECT:
        perm = None
        if sortedness == "sorted":
            keys = np.sort(keys)
        order = list(range(40))
    else:
        perm = np.argsort(keys, kind="stable") if sortedness == "sorted" else rng.permutation(40)
        order = list(perm)
    c0 = 4
    c, inst, cof = run_merge(number, keys, cofs, perm, c0, -1)
    mc, terms = merge_model(keys.tolist(), cofs.tolist(), order, c0)
    assert c == mc
    for pos, (key, total) in terms.items():
        assert inst[pos] == key
        assert cof[pos] == pytest.approx(total, rel=1e-12, abs=1e-12)
    assert np.all(inst[c + 1 :] == -1) and np.all(inst[:c0] == -1)
    if sortedness == "sorted":  # independent oracle: one term per distinct key
        uniq, where = np.unique(keys, return_inverse=True)
        np.testing.assert_array_equal(inst[c0 : c + 1], uniq)
        np.testing.assert_allclose(cof[c0 : c + 1], np.bincount(where, cofs), rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize(
    "number, keys, cofs, perm, fill, inst_out, cof_out",
    [(n, [3, 3, 5], [1.0, 2.0, 4.0], None if n in MERGE_DIRECT else [0, 1, 2], -1, [3, 5], [3.0, 4.0])
     for n in MERGE_PERM + MERGE_DIRECT]
    # Destination slots beyond the written range hold unrelated keys (large or
    # negative); the previous key must come from the source terms, not from them.
    + [(n, [7, 2, 7, 4, 2], [1.0, 2.0, 3.0, 4.0, 5.0], [1, 4, 3, 0, 2], fill, [2, 4, 7], [7.0, 4.0, 4.0])
       for n in MERGE_PERM for fill in (10**9, -1)],
)
def test_merge_examples(number, keys, cofs, perm, fill, inst_out, cof_out):
    c, inst, cof = run_merge(number, keys, cofs, perm, 0, fill)
    assert c == len(inst_out) - 1
    np.testing.assert_array_equal(inst[: c + 1], inst_out)
    np.testing.assert_array_equal(cof[: c + 1], cof_out)


@pytest.mark.parametrize("number", MERGE_PERM + MERGE_DIRECT)
def test_merge_short_source_returns_c(number):
    extra = () if number in MERGE_DIRECT else (np.zeros(1, np.int64),)
    inst, cof = np.full(3, -1, np.int64), np.full(3, 5.0)
    assert kernel(number)(cof, np.array([2.0]), inst, np.array([1], np.int64), 2, *extra) == 2
    assert kernel(number)(cof, None, inst, None, 2, *extra) == 2
    assert np.all(inst == -1) and np.all(cof == 5.0)


@pytest.mark.parametrize("permuted", [False, True])
def test_distinct_counts(rng, permuted):
    keys = rng.integers(0, 15, 50)
    if permuted:
        perm = rng.permutation(50)
        seq = keys[perm]
        counts = [kernel(n)(keys, 1, perm) for n in (635, 628)]
    else:
        seq = keys
        counts = [kernel(n)(keys, 1) for n in (633, 626)]
    assert counts == [1 + int(np.count_nonzero(np.diff(seq) > 0))] * 2
    s = np.sort(keys)
    assert kernel(633)(s, 1) == len(np.unique(keys))
    assert kernel(635)(keys, 1, np.argsort(keys, kind="stable")) == len(np.unique(keys))
    assert kernel(633)(np.array([1, 1, 2, 7, 7], np.int64), 1) == 3
    assert kernel(626)(np.array([4], np.int64), 5) == 5


I64 = lambda *v: np.array(v, np.int64)  # noqa: E731

FLAG_CASES = [
    # (kernel, args before flag insertion as a function of flag, expected result)
    (632, lambda f: (I64(1, 3, 2), f), False),
    (632, lambda f: (I64(1, 3, 3, 8), f), True),
    (632, lambda f: (I64(9), f), True),
    (625, lambda f: (I64(2, 1), f), False),
    (631, lambda f: (f, I64(0, 4, 9), 2, 5), True),      # only the first n are checked
    (631, lambda f: (f, I64(0, 5), 2, 5), False),        # bound itself is outside
    (631, lambda f: (f, I64(-1), 1, 5), False),
    (616, lambda f: (I64(5, 1), f, 10), False),          # not increasing
    (616, lambda f: (I64(-1, 0, 1), f, 10), True),       # first element not range-checked
    (616, lambda f: (I64(0, 1, 1), f, 10), False),       # equal is not increasing
    (616, lambda f: (I64(0, 3, 10), f, 10), False),      # out of range
    (617, lambda f: (3, I64(0, 2, 2, 5, 1), f), True),   # slot n + 1 is not compared
    (617, lambda f: (4, I64(0, 2, 2, 5, 1), f), False),
    (613, lambda f: (np.array([0.0, -0.0, 1.0]), 2, f), True),
    (613, lambda f: (np.array([0.0, np.nan]), 2, f), False),
    (613, lambda f: (np.array([1e-300]), 1, f), False),
]


@pytest.mark.parametrize("number, make, expect", FLAG_CASES)
def test_validity_flags(number, make, expect):
    assert kernel(number)(*make(True)) is expect
    assert kernel(number)(*make(False)) is False  # a cleared flag stays cleared


@pytest.mark.parametrize("d", [3, 1, 0])
def test_flatten_rows_and_range_check(rng, d):
    dims = np.array([2, 3, 4][:d], np.int32)
    rows = 6
    sub = np.stack([rng.integers(0, x, rows) for x in dims], axis=1).astype(np.int32) if d else np.zeros((rows, 0), np.int32)
    sub_t = np.asfortranarray(sub)  # column-major: exercises both strides
    inst = np.full(rows, -1, np.int64)
    assert kernel(624)(dims, inst, sub_t) is None
    expect = np.ravel_multi_index(sub.T, dims) if d else np.zeros(rows)
    np.testing.assert_array_equal(inst, expect)
    assert kernel(623)(dims, False, sub_t) is False
    if d:
        bad = sub.copy()
        bad[rows - 1, d - 1] = dims[d - 1]
        assert kernel(623)(dims, False, bad) is True
        bad[rows - 1, d - 1] = -1
        assert kernel(623)(dims, False, bad) is True
    assert kernel(623)(dims, True, sub_t) is True


def test_flatten_worked_example():
    inst = np.zeros(1, np.int64)
    kernel(624)(np.array([2, 3, 4], np.int32), inst, np.array([[1, 2, 3]], np.int32))
    assert inst[0] == 23
    # Positions above 2**31 need the 64-bit accumulator.
    dims = np.array([70000, 50000, 3], np.int32)
    sub = np.array([[69999, 49999, 2], [43000, 1, 1], [0, 0, 0]], np.int32)
    inst = np.zeros(3, np.int64)
    kernel(624)(dims, inst, sub)
    np.testing.assert_array_equal(inst, np.ravel_multi_index(sub.T, dims))
    assert inst[0] > 2**33


def test_products():
    dims = np.array([3, -2, 100000, 70000], np.int32)
    full = 7 * 3 * -2 * 100000 * 70000
    assert kernel(630)(dims, 7) == full
    assert kernel(622)(None, 7) == 7
    assert kernel(615)(2, dims, 7) == 7 * 3 * -2
    assert kernel(615)(0, dims, 7) == 7
    assert kernel(618)(4, np.array([2, 3, 5, 7], np.int32), 2, 1) == 15
    assert kernel(618)(4, np.array([2, 3, 5, 7], np.int32), 0, 9) == 9
    big = np.array([2**31 - 1] * 3, np.int32)
    wrapped = (2**31 - 1) ** 3 % 2**64
    assert kernel(630)(big, 1) == wrapped - 2**64 * (wrapped >= 2**63)


def test_small_writes(rng):
    i64 = np.full(4, -5, np.int64)
    kernel(619)(i64, 3, 2)
    kernel(619)(i64, 0, 1)
    np.testing.assert_array_equal(i64, [-5, -5, 2, -5])
    src = rng.standard_normal(8)
    for number in (621, 620):
        dst = np.full(8, np.nan)
        kernel(number)(dst, -2.5, 6, src)
        np.testing.assert_array_equal(dst[:6], -2.5 * src[:6])
        assert np.all(np.isnan(dst[6:]))


@pytest.mark.parametrize(
    "d, k",
    [(5, -(2**31)), (2, -(2**31) + 1), (-(2**31) + 1, 0), (-(2**31), -5)],
)
def test_product_with_no_factors_reads_nothing(d, k):
    # A factor count of 0 or less is an empty product, even when the
    # positions d - k - 1 .. d - 2 lie beyond the 32-bit range.
    assert kernel(618)(d, np.array([3, 5], np.int32), k, -9) == -9
    assert kernel(615)(min(d, k), np.array([3, 5], np.int32), -9) == -9
