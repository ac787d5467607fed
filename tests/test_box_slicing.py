"""Box slicing of stacked expressions, run the way the host chains the kernels
and checked against numpy slicing of the operand."""
import numpy as np
import pytest

from conftest import kernel
from stacks import Stack, random_expr
from test_axis_permutation import element_terms, read_checked, reserve_result, row_major_strides

NVARS = 6


def slice_box(op, first, last, strided, repeat=1):
    """Strides, result shape, then count and copy `repeat` times with chained
    running counts (the result then holds the box `repeat` times over)."""
    W, R = Stack(strided=strided), Stack(strided=strided)
    p = W.push(op)
    nd = op.nd
    first, last = np.asarray(first, np.int32), np.asarray(last, np.int32)
    rshape = last - first
    st, rst = np.ones(nd, np.int64), np.ones(nd, np.int64)
    kernel(419)(nd, p.shape, st, W.i32)
    kernel(422)(nd, rshape, rst)
    np.testing.assert_array_equal(st, row_major_strides(op.shape))
    np.testing.assert_array_equal(rst, row_major_strides(rshape))

    flag = int(op.programs)
    cnt = (0, 0, 0)
    for _ in range(repeat):
        cnt = kernel(420)(p.codeptr, first, op.sparse, last, flag, nd, op.n, p.ptr, *cnt,
                          p.shape, p.sp, st, W.i32, W.i64)
    # The dense count gives the box size itself, not a running element count.
    P, E, T = cnt[0], cnt[1] * (1 if op.sparse else repeat), cnt[2]
    blocks = reserve_result(R, op, E, T, P)
    pos = {k: p for k, (_, p, _) in blocks.items()}
    before = {k: getattr(R, k).copy() for k in ("i32", "i64", "f64")}
    kernel(421)(nd, R.i32, rshape, pos["shape"])
    R.i32[pos["ptr"]] = 0
    if flag:
        R.i32[pos["codeptr"]] = 0
    cpy = (0, 0, 0)
    for _ in range(repeat):
        cpy = kernel(423)(p.cconst, p.code, cpy[0], p.codeptr, p.cof, first, op.sparse, cpy[1],
                          cpy[2], last, nd, op.n, p.nidxs, p.ptr, pos.get("cconst", 0),
                          pos.get("code", 0), pos.get("codeptr", 0), pos["cof"], R.f64, R.i32,
                          R.i64, flag, pos["nidxs"], pos["ptr"], pos.get("sp", 0), rst, p.shape,
                          p.sp, st, W.f64, W.i32, W.i64)
    assert cpy == (P, E, T)
    assert W.sentinels_intact()
    return read_checked(R, before, op, blocks, E, T, P)


CASES = [((7,), (2,), (5,)), ((4, 5), (1, 2), (3, 5)), ((4, 5), (0, 0), (4, 5)),
         ((4, 5), (1, 3), (1, 5)), ((3, 4, 5), (1, 0, 2), (3, 4, 4)),
         ((2, 3, 1, 4), (0, 1, 0, 1), (2, 3, 1, 3)), ((0, 3), (0, 1), (0, 2))]


@pytest.mark.parametrize("shape,first,last", CASES)
@pytest.mark.parametrize("sparse", [False, True])
@pytest.mark.parametrize("programs", [False, True])
@pytest.mark.parametrize("strided", [False, True])
def test_slice_matches_numpy(rng, shape, first, last, sparse, programs, strided):
    op = random_expr(rng, shape, nvars=NVARS, sparse=sparse, density=0.6, programs=programs)
    res = slice_box(op, first, last, strided)
    box = tuple(slice(f, l) for f, l in zip(first, last))
    assert res.shape == tuple(l - f for f, l in zip(first, last))
    np.testing.assert_array_equal(res.dense(NVARS), op.dense(NVARS)[box])
    # Terms and their programs travel with their elements, in stored order.
    coords = np.unravel_index(op.element_ids(), shape)
    inside = np.all([(c >= f) & (c < l) for c, f, l in zip(coords, first, last)], axis=0)
    kept = np.flatnonzero(inside)
    assert element_terms(res) == [element_terms(op)[j] for j in kept]
    if sparse:
        expected = np.ravel_multi_index(tuple(c[kept] - f for c, f in zip(coords, first)), res.shape)
        np.testing.assert_array_equal(res.sp, expected)


@pytest.mark.parametrize("sparse", [False, True])
def test_running_counts_append(rng, sparse):
    op = random_expr(rng, (3, 4), nvars=NVARS, sparse=sparse, density=0.6, programs=True)
    once = slice_box(op, (1, 0), (3, 3), False)
    twice = slice_box(op, (1, 0), (3, 3), False, repeat=2)
    assert element_terms(twice) == element_terms(once) * 2
    if sparse:
        assert twice.sp.tolist() == once.sp.tolist() * 2
