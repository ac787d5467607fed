"""Weighted sums of selected elements equal the numpy product of the sparse
row (vsub, vcof) with the operand; the counting pass agrees; the selection
check flags range and order."""
import numpy as np
import pytest

import programs_model as pm
from conftest import kernel
from stacks import Stack, random_expr

PARAMS = np.array([0.5, -2.0, 3.0, 7.25])


@pytest.mark.parametrize("programs", [False, True])
@pytest.mark.parametrize("sparse", [False, True])
def test_selected_sum_is_the_sparse_row_product(rng, sparse, programs):
    E = random_expr(rng, (20,), nvars=5, sparse=sparse, programs=programs)
    vsub = np.sort(rng.choice(20, size=8, replace=False)).astype(np.int64)
    if not sparse:
        rng.shuffle(vsub)
    vcof = rng.normal(size=8)
    W, R = Stack(8192), Stack(8192)
    p = W.push(E)
    T0 = kernel(453)(sparse, E.n, p.ptr, 3, p.sp, vsub, W.i32, W.i64)
    nres = T0 - 3
    pos = dict(ptr=R.put("i32", [0, nres]), nidxs=R.reserve("i64", nres), cof=R.reserve("f64", nres),
               codeptr=R.reserve("i32", nres + 1), code=R.reserve("i32", E.ncode + 2 * nres),
               cconst=R.reserve("f64", E.ncode + 2 * nres), shape=0)
    R.i32[pos["codeptr"]] = 0
    f = int(programs)
    P, T = kernel(454)(p.cconst, p.code, 0, p.codeptr, p.cof, sparse, 0, E.n, p.nidxs, p.ptr, pos["cconst"],
                       pos["code"], pos["codeptr"], pos["cof"], R.f64, R.i32, R.i64, f, pos["nidxs"],
                       p.sp, vcof, vsub, W.f64, W.i32, W.i64)
    assert T == nres
    res = R.read(0, 1, T, **(pos if programs else dict(pos, codeptr=None)))
    res.shape = (1,)
    assert P == (res.codeptr[-1] if programs else 0)
    row = np.zeros(20)
    row[vsub] = vcof
    for params in (PARAMS, rng.normal(size=4)):
        want = row @ pm.effective_dense(E, params, 5)
        np.testing.assert_allclose(pm.effective_dense(res, params, 5)[0], want)


@pytest.mark.parametrize("vsub,flags", [([0, 3, 3], (False, True)), ([-1, 2], (True, False)), ([], (False, False)),
                                        ([0, 5, 9], (False, False)), ([2, 10], (True, False)),
                                        ([4, 2, 11], (True, True))])
def test_selection_check(vsub, flags):
    assert kernel(452)(False, False, 9, np.array(vsub, np.int64)) == flags
    assert kernel(452)(True, True, 9, None) == (True, True)
