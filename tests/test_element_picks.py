"""Element picks from stacked expressions, and the index checks that guard them."""
import numpy as np
import pytest

from conftest import kernel
from stacks import Expr, Stack, random_expr

NVARS = 6


def term_lists(expr):
    """Per stored element: its terms as (variable, coefficient, program) tuples."""
    out = []
    for e in range(expr.n):
        a, b = int(expr.ptr[e]), int(expr.ptr[e + 1])
        out.append([(int(expr.nidxs[t]), float(expr.cof[t]),
                     tuple(map(tuple, expr.program(t))) if expr.programs else None)
                    for t in range(a, b)])
    return out


def expected_pick(expr, idxs):
    """Element i of the pick is the operand element with linear index idxs[i]
    (no terms when a sparse operand does not store it)."""
    stored = dict(zip(expr.element_ids().tolist(), term_lists(expr)))
    return [stored.get(int(i), []) for i in idxs]


def run_pick(expr, idxs, *, strided=False, P0=0, T0=0):
    """The host's two passes: count, reserve room on R, copy. Returns the
    result expression and the (P, T) of both passes."""
    W, R, X = Stack(strided=strided), Stack(strided=strided), Stack(strided=strided)
    w = W.push(expr)
    flag = 1 if expr.programs else 0
    idxs = np.asarray(idxs, np.int64)
    N = len(idxs)
    if expr.sparse:
        xmatch = X.reserve("i32", N)
        counted = kernel(417)(w.codeptr, idxs, flag, expr.n, w.ptr, P0, T0, w.sp, xmatch,
                              W.i32, W.i64, X.i32)
    else:
        counted = kernel(415)(w.codeptr, idxs, flag, w.ptr, P0, T0, W.i32)
    P, T = counted
    rptr = R.put("i32", np.full(N + 1, T0, np.int32))     # entry 0 is the host's
    rnidxs = R.reserve("i64", T) - T0                       # blocks addressed from T0 / P0
    rcof = R.reserve("f64", T) - T0
    rcodeptr = R.put("i32", np.full(T - T0 + 1, P0, np.int32)) - T0
    rcode = R.reserve("i32", P) - P0
    rcconst = R.reserve("f64", P) - P0
    common = (rcconst, rcode, rcodeptr, rcof, R.f64, R.i32, R.i64, flag, rnidxs, rptr)
    head = (w.cconst, w.code, P0, w.codeptr, w.cof, idxs, T0, w.nidxs, w.ptr)
    if expr.sparse:
        copied = kernel(418)(*head, *common, xmatch, W.f64, W.i32, W.i64, X.i32)
    else:
        copied = kernel(416)(*head, *common, W.f64, W.i32, W.i64)
    m = T - T0
    res = Expr((N,), R.i32[rptr:rptr + N + 1] - T0, R.i64[rnidxs + T0:rnidxs + T],
               R.f64[rcof + T0:rcof + T])
    if expr.programs:
        res.codeptr = R.i32[rcodeptr + T0:rcodeptr + T + 1] - P0
        res.code = R.i32[rcode + P0:rcode + P]
        res.cconst = R.f64[rcconst + P0:rcconst + P]
        assert len(res.codeptr) == m + 1
    for s in (W, R, X):
        assert s.sentinels_intact()
    match = X.i32[xmatch:xmatch + N].copy() if expr.sparse else None
    return res, counted, copied, match


CASES = [
    # shape, sparse, programs, picks (None: random)
    ((4, 5), False, False, None),
    ((4, 5), False, True, None),
    ((3, 7), True, False, None),
    ((3, 7), True, True, None),
    ((6,), False, True, [5, 5, 0, 5]),                  # repeated picks copy again
    ((6,), True, True, [0, 1, 2, 3, 4, 5, 5, 0]),
    ((6,), False, False, []),                           # nothing picked
]


@pytest.mark.parametrize("strided", [False, True])
@pytest.mark.parametrize("shape,sparse,programs,picks", CASES)
def test_pick_matches_fancy_indexing(rng, shape, sparse, programs, picks, strided):
    expr = random_expr(rng, shape, nvars=NVARS, sparse=sparse, programs=programs)
    size = expr.size
    idxs = rng.integers(0, size, size=2 * size) if picks is None else np.asarray(picks, np.int64)
    res, counted, copied, match = run_pick(expr, idxs, strided=strided)
    assert counted == copied
    assert res.dense(NVARS).tolist() == expr.dense(NVARS).reshape(size, NVARS)[idxs].tolist()
    # Term order and programs travel with the terms.
    assert term_lists(res) == expected_pick(expr, idxs)
    if sparse:
        stored = expr.sp.tolist()
        assert match.tolist() == [stored.index(i) if i in stored else -1 for i in idxs.tolist()]


@pytest.mark.parametrize("sparse", [False, True])
def test_pick_chains_from_running_counts(rng, sparse):
    """Counts start from the (P, T) handed in, and the copy writes from there."""
    expr = random_expr(rng, (5, 4), nvars=NVARS, sparse=sparse, programs=True)
    idxs = rng.integers(0, 20, size=15)
    base, (P, T), _, _ = run_pick(expr, idxs)
    res, counted, copied, _ = run_pick(expr, idxs, P0=11, T0=7)
    assert counted == copied == (P + 11, T + 7)
    assert term_lists(res) == term_lists(base)


