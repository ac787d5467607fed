"""Axis permutation of stacked expressions, run the way the host chains the
kernels and checked against numpy.transpose of the operand."""
import numpy as np
import pytest

from conftest import kernel
from stacks import Stack, random_expr

NVARS = 6


def row_major_strides(shape):
    return np.append(np.cumprod(np.asarray(shape[::-1], np.int64))[::-1][1:], 1).astype(np.int64)


def element_terms(expr):
    """Per stored element, its terms in order with their programs."""
    return [[(int(expr.nidxs[t]), float(expr.cof[t]), expr.program(t) if expr.programs else None)
             for t in range(expr.ptr[e], expr.ptr[e + 1])] for e in range(expr.n)]


def reserve_result(R, op, n, m, ncode):
    """Result blocks on R: name -> (kind, position, length); programs only with programs."""
    b = {"shape": ("i32", op.nd), "ptr": ("i32", n + 1), "nidxs": ("i64", m), "cof": ("f64", m)}
    if op.sparse:
        b["sp"] = ("i64", n)
    if op.programs:
        b.update(codeptr=("i32", m + 1), code=("i32", ncode), cconst=("f64", ncode))
    return {k: (kind, R.reserve(kind, length), length) for k, (kind, length) in b.items()}


def read_checked(R, before, op, blocks, n, m, ncode):
    """Reads the result and checks that nothing outside its blocks changed."""
    for kind, p, length in blocks.values():
        before[kind][p:p + length] = getattr(R, kind)[p:p + length]
    for kind, arr in before.items():
        np.testing.assert_array_equal(arr, getattr(R, kind), err_msg=f"stray write on {kind}")
    assert R.sentinels_intact()
    return R.read(op.nd, n, m, ncode=ncode, **{k: p for k, (_, p, _) in blocks.items()})


def permute(op, dperm, strided):
    W, R = Stack(strided=strided), Stack(strided=strided)
    p = W.push(op)
    blocks = reserve_result(R, op, op.n, op.m, op.ncode)
    pos = {k: p for k, (_, p, _) in blocks.items()}
    before = {k: getattr(R, k).copy() for k in ("i32", "i64", "f64")}
    dp = np.asarray(dperm, np.int32)
    rshape = tuple(op.shape[d] for d in dperm)
    st, dst = row_major_strides(op.shape), row_major_strides(rshape)
    flag = int(op.programs)
    rprog = (pos.get("cconst", 0), pos.get("code", 0), pos.get("codeptr", 0))
    kernel(424)(dp, op.nd, R.i32, pos["shape"], p.shape, W.i32)
    if not op.sparse:
        assert kernel(427)(p.cconst, p.code, p.codeptr, dp, dst, p.cof, p.nidxs, p.ptr, flag,
                           op.nd, op.n, *rprog, pos["cof"], R.f64, R.i32, R.i64, pos["nidxs"],
                           pos["ptr"], st, W.f64, W.i32, W.i64) is None
    else:
        sp = np.full(op.n, -1, np.int64)
        kernel(425)(dp, p.sp, op.nd, op.n, R.i32, pos["shape"], sp, st, W.i64)
        perm = np.argsort(sp, kind="stable")
        R.i32[pos["ptr"]] = 0
        if flag:
            R.i32[pos["codeptr"]] = 0
        # Gather in two chained calls: the running counts must join them seamlessly.
        h = op.n // 2
        counts = (0, 0, 0)
        for lo, hi in ((0, h), (h, op.n)):
            P, E, T = counts
            counts = kernel(426)(p.cconst, p.code, P, p.codeptr, p.cof, p.nidxs, p.ptr, E, T,
                                 flag, hi - lo, perm[lo:], *rprog, pos["cof"], R.f64, R.i32, R.i64,
                                 pos["nidxs"], pos["ptr"] + lo, pos.get("sp", 0) + lo, sp,
                                 W.f64, W.i32, W.i64)
        assert counts == (op.ncode if flag else 0, op.n, op.m)
    assert W.sentinels_intact()
    return read_checked(R, before, op, blocks, op.n, op.m, op.ncode)


CASES = [((5,), (0,)), ((2, 3), (1, 0)), ((2, 3), (0, 1)), ((2, 3, 4), (2, 0, 1)),
         ((3, 1, 4, 2), (3, 1, 0, 2)), ((0, 3), (1, 0)), ((2, 0, 3), (2, 1, 0))]


@pytest.mark.parametrize("shape,dperm", CASES)
@pytest.mark.parametrize("sparse", [False, True])
@pytest.mark.parametrize("programs", [False, True])
@pytest.mark.parametrize("strided", [False, True])
def test_permutation_matches_transpose(rng, shape, dperm, sparse, programs, strided):
    op = random_expr(rng, shape, nvars=NVARS, sparse=sparse, programs=programs)
    res = permute(op, dperm, strided)
    assert res.shape == tuple(shape[d] for d in dperm)
    np.testing.assert_array_equal(
        res.dense(NVARS), np.transpose(op.dense(NVARS), list(dperm) + [len(shape)]))
    # Element by element, terms and their programs travel unchanged.
    ids = op.element_ids()
    moved = np.arange(op.size).reshape(shape).transpose(dperm).ravel()
    stored = set(ids.tolist())
    src = [i for i in moved if i in stored]
    expected_ids = np.searchsorted(ids, src)
    assert element_terms(res) == [element_terms(op)[j] for j in expected_ids]
    if sparse:
        assert np.all(np.diff(res.sp) > 0)


def test_scalar_sparsity_and_untouched_none_arrays():
    # Without axes every stored element is the one element of a scalar: index 0.
    sp = np.full(3, -1, np.int64)
    kernel(425)(None, 0, 0, 3, None, 0, sp, None, None)
    assert sp.tolist() == [0, 0, 0]
    # An empty dense operand writes only the first row pointer entry.
    ri32 = np.full(4, -5, np.int32)
    kernel(427)(0, 0, 0, None, None, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, None, ri32, None, 0, 1,
                None, None, None, None)
    assert ri32.tolist() == [-5, 0, -5, -5]