def test_sparse_pick_misses():
    # Stored elements 3, 5, 9; keys below, between, above and on them.
    expr = Expr((12,), [0, 1, 1, 3], [4, 1, 2], [1.5, 2.5, 3.5], sp=[3, 5, 9])
    res, counted, copied, match = run_pick(expr, [0, 3, 4, 9, 11, 5, -1])
    assert match.tolist() == [-1, 0, -1, 2, -1, 1, -1]
    assert counted == copied == (0, 3)
    assert res.ptr.tolist() == [0, 0, 1, 1, 3, 3, 3, 3]
    assert res.nidxs.tolist() == [4, 1, 2]


def test_sparse_pick_does_not_read_past_the_sparsity_block():
    # Key 11 lies above every stored index and also sits in the slot just past
    # the block: only the bound of the search keeps it from matching there.
    expr = Expr((12,), [0, 1, 1, 3], [4, 1, 2], [1.5, 2.5, 3.5], sp=[3, 5, 9])
    W, X = Stack(), Stack()
    w = W.push(expr)
    W.i64[w.sp + 3] = 11
    xmatch = X.reserve("i32", 2)
    counted = kernel(417)(0, np.array([11, 9], np.int64), 0, 3, w.ptr, 0, 0, w.sp, xmatch, W.i32, W.i64, X.i32)
    assert counted == (0, 2)
    assert X.i32[xmatch:xmatch + 2].tolist() == [-1, 2]


def test_sparse_pick_of_empty_operand():
    expr = Expr((4,), [0], [], [], sp=[])
    res, counted, _, match = run_pick(expr, [0, 3])
    assert counted == (0, 0) and match.tolist() == [-1, -1]
    assert res.ptr.tolist() == [0, 0, 0]


@pytest.mark.parametrize("n", [415, 417])
def test_counting_with_none_picks_returns_counts(n):
    wi32 = np.zeros(4, np.int32)
    if n == 415:
        assert kernel(415)(0, None, 1, 0, 3, 4, wi32) == (3, 4)
    else:
        assert kernel(417)(0, None, 1, 2, 0, 3, 4, 0, 0, wi32, np.zeros(2, np.int64), None) == (3, 4)


# ---------------------------------------------------------------- checks

RANGE_CASES = [
    # values, bound, flag in, expected
    ([0, 1, 4], 5, False, False),
    ([0, 1, 5], 5, False, True),
    ([-1, 2], 5, False, True),
    ([2**40], 2**40, False, True),
    ([2**40 - 1, 0], 2**40, False, False),
    ([0, 1], 5, True, True),                # flag is only ever set
    ([], 0, False, False),
    (None, 0, True, True),
]


@pytest.mark.parametrize("values,bound,flag,expected", RANGE_CASES)
def test_range_checks(values, bound, flag, expected):
    arr = None if values is None else np.asarray(values, np.int64)
    assert kernel(414)(arr, bound, flag) is expected
    assert kernel(411)(flag, arr, bound) is expected


def test_range_check_reads_strided():
    base = np.array([0, -5, 1, 99, 2, -3], np.int64)
    assert kernel(414)(base[::2], 3, False) is False
    assert kernel(411)(False, base[1::2], 3) is True


MULTI_CASES = [
    # rows, nd, shape, flag, expected
    ([[0, 0], [1, 2]], 2, [2, 3], False, False),
    ([[0, 0], [2, 0]], 2, [2, 3], False, True),
    ([[0, 3]], 2, [2, 3], False, True),
    ([[0, -1]], 2, [2, 3], False, True),
    ([[0, 9]], 1, [2, 3], False, False),     # only the first nd columns
    ([[-1, -1]], 0, [2, 3], False, False),   # nothing examined
    ([[0, 0]], 2, [2, 3], True, True),
    ([], 2, [2, 3], False, False),           # no rows
]


@pytest.mark.parametrize("rows,nd,shape,flag,expected", MULTI_CASES)
def test_multi_index_range_check(rows, nd, shape, flag, expected):
    idxs = np.asarray(rows, np.int32).reshape(-1, 2)
    assert kernel(412)(idxs, nd, np.asarray(shape, np.int32), flag) is expected


@pytest.mark.parametrize("layout", ["contiguous", "transposed", "strided"])
def test_multi_index_to_linear(rng, layout):
    shape = np.array([2, 3, 4], np.int32)
    rows = np.stack([rng.integers(0, s, 9) for s in shape], axis=1).astype(np.int32)
    rows[0] = [1, 2, 3]
    if layout == "transposed":
        idxs = np.asfortranarray(rows)
    elif layout == "strided":
        wide = np.full((9, 6), -1, np.int32)
        wide[:, ::2] = rows
        idxs = wide[:, ::2]
    else:
        idxs = rows
    out = np.full(9, -1, np.int64)
    assert kernel(413)(idxs, 3, shape, out) is None
    assert out.tolist() == np.ravel_multi_index(rows.T, shape).tolist()
    assert out[0] == 23


def test_multi_index_to_linear_wide_strides():
    # 64-bit strides: 70000 * 70000 does not fit in 32 bits.
    shape = np.array([3, 70000, 70000], np.int32)
    out = np.zeros(1, np.int64)
    kernel(413)(np.array([[2, 1, 5]], np.int32), 3, shape, out)
    assert out[0] == 2 * 70000 * 70000 + 70000 + 5


def test_multi_index_to_linear_without_axes():
    out = np.full(3, 7, np.int64)
    kernel(413)(np.ones((3, 2), np.int32), 0, np.array([5, 5], np.int32), out)
    assert out.tolist() == [0, 0, 0]
